// Recording the first structural error of a source: the first one wins and
// stops every driver.
#include "engine/walk/scan_state.h"

namespace jorvane::engine {

void ScanState::record_corruption_at(ParseErrorKind kind, uint64_t offset) {
    if (error) return;
    error = RecordedError{kind, offset};
    for (auto& d : drivers) d.stopped = true;
}

void ScanState::record_corruption(ParseErrorKind kind, uint64_t position) {
    record_corruption_at(kind, stream_offset + position);
}

void ScanState::record_incomplete(ParseErrorKind kind) {
    if (error) return;
    error = RecordedError{kind, stream_offset};
}

}  // namespace jorvane::engine
