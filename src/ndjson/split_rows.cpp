// A walker takes its range's rows out of its engine as text spans and makes
// them into lines at once, so the merging thread only hands lines on. The
// runs' engines are folded as they close, so the partial results of an error
// are those of one engine at that point.
#include "ndjson/split_rows.h"

#include <utility>

#include "ndjson/raw_row.h"
#include "run/plans.h"

namespace jorvane::ndjson {
namespace {

struct RangeLines final : run::RangeOutput {
    Lines lines;
};

}  // namespace

engine::Engine SplitRows::RowEngines::make() const {
    engine::Engine engine = run::make_engine(compiled_, mode_, true);
    engine.enable_raw_capture();
    return engine;
}

std::unique_ptr<run::RangeOutput> SplitRows::RowEngines::take(engine::Engine& engine) const {
    std::vector<std::string> spans = engine.take_raw_spans();
    if (spans.empty()) return nullptr;
    auto out = std::make_unique<RangeLines>();
    size_t bytes = 0;
    for (const std::string& span : spans) bytes += span.size() + 1;
    out->lines.buffer().reserve(bytes);
    for (const std::string& span : spans) {
        append_raw_row(span, out->lines.buffer());
        out->lines.end_line();
    }
    return out;
}

SplitRows::SplitRows(engine::CompiledQueries compiled, engine::ScanMode mode, std::unique_ptr<Source> source,
                     const run::SplitPlan& plan)
    : engines_(std::move(compiled), mode),
      source_(std::move(source)),
      merge_(engines_.make()),
      pull_(*source_, plan, engines_) {}

Result<bool, JorvaneError> SplitRows::next_lines(Lines& out, run::Interrupt* interrupt) {
    if (over_) return false;
    for (;;) {
        run::PullStep step = pull_.next(interrupt);
        switch (step.kind) {
            case run::PullStep::Kind::Output: {
                Lines& lines = static_cast<RangeLines&>(*step.output).lines;
                if (out.empty()) {
                    out = std::move(lines);
                } else {
                    for (size_t i = 0; i < lines.size(); ++i) {
                        out.buffer() += lines.line(i);
                        out.end_line();
                    }
                }
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
