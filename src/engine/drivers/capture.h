// Value capture: while a matched container is open, the driver records its
// tokens; when it closes, the value is rebuilt from the recording.
//
// A recording keeps one byte arena per capture and a flat list of events that
// point into it, so recording a token costs no allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/values/value.h"

namespace jorvane::engine {

struct CapturedEvent {
    enum Kind : uint8_t { Open = 0, Close = 1, Key = 2, Atom = 3, String = 4 };
    Kind kind = Open;
    uint8_t is_object = 0;  // Open only
    uint32_t len = 0;       // Key, Atom, String: bytes in the arena
    uint64_t offset = 0;
};

struct ActiveCapture {
    std::vector<CapturedEvent> events;
    std::string bytes;     // arena of the Key/Atom/String events
    int64_t depth = 0;     // +1 per open, -1 per close; 0 again = finished
    uint64_t labels = 0;   // queries the capture was started for
    uint8_t is_object = 0;
    bool recording = false;  // whether events are stored (else depth only)

    std::string_view event_bytes(const CapturedEvent& e) const { return {bytes.data() + e.offset, e.len}; }
};

// Containers nested deeper than this inside one captured value are refused.
inline constexpr uint32_t kMaxCapturedNesting = 1000;

// Feeds one token to every capture of a driver: opens and closes move the
// depth; recording captures keep a copy.
void buffer_if_capturing(std::vector<ActiveCapture>& captures, CapturedEvent::Kind kind, uint8_t is_object,
                         std::string_view bytes);

// Rebuilds the value that starts at event `pos` (advanced past it). Returns
// nothing when containers nest past the limit.
std::optional<Value> materialize_next(const ActiveCapture& capture, size_t& pos, uint32_t depth);

// The value of a scalar token: an atom by its first byte (null for anything
// that is not a literal or number), a string decoded.
Value scalar_to_value(bool is_string, std::string_view bytes);

// Rebuilds a finished recording capture's whole value.
std::optional<Value> materialize(const ActiveCapture& capture);

}  // namespace jorvane::engine
