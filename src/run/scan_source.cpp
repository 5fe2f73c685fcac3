// A scan ends in one of four ways. End of input: `finish(true)` reports what
// the input left open. Settled queries, a stop from the observer or its stop
// request: the source is abandoned and `finish(false)` records where the scan
// stopped. A structural error or a read failure: the error, with the outputs
// reached so far as its partial results. An abort: nothing. Streamed values
// are handed to the sink after every buffer and once more at the end, so
// nothing queued is lost whichever way the scan ends.
#include "run/scan_source.h"

#include "util/saturating.h"

namespace jorvane::run {
namespace {

void drain(engine::Engine& engine, engine::ValueSink* sink) {
    if (!sink) return;
    for (auto& batch : engine.drain_streams()) sink->accept(batch.query, batch.kind, std::move(batch.values));
}

}  // namespace

std::optional<SourceOutcome> scan_source(engine::Engine& engine, Source& source, const ScanOptions& options) {
    std::optional<JorvaneError> failure;
    bool early = false;
    uint64_t total = 0;
    uint64_t stretch = 0;
    for (;;) {
        if (options.observer && options.observer->stop_requested()) {
            early = true;
            break;
        }
        BufferResult next = source.next_buffer();
        if (!next) {
            failure.emplace(JorvaneError::read(std::move(next.error()), options.source_index));
            break;
        }
        if (!next.value()) {
            if (auto error = engine.finish(true)) failure.emplace(JorvaneError::parse(std::move(*error)));
            break;
        }
        const ByteView buffer = *next.value();
        engine::BufferScan scan = engine.scan_buffer(buffer);
        if (auto lost = source.lost_buffer()) {
            // What this buffer led to is not what the input holds.
            (void)engine.drain_streams();
            failure.emplace(JorvaneError::read(std::move(*lost), options.source_index));
            break;
        }
        if (scan.output_ready) drain(engine, options.sink);
        if (scan.error) {
            failure.emplace(JorvaneError::parse(std::move(*scan.error)));
            break;
        }
        if (scan.settled) {
            early = true;
            break;
        }
        total = saturating_add(total, buffer.size());
        stretch = saturating_add(stretch, buffer.size());
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
        source.abandon();
        if (auto error = engine.finish(false)) failure.emplace(JorvaneError::parse(std::move(*error)));
    }
    std::vector<engine::QueryOutput> outputs = engine.finalize_source();
    drain(engine, options.sink);
    if (failure) return SourceOutcome(make_err(std::move(*failure).with_partials(std::move(outputs))));
    return SourceOutcome(std::move(outputs));
}

}  // namespace jorvane::run
