// Tree building: query text to ast::Query, through the grammar's pairs.
#pragma once

#include <string>
#include <string_view>

#include "dfa_core/ast.h"
#include "dfa_core/grammar.h"
#include "dfa_core/query_parse_error.h"
#include "util/result.h"

namespace jorvane::dfa_core::parser {

// The whole conversion behind ast::Query::from_str: a text that is nothing
// but Unicode whitespace is the whole-document query; anything else must
// match the grammar and convert.
Result<ast::Query, QueryParseError> parse_query(std::string_view text);

// A `disjunction` pair: its one alternative, or a Disjunction of them.
Result<ast::Query, QueryParseError> parse_disjunction(const grammar::Pair& pair);
// A `sequence` pair: always a Sequence of its steps.
Result<ast::Query, QueryParseError> parse_sequence(const grammar::Pair& pair);
// An `index` pair: Index(i), i below 2^64 - 1.
Result<ast::Query, QueryParseError> parse_index(const grammar::Pair& pair);
// A `range` pair: Range, RangeFrom or ArrayWildcard.
Result<ast::Query, QueryParseError> parse_range(const grammar::Pair& pair);
// The text of a `field` pair: a Field of the (decoded) name, or the refusal
// of a name that no document key can ever equal.
Result<ast::Query, QueryParseError> parse_field(std::string_view text);

}  // namespace jorvane::dfa_core::parser
