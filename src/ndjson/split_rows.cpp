// A walker takes its range's rows out of its engine as text spans after every
// buffer and makes them into lines once the range is scanned, so the merging
// thread only hands lines on; the spent lines go back to a walker to be
// freed. The stretches' engines are folded as they close, so the partial
// results of an error are those of one engine at that point.
#include "ndjson/split_rows.h"

#include <iterator>
#include <utility>

#include "ndjson/raw_row.h"
#include "run/plans.h"

namespace jorvane::ndjson {
namespace {

// A range's rows: their text spans as the buffers gave them, then (sealed)
// their lines.
struct RangeLines final : run::RangeOutput {
    std::vector<std::string> spans;
    Lines lines;
};

}  // namespace

engine::Engine SplitRows::RowText::make() const {
    engine::Engine engine = run::make_engine(compiled_, mode_, true);
    engine.enable_raw_capture();
    return engine;
}

bool SplitRows::RowText::after_buffer(engine::Engine& engine, const engine::BufferScan& scan, uint64_t,
                                      std::unique_ptr<run::RangeOutput>& into) const {
    if (scan.output_ready) keep(engine, into);
    return true;
}

void SplitRows::RowText::after_finish(engine::Engine& engine, std::unique_ptr<run::RangeOutput>& into) const {
    keep(engine, into);
}

void SplitRows::RowText::keep(engine::Engine& engine, std::unique_ptr<run::RangeOutput>& into) const {
    std::vector<std::string> spans = engine.take_raw_spans();
    if (spans.empty()) return;
    if (!into) into = std::make_unique<RangeLines>();
    std::vector<std::string>& kept = static_cast<RangeLines&>(*into).spans;
    if (kept.empty()) {
        kept = std::move(spans);
    } else {
        kept.insert(kept.end(), std::make_move_iterator(spans.begin()), std::make_move_iterator(spans.end()));
    }
}

void SplitRows::RowText::seal(run::RangeOutput& output) const {
    RangeLines& range = static_cast<RangeLines&>(output);
    size_t bytes = 0;
    for (const std::string& span : range.spans) bytes += span.size() + 1;
    range.lines.buffer().reserve(bytes);
    for (const std::string& span : range.spans) {
        append_raw_row(span, range.lines.buffer());
        range.lines.end_line();
    }
    std::vector<std::string>().swap(range.spans);
}

SplitRows::SplitRows(engine::CompiledQueries compiled, engine::ScanMode mode, std::unique_ptr<Source> source,
                     const run::SplitPlan& plan)
    : text_(std::move(compiled), mode),
      source_(std::move(source)),
      merge_(text_.make()),
      pull_(*source_, plan, text_) {}

Result<bool, JorvaneError> SplitRows::next_lines(Lines& out, run::Interrupt* interrupt) {
    if (over_) return false;
    for (;;) {
        run::PullStep step = pull_.next(interrupt);
        switch (step.kind) {
            case run::PullStep::Kind::Range:
            case run::PullStep::Kind::Finished: {
                if (!step.output) break;
                Lines& lines = static_cast<RangeLines&>(*step.output).lines;
                if (out.empty()) {
                    // What `out` held goes back with the output, to be freed
                    // by a walker.
                    std::swap(out, lines);
                } else {
                    for (size_t i = 0; i < lines.size(); ++i) {
                        out.buffer() += lines.line(i);
                        out.end_line();
                    }
                }
                pull_.retire(std::move(step.output));
                return true;
            }
            case run::PullStep::Kind::Closed:
                merge_.fold(*step.closed->engine, {}, nullptr);
                pull_.retire(std::move(*step.closed));
                break;
            case run::PullStep::Kind::Interrupted: return make_err(run::interrupted_read());
            case run::PullStep::Kind::Failed:
                over_ = true;
                return make_err(std::move(*step.error).with_partials(merge_.take(std::nullopt)));
            case run::PullStep::Kind::Ended: over_ = true; return false;
        }
    }
}

}  // namespace jorvane::ndjson
