// The Glushkov construction over a query tree.
//
// Leaves are numbered left to right; the positions of any subtree are
// contiguous, so a subtree is identified by its first position (offset) and
// its size. One bottom-up recursion over the tree (whose depth the callers
// bound) computes every node's nullable flag, first positions (those that
// can begin a match) and last positions (those that can end one) exactly
// once, and the follow lists (for each position, the positions that may come
// right after it). A star adds last(child) x
// first(child); a sequence adds last(c_i) x first(c_j) for every later c_j up
// to and including the first one that is not nullable.
#include "dfa_core/nfa.h"

#include <algorithm>

#include "util/panic.h"

namespace jorvane::dfa_core {

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

// What one subtree contributes: its position count, whether it is nullable,
// and its first and last positions (ascending).
struct NodeSets {
    size_t count = 0;
    bool nullable = false;
    std::vector<uint32_t> first;
    std::vector<uint32_t> last;
};

void append(std::vector<uint32_t>& to, std::vector<uint32_t>&& from) {
    if (to.empty()) {
        to = std::move(from);
    } else {
        to.insert(to.end(), from.begin(), from.end());
    }
}

// One bottom-up pass computing every node's sets once, and, when `follows`
// is given, the follow pairs, within a budget.
class Analysis {
public:
    explicit Analysis(std::vector<std::vector<uint32_t>>* follows) : follows_(follows) {}

    // False once the follow relation would exceed its budget.
    bool visit(const Query& node, size_t offset, NodeSets& out) {
        switch (node.kind) {
            case Kind::Regex:
                panic_on_regex();
            case Kind::Optional:
                if (!visit(node.children[0], offset, out)) return false;
                out.nullable = true;
                return true;
            case Kind::KleeneStar:
                if (!visit(node.children[0], offset, out)) return false;
                out.nullable = true;
                return connect(out.last, out.first);
            case Kind::Disjunction: {
                out = NodeSets{};
                for (const Query& child : node.children) {
                    NodeSets c;
                    if (!visit(child, offset + out.count, c)) return false;
                    out.count += c.count;
                    out.nullable = out.nullable || c.nullable;
                    append(out.first, std::move(c.first));
                    append(out.last, std::move(c.last));
                }
                return true;
            }
            case Kind::Sequence: {
                const size_t n = node.children.size();
                std::vector<NodeSets> kids(n);
                size_t count = 0;
                for (size_t i = 0; i < n; ++i) {
                    if (!visit(node.children[i], offset + count, kids[i])) return false;
                    count += kids[i].count;
                }
                if (follows_) {
                    for (size_t i = 0; i + 1 < n; ++i) {
                        if (kids[i].last.empty()) continue;
                        for (size_t j = i + 1; j < n; ++j) {
                            if (!connect(kids[i].last, kids[j].first)) return false;
                            if (!kids[j].nullable) break;
                        }
                    }
                }
                out = NodeSets{};
                out.count = count;
                out.nullable = true;
                for (const NodeSets& k : kids) out.nullable = out.nullable && k.nullable;
                // First: children from the front up to the first one that
                // is not nullable; last: from the back likewise.
                size_t stop = 0;
                while (stop < n) {
                    append(out.first, std::move(kids[stop].first));
                    if (!kids[stop++].nullable) break;
                }
                size_t from = n;
                while (from > 0) {
                    if (!kids[--from].nullable) break;
                }
                for (size_t i = from; i < n; ++i) append(out.last, std::move(kids[i].last));
                return true;
            }
            default:
                out = NodeSets{};
                out.count = 1;
                out.first = {static_cast<uint32_t>(offset)};
                out.last = out.first;
                return true;
        }
    }

private:
    // Adds every pair of `from` x `to`; false once over budget.
    bool connect(const std::vector<uint32_t>& from, const std::vector<uint32_t>& to) {
        if (!follows_) return true;
        const uint64_t cost = 1 + static_cast<uint64_t>(from.size()) * to.size();
        if (cost > kMaxFollowWork - work_) return false;
        work_ += cost;
        for (const uint32_t p : from) {
            std::vector<uint32_t>& list = (*follows_)[p];
            list.insert(list.end(), to.begin(), to.end());
        }
        return true;
    }

    std::vector<std::vector<uint32_t>>* follows_;
    uint64_t work_ = 0;
};

NodeSets sets_of(const Query& node, size_t offset) {
    NodeSets sets;
    Analysis(nullptr).visit(node, offset, sets);
    return sets;
}

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
    const NodeSets sets = sets_of(node, offset);
    for (const uint32_t p : sets.first) flags[p] = 1;
    offset += sets.count;
}

void compute_last_set(std::vector<uint8_t>& flags, const Query& node, size_t& offset) {
    const NodeSets sets = sets_of(node, offset);
    for (const uint32_t p : sets.last) flags[p] = 1;
    offset += sets.count;
}

Result<void, QueryParseError> compute_follows_set(std::vector<std::vector<uint32_t>>& follows, const Query& node,
                                                  size_t& offset) {
    NodeSets sets;
    if (!Analysis(&follows).visit(node, offset, sets)) return make_err(query_too_large());
    offset += sets.count;
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

    // One pass gives nullable, first, last and the follow lists.
    nfa.num_states = n + 1;
    nfa.follows.assign(n, {});
    nfa::NodeSets sets;
    if (!nfa::Analysis(&nfa.follows).visit(query, 0, sets)) return make_err(query_too_large());
    nfa.nullable = sets.nullable;
    nfa.first.assign(n, 0);
    nfa.last.assign(n, 0);
    for (const uint32_t p : sets.first) nfa.first[p] = 1;
    for (const uint32_t p : sets.last) nfa.last[p] = 1;

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

}  // namespace jorvane::dfa_core
