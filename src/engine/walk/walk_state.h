// The small records the event walk keeps: the position inside the current
// chunk, one frame per open container, the kind of a token that a buffer end
// cut in two, the check of a skipped container, and what the fast walk hands
// over about an open container.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    // Source offset of the current member key's opening quote (objects, while
    // key paths are tracked).
    uint64_t key_offset = 0;
};

// The frame states in which a value may stand (a string that is no key, an
// atom, a container), and those in which the container may close.
inline constexpr uint32_t kTakesValue =
    1u << static_cast<unsigned>(FrameState::ValueExpected) | 1u << static_cast<unsigned>(FrameState::ArrayStart);
inline constexpr uint32_t kTakesClose = 1u << static_cast<unsigned>(FrameState::AfterValue) |
                                        1u << static_cast<unsigned>(FrameState::ObjectStart) |
                                        1u << static_cast<unsigned>(FrameState::ArrayStart);
[[gnu::always_inline]] inline bool takes(uint32_t states, FrameState s) {
    return ((states >> static_cast<unsigned>(s)) & 1) != 0;
}

// Whether a string in frame `f` is a member key.
[[gnu::always_inline]] inline bool takes_key(const ContainerFrame& f) {
    return f.is_object && (f.state == FrameState::KeyExpected || f.state == FrameState::ObjectStart);
}

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

// A container skipped inside a capture kept as raw text is still read for
// what the walk would refuse in it: a token its container does not take, a
// byte that begins no token, a close of the other kind, an atom or a string
// escape a strict reader refuses. What that check keeps between chunks and
// buffers (engine/walk/skip_check.h).
struct SkipCheck {
    // A string escape still due: after a backslash, the byte it escapes; or
    // that many of a \u escape's hexadecimal digits (1 to 4).
    static constexpr uint8_t kEscapedByte = 5;

    bool on = false;
    uint8_t outer_is_object = 0;  // the kind of the skipped container
    // The grammar position in the innermost container open (the skipped one
    // when none is inside it), as a frame's state.
    FrameState state = FrameState::ObjectStart;
    bool quote_open = false;   // a string began; its closing quote is the next position
    uint8_t escape = 0;        // inside that string: what is due of an escape (0 none)
    bool atom_open = false;    // an atom whose end is not seen yet
    uint64_t atom_from = 0;    // its first byte in this buffer (0 when it began earlier)
    uint64_t atom_offset = 0;  // absolute offset of its first byte
    std::string atom;          // its bytes from earlier buffers
    // The kinds of the containers open inside the skipped one (1 = object):
    // the innermost `kind_count` (up to 64) in the low bits of `kinds`,
    // innermost lowest, and full words of outer ones in `deeper_kinds`.
    uint64_t kinds = 0;
    uint32_t kind_count = 0;
    std::vector<uint64_t> deeper_kinds;
    // How many containers may be open inside the skipped one: a kept value
    // nests at most kNestingLimit deep, and the open past it is refused.
    uint64_t room = UINT64_MAX;

    // A skip of a container of that kind starts, with `room` for the
    // containers inside it.
    void begin(uint8_t is_object, uint64_t nesting_room) {
        clear();
        on = true;
        outer_is_object = is_object;
        state = is_object ? FrameState::ObjectStart : FrameState::ArrayStart;
        room = nesting_room;
    }
    void clear() {
        on = quote_open = atom_open = false;
        escape = 0;
        atom.clear();
        kinds = 0;
        kind_count = 0;
        deeper_kinds.clear();
    }
    // Whether the innermost container open is an object.
    bool innermost_is_object() const {
        if (kind_count > 0) return (kinds & 1) != 0;
        return deeper_kinds.empty() ? outer_is_object != 0 : (deeper_kinds.back() & 1) != 0;
    }
};

// What the fast walk (engine/walk/fast_walk.h) knows of one container it has
// open when it hands over to the general walk.
struct FastLevel {
    uint64_t array_index = 0;  // index of the next element (arrays)
    uint64_t new_labels = 0;   // labels of the counting capture this container started
    uint32_t state = 0;        // the driver's automaton state for the container
    FrameState frame_state = FrameState::ObjectStart;
    uint8_t is_object = 0;
};

// What the row walk (engine/walk/row_walk.h) knows of one container it has
// open: both automata's states for it (the column queries' and the row
// anchor's).
struct RowLevel {
    uint64_t array_index = 0;
    uint32_t cs = 0;
    uint32_t as = 0;
    FrameState frame_state = FrameState::ObjectStart;
    uint8_t is_object = 0;
};

// What the row walk hands over: its open containers (automaton states
// written), both drivers' current states, a skip in progress, the level of
// the open row's container and its anchor labels, and the level of the
// matched container being recorded (UINT32_MAX for none).
struct RowWalkHandOver {
    const RowLevel* levels = nullptr;
    uint32_t count = 0;
    uint32_t column_state = 0;
    uint32_t anchor_state = 0;
    uint64_t skip = 0;
    uint32_t row_level = UINT32_MAX;
    uint64_t row_labels = 0;
    uint32_t capture_level = UINT32_MAX;
};

// Containers nested deeper than this are left to the general walk.
inline constexpr uint32_t kMaxFastDepth = 64;

}  // namespace jorvane::engine
