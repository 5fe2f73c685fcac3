// Fuzz target: query text through the parser and the automaton compiler.
//
// The whole input is one query text; split at its 0xff bytes it is also a
// group of up to 64 texts compiled together. Beyond not crashing, hanging or
// leaking, the results must agree with each other:
//   - compiling a text succeeds exactly when it parses and its automaton
//     builds, and a failure names the text that failed;
//   - every automaton is well formed (table sizes, targets, sorted disjoint
//     index intervals, accept masks within the group);
//   - the fused automaton of a group accepts, for query i, exactly the paths
//     query i's own automaton accepts. The paths are explored breadth-first
//     over the product of all the automata, stepping by every field name the
//     group names, a name none names, and the indices at and around every
//     interval boundary.
#include <algorithm>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dfa_core/ast.h"
#include "dfa_core/dfa.h"
#include "engine/compiled_queries.h"
#include "fuzz_input.h"
#include "targets.h"

namespace jorvane::fuzz {
namespace {

using dfa_core::QueryDFA;

constexpr size_t kMaxProductStates = 2048;

void check_well_formed(const QueryDFA& d, size_t labels, const std::string& what) {
    const size_t n = d.num_states;
    if (n == 0) fail(what + ": automaton without states");
    if (d.start >= n) fail(what + ": start state out of range");
    if (d.symbol_count != d.symbols.size()) fail(what + ": symbol count differs from the alphabet");
    if (d.accepting.size() != n || d.accept_masks.size() != n) fail(what + ": per-state tables of the wrong size");
    if (d.transitions.size() != n * size_t{d.symbol_count}) fail(what + ": transition table of the wrong size");
    for (uint32_t t : d.transitions)
        if (t != QueryDFA::kNoState && t >= n) fail(what + ": transition to a state that does not exist");
    const uint64_t allowed = labels >= 64 ? ~uint64_t{0} : (uint64_t{1} << labels) - 1;
    for (size_t s = 0; s < n; ++s) {
        if ((d.accepting[s] != 0) != (d.accept_masks[s] != 0)) fail(what + ": accepting flag and mask disagree");
        if (labels > 1 && (d.accept_masks[s] & ~allowed)) fail(what + ": accept mask names a query beyond the group");
    }
    for (size_t i = 0; i < d.range_table.size(); ++i) {
        const auto& r = d.range_table[i];
        if (r.start >= r.end) fail(what + ": empty index interval");
        if (i > 0 && d.range_table[i - 1].end > r.start) fail(what + ": index intervals overlap or are unsorted");
        if (r.symbol >= d.symbol_count) fail(what + ": index interval with a symbol beyond the alphabet");
        if (d.index_symbol(r.start) != r.symbol || d.index_symbol(r.end - 1) != r.symbol)
            fail(what + ": index lookup misses its own interval");
    }
    for (const auto& e : d.field_map.entries()) {
        if (d.field_symbol(e.name) != e.symbol || e.symbol == 0 || e.symbol >= d.symbol_count)
            fail(what + ": field lookup misses its own name");
    }
}

// One step of a path: a field name or an array index.
struct Step {
    bool is_field = false;
    std::string name;
    uint64_t index = 0;
};

uint32_t advance(const QueryDFA& d, uint32_t state, const Step& s) {
    if (state == QueryDFA::kNoState) return state;
    return d.next_state(state, s.is_field ? d.field_symbol(s.name) : d.index_symbol(s.index));
}

std::vector<Step> path_steps(const QueryDFA& fused, const std::vector<QueryDFA>& alone) {
    std::set<std::string> names;
    std::set<uint64_t> indices{0, 1, dfa_core::kMaxIndex - 1, dfa_core::kMaxIndex};
    auto collect = [&](const QueryDFA& d) {
        for (const auto& e : d.field_map.entries()) names.insert(e.name);
        for (const auto& r : d.range_table) {
            for (uint64_t i : {r.start, r.end - 1, r.end}) indices.insert(i);
            if (r.start > 0) indices.insert(r.start - 1);
        }
    };
    collect(fused);
    for (const auto& d : alone) collect(d);
    std::string other = "\xff";
    while (names.count(other)) other += '\xff';
    std::vector<Step> steps;
    for (const auto& n : names) steps.push_back({true, n, 0});
    steps.push_back({true, other, 0});
    for (uint64_t i : indices) steps.push_back({false, {}, i});
    return steps;
}

void check_fusion(const QueryDFA& fused, const std::vector<QueryDFA>& alone, const std::vector<std::string>& texts) {
    const std::vector<Step> steps = path_steps(fused, alone);
    using Node = std::vector<uint32_t>;  // the fused state, then each query's own
    Node start{fused.start};
    for (const auto& d : alone) start.push_back(d.start);
    std::set<Node> seen{start};
    std::deque<Node> todo{start};
    while (!todo.empty()) {
        Node node = std::move(todo.front());
        todo.pop_front();
        const uint64_t mask = node[0] == QueryDFA::kNoState ? 0 : fused.accept_masks[node[0]];
        for (size_t i = 0; i < alone.size(); ++i) {
            const uint32_t s = node[i + 1];
            const bool own = s != QueryDFA::kNoState && alone[i].accepting[s];
            if (own != (((mask >> i) & 1) != 0))
                fail("fused automaton and query " + std::to_string(i) + " (" + texts[i] +
                     ") disagree on a path: " + (own ? "only its own automaton accepts" : "only the fused one accepts"));
        }
        for (const Step& s : steps) {
            // Walked on while any side is alive: a fused automaton alive
            // where every query is dead is wrong only if it accepts later.
            Node next(node.size());
            bool alive = false;
            for (size_t i = 0; i < next.size(); ++i) {
                next[i] = advance(i == 0 ? fused : alone[i - 1], node[i], s);
                alive |= next[i] != QueryDFA::kNoState;
            }
            if (!alive) continue;
            if (seen.size() >= kMaxProductStates) return;
            if (seen.insert(next).second) todo.push_back(std::move(next));
        }
    }
}

void compile_one(std::string_view text) {
    auto tree = dfa_core::ast::Query::from_str(text);
    std::optional<QueryDFA> own;
    if (tree) {
        auto dfa = QueryDFA::from_query(*tree);
        if (dfa) {
            check_well_formed(*dfa, 1, "query automaton");
            own = std::move(*dfa);
        } else {
            (void)dfa.error().to_string();
        }
    } else {
        (void)tree.error().to_string();
    }
    const engine::AccumulatorKind kinds[] = {engine::AccumulatorKind::Count};
    const engine::QueryPlan plan{std::nullopt, text, kinds};
    auto compiled = engine::CompiledQueries::compile(std::span(&plan, 1));
    if (compiled.ok() != own.has_value()) fail("compiling a lone query disagrees with parsing and building it");
    if (!compiled && compiled.error().query != text) fail("a lone query's failure names another text");
}

void compile_group(const std::vector<std::string>& texts) {
    std::vector<dfa_core::ast::Query> trees;
    std::optional<size_t> first_bad;
    for (size_t i = 0; i < texts.size(); ++i) {
        auto tree = dfa_core::ast::Query::from_str(texts[i]);
        if (!tree) {
            if (!first_bad) first_bad = i;
            continue;
        }
        trees.push_back(std::move(*tree));
    }
    const engine::AccumulatorKind kinds[] = {engine::AccumulatorKind::Count, engine::AccumulatorKind::Values};
    std::vector<engine::QueryPlan> plans;
    for (const auto& t : texts) plans.push_back(engine::QueryPlan{std::nullopt, t, kinds});
    auto compiled = engine::CompiledQueries::compile(plans);
    if (first_bad) {
        if (compiled) fail("a group with a text that does not parse compiled");
        if (compiled.error().query != texts[*first_bad]) fail("a group's failure does not name its first bad text");
        return;
    }
    auto fused = QueryDFA::from_queries(trees);
    if (compiled.ok() != fused.ok()) fail("compiling a group disagrees with building its fused automaton");
    if (!fused) {
        if (std::find(texts.begin(), texts.end(), compiled.error().query) == texts.end())
            fail("a group's failure names a text outside the group");
        return;
    }
    if (compiled->groups.size() != 1 || !std::holds_alternative<engine::FusedGroup>(compiled->groups[0]))
        fail("a group of " + std::to_string(texts.size()) + " queries did not compile to one fused automaton");
    check_well_formed(*fused, texts.size(), "fused automaton");
    std::vector<QueryDFA> alone;
    for (const auto& tree : trees) {
        auto d = QueryDFA::from_query(tree);
        // A query too large alone makes its group too large as well.
        if (!d) fail("a query of a group that compiled does not compile alone");
        alone.push_back(std::move(*d));
    }
    check_fusion(*fused, alone, texts);
}

}  // namespace

int query_compile(std::span<const uint8_t> data) {
    FuzzInput in(data);
    const std::string_view all = FuzzInput::as_text(in.rest());
    compile_one(all);
    std::vector<std::string> texts;
    size_t from = 0;
    for (;;) {
        const size_t cut = all.find('\xff', from);
        texts.emplace_back(all.substr(from, cut == std::string_view::npos ? std::string_view::npos : cut - from));
        if (cut == std::string_view::npos || texts.size() == dfa_core::kMaxFusedQueries) break;
        from = cut + 1;
    }
    if (texts.size() >= 2) compile_group(texts);
    return 0;
}

}  // namespace jorvane::fuzz

#ifdef JORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return jorvane::fuzz::query_compile({data, size});
}
#endif
