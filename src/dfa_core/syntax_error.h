// The text of a query syntax error: six lines giving the line and column,
// the failing line, a caret under the failing character and the list of
// rules expected there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dfa_core/grammar.h"

namespace jorvane::dfa_core {

// Line and column (both from 1, the column in characters) of byte offset
// `position`. A line feed, or a carriage return directly followed by a line
// feed, ends a line; a lone carriage return is an ordinary character.
std::pair<size_t, size_t> line_and_column(std::string_view text, size_t position);

// "expected a", "expected a or b", "expected a, b, or c".
std::string expected_message(const std::vector<grammar::Rule>& expected);

// The six-line rendering of a syntax error at `position`.
std::string render_syntax_error(std::string_view text, size_t position, const std::vector<grammar::Rule>& expected);

}  // namespace jorvane::dfa_core
