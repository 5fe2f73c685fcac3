// CompiledQueries: a run's query plans compiled once into automata of at most
// 64 fused queries each, then installed into any number of engines (each gets
// its own copy; the compiled value itself never changes).
//
// Query i of the run is in chunk i / 64 and, in a fused chunk, label bit
// i % 64. A lone query (a run of one, or the one left after full chunks of 64)
// gets an automaton of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "dfa_core/dfa.h"
#include "dfa_core/query_parse_error.h"
#include "engine/accumulator.h"
#include "engine/driver.h"
#include "error.h"
#include "query_plan.h"
#include "util/result.h"

namespace jorvane {

namespace engine {
struct Engine;
}

// One query of its own.
struct SingleChunk {
    std::optional<uint64_t> limit;
    dfa::QueryDFA dfa;
    std::vector<engine::accumulator::Accumulator> accumulators;
};

// 2 to 64 queries fused into one automaton (query j = label bit j).
struct FusedChunk {
    dfa::QueryDFA dfa;
    std::vector<engine::FusedQuery> queries;
};

using CompiledChunk = std::variant<SingleChunk, FusedChunk>;

// Why compiling failed: the first plan whose text does not parse (its parse
// error and a copy of its text).
using CompileFailure = JorvaneError::CompileFailure;

struct CompiledQueries {
    std::vector<CompiledChunk> chunks;

    static Result<CompiledQueries, CompileFailure> compile(std::span<const QueryPlan> plans);
    // Appends one driver per chunk to the engine, after any it already holds.
    void install(engine::Engine& engine) const;
};

}  // namespace jorvane
