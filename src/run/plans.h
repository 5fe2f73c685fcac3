// Turning a run's query plans into engines: the checks every run makes
// before compiling, compilation, and an engine with the queries installed.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "engine/compiled_queries.h"
#include "engine/engine.h"
#include "engine/query_plan.h"
#include "run/jorvane_error.h"
#include "util/result.h"

namespace jorvane::run {

// Why a plan list cannot run: "no queries provided", or "query {:?} has no
// accumulators" for the first plan without accumulators. Nothing when the
// list can be compiled.
std::optional<std::string> check_plans(std::span<const engine::QueryPlan> plans);

// Compiles the plans; a text that does not compile is the Compile error.
Result<engine::CompiledQueries, JorvaneError> compile_plans(std::span<const engine::QueryPlan> plans);

// A fresh engine in `mode` with the compiled queries installed, queueing
// streamed values only when someone takes them.
engine::Engine make_engine(const engine::CompiledQueries& compiled, engine::ScanMode mode, bool stream_items);

}  // namespace jorvane::run
