// Recording the first structural error of a source: the first one wins and
// stops every driver. A scan whose queries have all settled records none:
// what lies after the point where they settled is not the queries' concern,
// and where the walk happens to stop after it depends on the buffers. A
// token that its container does not take is named with what the container
// wanted there.
#include "engine/walk/scan_state.h"

namespace jorvane::engine {

void ScanState::record_corruption_at(ParseErrorKind kind, uint64_t offset) {
    if (error || settled) return;
    error = RecordedError{kind, offset};
    for (auto& d : drivers) d.stopped = true;
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
}

}  // namespace jorvane::engine
