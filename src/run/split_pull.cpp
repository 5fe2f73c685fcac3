// The merging thread (the consumer's) cuts the input, hands ranges to the
// walkers (at most two per walker ahead of the merge, which bounds what
// finished ranges hold) and takes them back in order. A walker scans its
// range with a fresh engine, the consumer taking what it keeps out of the
// engine after every buffer (while it is in cache, and never after a buffer
// the file lost under the scan). The merge keeps one stretch open: the next
// range starts a stretch of its own when the open one ended at top level,
// and the open stretch's engine reads on through it (on the merging thread)
// when it did not; no range is handed out ahead until a stretch ends at top
// level again. Steps are queued and handed out one per call, so a range
// whose stretch then fails is handed over in three calls: the range, the
// stretch's close and the error.
//
// In order (SplitPlan::in_order), the merge scans each handed-out range
// itself, by the walkers' code, when it takes the range: the ranges handed
// out, the ones dropped and the outputs are those of the walker threads,
// and a wait for what is held ahead never happens (the range scanned is
// always the one the merge takes next).
#include "run/split_pull.h"

#include <algorithm>
#include <utility>

#include "util/panic.h"

namespace jorvane::run {

SplitPull::SplitPull(Source& source, const SplitPlan& plan, SplitConsumer& consumer, uint64_t source_index,
                     HeldAhead* held)
    : plan_(plan),
      consumer_(consumer),
      source_index_(source_index),
      held_(held),
      in_{source.mapped_file(), std::max<size_t>(source.buffer_grid(), 1)},
      cuts_(source, plan.range_len) {
    walkers_.emplace(plan_.walkers, [this](Range r, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel) {
        ScannedRange scanned;
        scanned.stretch.begin = r.begin;
        scanned.stretch.end = r.begin;
        scanned.stretch.engine = std::make_unique<engine::Engine>(consumer_.make());
        scanned.output = scan(scanned.stretch, r, spare, cancel, true);
        scanned.stretch.range = std::move(r);
        return scanned;
    }, failure_, plan_.in_order);
}

SplitPull::~SplitPull() { stop(); }

void SplitPull::stop() {
    over_ = true;
    // Walkers waiting for the merge are let go before they are joined.
    if (held_) held_->close();
    if (!walkers_) return;
    walkers_->cancel();
    walkers_.reset();
}

bool SplitPull::holds_threads() const {
    auto engine_holds = [](const std::optional<Stretch>& s) {
        return s && s->engine && s->engine->stage_one_started();
    };
    if ((walkers_ && walkers_->holds_threads()) || engine_holds(cur_)) return true;
    for (const PullStep& step : queue_)
        if (engine_holds(step.closed)) return true;
    return false;
}

void SplitPull::retire(Stretch stretch) {
    if (walkers_) walkers_->retire(ScannedRange{std::move(stretch), nullptr});
}

void SplitPull::retire(std::unique_ptr<RangeOutput> output) {
    if (walkers_) walkers_->retire(ScannedRange{Stretch(), std::move(output)});
}

std::unique_ptr<RangeOutput> SplitPull::scan(Stretch& stretch, const Range& r, std::vector<uint8_t>& spare,
                                             const std::atomic<bool>& cancel, bool ahead) {
    std::unique_ptr<RangeOutput> output;
    HeldAhead* const held = ahead ? held_ : nullptr;
    scan_range(stretch, in_, r, spare, cancel, [&](uint64_t end, const engine::BufferScan& scan) {
        const bool go_on = consumer_.after_buffer(*stretch.engine, scan, end, output);
        if (held) held->wait_turn(r.index);
        return go_on;
    });
    if (output) consumer_.seal(*output);
    return output;
}

PullStep SplitPull::next(Interrupt* interrupt) {
    for (;;) {
        if (!queue_.empty()) {
            PullStep step = std::move(queue_.front());
            queue_.pop_front();
            return step;
        }
        if (!checked_) {
            checked_ = true;
            check_open();
            continue;
        }
        if (over_) return PullStep{};
        if (interrupt_requested(interrupt)) {
            PullStep step;
            step.kind = PullStep::Kind::Interrupted;
            return step;
        }
        take_next();
    }
}

void SplitPull::feed() {
    const size_t ahead = 2 * std::max<size_t>(plan_.walkers, 1);
    while (clean_ && !cuts_.done() && cuts_.count() - taken_ < ahead) {
        if (auto r = cuts_.next()) walkers_->start(std::move(*r));
    }
}

void SplitPull::take_next() {
    feed();
    if (taken_ == cuts_.count()) {
        // Nothing is ahead: the input ended, or the open stretch did not end
        // at top level and the next range is its to read on through.
        std::optional<Range> r;
        if (cur_ && !cuts_.done()) r = cuts_.next();
        if (!r) {
            finish_input();
            return;
        }
        ++taken_;
        if (held_) held_->next_range(taken_);
        after_range(extend(*r), false);
        return;
    }
    ScannedRange next = walkers_->take(taken_);
    ++taken_;
    if (held_) held_->next_range(taken_);
    if (!next.stretch.engine) {
        // A walker failed: what it threw is raised once they are joined.
        stop();
        failure_.raise();
        return;
    }
    if (cur_ && !clean_) {
        std::unique_ptr<RangeOutput> output = extend(next.stretch.range);
        if (next.output) consumer_.dropped(*next.output);
        walkers_->retire(std::move(next));
        after_range(std::move(output), false);
        return;
    }
    if (cur_) close_open();
    cur_ = std::move(next.stretch);
    after_range(std::move(next.output), true);
}

std::unique_ptr<RangeOutput> SplitPull::extend(const Range& r) {
    consumer_.before_extend(*cur_->engine);
    return scan(*cur_, r, spare_, walkers_->cancelled(), false);
}

uint64_t SplitPull::reach(uint64_t offset) {
    while (!cuts_.done() && cuts_.end() < offset) (void)cuts_.next();
    return std::min(offset, cuts_.end());
}

void SplitPull::queue(PullStep::Kind kind, std::unique_ptr<RangeOutput> output) {
    PullStep step;
    step.kind = kind;
    step.output = std::move(output);
    queue_.push_back(std::move(step));
}

void SplitPull::close_open() {
    PullStep step;
    step.kind = PullStep::Kind::Closed;
    step.closed = std::move(cur_);
    cur_.reset();
    queue_.push_back(std::move(step));
}

void SplitPull::after_range(std::unique_ptr<RangeOutput> output, bool fresh) {
    queue(PullStep::Kind::Range, std::move(output));
    queue_.back().fresh = fresh;
    scanned_ = cur_->end;
    clean_ = cur_->top_level;
    checked_ = false;
}

void SplitPull::check_open() {
    if (cur_->error) {
        fail(JorvaneError::parse(std::move(*cur_->error)));
    } else if (cur_->read_error) {
        fail(JorvaneError::read(std::move(*cur_->read_error), source_index_));
    } else if (cur_->cancelled || cur_->stopped) {
        // Only a failing walker cancels the ranges while the merge runs, and
        // a consumer that stops a stretch ends the scan before it reaches
        // the stretch's end.
        stop();
        failure_.raise();
        panic("a stretch of ranges ended before the merge reached its end");
    }
}

void SplitPull::fail(JorvaneError error) {
    if (cur_) close_open();
    PullStep step;
    step.kind = PullStep::Kind::Failed;
    step.error = std::move(error);
    queue_.push_back(std::move(step));
    stop();
}

void SplitPull::finish_input() {
    if (auto error = cuts_.take_error()) {
        fail(JorvaneError::read(std::move(*error), source_index_));
        return;
    }
    if (cur_) {
        std::optional<engine::ParseError> error = cur_->engine->finish(true);
        std::unique_ptr<RangeOutput> last;
        consumer_.after_finish(*cur_->engine, last);
        if (last) consumer_.seal(*last);
        queue(PullStep::Kind::Finished, std::move(last));
        if (error) {
            error->offset += cur_->begin;
            fail(JorvaneError::parse(std::move(*error)));
            return;
        }
        close_open();
    }
    queue(PullStep::Kind::Ended);
    stop();
}

}  // namespace jorvane::run
