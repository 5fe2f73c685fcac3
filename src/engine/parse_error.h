// ParseError: a structural error as the engine reports it: what went wrong,
// where in the source, and the input around that place. The run layer turns
// it into the system's error type with the partial results attached.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/parse_error_kind.h"

namespace jorvane::engine {

struct ParseError {
    ParseErrorKind kind;
    uint64_t offset = 0;  // absolute byte offset in the source
    // Lossy UTF-8 text of the input around the error (at most 64 bytes
    // either side, never outside the buffer that held it); empty when no
    // buffer was at hand.
    std::string context;

    // The input ended early (else it is malformed).
    bool end_of_input() const { return kind.is_end_of_input(); }
};

// The error recorded at absolute `offset`, with the text of `buffer` (whose
// first byte is at absolute `buffer_offset`) around it.
ParseError make_parse_error(ParseErrorKind kind, uint64_t offset, uint64_t buffer_offset,
                            std::span<const uint8_t> buffer);

}  // namespace jorvane::engine
