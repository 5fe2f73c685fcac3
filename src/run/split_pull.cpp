// The merging thread (the consumer's) cuts the input, hands ranges to the
// walkers (at most two per walker ahead of the merge, which bounds what
// finished ranges hold) and takes them back in order. A walker scans its
// range with a fresh engine, taking the range's output out of it after every
// buffer that left some (while it is in cache, and never after a buffer the
// file lost under the scan). The merge keeps one run open: the next range
// starts a run of its own when the open one ended at top level, and is
// scanned on by the open run's engine (on the merging thread) when it did
// not; no range is handed out ahead until a run ends at top level again.
// Steps are queued and handed out one per call, so a range that gives its
// output, its run's close and an error is handed over in three calls.
#include "run/split_pull.h"

#include <algorithm>
#include <utility>

#include "source/mapped_file.h"

namespace jorvane::run {

SplitPull::SplitPull(Source& source, const SplitPlan& plan, const RangeEngines& engines, uint64_t source_index)
    : plan_(plan),
      engines_(engines),
      source_index_(source_index),
      in_{source.mapped_file(), std::max<size_t>(source.buffer_grid(), 1), false},
      cuts_(source, plan.range_len) {
    walkers_.emplace(plan_.walkers, [this](Range r, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel) {
        Piece piece;
        piece.run.begin = r.begin;
        piece.run.end = r.begin;
        piece.run.engine = std::make_unique<engine::Engine>(engines_.make());
        piece.output = scan(piece.run, r, spare, cancel);
        piece.run.range = std::move(r);
        return piece;
    }, failure_);
}

SplitPull::~SplitPull() { stop_walkers(); }

void SplitPull::stop_walkers() {
    if (!walkers_) return;
    walkers_->cancel();
    walkers_.reset();
}

void SplitPull::retire(Stretch run) {
    if (walkers_) walkers_->retire(Piece{std::move(run), nullptr});
}

void SplitPull::retire(std::unique_ptr<RangeOutput> output) {
    if (walkers_) walkers_->retire(Piece{Stretch(), std::move(output)});
}

std::unique_ptr<RangeOutput> SplitPull::scan(Stretch& run, const Range& r, std::vector<uint8_t>& spare,
                                             const std::atomic<bool>& cancel) const {
    std::unique_ptr<RangeOutput> output;
    // The output is taken after every buffer that left some, while it is
    // still in cache.
    scan_range(run, in_, r, spare, cancel, [&](uint64_t, const engine::BufferScan& scan) {
        if (scan.output_ready) engines_.take(*run.engine, output);
        return true;
    });
    if (output) engines_.seal(*output);
    return output;
}

PullStep SplitPull::next(Interrupt* interrupt) {
    for (;;) {
        if (!queue_.empty()) {
            PullStep step = std::move(queue_.front());
            queue_.pop_front();
            return step;
        }
        if (over_) return PullStep{};
        if (interrupt_requested(interrupt)) {
            PullStep step;
            step.kind = PullStep::Kind::Interrupted;
            return step;
        }
        feed();
        if (merged_ == cuts_.count()) {
            if (cuts_.done() || !cur_) {
                finish_input();
                continue;
            }
            // The open run did not end at top level and nothing is ahead:
            // the next range is its to scan.
            std::optional<Range> r = cuts_.next();
            if (!r) continue;
            ++merged_;
            after_range(extend(*r));
            continue;
        }
        Piece piece = walkers_->take(merged_);
        ++merged_;
        if (!piece.run.engine) {
            // A walker failed: what it threw is raised once they are joined.
            over_ = true;
            stop_walkers();
            failure_.raise();
            continue;
        }
        if (!cur_) {
            cur_ = std::move(piece.run);
            after_range(std::move(piece.output));
        } else if (clean_) {
            close_open_run();
            cur_ = std::move(piece.run);
            after_range(std::move(piece.output));
        } else {
            std::unique_ptr<RangeOutput> output = extend(piece.run.range);
            walkers_->retire(std::move(piece));
            after_range(std::move(output));
        }
    }
}

void SplitPull::feed() {
    const size_t ahead = 2 * std::max<size_t>(plan_.walkers, 1);
    while (clean_ && !cuts_.done() && cuts_.count() - merged_ < ahead) {
        if (auto r = cuts_.next()) walkers_->start(std::move(*r));
    }
}

std::unique_ptr<RangeOutput> SplitPull::extend(const Range& r) { return scan(*cur_, r, spare_, walkers_->cancelled()); }

void SplitPull::queue_output(std::unique_ptr<RangeOutput> output) {
    if (!output) return;
    PullStep step;
    step.kind = PullStep::Kind::Output;
    step.output = std::move(output);
    queue_.push_back(std::move(step));
}

void SplitPull::close_open_run() {
    PullStep step;
    step.kind = PullStep::Kind::Closed;
    step.closed = std::move(cur_);
    cur_.reset();
    queue_.push_back(std::move(step));
}

void SplitPull::after_range(std::unique_ptr<RangeOutput> output) {
    queue_output(std::move(output));
    scanned_ = cur_->end;
    clean_ = cur_->top_level;
    if (cur_->error) {
        fail(JorvaneError::parse(std::move(*cur_->error)));
    } else if (cur_->read_error) {
        fail(JorvaneError::read(std::move(*cur_->read_error), source_index_));
    } else if (cur_->cancelled) {
        // Only a failing walker cancels the ranges while the merge runs.
        over_ = true;
        stop_walkers();
        failure_.raise();
    }
}

void SplitPull::fail(JorvaneError error) {
    if (cur_) close_open_run();
    PullStep step;
    step.kind = PullStep::Kind::Failed;
    step.error = std::move(error);
    queue_.push_back(std::move(step));
    over_ = true;
    stop_walkers();
}

void SplitPull::finish_input() {
    if (auto error = cuts_.take_error()) {
        fail(JorvaneError::read(std::move(*error), source_index_));
        return;
    }
    if (!cur_) {
        // Empty input: what a fresh engine makes of it.
        cur_.emplace();
        cur_->engine = std::make_unique<engine::Engine>(engines_.make());
    }
    std::optional<engine::ParseError> error = cur_->engine->finish(true);
    std::unique_ptr<RangeOutput> last;
    engines_.take(*cur_->engine, last);
    if (last) engines_.seal(*last);
    queue_output(std::move(last));
    if (error) {
        error->offset += cur_->begin;
        fail(JorvaneError::parse(std::move(*error)));
        return;
    }
    close_open_run();
    queue_.push_back(PullStep{});
    over_ = true;
    stop_walkers();
}

}  // namespace jorvane::run
