// The small records the event walk keeps: the position inside the current
// chunk, one frame per open container, the kind of a token that a buffer end
// cut in two, and what the fast walk hands over about an open container.
#pragma once

#include <cstdint>

namespace jorvane::engine {

enum class FrameState : uint8_t {
    KeyExpected = 0,    // object, after ','
    ObjectStart = 1,    // object just opened
    AfterKey = 2,       // object, after a key
    ValueExpected = 3,  // object after ':', array after ','
    AfterValue = 4,
    ArrayStart = 5,     // array just opened
};

struct ContainerFrame {
    uint64_t array_index = 0;   // index of the next element (arrays)
    uint32_t key_path_len = 0;  // length of the engine's key path when the container opened
    FrameState state = FrameState::ObjectStart;
    uint8_t is_object = 0;
};

inline constexpr uint64_t kNoPosition = ~uint64_t{0};

// Walk position within the chunk being walked.
struct ChunkCursor {
    // Buffer position of a token that began at the last structural position
    // of an earlier chunk of this buffer and has not ended; kNoPosition if none.
    uint64_t open_token_start = kNoPosition;
    uint64_t bits = 0;     // structural positions not yet walked (bit k = byte k)
    uint64_t openers = 0;  // '{' '[' outside strings
    uint64_t closers = 0;  // '}' ']' outside strings
    uint64_t base = 0;     // buffer position of the chunk's first byte

    bool has_open_token() const { return open_token_start != kNoPosition; }
};

enum class CutTokenKind : uint8_t { Atom = 0, String = 1, None = 2 };

// What the fast walk (engine/walk/fast_walk.h) knows of one container it has
// open when it hands over to the general walk.
struct FastLevel {
    uint64_t array_index = 0;  // index of the next element (arrays)
    uint64_t new_labels = 0;   // labels of the counting capture this container started
    uint32_t state = 0;        // the driver's automaton state for the container
    FrameState frame_state = FrameState::ObjectStart;
    uint8_t is_object = 0;
};

// Containers nested deeper than this are left to the general walk.
inline constexpr uint32_t kMaxFastDepth = 64;

}  // namespace jorvane::engine
