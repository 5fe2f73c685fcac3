// Compact text of a query tree for assertions: Sequence([Field("a"), Index(0)]).
#pragma once

#include <string>

#include "dfa_core/ast.h"

namespace jorvane::dfa_core::testing {

inline std::string tree_text(const ast::Query& q) {
    using K = ast::Query::Kind;
    auto list = [](const std::vector<ast::Query>& children) {
        std::string out = "[";
        for (size_t i = 0; i < children.size(); ++i) {
            if (i) out += ", ";
            out += tree_text(children[i]);
        }
        return out + "]";
    };
    auto bound = [](const std::optional<uint64_t>& b) { return b ? std::to_string(*b) : std::string("_"); };
    switch (q.kind) {
        case K::Field: return "Field(\"" + q.text + "\")";
        case K::Index: return "Index(" + std::to_string(q.index) + ")";
        case K::Range: return "Range(" + bound(q.start) + ", " + bound(q.end) + ")";
        case K::RangeFrom: return "RangeFrom(" + std::to_string(q.index) + ")";
        case K::FieldWildcard: return "FieldWildcard";
        case K::ArrayWildcard: return "ArrayWildcard";
        case K::Regex: return "Regex(" + q.text + ")";
        case K::Optional: return "Optional(" + tree_text(q.children.at(0)) + ")";
        case K::KleeneStar: return "KleeneStar(" + tree_text(q.children.at(0)) + ")";
        case K::Disjunction: return "Disjunction(" + list(q.children) + ")";
        case K::Sequence: return "Sequence(" + list(q.children) + ")";
    }
    return "?";
}

}  // namespace jorvane::dfa_core::testing
