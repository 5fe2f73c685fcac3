// The query run is a consumer of the pulled scan in ranges
// (run/split_pull.h): each range's engine keeps what its accumulators fold
// (Engine::keep_contributions) and hands its streamed values over after every
// buffer; the merge folds each stretch as it closes, its streamed values
// going to the sink then, in document order. An error, a read failure, an
// abort or an early stop ends the scan; the walkers are joined before the
// run returns.
#include "run/split_scan.h"

#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "run/output_merge.h"
#include "run/plans.h"
#include "run/split_pull.h"

namespace jorvane::run {
namespace {

// A range's streamed values, in the order its engine gave them.
struct RangeBatches final : RangeOutput {
    std::vector<engine::ValueBatch> batches;
};

void add_batches(std::vector<engine::ValueBatch> batches, std::vector<engine::ValueBatch>& to) {
    if (to.empty()) {
        to = std::move(batches);
    } else {
        to.insert(to.end(), std::make_move_iterator(batches.begin()), std::make_move_iterator(batches.end()));
    }
}

// The engines of a scan in ranges and the in-order fold of their stretches.
class SplitMerge final : public SplitConsumer {
public:
    SplitMerge(const engine::CompiledQueries& compiled, engine::ScanMode mode, Source& source,
               const ScanOptions& options)
        : compiled_(compiled),
          mode_(mode),
          source_(source),
          options_(options),
          merge_(make_engine(compiled, mode, false)) {}

    engine::Engine make() const override {
        engine::Engine engine = make_engine(compiled_, mode_, options_.sink != nullptr);
        engine.keep_contributions();
        return engine;
    }
    bool after_buffer(engine::Engine& engine, const engine::BufferScan& scan, uint64_t,
                      std::unique_ptr<RangeOutput>& into) const override {
        if (scan.output_ready && options_.sink) keep_streams(engine, into);
        return true;
    }
    void after_finish(engine::Engine& engine, std::unique_ptr<RangeOutput>& into) const override {
        if (options_.sink) keep_streams(engine, into);
    }

    // Folds the stretches until the input ends, a stretch fails or the
    // observer stops the scan. Nothing when the observer aborted.
    std::optional<SourceOutcome> run(const SplitPlan& plan) {
        SplitPull pull(source_, plan, *this, options_.source_index);
        bool merged = false;        // a range was taken
        uint64_t scanned = 0;       // what the ranges merged cover
        uint64_t since_interval = 0;
        for (;;) {
            PullStep step = pull.next(options_.observer);
            switch (step.kind) {
                case PullStep::Kind::Range: {
                    merged = true;
                    keep(std::move(step.output));
                    const Stretch& open = *pull.open();
                    if (open.ended()) break;
                    since_interval += pull.scanned() - scanned;
                    scanned = pull.scanned();
                    if (!options_.observer || !options_.interval || since_interval < *options_.interval) break;
                    since_interval = 0;
                    const Verdict verdict = options_.observer->at_interval(open.end, *open.engine);
                    if (verdict == Verdict::Abort) return std::nullopt;
                    if (verdict == Verdict::Stop) return stop_early(pull, merged);
                    break;
                }
                case PullStep::Kind::Finished: keep(std::move(step.output)); break;
                case PullStep::Kind::Closed:
                    merge_.fold(*step.closed->engine, std::move(batches_), options_.sink);
                    batches_.clear();
                    pull.retire(std::move(*step.closed));
                    break;
                case PullStep::Kind::Interrupted: return stop_early(pull, merged);
                case PullStep::Kind::Failed:
                    end(pull);
                    // Without a range the first read failed: there is nothing to go with it.
                    if (!merged) return SourceOutcome(make_err(std::move(*step.error)));
                    return SourceOutcome(make_err(std::move(*step.error).with_partials(merge_.take(std::nullopt))));
                case PullStep::Kind::Ended:
                    end(pull);
                    if (!merged) return nothing_merged(false);
                    return SourceOutcome(merge_.take(std::nullopt));
            }
        }
    }

private:
    void keep_streams(engine::Engine& engine, std::unique_ptr<RangeOutput>& into) const {
        std::vector<engine::ValueBatch> batches = engine.drain_streams();
        if (batches.empty()) return;
        if (!into) into = std::make_unique<RangeBatches>();
        add_batches(std::move(batches), static_cast<RangeBatches&>(*into).batches);
    }

    // A range's streamed values join those of its stretch.
    void keep(std::unique_ptr<RangeOutput> output) {
        if (output) add_batches(std::move(static_cast<RangeBatches&>(*output).batches), batches_);
    }

    // The walkers are joined; what one threw is raised.
    static void end(SplitPull& pull) {
        pull.stop();
        pull.raise_failure();
    }

    // The observer stopped the scan: the open stretch ends where it got to
    // and is folded last.
    std::optional<SourceOutcome> stop_early(SplitPull& pull, bool merged) {
        end(pull);
        Stretch* open = pull.open();
        if (!open) return nothing_merged(true);
        source_.abandon();
        (void)open->engine->finish(false);
        if (options_.sink) add_batches(open->engine->drain_streams(), batches_);
        merge_.fold(*open->engine, std::move(batches_), options_.sink);
        return SourceOutcome(merge_.take(open->end));
    }

    // Empty input, or a stop before the first range: what one engine makes
    // of it.
    SourceOutcome nothing_merged(bool early) {
        engine::Engine engine = make_engine(compiled_, mode_, options_.sink != nullptr);
        std::optional<JorvaneError> failure;
        if (early) source_.abandon();
        if (auto error = engine.finish(!early)) failure.emplace(JorvaneError::parse(std::move(*error)));
        std::vector<engine::QueryOutput> outputs = engine.finalize_source();
        if (failure) return SourceOutcome(make_err(std::move(*failure).with_partials(std::move(outputs))));
        return SourceOutcome(std::move(outputs));
    }

    const engine::CompiledQueries& compiled_;
    engine::ScanMode mode_;
    Source& source_;
    const ScanOptions& options_;
    OutputMerge merge_;
    // The streamed values of the open stretch, handed on when it is folded.
    std::vector<engine::ValueBatch> batches_;
};

}  // namespace

std::optional<SourceOutcome> scan_split(const engine::CompiledQueries& compiled, engine::ScanMode mode, Source& source,
                                        const ScanOptions& options, const SplitPlan& plan) {
    return SplitMerge(compiled, mode, source, options).run(plan);
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
