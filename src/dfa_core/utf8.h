// UTF-8 stepping for the query text: one character at a time, an invalid
// byte counting as one character of its own, so that any byte string can be
// walked without failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace jorvane::dfa_core {

struct Utf8Char {
    uint32_t code_point;  // U+FFFD for an invalid byte
    size_t length;        // bytes taken, at least 1
};

// The character starting at `pos` (pos < text.size()).
Utf8Char utf8_at(std::string_view text, size_t pos);

}  // namespace jorvane::dfa_core
