// Helpers for JSON string escapes shared by the query parser and the value
// decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace jorvane {

// The character of the two-character escape backslash-`c` for the eight
// short escapes (" \ / b f n r t); nothing for any other `c`, the unicode
// escape "u" included.
std::optional<char> short_escape(char c);

// The 16-bit unit written by the four hexadecimal digits at `pos`; nothing
// when fewer than four bytes remain or one of them is not a hex digit.
std::optional<uint16_t> read_hex4(std::string_view bytes, size_t pos);

// Reads a "\uXXXX" escape starting at `pos` in `bytes` and returns its 16-bit
// code unit when that unit is a low surrogate (DC00..DFFF). Anything else (no
// backslash-u at `pos`, fewer than four bytes after the "u", a non-hex digit,
// any other unit) gives nothing.
std::optional<uint16_t> read_low_surrogate_escape(std::string_view bytes, size_t pos);

}  // namespace jorvane
