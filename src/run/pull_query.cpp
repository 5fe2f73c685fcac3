// A refill ends at the first buffer that completes any output. A structural
// error ends the scan there: the outputs reached so far become its partial
// results (salvage), and the output of that buffer comes out first. A read
// failure ends only the refill: the scan stays where it was, so the next
// refill reads the source again. When every query is settled the source is
// abandoned after the buffer that settled them.
#include "run/pull_query.h"

#include <utility>

#include "run/plans.h"

namespace jorvane::run {
namespace {

struct DrainValues {
    using Batch = engine::ValueBatch;
    static std::vector<Batch> drain(engine::Engine& e) { return e.drain_streams(); }
};
struct DrainKeyed {
    using Batch = engine::KeyedBatch;
    static std::vector<Batch> drain(engine::Engine& e) { return e.drain_keyed_streams(); }
};
struct DrainRaw {
    using Batch = std::string;
    static std::vector<Batch> drain(engine::Engine& e) { return e.take_raw_spans(); }
};

}  // namespace

Result<PullQuery, JorvaneError> PullQuery::make(std::span<const engine::QueryPlan> plans, engine::ScanMode mode,
                                                std::unique_ptr<Source> source) {
    if (auto refused = check_plans(plans)) return make_err(JorvaneError::invalid_input(std::move(*refused)));
    auto compiled = compile_plans(plans);
    if (!compiled) return make_err(std::move(compiled.error()));
    return PullQuery(make_engine(*compiled, mode, true), std::move(source));
}

JorvaneError PullQuery::salvage(JorvaneError error) {
    finished_ = true;
    source_->abandon();
    if (!results_) results_ = engine_.finalize_source();
    return std::move(error).with_partials(*results_);
}

template <class Batch>
Pulled<Batch> PullQuery::output_then(std::vector<Batch> batches, std::optional<JorvaneError> error) {
    Pulled<Batch> out;
    if (batches.empty()) {
        out.error = std::move(error);
        out.end = !out.error;
        return out;
    }
    if (error) deferred_ = std::move(error);
    out.batches = std::move(batches);
    return out;
}

template <class Drain>
Pulled<typename Drain::Batch> PullQuery::finish(bool complete) {
    finished_ = true;
    if (!complete) source_->abandon();
    std::optional<engine::ParseError> error = engine_.finish(complete);
    std::vector<typename Drain::Batch> batches = Drain::drain(engine_);
    if (!error) return output_then(std::move(batches), std::nullopt);
    return output_then(std::move(batches), salvage(JorvaneError::parse(std::move(*error))));
}

template <class Drain>
Pulled<typename Drain::Batch> PullQuery::refill(Interrupt* interrupt) {
    using Batch = typename Drain::Batch;
    Pulled<Batch> out;
    if (deferred_) {
        out.error = take_deferred();
        return out;
    }
    if (finished_) {
        out.end = true;
        return out;
    }
    for (;;) {
        // Nothing is pending here: a buffer that gave output returned it.
        if (interrupt_requested(interrupt)) {
            out.error = interrupted_read();
            return out;
        }
        BufferResult next = source_->next_buffer();
        if (!next) {
            out.error = JorvaneError::read(std::move(next.error()), 0);
            return out;
        }
        if (!next.value()) return finish<Drain>(true);
        engine::BufferScan scan = engine_.scan_buffer(*next.value());
        if (auto lost = source_->lost_buffer()) {
            // What this buffer led to is not what the input holds.
            (void)Drain::drain(engine_);
            finished_ = true;
            out.error = JorvaneError::read(std::move(*lost), 0);
            return out;
        }
        if (scan.error) {
            JorvaneError error = salvage(JorvaneError::parse(std::move(*scan.error)));
            return output_then(Drain::drain(engine_), std::move(error));
        }
        std::vector<Batch> batches;
        if (scan.output_ready) batches = Drain::drain(engine_);
        if (scan.settled) {
            // The output of this buffer comes first; an error from closing
            // the scan waits behind it.
            Pulled<Batch> rest = finish<Drain>(false);
            for (auto& b : rest.batches) batches.push_back(std::move(b));
            if (rest.error && !batches.empty()) {
                deferred_ = std::move(rest.error);
                rest.error.reset();
            }
            if (rest.error) return rest;
            return output_then(std::move(batches), std::nullopt);
        }
        if (!batches.empty()) {
            out.batches = std::move(batches);
            return out;
        }
    }
}

Pulled<engine::ValueBatch> PullQuery::refill_values(Interrupt* interrupt) { return refill<DrainValues>(interrupt); }
Pulled<engine::KeyedBatch> PullQuery::refill_keyed(Interrupt* interrupt) { return refill<DrainKeyed>(interrupt); }
Pulled<std::string> PullQuery::refill_raw(Interrupt* interrupt) { return refill<DrainRaw>(interrupt); }

const std::vector<engine::QueryOutput>& PullQuery::results() {
    if (!finished_) {
        // An early end asked for by the consumer: what the scan still held
        // back is not wanted any more.
        finished_ = true;
        source_->abandon();
        (void)engine_.finish(false);
    }
    if (!results_) results_ = engine_.finalize_source();
    return *results_;
}

}  // namespace jorvane::run
