// The calling thread cuts the file (run/range_cutter.h), hands ranges to the
// walkers (run/range_walkers.h; at most two per walker ahead of the merge,
// which bounds the memory held by finished ranges), and folds finished
// ranges in order. A walker scans its range with a fresh engine and keeps the
// engine, its streamed values and how the range ended until the merge takes
// them. The merge keeps one range open (`cur_`): it is folded once the next
// range is known to start at top level, and its engine goes on through the
// next range when it is not. An error, a read failure, an abort or an early
// stop cancels every range still being scanned; the walkers are joined before
// the run returns.
#include "run/split_scan.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "run/output_merge.h"
#include "run/plans.h"
#include "run/range_scan.h"
#include "run/range_walkers.h"
#include "run/run_policy.h"
#include "run/thread_failure.h"
#include "source/mapped_file.h"

namespace jorvane::run {
namespace {

// The calling thread's side of a scan in ranges: cutting, handing out, and
// folding the walkers' runs in order.
class SplitMerge {
public:
    SplitMerge(const engine::CompiledQueries& compiled, engine::ScanMode mode, Source& source,
               const ScanOptions& options, const SplitPlan& plan)
        : compiled_(compiled),
          mode_(mode),
          source_(source),
          options_(options),
          plan_(plan),
          file_(source.mapped_file()),
          in_{file_, std::max<size_t>(source.buffer_grid(), 1), options.sink != nullptr},
          merge_(make_engine(compiled, mode, false)),
          cuts_(source, plan.range_len) {}

    std::optional<SourceOutcome> run() {
        walkers_.emplace(plan_.walkers, [this](Range r, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel) {
            Stretch run;
            run.begin = r.begin;
            run.end = r.begin;
            run.engine = std::make_unique<engine::Engine>(make_engine(compiled_, mode_, in_.stream_values));
            run.engine->keep_contributions();
            scan_range(run, in_, r, spare, cancel);
            run.range = std::move(r);
            return run;
        }, failure_);
        if (!merge_ranges()) return std::nullopt;
        walkers_->cancel();
        walkers_.reset();
        failure_.raise();
        if (!cur_) return nothing_merged();
        return close();
    }

private:
    // Hands out ranges and folds them until the input ends, a run ends or
    // the observer stops the scan. False when the observer aborted.
    bool merge_ranges() {
        const size_t ahead = 2 * std::max<size_t>(plan_.walkers, 1);
        bool clean = true;  // the open run ended at top level
        uint64_t stretch = 0;
        for (;;) {
            if (interrupt_requested(options_.observer)) {
                early_ = true;
                return true;
            }
            while (clean && !cuts_.done() && cuts_.count() - merged_ < ahead) {
                if (auto r = cuts_.next()) walkers_->start(std::move(*r));
            }
            const uint64_t scanned_from = cur_ ? cur_->end : 0;
            if (merged_ == cuts_.count()) {
                if (cuts_.done()) return true;
                // Not at top level and nothing ahead: this range is the
                // open run's to scan.
                std::optional<Range> r = cuts_.next();
                if (!r) return true;
                ++merged_;
                extend(*r);
            } else {
                Stretch next = walkers_->take(merged_);
                ++merged_;
                if (!next.engine) return true;  // a walker failed: raised once they are joined
                if (!cur_) {
                    cur_ = std::move(next);
                } else if (clean) {
                    fold(*cur_);
                    cur_ = std::move(next);
                } else {
                    extend(next.range);
                    walkers_->retire(std::move(next));
                }
            }
            if (cur_->ended()) return true;
            clean = cur_->top_level;
            stretch += cur_->end - scanned_from;
            if (options_.observer && options_.interval && stretch >= *options_.interval) {
                stretch = 0;
                const Verdict verdict = options_.observer->at_interval(cur_->end, *cur_->engine);
                if (verdict == Verdict::Abort) {
                    walkers_->cancel();
                    return false;
                }
                if (verdict == Verdict::Stop) {
                    early_ = true;
                    return true;
                }
            }
        }
    }

    // The open run's engine goes on through `r`.
    void extend(const Range& r) { scan_range(*cur_, in_, r, spare_, walkers_->cancelled()); }

    void fold(Stretch& run) {
        merge_.fold(*run.engine, std::move(run.batches), options_.sink);
        walkers_->retire(std::move(run));
    }

    // Empty input, or the first read failed: what one engine makes of it.
    SourceOutcome nothing_merged() {
        if (auto error = cuts_.take_error())
            return SourceOutcome(make_err(JorvaneError::read(std::move(*error), options_.source_index)));
        engine::Engine engine = make_engine(compiled_, mode_, options_.sink != nullptr);
        std::optional<JorvaneError> failure;
        if (early_) source_.abandon();
        if (auto error = engine.finish(!early_)) failure.emplace(JorvaneError::parse(std::move(*error)));
        std::vector<engine::QueryOutput> outputs = engine.finalize_source();
        if (failure) return SourceOutcome(make_err(std::move(*failure).with_partials(std::move(outputs))));
        return SourceOutcome(std::move(outputs));
    }

    // Ends the open run as the scan ended and folds it last.
    std::optional<SourceOutcome> close() {
        std::optional<JorvaneError> failure;
        std::optional<uint64_t> covered;
        if (early_) {
            source_.abandon();
            covered = cur_->end;
            (void)cur_->engine->finish(false);
        } else if (cur_->error) {
            failure.emplace(JorvaneError::parse(std::move(*cur_->error)));
        } else if (cur_->read_error) {
            failure.emplace(JorvaneError::read(std::move(*cur_->read_error), options_.source_index));
        } else if (auto error = cuts_.take_error()) {
            failure.emplace(JorvaneError::read(std::move(*error), options_.source_index));
        } else if (auto error = cur_->engine->finish(true)) {
            error->offset += cur_->begin;
            failure.emplace(JorvaneError::parse(std::move(*error)));
        }
        if (options_.sink)
            for (auto& b : cur_->engine->drain_streams()) cur_->batches.push_back(std::move(b));
        merge_.fold(*cur_->engine, std::move(cur_->batches), options_.sink);
        std::vector<engine::QueryOutput> outputs = merge_.take(covered);
        if (failure) return SourceOutcome(make_err(std::move(*failure).with_partials(std::move(outputs))));
        return SourceOutcome(std::move(outputs));
    }

    const engine::CompiledQueries& compiled_;
    engine::ScanMode mode_;
    Source& source_;
    const ScanOptions& options_;
    SplitPlan plan_;
    const MappedFile* file_;
    RangeInput in_;
    OutputMerge merge_;
    RangeFeed cuts_;
    std::optional<Stretch> cur_;
    std::vector<uint8_t> spare_;
    size_t merged_ = 0;  // ranges taken by the merge
    bool early_ = false;
    ThreadFailure failure_;
    // Declared last, so the walkers are joined before anything they use goes.
    std::optional<RangeWalkers<Stretch>> walkers_;
};

}  // namespace

std::optional<SourceOutcome> scan_split(const engine::CompiledQueries& compiled, engine::ScanMode mode, Source& source,
                                        const ScanOptions& options, const SplitPlan& plan) {
    return SplitMerge(compiled, mode, source, options, plan).run();
}

SplitFacts input_facts(Source& source, SplitFacts facts) {
    facts.size.reset();
    if (source.buffer_grid() == 0) {
        facts.input = SplitFacts::Input::Other;
    } else if (const MappedFile* file = source.mapped_file()) {
        facts.input = SplitFacts::Input::PlainFile;
        if (auto size = file->size()) facts.size = *size;
    } else {
        facts.input = SplitFacts::Input::Sequential;
    }
    return facts;
}

SplitFacts split_facts(const engine::Engine& engine, Source& source, const ScanOptions& options) {
    SplitFacts facts = input_facts(source);
    facts.match_limit = engine.has_match_limit();
    facts.reads_engine = options.observer && options.observer->reads_engine();
    for (const engine::InstalledAccumulator& a : engine.accumulators()) facts.kinds.push_back(a.accumulator->kind());
    return facts;
}

std::optional<SourceOutcome> scan_one_source(const engine::CompiledQueries& compiled, engine::ScanMode mode,
                                             Source& source, const ScanOptions& options, size_t walkers) {
    engine::Engine engine = make_engine(compiled, mode, options.sink != nullptr);
    if (walkers > 1) {
        const uint64_t range_len = split_range_for(split_facts(engine, source, options), walkers);
        if (range_len > 0) return scan_split(compiled, mode, source, options, SplitPlan{walkers, range_len});
    }
    return scan_source(engine, source, options);
}

}  // namespace jorvane::run
