// A scan ends in one of four ways. End of input: `finish(true)` reports what
// the input left open. Settled queries, a stop from the observer or its stop
// request: the source is abandoned and `finish(false)` records where the scan
// stopped. A structural error or a read failure: the error, with the outputs
// reached so far as its partial results. An abort: nothing. Streamed values
// are handed to the sink after every buffer and once more at the end, so
// nothing queued is lost whichever way the scan ends.
#include "run/scan_source.h"

#include "run/source_scan.h"
#include "util/saturating.h"

namespace jorvane::run {
namespace {

void drain(engine::Engine& engine, engine::ValueSink* sink) {
    if (!sink) return;
    for (auto& batch : engine.drain_streams()) sink->accept(batch.query, batch.kind, std::move(batch.values));
}

}  // namespace

std::optional<SourceOutcome> scan_source(engine::Engine& engine, Source& source, const ScanOptions& options) {
    SourceScan scan(engine, source, options.source_index);
    std::optional<JorvaneError> failure;
    bool early = false;
    uint64_t total = 0;
    uint64_t stretch = 0;
    for (;;) {
        SourceScan::Step step = scan.step(options.observer);
        if (step.kind == SourceScan::Step::Kind::Interrupted) {
            early = true;
            break;
        }
        if (step.kind != SourceScan::Step::Kind::Scanned) {
            failure = std::move(step.error);
            break;
        }
        if (step.output_ready) drain(engine, options.sink);
        if (step.error) {
            failure = std::move(step.error);
            break;
        }
        if (step.settled) {
            early = true;
            break;
        }
        total = saturating_add(total, step.bytes);
        stretch = saturating_add(stretch, step.bytes);
        if (options.observer && options.interval && stretch >= *options.interval) {
            stretch = 0;
            const Verdict verdict = options.observer->at_interval(total, engine);
            if (verdict == Verdict::Abort) return std::nullopt;
            if (verdict == Verdict::Stop) {
                early = true;
                break;
            }
        }
    }
    if (early) {
        if (auto error = scan.stop()) failure = std::move(error);
    }
    std::vector<engine::QueryOutput> outputs = engine.finalize_source();
    drain(engine, options.sink);
    if (failure) return SourceOutcome(make_err(std::move(*failure).with_partials(std::move(outputs))));
    return SourceOutcome(std::move(outputs));
}

namespace {

// Between the buffers of a profile: the byte limit, then the caller's
// interrupt.
class ProfileLimit final : public ScanObserver {
public:
    ProfileLimit(std::optional<uint64_t> limit, Interrupt* interrupt) : limit_(limit), interrupt_(interrupt) {}
    Verdict at_interval(uint64_t bytes, const engine::Engine&) override {
        if (limit_ && bytes >= *limit_) return Verdict::Stop;
        return interrupt_requested(interrupt_) ? Verdict::Abort : Verdict::Continue;
    }

private:
    std::optional<uint64_t> limit_;
    Interrupt* interrupt_;
};

}  // namespace

std::optional<Result<SourceProfile, JorvaneError>> describe_source(Source& source, engine::ScanMode mode,
                                                                   uint64_t distinct_cap,
                                                                   std::optional<uint64_t> limit_bytes,
                                                                   Interrupt* interrupt) {
    using Profiled = Result<SourceProfile, JorvaneError>;
    engine::Engine engine(mode);
    engine.attach_describer(engine::Describer(distinct_cap));
    if (interrupt_requested(interrupt)) return std::nullopt;
    ProfileLimit observer(limit_bytes, interrupt);
    ScanOptions options;
    options.observer = &observer;
    options.interval = 1;  // between every two buffers
    std::optional<SourceOutcome> outcome = scan_source(engine, source, options);
    if (!outcome) return std::nullopt;
    if (!*outcome) return Profiled(make_err(std::move(outcome->error())));
    return Profiled(SourceProfile{std::move(*engine.take_describer()), engine.bytes_scanned()});
}

}  // namespace jorvane::run
