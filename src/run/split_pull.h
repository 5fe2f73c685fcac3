// SplitPull: one source scanned in ranges by several walkers and handed to
// its consumer in document order, a range at a time, as the consumer asks
// for more. Every scan of one source over several cores goes through it: the
// query run (run/split_scan.h), the structural profile
// (run/split_describe.h), whole-row text (ndjson/split_rows.h) and table rows
// (table/table_split.h).
//
// Whether a cut really lies between top-level values is known only once the
// range before it has been scanned: a range's own scan (a walker's, with a
// fresh engine) is used only when the stretch before it ended at top level
// (Engine::at_top_level); otherwise the engine of that stretch reads on
// through the range, as one engine would. A stretch is therefore one
// engine's scan from a point between top-level values, and errors are found
// at the offsets, with the context, one engine scanning the whole source
// reports.
//
// What differs between consumers is theirs (SplitConsumer): the engines,
// what a walker keeps of each buffer it scans, what the merge does with each
// range and each closed stretch (the steps it pulls), how the open stretch's
// engine is set before it reads on, and what the walkers may hold ahead of
// the merge (run/held_ahead.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "engine/engine.h"
#include "run/held_ahead.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/range_cutter.h"
#include "run/range_scan.h"
#include "run/range_walkers.h"
#include "run/run_policy.h"
#include "run/thread_failure.h"
#include "source/source.h"

namespace jorvane::run {

// What a range's scan kept, as the consumer's hooks took it out of the engine.
class RangeOutput {
public:
    virtual ~RangeOutput() = default;
};

// The consumer's side of a scan in ranges. The const calls run on the
// walkers, several at once, and on the merging thread; the others on the
// merging thread only.
class SplitConsumer {
public:
    virtual ~SplitConsumer() = default;
    // A fresh engine for a stretch that starts between top-level values.
    virtual engine::Engine make() const = 0;
    // Called after every buffer of a range the scan trusts (the buffer that
    // held an error too), on the thread that scanned it, with where the
    // buffer ends in the input: takes what `engine` made out of it into
    // `into` (made when null and there is something to keep). False stops
    // the stretch after this buffer.
    virtual bool after_buffer(engine::Engine& engine, const engine::BufferScan& scan, uint64_t end,
                              std::unique_ptr<RangeOutput>& into) const {
        return true;
    }
    // Takes what closing the input made (a last value, a last row) out of
    // the last stretch's engine once it is finished.
    virtual void after_finish(engine::Engine& engine, std::unique_ptr<RangeOutput>& into) const {}
    // Readies what a range's takes kept for the merge, on the thread that
    // scanned the range, once its scan is over.
    virtual void seal(RangeOutput& output) const {}
    // The open stretch's engine is about to read on through another range.
    virtual void before_extend(engine::Engine& engine) {}
    // The merge drops what a walker kept of a range: the open stretch read
    // on through that range instead.
    virtual void dropped(RangeOutput& output) {}
};

// One step of a pulled split scan.
struct PullStep {
    enum class Kind : uint8_t {
        // The next range was scanned: `output` is what it kept (null:
        // nothing); `fresh` when it started a stretch of its own, else the
        // open stretch's engine read on through it. SplitPull::open() is the
        // stretch as the range left it.
        Range,
        // The input ended and the last stretch's engine was finished:
        // `output` is what that made.
        Finished,
        Closed,       // `closed`: a stretch is over; its engine is the consumer's to read
        Ended,        // the input ended and every stretch was handed over
        Failed,       // `error` (without partial results): the scan is over
        Interrupted,  // the interrupt asked to stop; the next step goes on from here
    };
    Kind kind = Kind::Ended;
    std::unique_ptr<RangeOutput> output;
    bool fresh = false;
    std::optional<Stretch> closed;
    std::optional<JorvaneError> error;
};

class SplitPull {
public:
    // Scans `source` (a mapped file read in place, or sequential input on a
    // buffer grid copied into ranges) as `plan` says. `consumer`, `source`
    // and `held` (null: the walkers never wait) outlive the scan.
    SplitPull(Source& source, const SplitPlan& plan, SplitConsumer& consumer, uint64_t source_index = 0,
              HeldAhead* held = nullptr);
    SplitPull(const SplitPull&) = delete;
    SplitPull& operator=(const SplitPull&) = delete;
    // Stops the walkers and joins them.
    ~SplitPull();

    // The next step. Every range's Range step comes before the Closed of its
    // stretch, and every stretch is closed before the next stretch's first
    // range; after the last range, Finished and the last Closed come once
    // the input ends, or a Closed once a stretch fails, and Ended or Failed
    // follow. Input without a range ends with Ended or Failed alone. After
    // those, every step is Ended. `interrupt` is asked before each range is
    // waited for. A walker's failure is raised once the walkers are joined.
    PullStep next(Interrupt* interrupt = nullptr);

    // The stretch still open (null before the first range and once it
    // closed), as the last range left it.
    Stretch* open() { return cur_ ? &*cur_ : nullptr; }
    // The bytes the ranges handed over so far cover.
    uint64_t scanned() const { return scanned_; }
    // What the ranges are read from.
    const RangeInput& input() const { return in_; }
    // Where the input ends if it ends before `offset`, else `offset`:
    // ranges are cut past the last one taken if need be (they are never
    // scanned).
    uint64_t reach(uint64_t offset);

    // Hands a closed stretch or a spent output back, to be destroyed off the
    // consumer's thread.
    void retire(Stretch stretch);
    void retire(std::unique_ptr<RangeOutput> output);

    // Ends the scan: the walkers stop and are joined.
    void stop();
    // Whether a thread started for the scan is still held: a walker, or the
    // stage-1 thread of an engine the merge holds.
    bool holds_threads() const;
    // Raises what a walker threw, if anything (once they are joined).
    void raise_failure() const { failure_.raise(); }

private:
    // What a walker made of its range.
    struct ScannedRange {
        Stretch stretch;
        std::unique_ptr<RangeOutput> output;
    };

    // Hands out ranges while the open stretch ended at top level.
    void feed();
    // The merge takes the next range.
    void take_next();
    // Scans `r` with `stretch`'s engine, keeping what the consumer keeps;
    // `ahead`: on a walker, which may wait for the merge.
    std::unique_ptr<RangeOutput> scan(Stretch& stretch, const Range& r, std::vector<uint8_t>& spare,
                                      const std::atomic<bool>& cancel, bool ahead);
    // The open stretch reads on through `r` with its own engine.
    std::unique_ptr<RangeOutput> extend(const Range& r);
    // Queues the range just merged, and looks at how it left the open
    // stretch when the next step is asked for.
    void after_range(std::unique_ptr<RangeOutput> output, bool fresh);
    // An error or a failed walker in the range just merged ends the scan.
    void check_open();
    // The input ended: the last stretch is finished and closed.
    void finish_input();
    // Queues the open stretch's close and `error`; the scan is over.
    void fail(JorvaneError error);
    void close_open();
    void queue(PullStep::Kind kind, std::unique_ptr<RangeOutput> output = nullptr);

    SplitPlan plan_;
    SplitConsumer& consumer_;
    uint64_t source_index_;
    HeldAhead* held_;
    RangeInput in_;
    RangeFeed cuts_;
    std::optional<Stretch> cur_;
    std::deque<PullStep> queue_;
    std::vector<uint8_t> spare_;
    size_t taken_ = 0;  // ranges the merge took
    uint64_t scanned_ = 0;
    bool clean_ = true;     // the open stretch ended at top level
    bool checked_ = true;   // check_open saw the range just merged
    bool over_ = false;
    ThreadFailure failure_;
    // Declared last, so the walkers are joined before anything they use goes.
    std::optional<RangeWalkers<ScannedRange>> walkers_;
};

}  // namespace jorvane::run
