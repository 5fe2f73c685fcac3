// Recording the first structural error of a source: the first one wins and
// stops every driver. A scan whose queries have all settled records none:
// what lies after the point where they settled is not the queries' concern,
// and where the walk happens to stop after it depends on the buffers.
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

void ScanState::record_incomplete(ParseErrorKind kind) {
    if (error || settled) return;
    error = RecordedError{kind, stream_offset};
}

}  // namespace jorvane::engine
