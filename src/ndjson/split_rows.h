// SplitRows: whole-row NDJSON lines of one source over every core. The
// source is scanned in ranges (run/split_pull.h) by engines that keep the
// text of every row; each walker makes its range's rows into lines by the
// raw-row rule, and the lines come out range by range in document order, so
// they are the lines one engine gives, in the same order, and the first
// error comes after the same lines, with the same partial results (the
// stretches' outputs folded in order, run/output_merge.h).
#pragma once

#include <memory>
#include <optional>

#include "engine/compiled_queries.h"
#include "engine/scan_mode.h"
#include "ndjson/lines.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/output_merge.h"
#include "run/split_pull.h"
#include "source/source.h"
#include "util/result.h"

namespace jorvane::ndjson {

class SplitRows {
public:
    // `compiled` holds the rows query alone, with one Count and no limit.
    SplitRows(engine::CompiledQueries compiled, engine::ScanMode mode, std::unique_ptr<Source> source,
              const run::SplitPlan& plan);
    SplitRows(const SplitRows&) = delete;
    SplitRows& operator=(const SplitRows&) = delete;

    // Appends the lines of the next range (possibly none): true while the
    // scan goes on, false once it is over and nothing is left. A failing
    // call appends nothing; a stop asked by `interrupt` is the error
    // run::interrupted_read() and the next call goes on from there. After
    // any other error the scan is over.
    Result<bool, JorvaneError> next_lines(Lines& out, run::Interrupt* interrupt);
    // Whether the source or the scan in ranges holds a thread it started.
    bool holds_threads() const { return source_->holds_threads() || pull_.holds_threads(); }

private:
    class RowText final : public run::SplitConsumer {
    public:
        RowText(engine::CompiledQueries compiled, engine::ScanMode mode)
            : compiled_(std::move(compiled)), mode_(mode) {}
        engine::Engine make() const override;
        bool after_buffer(engine::Engine& engine, const engine::BufferScan& scan, uint64_t end,
                          std::unique_ptr<run::RangeOutput>& into) const override;
        void after_finish(engine::Engine& engine, std::unique_ptr<run::RangeOutput>& into) const override;
        void seal(run::RangeOutput& output) const override;

    private:
        // Adds the rows' text spans the engine holds to `into`.
        void keep(engine::Engine& engine, std::unique_ptr<run::RangeOutput>& into) const;

        engine::CompiledQueries compiled_;
        engine::ScanMode mode_;
    };

    RowText text_;
    std::unique_ptr<Source> source_;
    run::OutputMerge merge_;
    bool over_ = false;
    // Declared last: its walkers go before the engines and the source.
    run::SplitPull pull_;
};

}  // namespace jorvane::ndjson
