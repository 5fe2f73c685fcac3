// QueryNFA: the position (Glushkov) automaton of a query tree. Every leaf is
// one position with a TransitionLabel; state 0 is the initial state and
// state p + 1 the state reached just after reading position p, so every edge
// into state p + 1 is labelled by position p. No empty moves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dfa_core/ast.h"
#include "dfa_core/common.h"
#include "dfa_core/query_parse_error.h"
#include "util/result.h"

namespace jorvane::dfa_core {

// Follow pairs (plus the steps spent finding them) one automaton may need;
// past it the query is refused as too large.
inline constexpr uint64_t kMaxFollowWork = uint64_t{1} << 23;

struct QueryNFA {
    // Per state, the positions p of its outgoing edges (p, p + 1), ascending
    // and without repeats.
    std::vector<std::vector<uint32_t>> edges;
    std::vector<TransitionLabel> positions;  // one label per position
    std::vector<uint8_t> accepting;          // per state
    std::vector<uint8_t> first;              // per position
    std::vector<uint8_t> last;               // per position
    std::vector<std::vector<uint32_t>> follows;  // per position
    size_t num_states = 1;
    size_t initial = 0;
    bool nullable = false;

    // The automaton of one query. Fails on trees nested deeper than
    // kMaxTreeDepth and on queries whose follow relation is too large.
    // Panics on a Regex node.
    static Result<QueryNFA, QueryParseError> build(const ast::Query& query);

    // Appends one label per leaf of `query` to `nfa.positions`, in position
    // order (depth-first, left to right).
    static void linearize_query(QueryNFA& nfa, const ast::Query& query);

    // The number of positions of `query` (panics on a Regex node).
    static size_t position_count(const ast::Query& query);
};

// The panic raised by every pass that meets a Regex node.
[[noreturn]] void panic_on_regex();

// The label of a leaf's position.
TransitionLabel leaf_label(const ast::Query& leaf);

namespace nfa {

// The number of leaves under `node` (no recursion).
size_t count_subquery_positions(const ast::Query& node);

// Whether `node` matches the empty step sequence.
bool contains_empty_word(const ast::Query& node);

// Set in `flags` (one entry per position of the whole query) the positions
// that can begin (first) or end (last) a match of `node`. `offset` is the
// node's first position on entry, one past its last position on return.
void compute_first_set(std::vector<uint8_t>& flags, const ast::Query& node, size_t& offset);
void compute_last_set(std::vector<uint8_t>& flags, const ast::Query& node, size_t& offset);

// Appends to `follows` (one list per position of the whole query) every
// follow pair that `node` creates; `offset` as above. Fails once more than
// kMaxFollowWork pairs would be needed.
Result<void, QueryParseError> compute_follows_set(std::vector<std::vector<uint32_t>>& follows,
                                                  const ast::Query& node, size_t& offset);

}  // namespace nfa

// The refusal of a query whose automaton would be too large to build.
QueryParseError query_too_large();

}  // namespace jorvane::dfa_core
