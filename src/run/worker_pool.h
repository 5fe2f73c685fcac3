// A run over several sources: worker threads each build one engine, install
// the run's compiled queries once, and take sources from a shared job queue,
// resetting the engine between sources. The calling thread waits for the
// workers' events and passes them to a RunListener: streamed values, progress
// reports (answered before the worker goes on) and a tick about every 50 ms,
// at which the listener may stop the whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/compiled_queries.h"
#include "engine/query_output.h"
#include "engine/sink.h"
#include "engine/scan_mode.h"
#include "run/scan_source.h"
#include "source/io_error.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::run {

// A source of a multi-source run: opened already, or opened by the worker
// that takes it (so a run over thousands of files holds only the files being
// read open). The opener runs on a worker thread.
struct RunSource {
    std::unique_ptr<Source> source;
    std::function<Result<std::unique_ptr<Source>, IoError>()> open;
};

// The calling thread's side of a multi-source run.
class RunListener {
public:
    virtual ~RunListener() = default;
    // About every 50 ms, and after an event when 50 ms have passed since the
    // last tick or progress report. False stops the run: every source still
    // being read stops early and the queued ones are not read.
    virtual bool tick() = 0;
    // A worker's streamed values, batch by batch in the order it drained them.
    virtual void values(engine::ValueBatch batch) = 0;
    // A source's progress report; Abort stops the run as a false tick does.
    // Not called once the run is stopping (the worker is told Abort).
    virtual Verdict progress(size_t source, uint64_t bytes, std::vector<engine::QueryOutput> snapshot) = 0;
};

struct PoolOptions {
    engine::ScanMode mode;
    size_t workers = 1;
    // Whether streamed values are queued and sent to the listener.
    bool stream_values = false;
    // Per source: the bytes between progress reports (none: no reports).
    std::vector<std::optional<uint64_t>> intervals;
};

// Runs every source; one outcome per source, in source order. A stopped run
// still returns an outcome for every source (the stopped ones as early
// stops). Called and returns on the calling thread, which must not hold any
// lock a listener call takes.
std::vector<SourceOutcome> run_sources(const engine::CompiledQueries& compiled, std::vector<RunSource> sources,
                                       const PoolOptions& options, RunListener& listener);

}  // namespace jorvane::run
