// ast::Query: the query tree that the automata are built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dfa_core/query_parse_error.h"
#include "util/result.h"

namespace jorvane::dfa_core {

// Groups may nest this deep in query text; one level more is a compile error.
inline constexpr size_t kMaxGroupDepth = 256;
// Trees may be this deep (a node counts one level). Every tree the parser
// builds stays well inside it; it bounds the recursive passes over hand-built
// and fused trees too.
inline constexpr size_t kMaxTreeDepth = 4 * kMaxGroupDepth + 64;

namespace ast {

struct Query {
    // Declaration order matters only for display in tests.
    enum class Kind : uint8_t {
        Field,          // text = the decoded name
        Index,          // index
        Range,          // start, end (either absent: 0 / no upper bound)
        RangeFrom,      // index = start
        FieldWildcard,  //
        ArrayWildcard,  //
        Regex,          // text = the pattern; never built from query text
        Optional,       // children[0]
        KleeneStar,     // children[0]
        Disjunction,    // children = the alternatives
        Sequence,       // children = the steps; none = the whole-document query
    };

    Kind kind = Kind::Sequence;
    std::string text;
    uint64_t index = 0;
    std::optional<uint64_t> start;
    std::optional<uint64_t> end;
    std::vector<Query> children;

    static Query field(std::string name);
    static Query index_at(uint64_t i);
    static Query range(std::optional<uint64_t> start, std::optional<uint64_t> end);
    static Query range_from(uint64_t start);
    static Query field_wildcard();
    static Query array_wildcard();
    static Query regex(std::string pattern);
    static Query optional(Query child);
    static Query kleene_star(Query child);
    static Query disjunction(std::vector<Query> alternatives);
    static Query sequence(std::vector<Query> steps);

    // True for the six leaf kinds and Regex.
    bool is_leaf() const;
    // The whole-document query: a Sequence without steps.
    bool is_empty_query() const { return kind == Kind::Sequence && children.empty(); }

    // Parses query text into a tree (grammar, tree building, refusals).
    static Result<Query, QueryParseError> from_str(std::string_view text);

    bool operator==(const Query&) const = default;
};

// The number of nodes on the longest root-to-leaf path, computed without
// recursion; stops counting once it passes `limit` (and returns limit + 1).
size_t tree_depth(const Query& query, size_t limit = kMaxTreeDepth);

// The refusal of a tree nested deeper than kMaxTreeDepth.
QueryParseError tree_too_deep();

// Refuses trees deeper than kMaxTreeDepth with a compile error. Panics on a
// malformed hand-built tree (an Optional or KleeneStar without exactly one
// child).
Result<void, QueryParseError> check_tree_depth(const Query& query);

}  // namespace ast
}  // namespace jorvane::dfa_core
