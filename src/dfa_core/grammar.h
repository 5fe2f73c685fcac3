// The query grammar, matched by a small PEG matcher of our own.
//
// QueryMatcher::parse matches a whole text against the `query` rule and
// returns the tree of pairs (rule, span, inner pairs) that tree building
// reads, or a syntax error: the furthest position at which tracked rules
// failed and the rules expected there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace jorvane::dfa_core::grammar {

// The grammar's rules. The numbering is the order in which a syntax error
// lists expected rules, and the names are what it prints.
enum class Rule : uint8_t {
    EOI,
    WHITESPACE,
    reserved,
    query,
    disjunction,
    group,
    sequence,
    step,
    modifier,
    atom,
    field,
    index,
    range,
    range_start,
    range_end,
    array_wildcard,
    field_wildcard,
    regex,
    unquoted_field,
    quoted_field,
    string_inner,
    char_,
    regex_char,
    number,
};

// The rule's name as a syntax error prints it ("EOI", "step", "char", ...).
std::string_view rule_name(Rule rule);

// One matched piece of the text.
struct Pair {
    Rule rule = Rule::EOI;
    size_t start = 0;       // byte offsets into the text
    size_t end = 0;
    std::string_view text;  // the matched slice
    std::vector<Pair> inner;
};

struct SyntaxError {
    size_t position = 0;         // byte offset of the failure
    std::vector<Rule> expected;  // sorted by rule number, no repeats
    // Groups nested more than kMaxGroupDepth deep: the match was abandoned.
    bool nesting_too_deep = false;
};

struct QueryMatcher {
    // Matches `text` with the `query` rule. On success the result is the one
    // `query` pair spanning the whole text.
    static Result<Pair, SyntaxError> parse(std::string_view text);
};

}  // namespace jorvane::dfa_core::grammar
