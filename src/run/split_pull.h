// SplitPull: one source scanned in ranges by several walkers and handed to
// its consumer in document order, a range at a time, as the consumer asks
// for more. It serves the runs whose outputs are not query results: the
// structural profile, which folds each run's profile into the one before,
// and whole-row text, which hands each range's lines on as they come.
//
// The ranges, their walkers and the rule for a cut that is not between
// top-level values are those of the query run (run/split_scan.h): a range
// whose start turns out not to be at top level is scanned on by the engine
// of the range before, so a run of ranges is one engine's scan from a point
// between top-level values, and errors are found at the offsets, with the
// context, one engine scanning the whole source reports. What an engine
// makes of a range is the consumer's: its hook takes it out of the engine on
// the thread that scanned the range, and the consumer receives it in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/range_cutter.h"
#include "run/range_scan.h"
#include "run/range_walkers.h"
#include "run/run_policy.h"
#include "run/thread_failure.h"
#include "source/source.h"

namespace jorvane::run {

// What a range's scan made, as the consumer's hook took it out of the engine.
class RangeOutput {
public:
    virtual ~RangeOutput() = default;
};

// The consumer's engines. Both calls may run on any walker at once.
class RangeEngines {
public:
    virtual ~RangeEngines() = default;
    // A fresh engine for a scan that starts between top-level values.
    virtual engine::Engine make() const = 0;
    // Takes what `engine` made since the last take out of it, adding it to
    // `into` (made when null and there is something to add). Called after
    // every buffer that left output, by the thread that scanned it.
    virtual void take(engine::Engine& engine, std::unique_ptr<RangeOutput>& into) const = 0;
    // Readies what a range's takes gathered for the consumer, on the thread
    // that scanned the range, once the range's scan is over.
    virtual void seal(RangeOutput& output) const {}
};

// One step of a pulled split scan.
struct PullStep {
    enum class Kind : uint8_t {
        Output,       // `output`: what the next range made (in the run still open)
        Closed,       // `closed`: a run is over; its engine is the consumer's to read
        Ended,        // the input ended and every run was handed over
        Failed,       // `error` (without partial results): the scan is over
        Interrupted,  // the interrupt asked to stop; the next step goes on from here
    };
    Kind kind = Kind::Ended;
    std::unique_ptr<RangeOutput> output;
    std::optional<Stretch> closed;
    std::optional<JorvaneError> error;
};

class SplitPull {
public:
    // Scans `source` (a mapped file read in place, or sequential input on a
    // buffer grid copied into ranges) as `plan` says. `engines` and `source`
    // outlive the scan.
    SplitPull(Source& source, const SplitPlan& plan, const RangeEngines& engines, uint64_t source_index = 0);
    SplitPull(const SplitPull&) = delete;
    SplitPull& operator=(const SplitPull&) = delete;
    // Stops the walkers and joins them.
    ~SplitPull();

    // The next step. Every range's Output comes before the Closed of its run,
    // and every run is closed before the next run's first Output; the last
    // run is closed once the input ends (its engine finished) or a run fails,
    // and Ended or Failed follow. After those, every step is Ended.
    // `interrupt` is asked before each range is waited for.
    PullStep next(Interrupt* interrupt = nullptr);

    // Hands a closed run or a spent output back, to be destroyed off the
    // consumer's thread.
    void retire(Stretch run);
    void retire(std::unique_ptr<RangeOutput> output);

    // The bytes the runs handed over so far cover.
    uint64_t scanned() const { return scanned_; }

private:
    struct Piece {
        Stretch run;
        std::unique_ptr<RangeOutput> output;
    };

    // Hands out ranges while the open run ended at top level.
    void feed();
    // Scans `r` with `run`'s engine, taking the output as it comes.
    std::unique_ptr<RangeOutput> scan(Stretch& run, const Range& r, std::vector<uint8_t>& spare,
                                      const std::atomic<bool>& cancel) const;
    // The open run goes on through `r` with its own engine.
    std::unique_ptr<RangeOutput> extend(const Range& r);
    // Queues what follows the range just merged: its output, and when the
    // open run failed, its close and the error.
    void after_range(std::unique_ptr<RangeOutput> output);
    // The input ended: the last run is finished and closed.
    void finish_input();
    // Queues the open run's close and `error`; the scan is over.
    void fail(JorvaneError error);
    void close_open_run();
    void stop_walkers();
    void queue_output(std::unique_ptr<RangeOutput> output);

    SplitPlan plan_;
    const RangeEngines& engines_;
    uint64_t source_index_;
    RangeInput in_;
    RangeFeed cuts_;
    std::optional<Stretch> cur_;
    std::deque<PullStep> queue_;
    std::vector<uint8_t> spare_;
    size_t merged_ = 0;
    uint64_t scanned_ = 0;
    bool clean_ = true;  // the open run ended at top level
    bool over_ = false;
    ThreadFailure failure_;
    // Declared last, so the walkers are joined before anything they use goes.
    std::optional<RangeWalkers<Piece>> walkers_;
};

}  // namespace jorvane::run
