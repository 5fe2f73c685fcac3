// Recording the first structural error of a source, and turning a recorded
// error into the error value with the input around it.
#include "engine/engine.h"

namespace jorvane::engine {

void Engine::record_corruption_at(ParseErrorKind kind, uint64_t offset) {
    if (error) return;
    error = RecordedError{kind, offset};
    for (auto& d : drivers) d.stopped = true;
}

void Engine::record_corruption(ParseErrorKind kind, uint64_t position) {
    record_corruption_at(kind, stream_offset + position);
}

void Engine::record_incomplete(ParseErrorKind kind) {
    if (error) return;
    error = RecordedError{kind, stream_offset};
}

JorvaneError Engine::parse_error(uint64_t buffer_offset, const RecordedError& recorded,
                                 std::span<const uint8_t> buffer) {
    return make_parse_error(buffer_offset, recorded.kind, recorded.offset, buffer);
}

}  // namespace jorvane::engine
