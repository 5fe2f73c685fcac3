#include "dfa_core/ast.h"

#include <utility>

#include "dfa_core/parser.h"
#include "util/panic.h"

namespace jorvane::dfa_core::ast {

Query Query::field(std::string name) {
    Query q;
    q.kind = Kind::Field;
    q.text = std::move(name);
    return q;
}

Query Query::index_at(uint64_t i) {
    Query q;
    q.kind = Kind::Index;
    q.index = i;
    return q;
}

Query Query::range(std::optional<uint64_t> start, std::optional<uint64_t> end) {
    Query q;
    q.kind = Kind::Range;
    q.start = start;
    q.end = end;
    return q;
}

Query Query::range_from(uint64_t start) {
    Query q;
    q.kind = Kind::RangeFrom;
    q.index = start;
    return q;
}

Query Query::field_wildcard() {
    Query q;
    q.kind = Kind::FieldWildcard;
    return q;
}

Query Query::array_wildcard() {
    Query q;
    q.kind = Kind::ArrayWildcard;
    return q;
}

Query Query::regex(std::string pattern) {
    Query q;
    q.kind = Kind::Regex;
    q.text = std::move(pattern);
    return q;
}

Query Query::optional(Query child) {
    Query q;
    q.kind = Kind::Optional;
    q.children.push_back(std::move(child));
    return q;
}

Query Query::kleene_star(Query child) {
    Query q;
    q.kind = Kind::KleeneStar;
    q.children.push_back(std::move(child));
    return q;
}

Query Query::disjunction(std::vector<Query> alternatives) {
    Query q;
    q.kind = Kind::Disjunction;
    q.children = std::move(alternatives);
    return q;
}

Query Query::sequence(std::vector<Query> steps) {
    Query q;
    q.kind = Kind::Sequence;
    q.children = std::move(steps);
    return q;
}

bool Query::is_leaf() const {
    switch (kind) {
        case Kind::Optional:
        case Kind::KleeneStar:
        case Kind::Disjunction:
        case Kind::Sequence:
            return false;
        default:
            return true;
    }
}

Result<Query, QueryParseError> Query::from_str(std::string_view text) { return parser::parse_query(text); }

size_t tree_depth(const Query& query, size_t limit) {
    // Depth-first walk with an explicit stack of (node, depth).
    std::vector<std::pair<const Query*, size_t>> stack;
    stack.emplace_back(&query, 1);
    size_t deepest = 0;
    while (!stack.empty()) {
        auto [node, depth] = stack.back();
        stack.pop_back();
        if (depth > deepest) deepest = depth;
        if (deepest > limit) return limit + 1;
        for (const Query& child : node->children) stack.emplace_back(&child, depth + 1);
    }
    return deepest;
}

QueryParseError tree_too_deep() {
    return QueryParseError::unexpected_token("query tree nests more than " + std::to_string(kMaxTreeDepth) +
                                             " levels deep");
}

Result<void, QueryParseError> check_tree_depth(const Query& query) {
    std::vector<const Query*> stack{&query};
    while (!stack.empty()) {
        const Query* q = stack.back();
        stack.pop_back();
        if ((q->kind == Query::Kind::Optional || q->kind == Query::Kind::KleeneStar) && q->children.size() != 1) {
            panic("malformed query tree: an Optional or KleeneStar node must hold exactly one child");
        }
        for (const Query& child : q->children) stack.push_back(&child);
    }
    if (tree_depth(query) > kMaxTreeDepth) return make_err(tree_too_deep());
    return {};
}

}  // namespace jorvane::dfa_core::ast
