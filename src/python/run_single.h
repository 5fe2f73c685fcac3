// The driver of a one-source Query run: compiles the plans into a fresh
// engine, scans the source on the calling thread in stretches with the
// interpreter lock released, and between stretches delivers streamed values,
// checks for signals and calls the progress callback.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "compiled_queries.h"
#include "engine/accumulator.h"
#include "engine/scan_mode.h"
#include "error.h"
#include "python/py.h"
#include "python/sink.h"
#include "query_plan.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::py {

// One source's outcome: its per-query outputs, or its error carrying the
// outputs reached so far as partial results.
using SourceOutcome = Result<std::vector<engine::QueryOutput>, JorvaneError>;

// Runs one source (owned from here on). `progress` may be null; `interval` is
// the byte stretch between callbacks (or between signal checks without one).
// nullopt with a Python exception set when the run raises.
std::optional<SourceOutcome> run_with_progress(std::span<const QueryPlan> plans, engine::ScanMode mode,
                                               std::unique_ptr<Source> source, PySink* sink,
                                               const std::vector<Ref>& targets, PyObject* progress,
                                               uint64_t interval, bool use_float);

// Empties every plain bucket holding values into its target's extend().
// False with an exception set on failure.
bool flush_value_buckets(std::vector<Bucket>& buckets, const std::vector<Ref>& targets, bool use_float);

// The checks every run makes before compiling: a plan list that is not
// empty, every plan with at least one accumulator. False with ValueError set.
bool check_plans(std::span<const QueryPlan> plans);

// check_plans, then compiles the plans; nothing with the exception set
// (ValueError for a plan that does not compile).
std::optional<CompiledQueries> compile_checked(std::span<const QueryPlan> plans);

// Calls `callback(bytes, [QueryResult...])` with partial results built from
// `snapshot`; the truth of its answer in `stop`. False with an exception set.
bool call_progress(PyObject* callback, uint64_t bytes, std::vector<engine::QueryOutput> snapshot, bool use_float,
                   bool& stop);

}  // namespace jorvane::py
