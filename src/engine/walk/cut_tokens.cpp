// Tokens cut by buffer ends, and the final partial chunk of a buffer.
//
// A string or atom that is still open when a buffer ends is copied into
// `cut_token`; the first chunks of the next buffer append to it until its
// end shows up (the first structural position), and it is then dispatched
// exactly as the walk would have dispatched it unsplit. The token's absolute
// start is kept beside it so that errors about it carry the same offset
// however the input was cut.
//
// The last chunk of a buffer is classified from a space-filled copy; the
// stage-1 carry is then repaired from the last real byte so that the next
// buffer is classified as if no cut had happened.
#include <bit>

#include "engine/walk/scan_state.h"

namespace jorvane::engine {

namespace {

inline bool is_atom_start(uint8_t b) {
    return (b >= '0' && b <= '9') || b == '-' || b == 'f' || b == 'n' || b == 't';
}

inline bool is_ws(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

inline bool is_structural_char(uint8_t b) {
    return b == '{' || b == '}' || b == '[' || b == ']' || b == ',' || b == ':';
}

}  // namespace

void ScanState::save_cut_token(const uint8_t* buf, size_t len, uint64_t end, ChunkCursor& c) {
    if (skip_check.atom_open) [[unlikely]] {
        // An atom in a checked skip: its bytes so far wait for its end.
        if (skip_check.atom.empty()) token_lead.keep(recent, stream_offset, {buf, len}, skip_check.atom_from);
        skip_check.atom.append(reinterpret_cast<const char*>(buf) + skip_check.atom_from,
                               static_cast<size_t>(end - skip_check.atom_from));
        skip_check.atom_from = 0;
    }
    uint64_t p = c.open_token_start;
    c.open_token_start = kNoPosition;
    // A scan that settled does not read on: the token is never finished.
    if (p == kNoPosition || settled) return;
    uint8_t b = buf[p];
    token_lead.keep(recent, stream_offset, {buf, len}, static_cast<size_t>(p));
    if (is_atom_start(b)) {
        cut_token.clear();
        if (end - p > kMaxCutToken) {
            record_corruption(ParseErrorKind::token_too_large(), p);
            return;
        }
        cut_token.assign(reinterpret_cast<const char*>(buf) + p, static_cast<size_t>(end - p));
        cut_token_kind = CutTokenKind::Atom;
        cut_token_offset = stream_offset + p;
    } else if (b == '"') {
        cut_token.clear();
        if (end - (p + 1) > kMaxCutToken) {
            record_corruption(ParseErrorKind::token_too_large(), p);
            return;
        }
        cut_token.assign(reinterpret_cast<const char*>(buf) + p + 1, static_cast<size_t>(end - p - 1));
        cut_token_kind = CutTokenKind::String;
        cut_token_offset = stream_offset + p;
    } else {
        record_corruption(ParseErrorKind::bad_pending_token(b), p);
    }
}

classification_kernel::ChunkMasks ScanState::structure_masks_partial(const uint8_t* block, size_t n) {
    const uint8_t remembered_run = carry.backslash_run;
    classification_kernel::ChunkMasks m;
    classification_kernel::classify_chunks(kernel, block, 1, &m, carry);
    const uint64_t keep = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    m.structural &= keep;
    m.openers &= keep;
    m.closers &= keep;
    if (n == 0) return m;
    const uint8_t last = block[n - 1];
    bool sep = is_ws(last) || ((last == '"' || is_structural_char(last)) && ((m.structural >> (n - 1)) & 1));
    carry.prev_separator = sep ? 1 : 0;
    size_t k = 0;
    while (k < n && block[n - 1 - k] == '\\') ++k;
    if (k == 0) {
        carry.backslash_run = 2;
    } else if (k < n) {
        carry.backslash_run = (k & 1) ? 0 : 1;
    } else {
        size_t parity = k & 1;
        if (remembered_run == 0) parity ^= 1;
        carry.backslash_run = parity ? 0 : 1;
    }
    return m;
}

void ScanState::resume_cut_token(ChunkCursor& c, const uint8_t* buf, size_t n) {
    const CutTokenKind kind = cut_token_kind;
    cut_token_kind = CutTokenKind::None;
    if (kind == CutTokenKind::None) return;
    const uint64_t s = c.base < n ? c.base : n;
    if (c.bits == 0) {
        uint64_t chunk_end = s + 64 < n ? s + 64 : n;
        if (cut_token.size() + (chunk_end - s) > kMaxCutToken) {
            record_corruption(ParseErrorKind::token_too_large(), s);
            std::string().swap(cut_token);
            return;
        }
        cut_token.append(reinterpret_cast<const char*>(buf) + s, static_cast<size_t>(chunk_end - s));
        cut_token_kind = kind;
        c.bits = 0;
        return;
    }
    uint64_t e = c.base + std::countr_zero(c.bits);
    if (e > n) e = n;
    if (e < s) e = s;
    if (cut_token.size() + (e - s) > kMaxCutToken) {
        record_corruption(ParseErrorKind::token_too_large(), s);
        std::string().swap(cut_token);
        return;
    }
    cut_token.append(reinterpret_cast<const char*>(buf) + s, static_cast<size_t>(e - s));
    // A string: `e` is its closing quote.
    if (kind == CutTokenKind::String) c.bits &= c.bits - 1;
    std::string token = std::move(cut_token);
    cut_token.clear();
    // An error about the token shows its text, wherever it began.
    token_read = KnownBytes::of(cut_token_offset + (kind == CutTokenKind::String ? 1 : 0), token);
    dispatch_cut_token(kind, token);
    token_read = {};
}

void ScanState::dispatch_cut_token(CutTokenKind kind, std::string_view token) {
    if (kind == CutTokenKind::Atom) {
        dispatch_atom_event(token);
        return;
    }
    if (frames.empty()) {
        record_corruption_at(ParseErrorKind::string_outside_container(), cut_token_offset);
        return;
    }
    ContainerFrame& f = frames.back();
    if (takes_key(f)) {
        string_key(token, cut_token_offset);
        return;
    }
    if (!takes(kTakesValue, f.state)) [[unlikely]]
        record_misplaced(f, '"', cut_token_offset);
    if (!f.is_object) {
        for (auto& d : drivers) d.transition_array_index(f.array_index);
        f.array_index += 1;
    }
    scalar_value(token, true, cut_token_offset);
}

}  // namespace jorvane::engine
