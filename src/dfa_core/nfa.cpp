// The Glushkov construction over a query tree.
//
// Leaves are numbered left to right; the positions of any subtree are
// contiguous, so a subtree is identified by its first position (offset) and
// its size. Four relations are computed by recursion over the tree (whose
// depth the callers bound): nullable, first (positions that can begin a
// match), last (positions that can end one) and follows (for each position,
// the positions that may come right after it). A star adds last(child) x
// first(child); a sequence adds last(c_i) x first(c_j) for every later c_j up
// to and including the first one that is not nullable.
#include "dfa_core/nfa.h"

#include <algorithm>

#include "util/panic.h"

namespace jorvane::dfa {

using ast::Query;
using Kind = ast::Query::Kind;

void panic_on_regex() {
    panic(
        "not implemented: regex query steps (/pattern/) are not implemented; the string parser rejects them before "
        "construction, so only a hand-built Query::Regex AST can reach here");
}

QueryParseError query_too_large() {
    return QueryParseError::unexpected_token(
        "query is too large to compile: its automaton would exceed the size limit; simplify it or split it into "
        "several queries");
}

TransitionLabel leaf_label(const Query& leaf) {
    switch (leaf.kind) {
        case Kind::Field:
            return TransitionLabel::field(leaf.text);
        case Kind::Index:
            return TransitionLabel::range(leaf.index, leaf.index + 1);
        case Kind::Range:
            return TransitionLabel::range(leaf.start.value_or(0), leaf.end.value_or(kMaxIndex));
        case Kind::RangeFrom:
            return TransitionLabel::range_from(leaf.index);
        case Kind::FieldWildcard:
            return TransitionLabel::field_wildcard();
        case Kind::ArrayWildcard:
            return TransitionLabel::range(0, kMaxIndex);
        case Kind::Regex:
            panic_on_regex();
        default:
            panic("internal error: not a leaf");
    }
}

namespace nfa {

namespace {

// The leaves are the six position kinds; a Regex node counts as a leaf for
// counting but panics in every other pass.
bool is_position(const Query& q) { return q.is_leaf(); }

// Appends the first positions of `node` (whose first position is `offset`)
// to `out`, in ascending order; returns the node's position count.
size_t first_of(const Query& node, size_t offset, std::vector<uint32_t>& out) {
    switch (node.kind) {
        case Kind::Regex:
            panic_on_regex();
        case Kind::Optional:
        case Kind::KleeneStar:
            return first_of(node.children[0], offset, out);
        case Kind::Disjunction: {
            size_t count = 0;
            for (const Query& child : node.children) count += first_of(child, offset + count, out);
            return count;
        }
        case Kind::Sequence: {
            size_t count = 0;
            bool open = true;
            for (const Query& child : node.children) {
                if (open) {
                    count += first_of(child, offset + count, out);
                    open = contains_empty_word(child);
                } else {
                    count += count_subquery_positions(child);
                }
            }
            return count;
        }
        default:
            out.push_back(static_cast<uint32_t>(offset));
            return 1;
    }
}

// As first_of, for the last positions (not necessarily in order).
size_t last_of(const Query& node, size_t offset, std::vector<uint32_t>& out) {
    switch (node.kind) {
        case Kind::Regex:
            panic_on_regex();
        case Kind::Optional:
        case Kind::KleeneStar:
            return last_of(node.children[0], offset, out);
        case Kind::Disjunction: {
            size_t count = 0;
            for (const Query& child : node.children) count += last_of(child, offset + count, out);
            return count;
        }
        case Kind::Sequence: {
            const size_t n = node.children.size();
            std::vector<size_t> starts(n + 1, offset);
            for (size_t i = 0; i < n; ++i) starts[i + 1] = starts[i] + count_subquery_positions(node.children[i]);
            for (size_t i = n; i-- > 0;) {
                last_of(node.children[i], starts[i], out);
                if (!contains_empty_word(node.children[i])) break;
            }
            return starts[n] - offset;
        }
        default:
            out.push_back(static_cast<uint32_t>(offset));
            return 1;
    }
}

std::vector<uint32_t> sorted_first(const Query& node, size_t offset) {
    std::vector<uint32_t> out;
    first_of(node, offset, out);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<uint32_t> sorted_last(const Query& node, size_t offset) {
    std::vector<uint32_t> out;
    last_of(node, offset, out);
    std::sort(out.begin(), out.end());
    return out;
}

struct FollowBuilder {
    std::vector<std::vector<uint32_t>>& follows;
    uint64_t work = 0;

    // Adds every pair of `from` x `to`; false once over budget.
    bool connect(const std::vector<uint32_t>& from, const std::vector<uint32_t>& to) {
        const uint64_t cost = 1 + static_cast<uint64_t>(from.size()) * to.size();
        if (cost > kMaxFollowWork - work) return false;
        work += cost;
        for (const uint32_t p : from) {
            std::vector<uint32_t>& list = follows[p];
            list.insert(list.end(), to.begin(), to.end());
        }
        return true;
    }

    // Returns the node's position count through `count`; false over budget.
    bool visit(const Query& node, size_t offset, size_t& count) {
        switch (node.kind) {
            case Kind::Regex:
                panic_on_regex();
            case Kind::Optional:
                return visit(node.children[0], offset, count);
            case Kind::Disjunction: {
                size_t total = 0;
                for (const Query& child : node.children) {
                    size_t c = 0;
                    if (!visit(child, offset + total, c)) return false;
                    total += c;
                }
                count = total;
                return true;
            }
            case Kind::KleeneStar: {
                const Query& child = node.children[0];
                if (!visit(child, offset, count)) return false;
                return connect(sorted_last(child, offset), sorted_first(child, offset));
            }
            case Kind::Sequence: {
                const size_t n = node.children.size();
                std::vector<size_t> starts(n + 1, offset);
                for (size_t i = 0; i < n; ++i) {
                    size_t c = 0;
                    if (!visit(node.children[i], starts[i], c)) return false;
                    starts[i + 1] = starts[i] + c;
                }
                count = starts[n] - offset;
                std::vector<std::vector<uint32_t>> firsts(n);
                std::vector<uint8_t> nullable(n);
                for (size_t j = 0; j < n; ++j) {
                    firsts[j] = sorted_first(node.children[j], starts[j]);
                    nullable[j] = contains_empty_word(node.children[j]);
                }
                for (size_t i = 0; i + 1 < n; ++i) {
                    const std::vector<uint32_t> lasts = sorted_last(node.children[i], starts[i]);
                    if (lasts.empty()) continue;
                    for (size_t j = i + 1; j < n; ++j) {
                        if (!connect(lasts, firsts[j])) return false;
                        if (!nullable[j]) break;
                    }
                }
                return true;
            }
            default:
                count = 1;
                return true;
        }
    }
};

}  // namespace

size_t count_subquery_positions(const Query& node) {
    size_t count = 0;
    std::vector<const Query*> stack{&node};
    while (!stack.empty()) {
        const Query* q = stack.back();
        stack.pop_back();
        if (is_position(*q)) {
            ++count;
        } else {
            for (const Query& child : q->children) stack.push_back(&child);
        }
    }
    return count;
}

bool contains_empty_word(const Query& node) {
    switch (node.kind) {
        case Kind::Regex:
            panic_on_regex();
        case Kind::Optional:
        case Kind::KleeneStar:
            return true;
        case Kind::Disjunction:
            for (const Query& child : node.children) {
                if (contains_empty_word(child)) return true;
            }
            return false;
        case Kind::Sequence:
            for (const Query& child : node.children) {
                if (!contains_empty_word(child)) return false;
            }
            return true;
        default:
            return false;
    }
}

void compute_first_set(std::vector<uint8_t>& flags, const Query& node, size_t& offset) {
    std::vector<uint32_t> found;
    offset += first_of(node, offset, found);
    for (const uint32_t p : found) flags[p] = 1;
}

void compute_last_set(std::vector<uint8_t>& flags, const Query& node, size_t& offset) {
    std::vector<uint32_t> found;
    offset += last_of(node, offset, found);
    for (const uint32_t p : found) flags[p] = 1;
}

Result<void, QueryParseError> compute_follows_set(std::vector<std::vector<uint32_t>>& follows, const Query& node,
                                                  size_t& offset) {
    FollowBuilder builder{follows};
    size_t count = 0;
    if (!builder.visit(node, offset, count)) return make_err(query_too_large());
    offset += count;
    return {};
}

}  // namespace nfa

void QueryNFA::linearize_query(QueryNFA& nfa, const Query& query) {
    // Depth-first, left to right, with an explicit stack.
    std::vector<const Query*> stack{&query};
    while (!stack.empty()) {
        const Query* q = stack.back();
        stack.pop_back();
        if (q->kind == Kind::Regex) panic_on_regex();
        if (q->is_leaf()) {
            nfa.positions.push_back(leaf_label(*q));
        } else {
            for (size_t i = q->children.size(); i-- > 0;) stack.push_back(&q->children[i]);
        }
    }
}

size_t QueryNFA::position_count(const Query& query) {
    QueryNFA nfa;
    linearize_query(nfa, query);
    return nfa.positions.size();
}

Result<QueryNFA, QueryParseError> QueryNFA::build(const Query& query) {
    if (auto depth = ast::check_tree_depth(query); !depth) return make_err(std::move(depth).error());

    QueryNFA nfa;
    nfa.accepting = {0};
    linearize_query(nfa, query);
    const size_t n = nfa.positions.size();
    if (n == 0) {
        nfa.accepting = {1};
        nfa.nullable = true;
        nfa.edges.resize(1);
        return nfa;
    }
    if (n >= UINT32_MAX) return make_err(query_too_large());

    nfa.num_states = n + 1;
    nfa.nullable = nfa::contains_empty_word(query);
    nfa.first.assign(n, 0);
    nfa.last.assign(n, 0);
    size_t offset = 0;
    nfa::compute_first_set(nfa.first, query, offset);
    offset = 0;
    nfa::compute_last_set(nfa.last, query, offset);
    nfa.follows.assign(n, {});
    offset = 0;
    if (auto follows = nfa::compute_follows_set(nfa.follows, query, offset); !follows) {
        return make_err(std::move(follows).error());
    }

    nfa.edges.assign(n + 1, {});
    nfa.accepting.assign(n + 1, 0);
    nfa.accepting[0] = nfa.nullable ? 1 : 0;
    for (size_t p = 0; p < n; ++p) {
        if (nfa.first[p]) nfa.edges[0].push_back(static_cast<uint32_t>(p));
        if (nfa.last[p]) nfa.accepting[p + 1] = 1;
    }
    for (size_t p = 0; p < n; ++p) {
        std::vector<uint32_t>& list = nfa.follows[p];
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        nfa.edges[p + 1] = list;
    }
    return nfa;
}

}  // namespace jorvane::dfa
