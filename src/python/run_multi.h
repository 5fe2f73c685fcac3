// The driver of a Query run over several sources (or none): worker threads
// each build one engine, install the run's compiled queries once, and take
// sources from a shared job queue, resetting the engine between sources. All
// Python work (value delivery, progress callbacks, signal checks) stays on
// the calling thread, which waits for worker events with the interpreter
// lock released.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/scan_mode.h"
#include "python/py.h"
#include "python/run_single.h"
#include "python/sink.h"
#include "query_plan.h"
#include "source/source.h"

namespace jorvane::py {

// A source of a multi-source run: opened already, or opened by the worker
// that takes it (so a run over thousands of files holds only the files being
// read open). The opener must not touch Python objects.
struct RunSource {
    std::unique_ptr<Source> source;
    std::function<Result<std::unique_ptr<Source>, IoError>()> open;
};

// A source's progress callback and its interval in bytes.
struct ProgressEntry {
    Ref callback;
    uint64_t interval = 0;
};

// The number of worker threads for `n_sources`: T = max_threads, else the
// online processors; halved in pipelined mode; at least 1, at most n_sources.
size_t worker_count(size_t n_sources, std::optional<uint64_t> max_threads, const engine::ScanMode& mode);

// Runs every source; one outcome per source in source order, or nullopt with
// the run's Python exception set. Called and returns with the lock held.
std::optional<std::vector<SourceOutcome>> run_multi_with_progress(
    std::span<const QueryPlan> plans, engine::ScanMode mode, std::vector<RunSource> sources,
    const std::vector<std::optional<ProgressEntry>>& progress, std::optional<uint64_t> max_threads, PySink* sink,
    const std::vector<Ref>& targets, bool use_float);

}  // namespace jorvane::py
