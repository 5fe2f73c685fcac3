// CompiledQueries: a run's query plans compiled once into automata, then
// installed into any number of engines (each gets its own copy; the compiled
// value itself never changes).
//
// The queries are compiled in groups of at most 64 that share one fused
// automaton: query i of the run is in group i / 64 and, in a fused group,
// label bit i % 64. A lone query (a run of one, or the one left after full
// groups of 64) gets an automaton of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "dfa_core/dfa.h"
#include "dfa_core/query_parse_error.h"
#include "engine/drivers/accumulator.h"
#include "engine/drivers/driver.h"
#include "engine/query_plan.h"
#include "util/result.h"

namespace jorvane::engine {

class Engine;

// One query with an automaton of its own.
struct SingleQuery {
    std::optional<uint64_t> limit;
    dfa_core::QueryDFA dfa;
    std::vector<accumulator::Accumulator> accumulators;
};

// 2 to 64 queries fused into one automaton (query j = label bit j).
struct FusedGroup {
    dfa_core::QueryDFA dfa;
    std::vector<FusedQuery> queries;
};

using QueryGroup = std::variant<SingleQuery, FusedGroup>;

// Why compiling failed: the first plan whose text does not compile (its
// parse error and a copy of its text).
struct CompileFailure {
    dfa_core::QueryParseError error;
    std::string query;
};

struct CompiledQueries {
    std::vector<QueryGroup> groups;

    static Result<CompiledQueries, CompileFailure> compile(std::span<const QueryPlan> plans);
    // Appends one driver per group to the engine, after any it already holds.
    void install(Engine& engine) const;
    // Installs the one query compiled here as the engine's table row anchor
    // (Engine::add_row_anchor).
    void install_row_anchor(Engine& engine) const;
};

}  // namespace jorvane::engine
