// Text helpers shared by every message of the system.
//
// The quoted ("debug") form puts a text in double quotes (a single character
// in single quotes) and escapes: the enclosing quote and the backslash with a
// backslash; tab, line feed, carriage return and NUL as \t \n \r \0; every
// other character that is not printable, and every grapheme extender
// (combining mark), as \u{h} with h in lowercase hex without leading zeros.
// Printable means assigned with a general category of letter, mark, number,
// punctuation or symbol, or U+0020 SPACE; so controls, format characters,
// surrogates, private-use and unassigned code points, and every separator
// other than SPACE are escaped. The double quote is not escaped inside single
// quotes, nor the single quote inside double quotes.
//
// With nul_as_unicode, NUL is written \u{0} instead of \0 (the form of the
// structural error texts: both the offending byte and the input context).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace jorvane {

// The quoted form of a UTF-8 text (invalid UTF-8 is decoded lossily first).
std::string debug_quote(std::string_view text, bool nul_as_unicode = false);
// Appends the quoted form of `text` to `out`.
void append_debug_quote(std::string& out, std::string_view text, bool nul_as_unicode = false);
// The quoted form of one character (single quotes), given its code point.
// A value that is not a Unicode scalar value (a surrogate, or above
// U+10FFFF) is written \u{h}.
std::string debug_char(uint32_t code_point, bool nul_as_unicode = false);

// `bytes` decoded as UTF-8, every invalid sequence replaced by U+FFFD (the
// maximal-subpart rule: one replacement per maximal invalid prefix).
std::string lossy_utf8(std::string_view bytes);
// True when `bytes` is valid UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Appends the UTF-8 encoding of one code point (at most U+10FFFF).
void append_utf8(std::string& out, uint32_t code_point);

// Unicode classes used by the quoted form.
bool is_printable(uint32_t code_point);
bool is_grapheme_extend(uint32_t code_point);

// The Unicode White_Space characters (U+0009 to U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
bool is_unicode_whitespace(uint32_t code_point);
// `text` without the White_Space characters at either end; trimming stops at
// an invalid UTF-8 sequence.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace jorvane
