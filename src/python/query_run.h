// The Python side of a Query run: the run layer scans with the interpreter
// lock released; these adapters take it back between buffers to check for
// signals, deliver into= values and call progress callbacks, and turn the
// first Python exception into the end of the run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/into_sink.h"
#include "engine/query_output.h"
#include "engine/query_plan.h"
#include "engine/scan_mode.h"
#include "python/py.h"
#include "run/run_policy.h"
#include "run/scan_source.h"
#include "run/worker_pool.h"
#include "source/source.h"

namespace jorvane::py {

using engine::IntoSink;
using run::SourceOutcome;

// A source's progress callback and its interval in bytes.
struct ProgressEntry {
    Ref callback;
    uint64_t interval = 0;
};

// Runs one source (owned from here on) from the calling thread, with up to
// `walkers` engines scanning ranges of it at once when it splits
// (run/split_scan.h). `progress` may be null; `interval` is the byte stretch
// between callbacks (or between signal checks without one). Nothing with a
// Python exception set when the run raises.
std::optional<SourceOutcome> run_one(std::span<const engine::QueryPlan> plans, engine::ScanMode mode,
                                     std::unique_ptr<Source> source, IntoSink* sink, const std::vector<Ref>& targets,
                                     PyObject* progress, uint64_t interval, bool use_float, size_t walkers);

// Runs several sources on worker threads; one outcome per source in source
// order, or nothing with the run's Python exception set.
std::optional<std::vector<SourceOutcome>> run_many(std::span<const engine::QueryPlan> plans, engine::ScanMode mode,
                                                   std::vector<run::RunSource> sources,
                                                   const std::vector<std::optional<ProgressEntry>>& progress,
                                                   const run::ThreadBudget& budget, IntoSink* sink,
                                                   const std::vector<Ref>& targets, bool use_float);

// Compiles the plans after the checks every run makes; nothing with
// ValueError set when they are refused or do not compile.
std::optional<engine::CompiledQueries> compile_checked(std::span<const engine::QueryPlan> plans);

// Empties every plain bucket holding values into its target's extend().
// False with an exception set on failure.
bool flush_value_buckets(std::vector<IntoSink::Bucket>& buckets, const std::vector<Ref>& targets, bool use_float);

}  // namespace jorvane::py
