// The loop that scans one source with one engine: read a buffer, scan it,
// hand streamed values to the sink, repeat until the input ends, every query
// is settled, the source fails, or the caller stops it. Every run (one
// source, a worker of a multi-source run) goes through it; the caller talks
// to it through a ScanObserver between buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/describer.h"
#include "engine/engine.h"
#include "engine/query_output.h"
#include "engine/sink.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::run {

// One source's outcome: its per-query outputs, or its error carrying the
// outputs reached so far as partial results.
using SourceOutcome = Result<std::vector<engine::QueryOutput>, JorvaneError>;

// The caller's answer at an interval.
enum class Verdict : uint8_t {
    Continue,
    Stop,   // end the scan early: the source is abandoned and the outputs record where it stopped
    Abort,  // end the scan at once: the caller discards its outcome
};

// The caller's side of a scan, consulted on the scanning thread between
// buffers. Its interrupt (asked before each buffer is read) ends the scan
// early.
class ScanObserver : public Interrupt {
public:
    bool requested() override { return false; }
    // Called after the buffer with which `interval` more bytes were scanned
    // since the last call; `bytes` counts every byte scanned so far.
    virtual Verdict at_interval(uint64_t bytes, const engine::Engine& engine) = 0;
    // Whether at_interval reads the engine's results (a progress report).
    // A run that scans ranges of the source at once has no one engine whose
    // results so far are those of the bytes before `bytes`, so such an
    // observer keeps the run to one engine.
    virtual bool reads_engine() const { return true; }
};

struct ScanOptions {
    // Receives every streamed batch, in the order drained (null: nobody takes them).
    engine::ValueSink* sink = nullptr;
    // Bytes between calls of observer->at_interval (no calls without one).
    std::optional<uint64_t> interval;
    ScanObserver* observer = nullptr;
    // The source's position in its run, as a read failure reports it.
    uint64_t source_index = 0;
};

// Scans `source` with `engine` (queries installed, per-source state clear)
// to its end. Nothing when the observer aborted.
std::optional<SourceOutcome> scan_source(engine::Engine& engine, Source& source, const ScanOptions& options);

// A structural profile of one source and the bytes it covers.
struct SourceProfile {
    engine::Describer profile;
    uint64_t bytes_scanned = 0;
};

// Profiles `source` with an engine in `mode` that carries no query, only a
// describer keeping up to `distinct_cap` distinct values per path. With
// `limit_bytes` the scan stops after the buffer that reaches it. `interrupt`
// is asked before the scan and after every buffer; when it says stop the
// run ends with nothing (the caller knows why).
std::optional<Result<SourceProfile, JorvaneError>> describe_source(Source& source, engine::ScanMode mode,
                                                                   uint64_t distinct_cap,
                                                                   std::optional<uint64_t> limit_bytes,
                                                                   Interrupt* interrupt);

}  // namespace jorvane::run
