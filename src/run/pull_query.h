// PullQuery: the scan of one source that advances only when its consumer
// asks for more. A refill reads buffers until some output is ready, the input
// ends or every query is settled, and hands that output over; reading stops
// when the consumer stops asking. Lazy iterators (values, or the members of
// matched objects) and whole-row text output are built on it.
//
// Output always comes out before an error found with it: a structural error
// met in a buffer that also completed values is held back (deferred) and
// handed out by the next refill. The per-query results are computed once,
// so the partial results of an error and a later request for the results
// are the same.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/query_output.h"
#include "engine/query_plan.h"
#include "engine/sink.h"
#include "engine/scan_mode.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/source_scan.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::run {

// What one refill (or the closing of the scan) gives the consumer.
template <class Batch>
struct Pulled {
    std::vector<Batch> batches;          // output, when there is any
    std::optional<JorvaneError> error;   // the refill failed (no output)
    bool end = false;                    // the scan is over and nothing is left
};

class PullQuery {
public:
    // Compiles the plans into a fresh engine in `mode` with value streaming
    // on. A refused plan list is invalid input; a text that does not compile
    // is the compile error. The source is dropped on failure.
    static Result<PullQuery, JorvaneError> make(std::span<const engine::QueryPlan> plans, engine::ScanMode mode,
                                                std::unique_ptr<Source> source);

    // One refill, draining streamed values, keyed values, or raw spans (the
    // engine must have raw capture on). `interrupt` is asked before each
    // buffer is read; a stop is the error run::interrupted_read(), a read
    // failure like any other (the next refill goes on).
    Pulled<engine::ValueBatch> refill_values(Interrupt* interrupt = nullptr);
    Pulled<engine::KeyedBatch> refill_keyed(Interrupt* interrupt = nullptr);
    Pulled<std::string> refill_raw(Interrupt* interrupt = nullptr);

    // Ends the scan now (the source is abandoned unless it ended) and gives
    // the per-query results, computed once.
    const std::vector<engine::QueryOutput>& results();

    // The error held back behind output already handed out, taken out.
    std::optional<JorvaneError> take_deferred() { return std::exchange(deferred_, std::nullopt); }
    const std::optional<JorvaneError>& deferred() const { return deferred_; }
    bool finished() const { return finished_; }
    engine::Engine& engine() { return scan_.engine(); }
    // Whether the scan holds a thread it started (run::SourceScan).
    bool holds_threads() const { return scan_.holds_threads(); }

private:
    PullQuery(engine::Engine engine, std::unique_ptr<Source> source) : scan_(std::move(engine), std::move(source)) {}

    template <class Drain>
    Pulled<typename Drain::Batch> refill(Interrupt* interrupt);
    // Drains what is left of a closed scan; `error` is what closing it
    // reported.
    template <class Drain>
    Pulled<typename Drain::Batch> closed(std::optional<JorvaneError> error);
    // Ends the scan at an error and attaches the partial results to it.
    JorvaneError salvage(JorvaneError error);
    // Hands out `batches`, holding `error` back behind them when there are any.
    template <class Batch>
    Pulled<Batch> output_then(std::vector<Batch> batches, std::optional<JorvaneError> error);

    SourceScan scan_;
    std::optional<JorvaneError> deferred_;
    std::optional<std::vector<engine::QueryOutput>> results_;
    bool finished_ = false;
};

}  // namespace jorvane::run
