// Position automata, deterministic automata and fusion.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dfa_core/ast.h"
#include "dfa_core/dfa.h"
#include "dfa_core/nfa.h"
#include "util/panic.h"

namespace jorvane::dfa_core {
namespace {

using ast::Query;

Query parse(std::string_view text) {
    auto q = Query::from_str(text);
    EXPECT_TRUE(q.ok()) << text << ": " << (q.ok() ? "" : q.error().to_string());
    return q.ok() ? std::move(q).value() : Query::sequence({});
}

QueryNFA nfa_of(std::string_view text) {
    auto n = QueryNFA::build(parse(text));
    EXPECT_TRUE(n.ok());
    return std::move(n).value();
}

QueryDFA dfa_of(std::string_view text) {
    auto d = QueryDFA::from_query(parse(text));
    EXPECT_TRUE(d.ok()) << text;
    return std::move(d).value();
}

QueryDFA fused(const std::vector<std::string>& texts) {
    std::vector<Query> trees;
    for (const auto& t : texts) trees.push_back(parse(t));
    auto d = QueryDFA::from_queries(trees);
    EXPECT_TRUE(d.ok());
    return std::move(d).value();
}

// The state reached from the start by a path of field names ("#3" is index 3).
uint32_t walk(const QueryDFA& dfa, const std::vector<std::string>& path) {
    uint32_t state = dfa.start;
    for (const auto& step : path) {
        const uint32_t symbol =
            step[0] == '#' ? dfa.index_symbol(std::stoull(step.substr(1))) : dfa.field_symbol(step);
        state = dfa.next_state(state, symbol);
        if (state == QueryDFA::kNoState) break;
    }
    return state;
}

uint64_t mask_after(const QueryDFA& dfa, const std::vector<std::string>& path) {
    const uint32_t s = walk(dfa, path);
    return s == QueryDFA::kNoState ? 0 : dfa.accept_masks[s];
}

std::vector<uint32_t> edges_of(const QueryNFA& n, size_t state) { return n.edges.at(state); }

TEST(PositionAutomaton, Sequences) {
    const QueryNFA n = nfa_of("a.b");
    EXPECT_EQ(n.num_states, 3u);
    EXPECT_EQ(edges_of(n, 0), (std::vector<uint32_t>{0}));
    EXPECT_EQ(edges_of(n, 1), (std::vector<uint32_t>{1}));
    EXPECT_TRUE(edges_of(n, 2).empty());
    EXPECT_EQ(n.accepting, (std::vector<uint8_t>{0, 0, 1}));

    const QueryNFA opt = nfa_of("a.b?.c");
    EXPECT_EQ(opt.follows[0], (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(opt.last, (std::vector<uint8_t>{0, 0, 1}));
}

TEST(PositionAutomaton, StarsAndNullability) {
    for (const char* text : {"a?", "a*"}) {
        const QueryNFA n = nfa_of(text);
        EXPECT_TRUE(n.nullable) << text;
        EXPECT_EQ(n.accepting, (std::vector<uint8_t>{1, 1})) << text;
    }
    const QueryNFA star = nfa_of("**");
    EXPECT_EQ(star.positions[0], TransitionLabel::field_wildcard());
    EXPECT_EQ(star.follows[0], (std::vector<uint32_t>{0}));

    const QueryNFA arr = nfa_of("[*]*");
    EXPECT_EQ(arr.positions[0], TransitionLabel::range(0, kMaxIndex));

    // Worked example: (a|b)*.c
    const QueryNFA w = nfa_of("(a|b)*.c");
    EXPECT_FALSE(w.nullable);
    EXPECT_EQ(w.first, (std::vector<uint8_t>{1, 1, 1}));
    EXPECT_EQ(w.last, (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_EQ(w.follows[0], (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(w.follows[1], (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_TRUE(w.follows[2].empty());
    EXPECT_EQ(w.accepting, (std::vector<uint8_t>{0, 0, 0, 1}));

    // A star inside a star gives the automaton of the single star.
    const QueryNFA nested = nfa_of("(a*)*");
    EXPECT_EQ(nested.edges, nfa_of("a*").edges);
}

TEST(PositionAutomaton, Labels) {
    EXPECT_EQ(nfa_of("[2]").positions[0], TransitionLabel::range(2, 3));
    EXPECT_EQ(nfa_of("[:4]").positions[0], TransitionLabel::range(0, 4));
    EXPECT_EQ(nfa_of("[4:]").positions[0], TransitionLabel::range_from(4));
    EXPECT_EQ(nfa_of("[5:2]").positions[0], TransitionLabel::range(5, 2));
    EXPECT_EQ(QueryNFA::position_count(parse("a.(b|c)*.[1:3]?")), 4u);

    const auto empty = QueryNFA::build(Query::disjunction({}));
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->accepting, (std::vector<uint8_t>{1}));
    EXPECT_EQ(empty->num_states, 1u);
}

TEST(PositionAutomaton, RegexPanics) {
    const Query q = Query::sequence({Query::field("a"), Query::regex("x")});
    EXPECT_THROW((void)QueryNFA::position_count(q), Panic);
    EXPECT_THROW((void)QueryDFA::from_query(q), Panic);
    try {
        (void)QueryDFA::from_query(q);
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(),
                  "not implemented: regex query steps (/pattern/) are not implemented; the string parser rejects them "
                  "before construction, so only a hand-built Query::Regex AST can reach here");
    }
}

TEST(DeterministicAutomaton, WholeDocument) {
    const QueryDFA d = dfa_of("");
    EXPECT_EQ(d.num_states, 1u);
    EXPECT_EQ(d.accepting, (std::vector<uint8_t>{1}));
    EXPECT_EQ(d.accept_masks, (std::vector<uint64_t>{~uint64_t{0}}));
    EXPECT_TRUE(d.symbols.empty());
    EXPECT_EQ(d.next_state(0, d.field_symbol("a")), QueryDFA::kNoState);
    EXPECT_EQ(d.index_symbol(0), QueryDFA::kNoSymbol);
}

TEST(DeterministicAutomaton, SingleField) {
    const QueryDFA d = dfa_of("a");
    ASSERT_EQ(d.symbols.size(), 2u);
    EXPECT_EQ(d.symbols[0], TransitionLabel::other());
    EXPECT_EQ(d.symbols[1], TransitionLabel::field("a"));
    EXPECT_EQ(d.next_state(0, 1), 1u);
    EXPECT_EQ(d.next_state(0, 0), QueryDFA::kNoState);
    EXPECT_EQ(d.accepting, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(d.accept_masks, (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(d.field_symbol("a"), 1u);
    EXPECT_EQ(d.field_symbol("b"), 0u);
    // Out-of-range states and symbols give no transition.
    EXPECT_EQ(d.next_state(7, 1), QueryDFA::kNoState);
    EXPECT_EQ(d.next_state(0, 9), QueryDFA::kNoState);
    EXPECT_EQ(d.next_state(QueryDFA::kNoState, QueryDFA::kNoSymbol), QueryDFA::kNoState);
}

TEST(DeterministicAutomaton, WildcardsAndOther) {
    const QueryDFA star = dfa_of("*");
    EXPECT_EQ(star.symbols, (std::vector<TransitionLabel>{TransitionLabel::other()}));
    EXPECT_EQ(star.next_state(0, star.field_symbol("anything")), 1u);

    const QueryDFA alt = dfa_of("a|*");
    ASSERT_EQ(alt.symbols.size(), 2u);
    EXPECT_EQ(alt.next_state(0, 0), 1u);  // only the wildcard's position
    EXPECT_EQ(alt.next_state(0, 1), 2u);  // both positions
    EXPECT_EQ(alt.accepting, (std::vector<uint8_t>{0, 1, 1}));

    const QueryDFA names = dfa_of("a.b|b.a");
    EXPECT_EQ(names.symbols, (std::vector<TransitionLabel>{TransitionLabel::other(), TransitionLabel::field("a"),
                                                           TransitionLabel::field("b")}));
    const QueryDFA cased = dfa_of("A.a");
    EXPECT_EQ(cased.symbols.size(), 3u);
    EXPECT_NE(cased.field_symbol("A"), cased.field_symbol("a"));
}

TEST(DeterministicAutomaton, IndexIntervals) {
    const QueryDFA d = dfa_of("[1:3]|[2]");
    EXPECT_EQ(d.range_table, (std::vector<RangeEntry>{{1, 2, 1}, {2, 3, 2}}));
    EXPECT_EQ(d.symbols[1], TransitionLabel::range(1, 2));
    EXPECT_EQ(d.symbols[2], TransitionLabel::range(2, 3));
    EXPECT_EQ(d.index_symbol(0), QueryDFA::kNoSymbol);
    EXPECT_EQ(d.index_symbol(1), 1u);
    EXPECT_EQ(d.index_symbol(2), 2u);
    EXPECT_EQ(d.index_symbol(3), QueryDFA::kNoSymbol);  // an end is outside its interval
    EXPECT_EQ(mask_after(d, {"#1"}), 1u);
    EXPECT_EQ(mask_after(d, {"#2"}), 1u);

    const QueryDFA from = dfa_of("[5:]");
    EXPECT_EQ(from.range_table, (std::vector<RangeEntry>{{5, kMaxIndex, 1}}));
    EXPECT_EQ(mask_after(from, {"#4"}), 0u);
    EXPECT_EQ(mask_after(from, {"#5"}), 1u);
    EXPECT_EQ(mask_after(from, {"#18446744073709551614"}), 1u);

    const QueryDFA backwards = dfa_of("[5:2]");
    EXPECT_TRUE(backwards.range_table.empty());
    EXPECT_EQ(backwards.num_states, 1u);
    EXPECT_EQ(backwards.accepting, (std::vector<uint8_t>{0}));

    // A gap between two ranges is a symbol with no transition.
    const QueryDFA gap = dfa_of("[1]|[5:7]");
    EXPECT_EQ(gap.range_table.size(), 3u);
    EXPECT_NE(gap.index_symbol(3), QueryDFA::kNoSymbol);
    EXPECT_EQ(walk(gap, {"#3"}), QueryDFA::kNoState);
    EXPECT_EQ(mask_after(gap, {"#6"}), 1u);
}

TEST(DeterministicAutomaton, OptionalAcceptsAtTheStart) {
    const QueryDFA d = dfa_of("x?");
    EXPECT_EQ(d.accepting[0], 1);
    EXPECT_EQ(d.accept_masks[0], 1u);
}

TEST(DeterministicAutomaton, BreadthFirstNumbering) {
    const QueryDFA d = dfa_of("a.b|c");
    // Symbols: Other, a, b, c. From 0: a -> 1, c -> 2 (symbol order); 1 --b--> 3.
    EXPECT_EQ(d.next_state(0, d.field_symbol("a")), 1u);
    EXPECT_EQ(d.next_state(0, d.field_symbol("c")), 2u);
    EXPECT_EQ(d.next_state(1, d.field_symbol("b")), 3u);
    EXPECT_EQ(d.num_states, 4u);
}

TEST(DeterministicAutomaton, CopiesShareNames) {
    const QueryDFA d = dfa_of("alpha.beta");
    const QueryDFA copy = d;
    EXPECT_EQ(copy.symbols[1].name.get(), d.symbols[1].name.get());
    EXPECT_EQ(copy.field_symbol("beta"), d.field_symbol("beta"));
    EXPECT_EQ(walk(copy, {"alpha", "beta"}), walk(d, {"alpha", "beta"}));
}

TEST(DeterministicAutomaton, StateBlowUpIsRefused) {
    // "a, then exactly 19 more members": the automaton must remember the
    // last 20 names, 2^20 states.
    std::string text = "**.a";
    for (int i = 0; i < 19; ++i) text += ".*";
    const Query q = parse(text);
    auto d = QueryDFA::from_query(q);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().to_string(),
              "Unexpected token: query needs an automaton of more than 65536 states; simplify it or split it into "
              "several queries");
}

TEST(DeterministicAutomaton, HugeFollowRelationIsRefused) {
    std::string text = "(";
    for (int i = 0; i < 4000; ++i) text += (i ? "|f" : "f") + std::to_string(i);
    text += ")*";
    auto d = QueryDFA::from_query(parse(text));
    ASSERT_FALSE(d.ok());
    EXPECT_NE(d.error().to_string().find("too large to compile"), std::string::npos);
}

TEST(DeterministicAutomaton, DeepHandBuiltTreesAreRefused) {
    Query q = Query::field("a");
    for (int i = 0; i < 5000; ++i) q = Query::optional(std::move(q));
    auto d = QueryDFA::from_query(q);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().kind(), QueryParseError::Kind::UnexpectedToken);
    std::vector<Query> one{q};
    EXPECT_FALSE(QueryDFA::from_queries(one).ok());
}

TEST(DeterministicAutomaton, DeepestParsedQueryCompiles) {
    std::string text = std::string(kMaxGroupDepth, '(') + "a[0]?";
    for (size_t i = 0; i < kMaxGroupDepth; ++i) text += ")*";
    auto d = QueryDFA::from_query(parse(text));
    ASSERT_TRUE(d.ok()) << d.error().to_string();
    EXPECT_EQ(mask_after(*d, {"a", "#0", "a"}), 1u);
}

TEST(Fusion, MasksPerQuery) {
    const QueryDFA d = fused({"a", ""});
    EXPECT_EQ(d.accept_masks[0], 0b10u);
    EXPECT_EQ(mask_after(d, {"a"}), 0b01u);

    const QueryDFA same = fused({"a", "a"});
    EXPECT_EQ(mask_after(same, {"a"}), 0b11u);
}

TEST(Fusion, SixtyFourQueriesAndNoMore) {
    std::vector<Query> trees;
    for (int i = 0; i < 64; ++i) trees.push_back(parse("q" + std::to_string(i)));
    auto d = QueryDFA::from_queries(trees);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(mask_after(*d, {"q63"}), uint64_t{1} << 63);
    EXPECT_EQ(mask_after(*d, {"q0"}), 1u);

    trees.push_back(parse("q64"));
    try {
        (void)QueryDFA::from_queries(trees);
        FAIL() << "65 queries were fused";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "cannot fuse 65 queries into one automaton (limit 64); split them across several");
    }
}

TEST(Fusion, DoesNotTouchTheCallersTrees) {
    std::vector<Query> trees{parse("a.b"), parse("c")};
    const std::vector<Query> before = trees;
    ASSERT_TRUE(QueryDFA::from_queries(trees).ok());
    EXPECT_EQ(trees, before);
}

TEST(FieldMapTable, ManyNamesAndPrecomputedHashes) {
    FieldMap map;
    for (uint32_t i = 0; i < 1000; ++i) {
        EXPECT_TRUE(map.insert("k" + std::to_string(i), i + 1));
    }
    EXPECT_FALSE(map.insert("k5", 99));
    EXPECT_EQ(map.size(), 1000u);
    for (uint32_t i = 0; i < 1000; ++i) {
        const std::string key = "k" + std::to_string(i);
        EXPECT_EQ(map.find(key, key_hash(key)), i + 1);
    }
    EXPECT_EQ(map.find("k1000"), FieldMap::kAbsent);
    EXPECT_EQ(map.find(""), FieldMap::kAbsent);
}

// The map against an ordered map after every insertion, for names of every
// length up to 40 bytes over a two-letter alphabet (so words overlap and
// 1..3-byte names differ in a single byte), with one length's run growing
// past the point where short keys are hashed as well, inserted in two orders.
// Probes: every name, each with its first, middle or last byte changed, one
// byte longer and one shorter.
TEST(FieldMapTable, AgreesWithAnOrderedMap) {
    std::mt19937_64 rng(11);
    std::vector<std::string> names;
    for (size_t len = 0; len <= 40; ++len) {
        for (int copies = len <= 3 ? 2 : 1; copies-- > 0;) {
            std::string name(len, 'a');
            for (char& c : name) c = "ab"[rng() & 1];
            names.push_back(name);
        }
    }
    for (int i = 0; i < 7; ++i) names.push_back("id" + std::to_string(i));
    std::vector<std::string> probes;
    for (const std::string& name : names) {
        probes.push_back(name);
        probes.push_back(name + "a");
        if (name.empty()) continue;
        probes.push_back(name.substr(1));
        for (size_t at : {size_t{0}, name.size() / 2, name.size() - 1}) {
            std::string changed = name;
            changed[at] = changed[at] == 'a' ? 'b' : 'a';
            probes.push_back(changed);
        }
    }

    for (bool reversed : {false, true}) {
        std::vector<std::string> order = names;
        if (reversed) std::reverse(order.begin(), order.end());
        FieldMap map;
        std::map<std::string, uint32_t> oracle;
        for (uint32_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(map.insert(order[i], i + 1), oracle.emplace(order[i], i + 1).second) << order[i];
            ASSERT_EQ(map.size(), oracle.size());
            for (const std::string& probe : probes) {
                const auto it = oracle.find(probe);
                const uint32_t want = it == oracle.end() ? FieldMap::kAbsent : it->second;
                ASSERT_EQ(map.find(probe, key_hash(probe)), want) << reversed << " after " << i << ": " << probe;
                if (!map.hashes_key(probe.size())) {
                    ASSERT_EQ(map.find(probe, ~key_hash(probe)), want) << probe;
                }
            }
        }
        // Seven names of length 3 are more than are compared one by one.
        EXPECT_TRUE(map.hashes_key(3));
    }
    FieldMap few;
    few.insert("id", 1);
    EXPECT_FALSE(few.hashes_key(16));
    EXPECT_TRUE(few.hashes_key(17));
}

}  // namespace
}  // namespace jorvane::dfa_core
