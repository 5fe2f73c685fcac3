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
    scan_.source().abandon();
    if (!results_) results_ = engine().finalize_source();
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
Pulled<typename Drain::Batch> PullQuery::closed(std::optional<JorvaneError> error) {
    finished_ = true;
    std::vector<typename Drain::Batch> batches = Drain::drain(engine());
    if (!error) return output_then(std::move(batches), std::nullopt);
    return output_then(std::move(batches), salvage(std::move(*error)));
}

template <class Drain>
Pulled<typename Drain::Batch> PullQuery::refill(Interrupt* interrupt) {
    using Batch = typename Drain::Batch;
    using Kind = SourceScan::Step::Kind;
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
        SourceScan::Step step = scan_.step(interrupt);
        switch (step.kind) {
            case Kind::Interrupted:
                out.error = interrupted_read();
                return out;
            case Kind::Failed:
                if (scan_.over()) finished_ = true;
                out.error = std::move(step.error);
                return out;
            case Kind::Ended: return closed<Drain>(std::move(step.error));
            case Kind::Scanned: break;
        }
        if (step.error) {
            JorvaneError error = salvage(std::move(*step.error));
            return output_then(Drain::drain(engine()), std::move(error));
        }
        std::vector<Batch> batches;
        if (step.output_ready) batches = Drain::drain(engine());
        if (step.settled) {
            // The output of this buffer comes first; an error from closing
            // the scan waits behind it.
            Pulled<Batch> rest = closed<Drain>(scan_.stop());
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
        (void)scan_.stop();
    }
    if (!results_) results_ = engine().finalize_source();
    return *results_;
}

}  // namespace jorvane::run
