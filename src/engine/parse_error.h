// ParseError: a structural error as the engine reports it: what went wrong,
// where in the source, and the input around that place. The run layer turns
// it into the system's error type with the partial results attached.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/near_bytes.h"
#include "engine/parse_error_kind.h"

namespace jorvane::engine {

struct ParseError {
    ParseErrorKind kind;
    uint64_t offset = 0;  // absolute byte offset in the source
    // The input around the error: up to 64 bytes either side of it,
    // wherever the buffers were cut; none when the error was found after
    // the last buffer. `near_open`: the input may hold more of the window
    // after its last byte (it reached the end of the bytes at hand, the
    // buffer that held the error, short of 64 bytes past the offset); the
    // loop that read that buffer adds the next ones.
    NearBytes near;
    bool near_open = false;

    // The input ended early (else it is malformed).
    bool end_of_input() const { return kind.is_end_of_input(); }
    // The bytes around the error as lossy UTF-8 text (a character cut by
    // the window shows as U+FFFD).
    std::string context() const;
};

// The error recorded at absolute `offset`, with the text of `buffer` (whose
// first byte is at absolute `buffer_offset`) around it.
ParseError make_parse_error(ParseErrorKind kind, uint64_t offset, uint64_t buffer_offset,
                            std::span<const uint8_t> buffer);

// The error recorded at absolute `offset` showing `near`, gathered from the
// bytes at hand, which end at absolute `known_end`.
ParseError near_parse_error(ParseErrorKind kind, uint64_t offset, NearBytes near, uint64_t known_end);

// What the bytes shown by an error at a source's first byte open the source
// with: a UTF-8 byte-order mark (only a stray 0xEF can begin one), the magic
// of gzip or zstd data (whatever kind the first byte got), or none of them.
// The bytes that decide may lie in buffers not seen yet (`Undecided`: the
// window is still open and holds the first part of a mark).
enum class OpeningMark : uint8_t { None, ByteOrderMark, Gzip, Zstd, Undecided };
OpeningMark opening_mark(const ParseError& error);

// The kind an error at a source's first byte is reported with once its
// opening `mark` is decided: a byte-order mark is named as such, compressed
// data keeps the kind found and adds how to read it.
ParseErrorKind opening_kind(ParseErrorKind found, OpeningMark mark);

// Adds what `buffer` (its first byte at absolute `buffer_offset`, the one
// just after the bytes shown) holds of the window, while the window is
// open. Whether it is still open afterwards.
bool show_bytes_after(ParseError& error, uint64_t buffer_offset, std::span<const uint8_t> buffer);

}  // namespace jorvane::engine
