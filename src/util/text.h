// Text helpers shared by every message of the system.
//
// The quoted ("debug") form puts a text in double quotes (a single character
// in single quotes) and escapes: the enclosing quote and the backslash with a
// backslash; tab, line feed, carriage return and NUL as \t \n \r \0; every
// other character that Unicode does not class as printable, and every
// grapheme extender (combining mark), as \u{h} with h in lowercase hex.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace jorvane {

// The quoted form of a UTF-8 text (invalid UTF-8 is decoded lossily first).
std::string debug_quote(std::string_view text);
// Appends the quoted form of `text` to `out`.
void append_debug_quote(std::string& out, std::string_view text);
// The quoted form of one character (single quotes), given its code point.
std::string debug_char(uint32_t code_point);

// `bytes` decoded as UTF-8, every invalid sequence replaced by U+FFFD (the
// maximal-subpart rule: one replacement per maximal invalid prefix).
std::string lossy_utf8(std::string_view bytes);
// True when `bytes` is valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Unicode classes used by the quoted form.
bool is_printable(uint32_t code_point);
bool is_grapheme_extend(uint32_t code_point);

}  // namespace jorvane
