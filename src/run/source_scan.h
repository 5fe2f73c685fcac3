// SourceScan: one engine scanning one source, a buffer per step. Every loop
// that reads a source goes through its step: the one-source scan, the pull
// scan behind the lazy iterators and the table stream. The step reads the
// next buffer, closes the scan at the end of input, scans the buffer, and
// asks the source whether that buffer was lost before the scan is trusted;
// what to do with the output, an error, a settled scan or a row limit is the
// caller's. `stop` ends a scan early.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/engine.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "source/source.h"

namespace jorvane::run {

class SourceScan {
public:
    // What one step did.
    struct Step {
        enum class Kind : uint8_t {
            // A buffer was scanned. With `error` (its structural error) the
            // scan is over, whatever else the buffer did.
            Scanned,
            // The input ended and the scan was closed; `error` is what the
            // input left open, if anything.
            Ended,
            // A read failed (`error`). The scan is over when the source lost
            // a buffer already scanned; otherwise nothing was scanned and the
            // next step reads the source again.
            Failed,
            // The caller's interrupt asked to stop: nothing was read, and the
            // next step goes on where this one would have.
            Interrupted,
        };
        Kind kind = Kind::Scanned;
        std::optional<JorvaneError> error;
        // Scanned: output waits to be taken.
        bool output_ready = false;
        // Scanned: every query is settled or the row limit is reached.
        bool settled = false;
        // Scanned: the buffer's length.
        uint64_t bytes = 0;
    };

    // Owns `engine` (queries installed, per-source state clear) and `source`.
    SourceScan(engine::Engine engine, std::unique_ptr<Source> source, uint64_t source_index = 0);
    // Over an engine and a source the caller keeps; both outlive the scan.
    SourceScan(engine::Engine& engine, Source& source, uint64_t source_index = 0);

    // Reads and scans the next buffer, asking `interrupt` first. A buffer
    // the source lost takes its output with it. After the scan is over a
    // step reads nothing and reports Ended.
    Step step(Interrupt* interrupt = nullptr);
    // Ends the scan early: the source is abandoned and the engine records
    // where the scan stopped. The error is one recorded and not yet taken.
    std::optional<JorvaneError> stop();
    // The scan ended (input over, a structural error, a lost buffer, or stop).
    bool over() const { return over_; }
    // Whether the engine or the source holds a thread it started.
    bool holds_threads() const { return engine_->stage_one_started() || source_->holds_threads(); }

    engine::Engine& engine() { return *engine_; }
    const engine::Engine& engine() const { return *engine_; }
    Source& source() { return *source_; }

private:
    std::unique_ptr<engine::Engine> owned_engine_;
    std::unique_ptr<Source> owned_source_;
    engine::Engine* engine_;
    Source* source_;
    uint64_t source_index_;
    bool over_ = false;
};

}  // namespace jorvane::run
