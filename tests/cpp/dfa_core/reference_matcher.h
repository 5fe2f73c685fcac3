// A direct recursive matcher of query trees over document paths, the
// reference the automata are checked against, and a generator of random
// query trees and paths over a small alphabet.
#pragma once

#include <optional>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "dfa_core/ast.h"
#include "dfa_core/common.h"

namespace jorvane::dfa_core::testing {

using K = ast::Query::Kind;
using ast::Query;

// One step of a document path: a member name or an element index.
using Step = std::variant<std::string, uint64_t>;
using Path = std::vector<Step>;

inline bool step_matches(const Query& leaf, const Step& step) {
    if (const auto* name = std::get_if<std::string>(&step)) {
        return (leaf.kind == K::Field && leaf.text == *name) || leaf.kind == K::FieldWildcard;
    }
    const uint64_t i = std::get<uint64_t>(step);
    switch (leaf.kind) {
        case K::Index: return i == leaf.index;
        case K::Range: return leaf.start.value_or(0) <= i && i < leaf.end.value_or(kMaxIndex);
        case K::RangeFrom: return i >= leaf.index;
        case K::ArrayWildcard: return true;
        default: return false;
    }
}

// Every end position j such that `q` matches path[from, j).
inline std::set<size_t> ends(const Query& q, const Path& path, size_t from) {
    switch (q.kind) {
        case K::Optional: {
            auto out = ends(q.children[0], path, from);
            out.insert(from);
            return out;
        }
        case K::KleeneStar: {
            std::set<size_t> out{from};
            std::vector<size_t> todo{from};
            while (!todo.empty()) {
                const size_t at = todo.back();
                todo.pop_back();
                for (size_t j : ends(q.children[0], path, at)) {
                    if (out.insert(j).second) todo.push_back(j);
                }
            }
            return out;
        }
        case K::Disjunction: {
            std::set<size_t> out;
            for (const Query& c : q.children) {
                auto e = ends(c, path, from);
                out.insert(e.begin(), e.end());
            }
            return out;
        }
        case K::Sequence: {
            std::set<size_t> current{from};
            for (const Query& c : q.children) {
                std::set<size_t> next;
                for (size_t at : current) {
                    auto e = ends(c, path, at);
                    next.insert(e.begin(), e.end());
                }
                current = std::move(next);
            }
            return current;
        }
        default:
            if (from < path.size() && step_matches(q, path[from])) return {from + 1};
            return {};
    }
}

inline bool reference_matches(const Query& q, const Path& path) { return ends(q, path, 0).count(path.size()) > 0; }

class Generator {
public:
    explicit Generator(uint64_t seed, std::vector<std::string> names = {"a", "b", "c"})
        : rng_(seed), names_(std::move(names)) {}

    size_t below(size_t n) { return rng_() % n; }

    Query leaf() {
        switch (below(7)) {
            case 0:
            case 1: return Query::field(names_[below(names_.size())]);
            case 2: return Query::index_at(below(5));
            case 3: {
                std::optional<uint64_t> s, e;
                if (below(3)) s = below(6);
                if (below(3)) e = below(6);
                return Query::range(s, e);
            }
            case 4: return Query::range_from(below(6));
            case 5: return Query::field_wildcard();
            default: return Query::array_wildcard();
        }
    }

    Query tree(int depth) {
        if (depth == 0 || below(3) == 0) return leaf();
        switch (below(4)) {
            case 0: return Query::optional(tree(depth - 1));
            case 1: return Query::kleene_star(tree(depth - 1));
            case 2: {
                std::vector<Query> alts;
                for (size_t n = 1 + below(3); n > 0; --n) alts.push_back(tree(depth - 1));
                return Query::disjunction(std::move(alts));
            }
            default: {
                std::vector<Query> steps;
                for (size_t n = below(4); n > 0; --n) steps.push_back(tree(depth - 1));
                return Query::sequence(std::move(steps));
            }
        }
    }

    Path path() {
        Path p;
        for (size_t n = below(6); n > 0; --n) {
            if (below(2)) {
                p.emplace_back(std::string(doc_names_[below(4)]));
            } else {
                p.emplace_back(static_cast<uint64_t>(below(7)));
            }
        }
        return p;
    }

private:
    std::mt19937_64 rng_;
    std::vector<std::string> names_;
    const char* doc_names_[4] = {"a", "b", "c", "zz"};
};

}  // namespace jorvane::dfa_core::testing
