// Property: on random queries and random document paths, the deterministic
// automaton (single and fused) agrees with a direct recursive matcher of the
// query tree.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "dfa_core/ast.h"
#include "dfa_core/dfa.h"
#include "dfa_core/reference_matcher.h"
#include "tree_text.h"

namespace jorvane::dfa_core {
namespace {

using ast::Query;
using testing::Generator;
using testing::Path;
using testing::reference_matches;
using testing::Step;

uint64_t dfa_mask(const QueryDFA& dfa, const Path& path) {
    uint32_t state = dfa.start;
    for (const Step& step : path) {
        uint32_t symbol;
        if (const auto* name = std::get_if<std::string>(&step)) {
            symbol = dfa.field_symbol(*name, key_hash(*name));
        } else {
            symbol = dfa.index_symbol(std::get<uint64_t>(step));
        }
        state = dfa.next_state(state, symbol);
        if (state == QueryDFA::kNoState) return 0;
    }
    return dfa.accept_masks[state];
}

TEST(MatchingProperty, SingleQueryTreesAgreeWithTheReference) {
    Generator gen(20240607);
    for (int round = 0; round < 1500; ++round) {
        const Query q = gen.tree(4);
        auto dfa = QueryDFA::from_query(q);
        ASSERT_TRUE(dfa.ok()) << testing::tree_text(q);
        for (int k = 0; k < 40; ++k) {
            const Path path = gen.path();
            const bool expected = reference_matches(q, path);
            const bool got = dfa_mask(*dfa, path) != 0;
            ASSERT_EQ(got, expected) << "query " << testing::tree_text(q) << ", path of " << path.size();
        }
    }
}

TEST(MatchingProperty, FusedMasksAgreeWithTheReference) {
    Generator gen(99);
    for (int round = 0; round < 400; ++round) {
        std::vector<Query> trees;
        for (size_t n = 1 + gen.below(6); n > 0; --n) {
            trees.push_back(gen.below(10) == 0 ? Query::sequence({}) : gen.tree(3));
        }
        auto dfa = QueryDFA::from_queries(trees);
        ASSERT_TRUE(dfa.ok());
        for (int k = 0; k < 40; ++k) {
            const Path path = gen.path();
            uint64_t expected = 0;
            for (size_t i = 0; i < trees.size(); ++i) {
                if (reference_matches(trees[i], path)) expected |= uint64_t{1} << i;
            }
            ASSERT_EQ(dfa_mask(*dfa, path), expected) << "round " << round;
        }
    }
}

}  // namespace
}  // namespace jorvane::dfa_core
