// The stage-2 event walk of one chunk, forced inline into each buffer loop.
//
// Included by one translation unit per instruction set (and by walk.cpp for
// the engine's out-of-line entry points), so bit counts and trailing-zero
// counts compile to single instructions where the set has them. The common
// events (keys, scalar values, opens and closes without captures) are handled
// here; captures, raw spans, table rows and errors go through the engine's
// out-of-line members.
//
// Each chunk arrives as a mask of structural positions (unescaped quotes,
// structural characters outside strings, first bytes of scalars) plus the
// bracket masks. The walk visits the positions in order with count-trailing-
// zeros and turns them into container, key, string and atom events: a string
// runs from its opening quote to the next structural position (its closing
// quote), an atom from its first byte to the next structural position. A token
// whose end lies in a later chunk of the buffer is carried in the cursor's
// `open_token_start`; one cut by the buffer end is saved by the cut-token code.
//
// Containers in which no automaton can match anything are skipped by counting
// brackets, a whole chunk at a time, across chunks and buffers.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

#include "classification_kernel/kernel_core.h"
#include "engine/describer.h"
#include "engine/walk/bracket_skip.h"
#include "engine/walk/scan_state.h"
#include "engine/walk/skip_check.h"
#include "util/force_inline.h"

#define JORVANE_WALK_INLINE JORVANE_FORCE_INLINE
#define JORVANE_LAMBDA_INLINE JORVANE_FORCE_INLINE_LAMBDA

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

// The drivers a walk serves: every driver of the engine, or its only one
// (the common case, where the loops over drivers disappear). A structural
// profile is taken by its own walk (Describing), so that the profile's hooks
// cost nothing when none is attached.
struct AllDrivers {
    static constexpr bool kDescribes = false;
    std::vector<DfaDriver>& list;
    template <class F>
    JORVANE_WALK_INLINE void each(F&& f) const {
        for (auto& d : list) f(d);
    }
    template <class F>
    JORVANE_WALK_INLINE bool all(F&& f) const {
        for (auto& d : list)
            if (!f(d)) return false;
        return true;
    }
};
struct OneDriver {
    static constexpr bool kDescribes = false;
    DfaDriver& only;
    template <class F>
    JORVANE_WALK_INLINE void each(F&& f) const {
        f(only);
    }
    template <class F>
    JORVANE_WALK_INLINE bool all(F&& f) const {
        return f(only);
    }
};

struct Describing : AllDrivers {
    static constexpr bool kDescribes = true;
    Describer& describer;
};

// The JSON kind of an atom by its first byte (an empty token counts as a number).
JORVANE_WALK_INLINE JsonType atom_kind(std::string_view atom) {
    if (!atom.empty() && (atom[0] == 't' || atom[0] == 'f')) return JsonType::Boolean;
    if (!atom.empty() && atom[0] == 'n') return JsonType::Null;
    return JsonType::Number;
}

JORVANE_WALK_INLINE bool is_atom_start(uint8_t b) {
    return static_cast<uint8_t>(b - '0') < 10 || b == '-' || b == 'f' || b == 'n' || b == 't';
}

JORVANE_WALK_INLINE std::string_view view(const uint8_t* buf, uint64_t from, uint64_t to) {
    return {reinterpret_cast<const char*>(buf) + from, static_cast<size_t>(to - from)};
}

JORVANE_WALK_INLINE bool is_trailing_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

JORVANE_WALK_INLINE std::string_view trim_trailing_ws(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && is_trailing_ws(s[n - 1])) --n;
    return s.substr(0, n);
}

// A scalar value (atom or string) in the innermost frame; `at` is the source
// offset of its first byte (the opening quote of a string).
template <class Ds>
JORVANE_WALK_INLINE void scalar_value(ScanState& e, const Ds& ds, std::string_view bytes, bool is_string,
                                      uint64_t at) {
    // Raw text follows the first query alone, and only until it settles (a
    // settled scan may stop at any buffer end, so later matches are not its).
    bool first_delivered = false;
    ds.each([&](DfaDriver& d) JORVANE_LAMBDA_INLINE {
        if (!d.captures.empty()) [[unlikely]] {
            std::optional<MalformedValue> bad;
            if (d.has_recording_capture()) {
                bad = capture_scalar(d.captures, is_string, bytes, at);
            } else if (d.has_checking_capture()) {
                bad = check_scalar(d.captures, is_string, bytes, at);
            }
            if (bad) [[unlikely]]
                e.record_corruption_at(bad->kind, bad->offset);
        }
        const uint64_t accept = d.accept_mask();
        if (accept) [[unlikely]] {
            const bool first = e.raw_spans && &d == &e.drivers[0] && !d.label_settled(0);
            MatchEvent ev = is_string ? MatchEvent::string(bytes, at) : MatchEvent::atom(bytes, at);
            ev.key_offset = e.frames.back().key_offset;
            const DfaDriver::Delivery got = d.dispatch_to_accumulators(ev, e.current_key(), accept);
            if (first) first_delivered = (got.labels & 1) != 0;
            if (got.malformed) [[unlikely]]
                e.record_corruption_at(got.malformed->kind, got.malformed->offset);
            if (got.settled) [[unlikely]]
                e.driver_settled();
        }
    });
    e.frames.back().state = FrameState::AfterValue;
    if (e.raw_spans) [[unlikely]]
        e.raw_scalar_hit(bytes, is_string, first_delivered);
    if constexpr (Ds::kDescribes) {
        // A profile reads every scalar.
        if (auto bad = scalar_fault(is_string, bytes, at)) [[unlikely]]
            e.record_corruption_at(bad->kind, bad->offset);
        ds.describer.scalar(is_string ? JsonType::String : atom_kind(bytes), bytes);
    }
}

// An object key, its opening quote at source offset `at`: every driver moves
// to the state of the member's value.
template <class Ds>
JORVANE_WALK_INLINE void string_key(ScanState& e, const Ds& ds, std::string_view content, uint64_t at) {
    ContainerFrame& f = e.frames.back();
    if constexpr (Ds::kDescribes) {
        if (auto bad = scalar_fault(true, content, at)) [[unlikely]]
            e.record_corruption_at(bad->kind, bad->offset);
        ds.describer.key(content);
    }
    if (e.track_key_path) [[unlikely]] {
        if (e.key_path.size() > f.key_path_len) e.key_path.resize(f.key_path_len);
        e.key_path.append(content);
        f.key_offset = at;
    }
    // The hash is computed once, and only when some driver's lookup reads it.
    uint64_t h = 0;
    bool hashed = false;
    ds.each([&](DfaDriver& d) JORVANE_LAMBDA_INLINE {
        if (!hashed && d.hashes_key(content.size()) && d.looks_up_fields()) [[unlikely]] {
            h = DfaDriver::key_hash(content);
            hashed = true;
        }
        d.transition_on_field(content, h);
        if (!d.captures.empty() && d.has_reading_capture()) [[unlikely]] {
            if (auto bad = capture_key(d.captures, content, at)) [[unlikely]]
                e.record_corruption_at(bad->kind, bad->offset);
        }
    });
    f.state = FrameState::AfterKey;
}

template <class Ds>
JORVANE_WALK_INLINE void array_element(const Ds& ds, ContainerFrame& f) {
    const uint64_t index = f.array_index;
    ds.each([&](DfaDriver& d) JORVANE_LAMBDA_INLINE { d.transition_array_index(index); });
    f.array_index += 1;
}

template <class Ds>
JORVANE_WALK_INLINE void on_atom(ScanState& e, const Ds& ds, const uint8_t* buf, uint64_t start, uint64_t end) {
    if (e.frames.empty()) [[unlikely]] {
        e.record_corruption(ParseErrorKind::atom_outside_container(), start);
        return;
    }
    ContainerFrame& f = e.frames.back();
    if (!takes(kTakesValue, f.state)) [[unlikely]]
        e.record_misplaced(f, buf[start], e.stream_offset + start);
    if (!f.is_object) array_element(ds, f);
    scalar_value(e, ds, trim_trailing_ws(view(buf, start, end)), false, e.stream_offset + start);
}

template <class Ds>
JORVANE_WALK_INLINE void on_string(ScanState& e, const Ds& ds, const uint8_t* buf, uint64_t open, uint64_t close) {
    if (e.frames.empty()) [[unlikely]] {
        e.record_corruption(ParseErrorKind::string_outside_container(), open);
        return;
    }
    const std::string_view content = view(buf, open + 1, close);
    ContainerFrame& f = e.frames.back();
    if (takes_key(f)) {
        string_key(e, ds, content, e.stream_offset + open);
        return;
    }
    if (!takes(kTakesValue, f.state)) [[unlikely]]
        e.record_misplaced(f, '"', e.stream_offset + open);
    if (!f.is_object) array_element(ds, f);
    scalar_value(e, ds, content, true, e.stream_offset + open);
}

template <class Ds>
JORVANE_WALK_INLINE void on_open_container(ScanState& e, const Ds& ds, uint8_t is_object, uint64_t pos) {
    if (!e.frames.empty()) {
        const ContainerFrame& parent = e.frames.back();
        if (!takes(kTakesValue, parent.state)) [[unlikely]]
            e.record_misplaced(parent, is_object ? '{' : '[', e.stream_offset + pos);
        if (!parent.is_object) {
            const uint64_t index = parent.array_index;
            ds.each([&](DfaDriver& d) JORVANE_LAMBDA_INLINE { d.transition_array_index(index); });
        }
    }
    // What the drivers' opens call for beyond the plain case.
    enum : uint8_t { kCapturing = 1, kKeyed = 2, kTooDeep = 4 };
    uint8_t opened = 0;
    const bool member = !e.frames.empty() && e.frames.back().is_object;
    ds.each([&](DfaDriver& d) JORVANE_LAMBDA_INLINE {
        const StateId s = d.state;
        d.state_stack.push_back(s);
        if (d.accept_mask_of(s) != 0 || !d.captures.empty()) [[unlikely]] {
            const DfaDriver::CapturesOpened o = d.open_captures(s, is_object, member);
            opened |= kCapturing | (o.keyed ? kKeyed : 0) | (o.too_deep ? kTooDeep : 0);
        }
    });
    // Past the nesting limit the walk goes deeper only inside a value
    // captured before this bracket, which its capture holds to the limit
    // from its own start: the frames and state stacks never follow an
    // endless nesting.
    if (opened != 0 || e.frames.size() >= kNestingLimit) [[unlikely]] {
        if (opened & kKeyed) e.check_member_key();
        if ((opened & kCapturing) && e.raw_spans) e.open_raw_span(pos);
        if ((opened & kTooDeep) || (e.frames.size() >= kNestingLimit && !e.nested_in_capture()))
            e.refuse_nesting_at(e.stream_offset + pos);
    }
    if constexpr (Ds::kDescribes) {
        // A profile holds the nesting it reads to the same limit.
        if (!ds.describer.open_container(is_object != 0)) [[unlikely]]
            e.refuse_nesting_at(e.stream_offset + pos);
    }
    ContainerFrame f;
    f.array_index = 0;
    f.key_path_len = static_cast<uint32_t>(e.key_path.size());
    f.state = is_object ? FrameState::ObjectStart : FrameState::ArrayStart;
    f.is_object = is_object;
    e.frames.push_back(f);
}

template <class Ds>
JORVANE_WALK_INLINE void on_close_container(ScanState& e, const Ds& ds, uint8_t byte, uint64_t pos, const uint8_t* buf, size_t len) {
    if (e.frames.empty()) [[unlikely]] {
        e.record_corruption(ParseErrorKind::unmatched_close(), pos);
        return;
    }
    const ContainerFrame f = e.frames.back();
    e.frames.pop_back();
    if constexpr (Ds::kDescribes) ds.describer.close_container();
    if (e.track_key_path && f.key_path_len <= e.key_path.size()) e.key_path.resize(f.key_path_len);
    if ((byte == ']') == (f.is_object != 0)) [[unlikely]] {
        e.record_corruption(ParseErrorKind::mismatched_close(byte), pos);
        return;
    }
    // After a comma, a key or a colon the container cannot close.
    if (!takes(kTakesClose, f.state)) [[unlikely]]
        e.record_misplaced(f, byte, e.stream_offset + pos);
    // The plain case: no captures, raw spans or table rows; every stack holds a state.
    const bool plain = !e.row_anchor && !e.raw_spans &&
                       ds.all([](const DfaDriver& d) JORVANE_LAMBDA_INLINE { return !d.state_stack.empty() && d.captures.empty(); });
    if (!plain) [[unlikely]] {
        e.close_drivers(pos, buf);
        return;
    }
    ds.each([](DfaDriver& d) JORVANE_LAMBDA_INLINE {
        d.state = d.state_stack.back();
        d.state_stack.pop_back();
    });
    if (!e.frames.empty()) {
        auto& parent = e.frames.back();
        parent.state = FrameState::AfterValue;
        if (!parent.is_object) parent.array_index += 1;
    }
    (void)len;
}

// Whether every driver's innermost container is dead and nothing records.
// A profile sees everything: nothing is skipped while one is taken.
template <class Ds>
JORVANE_WALK_INLINE bool skip_test(const Ds& ds) {
    if constexpr (Ds::kDescribes) return false;
    return ds.all([](const DfaDriver& d) JORVANE_LAMBDA_INLINE {
        if (d.state_stack.empty() || d.state_stack.back() != kDeadState) return false;
        if (!d.captures.empty() && d.has_recording_capture()) return false;
        return true;
    });
}

// Whether a container skipped now lies inside a capture that checks values.
template <class Ds>
JORVANE_WALK_INLINE bool skip_checks_values(const Ds& ds) {
    return !ds.all([](const DfaDriver& d) JORVANE_LAMBDA_INLINE {
        return d.captures.empty() || !d.has_checking_capture();
    });
}

// How many containers may open inside one skipped now before a kept value
// holding it nests past the limit.
template <class Ds>
JORVANE_WALK_INLINE uint64_t skip_nesting_room(const Ds& ds) {
    uint64_t room = UINT64_MAX;
    ds.each([&](const DfaDriver& d) JORVANE_LAMBDA_INLINE {
        if (!d.captures.empty()) room = std::min(room, nesting_room(d.captures));
    });
    return room;
}

// Counts the openers and closers (restricted by from_mask) while skip_depth
// > 0; returns true when the skipped container closed (`bits` then hold the
// positions after its closing bracket). A skip that checks what it passes
// over hands it the skipped positions first (`bits`, up to the closing
// bracket).
template <class Ds>
JORVANE_WALK_INLINE bool continue_skip(ScanState& e, const Ds& ds, const ChunkCursor& c, uint64_t& bits, uint64_t from_mask,
                                       const uint8_t* buf, size_t len) {
    uint64_t depth = e.skip_depth;
    const unsigned k = skip_closer(c.openers & from_mask, c.closers & from_mask, depth);
    if (k == 64) [[likely]] {
        // The skipped container goes on past the chunk.
        e.skip_depth = depth;
        if (e.skip_check.on) [[unlikely]]
            check_skipped(e, c, bits, buf, len);
        bits = 0;
        return false;
    }
    e.skip_depth = 0;
    const uint64_t pos = c.base + k;
    if (e.skip_check.on) [[unlikely]] {
        check_skipped(e, c, bits & ~after_bit(~uint64_t{0}, k), buf, len);
        e.skip_check.on = false;
    }
    bits = after_bit(bits, k);
    on_close_container(e, ds, buf[pos], pos, buf, len);
    return true;
}

// The rest of an object member whose key was just walked, while its tokens
// lie in this chunk: ':', a scalar value, then ','. Does exactly what the
// walk loop would do for them and stops at anything else (a container, a
// token whose end is in a later chunk), leaving it to the loop.
template <class Ds>
JORVANE_WALK_INLINE void member_tail(ScanState& e, const Ds& ds, ContainerFrame& f, uint64_t& bits, uint64_t base,
                                     const uint8_t* buf) {
    if (bits == 0 || buf[base + static_cast<unsigned>(std::countr_zero(bits))] != ':') return;
    bits &= bits - 1;
    f.state = FrameState::ValueExpected;
    const uint64_t rest = bits & (bits - 1);
    if (rest == 0) return;
    const uint64_t p = base + static_cast<unsigned>(std::countr_zero(bits));
    const uint64_t q = base + static_cast<unsigned>(std::countr_zero(rest));
    const uint8_t v = buf[p];
    if (v == '"') {
        bits = rest & (rest - 1);
        scalar_value(e, ds, view(buf, p + 1, q), true, e.stream_offset + p);
    } else if (is_atom_start(v)) {
        bits = rest;
        scalar_value(e, ds, trim_trailing_ws(view(buf, p, q)), false, e.stream_offset + p);
    } else {
        return;
    }
    if (bits != 0 && buf[base + static_cast<unsigned>(std::countr_zero(bits))] == ',') {
        bits &= bits - 1;
        f.state = FrameState::KeyExpected;
    }
}

// Walks the structural positions of one chunk for the drivers `ds`.
template <class Ds>
JORVANE_WALK_INLINE void process_chunk(ScanState& e, const Ds& ds, ChunkCursor& c, const uint8_t* buf, size_t len) {
    uint64_t bits = c.bits;
    const uint64_t base = c.base;

    // A skipped container still open from an earlier chunk.
    if (e.skip_depth > 0) {
        const uint64_t from_mask = bits ? ~((bits & (0 - bits)) - 1) : 0;
        if (!continue_skip(e, ds, c, bits, from_mask, buf, len)) {
            c.bits = 0;
            return;
        }
    }

    // A token begun in an earlier chunk of this buffer.
    if (c.open_token_start != kNoPosition) [[unlikely]] {
        const uint64_t p = c.open_token_start;
        c.open_token_start = kNoPosition;
        if (bits == 0) {
            c.open_token_start = p;
            c.bits = 0;
            return;
        }
        if (buf[p] == '"') {
            const uint64_t close = base + static_cast<unsigned>(std::countr_zero(bits));
            bits &= bits - 1;
            on_string(e, ds, buf, p, close);
        } else {
            on_atom(e, ds, buf, p, base + static_cast<unsigned>(std::countr_zero(bits)));
        }
    }

    // The chunk's structural positions.
    while (bits) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(bits));
        bits &= bits - 1;
        const uint64_t i = base + k;
        const uint8_t b = buf[i];
        if (b == '"') {
            if (bits == 0) [[unlikely]] {
                c.open_token_start = i;
                c.bits = 0;
                return;
            }
            const uint64_t j = base + static_cast<unsigned>(std::countr_zero(bits));
            bits &= bits - 1;
            if (!e.frames.empty()) [[likely]] {
                ContainerFrame& f = e.frames.back();
                if (takes_key(f)) {
                    string_key(e, ds, view(buf, i + 1, j), e.stream_offset + i);
                    member_tail(e, ds, f, bits, base, buf);
                    continue;
                }
            }
            on_string(e, ds, buf, i, j);
        } else if (b == ':') {
            if (e.frames.empty()) [[unlikely]] {
                e.record_corruption(ParseErrorKind::colon_outside_container(), i);
            } else {
                auto& f = e.frames.back();
                if (f.state != FrameState::AfterKey) [[unlikely]]
                    e.record_misplaced(f, b, e.stream_offset + i);
                if (f.is_object) f.state = FrameState::ValueExpected;
            }
        } else if (b == ',') {
            // A comma between top-level values is passed over.
            if (!e.frames.empty()) {
                auto& f = e.frames.back();
                if (f.state != FrameState::AfterValue) [[unlikely]]
                    e.record_misplaced(f, b, e.stream_offset + i);
                f.state = f.is_object ? FrameState::KeyExpected : FrameState::ValueExpected;
            }
        } else if (b == '{' || b == '[') {
            on_open_container(e, ds, b == '{', i);
            if (skip_test(ds)) {
                e.skip_depth = 1;
                if (skip_checks_values(ds)) [[unlikely]]
                    e.skip_check.begin(b == '{', skip_nesting_room(ds));
                if (!continue_skip(e, ds, c, bits, after_bit(~uint64_t{0}, k), buf, len)) {
                    c.bits = 0;
                    return;
                }
            }
        } else if (b == '}' || b == ']') {
            on_close_container(e, ds, b, i, buf, len);
        } else if (is_atom_start(b)) [[likely]] {
            if (bits == 0) [[unlikely]] {
                c.open_token_start = i;
                c.bits = 0;
                return;
            }
            on_atom(e, ds, buf, i, base + static_cast<unsigned>(std::countr_zero(bits)));
        } else {
            e.record_corruption(ParseErrorKind::unexpected_structural_byte(b), i);
            c.bits = 0;
            return;
        }
    }
    c.bits = 0;
}

// Calls f with the drivers the walk serves, as the most specific type.
template <class F>
JORVANE_WALK_INLINE void with_drivers(ScanState& e, F&& f) {
    if (e.describer) [[unlikely]] {
        f(Describing{{e.drivers}, *e.describer});
    } else if (e.drivers.size() == 1) [[likely]] {
        f(OneDriver{e.drivers[0]});
    } else {
        f(AllDrivers{e.drivers});
    }
}

// Walks one chunk, with the loops over drivers removed when there is one.
JORVANE_WALK_INLINE void process_chunk(ScanState& e, ChunkCursor& c, const uint8_t* buf, size_t len) {
    with_drivers(e, [&](const auto& ds) JORVANE_LAMBDA_INLINE { process_chunk(e, ds, c, buf, len); });
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
