// Value capture: while a matched container is open, the driver records its
// tokens; when it closes, the value is rebuilt from the recording.
//
// A recording keeps one byte arena per capture and a flat list of events that
// point into it, so recording a token costs no allocation of its own.
//
// A recording capture is kept by some accumulator, so every scalar and key it
// records is read as it goes by, once for all the captures of the driver, for
// what a strict JSON reader refuses (value::atom_fault, value::escape_fault):
// a number atom is read by number::read_json, whose one pass checks the JSON
// number grammar and classifies the number, and the event keeps that
// classification (an integer that fits 64 bits is kept in the event itself,
// with no arena bytes), so rebuilding reads no number again. The first
// refused scalar or key is noted in each capture holding it, with the source
// offset of the byte it names, and fails the scan there; such a capture is
// never rebuilt. A capture kept as document text records nothing but reads
// its scalars and keys the same way, so its text fails the scan exactly where
// the value would. A capture checks values only when some label it was
// started for still takes matches and keeps them (as values, or as text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/parse_error_kind.h"
#include "engine/values/value.h"

namespace jorvane::engine {

struct CapturedEvent {
    // Atom: a literal other than a well-formed number (true, false, null, or
    // a malformed number in a capture that is never rebuilt); Number: a
    // well-formed number, already read.
    enum Kind : uint8_t { Open = 0, Close = 1, Key = 2, Atom = 3, String = 4, Number = 5 };
    Kind kind = Open;
    uint8_t is_object = 0;                              // Open only
    NumberView::Kind number = NumberView::Kind::Int;    // Number only: how it was read
    uint32_t len = 0;                                   // Key, Atom, String, Number other than Int: arena bytes
    union {
        uint64_t offset = 0;  // of the bytes in the arena
        int64_t int_value;    // Number read as Int: the integer itself
    };
};

// A scalar or key that a strict JSON reader refuses: the error kind, which
// names one of its bytes, and that byte's source offset.
struct MalformedValue {
    ParseErrorKind kind;
    uint64_t offset = 0;
};

// The fault of a scalar: an atom's trimmed literal, whose first byte is at
// source offset `offset`, or a string's or key's raw bytes between the
// quotes, whose opening quote is at `offset`. (Inline: nearly every scalar
// has none, which a literal compare, the number grammar or a look for a
// backslash shows.)
std::optional<MalformedValue> scalar_fault_slow(bool is_string, std::string_view bytes, uint64_t offset);
[[gnu::always_inline]] inline std::optional<MalformedValue> scalar_fault(bool is_string, std::string_view bytes,
                                                                        uint64_t offset) {
    if (is_string ? !value::has_backslash(bytes) : value::atom_is_strict(bytes)) [[likely]]
        return std::nullopt;
    return scalar_fault_slow(is_string, bytes, offset);
}

struct ActiveCapture {
    std::vector<CapturedEvent> events;
    std::string bytes;     // arena of the Key/Atom/String events
    int64_t depth = 0;     // +1 per open, -1 per close; 0 again = finished
    uint64_t labels = 0;   // queries the capture was started for
    uint8_t is_object = 0;
    bool recording = false;  // whether events are stored (else depth only)
    // Whether scalars and keys are read and the first refused one noted: a
    // recording capture, or one kept as document text.
    bool checks_values = false;
    std::optional<MalformedValue> malformed;  // the first one noted

    std::string_view event_bytes(const CapturedEvent& e) const { return {bytes.data() + e.offset, e.len}; }

    // Appends one event; `text`, when not empty, is copied into the arena.
    [[gnu::always_inline]] void push(CapturedEvent::Kind kind, uint8_t opens_object, std::string_view text) {
        CapturedEvent e;
        e.kind = kind;
        e.is_object = opens_object;
        if (!text.empty()) {
            e.offset = bytes.size();
            e.len = static_cast<uint32_t>(text.size());
            bytes.append(text);
        }
        events.push_back(e);
    }

    // Appends a well-formed number `text` read as `n`: an integer that fits
    // 64 bits is kept in the event, any other number as its text.
    [[gnu::always_inline]] void push_number(const NumberView& n, std::string_view text) {
        CapturedEvent e;
        e.kind = CapturedEvent::Number;
        e.number = n.kind;
        if (n.kind == NumberView::Kind::Int) {
            e.int_value = n.int_value;
        } else {
            e.offset = bytes.size();
            e.len = static_cast<uint32_t>(text.size());
            bytes.append(text);
        }
        events.push_back(e);
    }
};

// Containers nested deeper than this inside one captured value are refused
// where the walk opens them. A capture that only counts its value skips the
// containers in which nothing matches, so only a value kept as text counts
// those too (see SkipCheck).
inline constexpr uint32_t kMaxCapturedNesting = kNestingLimit;

// Whether a capture keeps its value (records it, or reads it as text).
inline bool keeps_value(const ActiveCapture& c) { return c.recording || c.checks_values; }

// Feeds one token to every capture of a driver: opens and closes move the
// depth; recording captures keep a copy.
void buffer_if_capturing(std::vector<ActiveCapture>& captures, CapturedEvent::Kind kind, uint8_t is_object,
                         std::string_view bytes);

// Feeds a container's open to every capture; whether it takes one past
// kMaxCapturedNesting. The open is refused there, at its bracket, so a
// recording never grows past the limit (what it holds is let go).
bool capture_open(std::vector<ActiveCapture>& captures, uint8_t is_object);

// How many more containers may open inside the innermost one open before a
// capture that keeps its value goes past kMaxCapturedNesting (UINT64_MAX
// when none keeps one).
uint64_t nesting_room(const std::vector<ActiveCapture>& captures);

// Feeds one scalar token, which starts at source offset `offset` (a string's
// opening quote), to every capture. A number atom is read once; a refused
// scalar is noted in each capture that checks values and has none yet, and
// returned when one does.
std::optional<MalformedValue> capture_scalar(std::vector<ActiveCapture>& captures, bool is_string,
                                             std::string_view bytes, uint64_t offset);

// Feeds one member key (raw bytes, its opening quote at source offset
// `offset`) to every capture: noted and returned when refused, recorded when
// recording.
std::optional<MalformedValue> capture_key(std::vector<ActiveCapture>& captures, std::string_view key, uint64_t offset);

// Notes `m` in each capture that checks values and has none noted yet;
// whether some capture checks values.
bool note_malformed(std::vector<ActiveCapture>& captures, const MalformedValue& m);

// Reads a scalar for captures that only check values (none records): a
// refused one is noted and returned as capture_scalar does.
std::optional<MalformedValue> check_scalar(std::vector<ActiveCapture>& captures, bool is_string, std::string_view bytes,
                                           uint64_t offset);

// Rebuilds the value that starts at event `pos` (advanced past it). Returns
// nothing when containers nest past the limit.
std::optional<Value> materialize_next(const ActiveCapture& capture, size_t& pos, uint32_t depth);

// Rebuilds a finished recording capture's whole value.
std::optional<Value> materialize(const ActiveCapture& capture);

}  // namespace jorvane::engine
