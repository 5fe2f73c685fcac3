// Recording the first structural error of a source: the first one wins and
// stops every driver. A scan whose queries have all settled records none:
// what lies after the point where they settled is not the queries' concern,
// and where the walk happens to stop after it depends on the buffers. A
// token that its container does not take is named with what the container
// wanted there. The input around the error is taken when it is recorded,
// while the text of a token carried across buffers is still at hand.
#include "engine/walk/scan_state.h"

#include <array>
#include <utility>

namespace jorvane::engine {

void ScanState::record_corruption_at(ParseErrorKind kind, uint64_t offset) {
    if (error || settled) return;
    // Found after the last buffer: nothing is shown.
    error = RecordedError{kind, offset};
    error_near = buffer_now.empty() ? NearBytes{offset, {}} : near_bytes(offset);
    for (auto& d : drivers) d.stopped = true;
}

std::optional<std::pair<std::string_view, uint64_t>> ScanState::key_awaiting_value() const {
    if (!track_key_path || frames.empty()) return std::nullopt;
    const ContainerFrame& f = frames.back();
    if (!f.is_object || (f.state != FrameState::AfterKey && f.state != FrameState::ValueExpected))
        return std::nullopt;
    const std::optional<std::string_view> key = current_key();
    if (!key) return std::nullopt;
    return std::make_pair(*key, f.key_offset);
}

NearBytes ScanState::near_bytes(uint64_t offset) const {
    // A cut string's text begins after its opening quote.
    const uint64_t cut_at = cut_token_offset + (cut_token_kind == CutTokenKind::String ? 1 : 0);
    const auto key = key_awaiting_value();
    const std::array<KnownBytes, 9> known{
        KnownBytes{stream_offset, buffer_now},
        recent.before(stream_offset),
        token_lead.known(),
        token_read,
        cut_token_kind != CutTokenKind::None ? KnownBytes::of(cut_at, cut_token) : KnownBytes{},
        skipped_atom_near.known(),
        key ? KnownBytes::of(key->second + 1, key->first) : KnownBytes{},
        key_lead.known(),
        key_trail.known(),
    };
    return gather_near(offset, known);
}

void ScanState::keep_key_margins() {
    const auto key = key_awaiting_value();
    if (!key) return;
    const uint64_t open = key->second;
    const uint64_t close = open + 1 + key->first.size();
    const std::array<KnownBytes, 5> known{
        KnownBytes{stream_offset, buffer_now}, recent.before(stream_offset), token_lead.known(), key_lead.known(),
        key_trail.known()};
    NearBytes lead = gather_around(near_begin(open), open, open + 1, known);
    NearBytes trail = gather_around(close, close, near_end(close), known);
    key_lead = std::move(lead);
    key_trail = std::move(trail);
}

void ScanState::record_corruption(ParseErrorKind kind, uint64_t position) {
    record_corruption_at(kind, stream_offset + position);
}

ParseErrorKind::Expected expected_in(FrameState s, bool is_object) {
    using E = ParseErrorKind::Expected;
    switch (s) {
        case FrameState::ObjectStart: return E::KeyOrClose;
        case FrameState::KeyExpected: return E::Key;
        case FrameState::AfterKey: return E::Colon;
        case FrameState::ValueExpected: return E::Value;
        case FrameState::ArrayStart: return E::ValueOrClose;
        case FrameState::AfterValue: break;
    }
    return is_object ? E::CommaOrBrace : E::CommaOrBracket;
}

void ScanState::record_misplaced(const ContainerFrame& f, uint8_t byte, uint64_t offset) {
    record_corruption_at(ParseErrorKind::unexpected_token(expected_in(f.state, f.is_object != 0), byte), offset);
}

void ScanState::check_open_string(uint64_t offset, std::string_view content) {
    if (frames.empty()) return;
    const ContainerFrame& f = frames.back();
    if (!takes_key(f) && !takes(kTakesValue, f.state)) record_misplaced(f, '"', offset);
    bool read = describer != nullptr;
    for (const auto& d : drivers) read = read || d.has_reading_capture();
    if (!read) return;
    // An escape cut short by the end of the input is not a fault: only the
    // end is.
    const std::optional<value::BadByte> bad = value::escape_fault(content);
    if (bad && bad->at < content.size()) record_corruption_at(bad->kind, offset + 1 + bad->at);
}

void ScanState::record_incomplete(ParseErrorKind kind) {
    if (error || settled) return;
    error = RecordedError{kind, stream_offset};
    error_near = NearBytes{stream_offset, {}};
}

}  // namespace jorvane::engine
