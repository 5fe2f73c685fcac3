// The ranges are cut, scanned and taken back in order by run/split_pull.h:
// a range's own engine is trusted only when the stretch before it ended at
// top level, and otherwise the engine before it reads on through it. Each
// engine scans in buffers on the grid of one engine over the whole input and
// keeps the rows each buffer completed apart (a piece). The merging thread
// puts a grid buffer's rows together from the pieces that share it (a cut
// falls inside a grid buffer) and hands out one step per grid buffer, so a
// consumer sees every buffer's rows exactly as one engine would give them.
//
// The row limit counts rows in document order, so only the merge knows
// where the scan settles: each walker's engine stops at the limit counted
// from its own start (no range needs more), and the merge settles in the
// first buffer whose rows bring the total to the limit; the scan covers the
// bytes up to the end of that buffer. Whether an error in that same buffer
// counts depends on where in the walk the engine recorded it, before or
// after the last row ended, which only an engine counting from the right
// row knows: the merge then scans the walker's range again with the limit
// that is left. An engine the merge reads on with is given that limit
// before it does.
#include "table/table_split.h"

#include <algorithm>
#include <utility>

#include "run/input_facts.h"

namespace jorvane::table {

engine::Engine TableEngines::make() const {
    engine::Engine engine(mode);
    columns.install(engine);
    anchor.install_row_anchor(engine);
    engine.set_row_limit(row_limit);
    engine.set_stream_items(true);
    engine.set_fast_walk(fast_walk);
    return engine;
}

run::SplitFacts table_split_facts() {
    run::SplitFacts facts;
    facts.kinds = {engine::AccumulatorKind::Values, engine::AccumulatorKind::Count};
    return facts;
}

std::unique_ptr<TableSplit> TableSplit::make(TableEngines engines, Source& source, TableSplitOptions options) {
    if (source.buffer_grid() == 0) return nullptr;
    uint64_t range_len = options.range_len;
    if (range_len == 0) {
        // The same facts the caller chose its walkers by: no engine is
        // built only to ask them again.
        range_len = run::split_range_for(run::input_facts(source, options.facts), options.walkers);
        if (options.streamed) range_len = run::streamed_range_len(range_len, options.walkers);
    }
    if (range_len == 0) return nullptr;
    return std::make_unique<TableSplit>(std::move(engines), source, std::move(options), range_len);
}

TableSplit::TableSplit(TableEngines engines, Source& source, TableSplitOptions options, uint64_t range_len)
    : engines_(std::move(engines)),
      digest_(engines_.row_limit ? PieceDigester() : std::move(options.digest)),
      source_(source),
      held_(options.held_bytes, options.weight_room),
      pull_(source, run::SplitPlan{std::max<size_t>(options.walkers, 1), range_len, options.in_order}, *this, 0,
            digest_ ? &held_ : nullptr) {}

bool TableSplit::after_buffer(engine::Engine& engine, const engine::BufferScan& scan, uint64_t end,
                              std::unique_ptr<run::RangeOutput>& into) const {
    if (!into) into = std::make_unique<Pieces>();
    Piece piece{end, engine.take_row_batch(), nullptr};
    if (digest_ && piece.rows.rows > 0) {
        piece.digest = digest_(piece.rows);
        if (piece.digest) {
            piece.digest->rows = piece.rows.rows;
            piece.bytes = piece.digest->bytes;
            piece.weight = piece.digest->weight;
            piece.rows = engine::CellStore::make(piece.rows.columns.size());
        } else {
            piece.bytes = piece.rows.bytes();
        }
        held_.add(piece.bytes, piece.weight);
    }
    static_cast<Pieces&>(*into).pieces.push_back(std::move(piece));
    // Settled at the row limit counted from this engine's start: the merge
    // settles here or earlier.
    return !scan.settled;
}

void TableSplit::after_finish(engine::Engine& engine, std::unique_ptr<run::RangeOutput>& into) const {
    // Closing the scan may complete a last row (a number at the very end).
    auto last = std::make_unique<Pieces>();
    last->pieces.push_back(Piece{0, engine.take_row_batch(), nullptr});
    into = std::move(last);
}

void TableSplit::before_extend(engine::Engine& engine) {
    if (engines_.row_limit) engine.set_row_limit(*engines_.row_limit - rows_before_);
    extended_ = true;
}

void TableSplit::dropped(run::RangeOutput& output) {
    uint64_t bytes = 0, weight = 0;
    for (const Piece& p : static_cast<Pieces&>(output).pieces) {
        bytes += p.bytes;
        weight += p.weight;
    }
    if (bytes || weight) held_.release(bytes, weight);
}

bool TableSplit::settles_first(const run::Stretch& open) {
    run::Stretch probe;
    probe.begin = open.range.begin;
    probe.end = probe.begin;
    probe.engine = std::make_unique<engine::Engine>(engines_.make());
    probe.engine->set_row_limit(*engines_.row_limit - rows_before_);
    bool settled = false;
    const std::atomic<bool> never{false};
    run::scan_range(probe, pull_.input(), open.range, spare_, never,
                    [&settled](uint64_t, const engine::BufferScan& scan) {
                        settled = settled || scan.settled;
                        return !scan.settled;
                    });
    return settled;
}

uint64_t TableSplit::buffer_end(uint64_t end) {
    const size_t grid = pull_.input().grid;
    if (end % grid == 0) return end;
    // How far the input reaches is known once ranges are cut past the
    // buffer's end.
    return pull_.reach((end / grid + 1) * grid);
}

run::SourceScan::Step TableSplit::scanned(engine::CellStore& rows, PieceParts& parts, bool failed) {
    run::SourceScan::Step out;
    out.kind = run::SourceScan::Step::Kind::Scanned;
    out.settled = !failed && limit_reached();
    out.bytes = pending_end_;
    out.output_ready = pending_rows_ > 0;
    if (out.settled) stopped_at_ = buffer_end(pending_end_);
    rows_ += pending_rows_;
    rows = std::exchange(pending_, engine::CellStore());
    parts = pending_parts_.take();
    pending_rows_ = 0;
    has_pending_ = false;
    return out;
}

run::SourceScan::Step TableSplit::failed(JorvaneError error) {
    pull_.stop();
    over_ = true;
    run::SourceScan::Step out;
    out.kind = run::SourceScan::Step::Kind::Failed;
    out.error.emplace(std::move(error));
    return out;
}

run::SourceScan::Step TableSplit::ended(engine::CellStore& rows) {
    pull_.stop();
    over_ = true;
    rows = std::move(end_rows_);
    return std::move(*end_);
}

run::SourceScan::Step TableSplit::step(run::Interrupt* interrupt, engine::CellStore& rows, PieceParts& parts) {
    using Kind = run::SourceScan::Step::Kind;
    if (over_) {
        run::SourceScan::Step out;
        out.kind = Kind::Ended;
        return out;
    }
    if (run::interrupt_requested(interrupt)) {
        run::SourceScan::Step out;
        out.kind = Kind::Interrupted;
        return out;
    }
    for (;;) {
        if (open_ && !open_->pieces.empty()) {
            Piece p = std::move(open_->pieces.front());
            open_->pieces.pop_front();
            if (p.bytes || p.weight) held_.release(p.bytes, p.weight);
            const uint64_t piece_rows = p.digest ? p.digest->rows : p.rows.rows;
            pending_rows_ += piece_rows;
            pending_parts_.add(piece_rows, std::move(p.digest));
            if (has_pending_) {
                pending_.append(std::move(p.rows));
            } else {
                pending_ = std::move(p.rows);
                has_pending_ = true;
            }
            pending_end_ = p.end;
            run::Stretch& stretch = *pull_.open();
            const bool failed = open_->pieces.empty() && stretch.error;
            if (limit_reached() && (!failed || (!extended_ && settles_first(stretch)))) {
                // One engine settles in this buffer, before anything after
                // the last row counts.
                pull_.stop();
                return scanned(rows, parts);
            }
            if (failed) {
                run::SourceScan::Step out = scanned(rows, parts, true);
                pull_.stop();
                over_ = true;
                out.error.emplace(JorvaneError::parse(std::move(*stretch.error)));
                return out;
            }
            // A buffer cut by a range's end is completed by the next range.
            if (p.end % pull_.input().grid == 0) return scanned(rows, parts);
            continue;
        }
        if (open_) {
            // Every piece of the range is handed out.
            pull_.retire(std::move(open_));
            run::Stretch& stretch = *pull_.open();
            if (stretch.read_error) return failed(JorvaneError::read(std::move(*stretch.read_error), 0));
        }
        if (end_) return ended(rows);
        run::PullStep next = pull_.next();
        switch (next.kind) {
            case run::PullStep::Kind::Range:
                if (next.fresh) {
                    rows_before_ = rows_ + pending_rows_;
                    extended_ = false;
                }
                if (next.output) {
                    open_.reset(static_cast<Pieces*>(next.output.release()));
                } else {
                    open_ = std::make_unique<Pieces>();
                }
                break;
            case run::PullStep::Kind::Finished:
                finished_ = true;
                end_rows_ = std::move(static_cast<Pieces&>(*next.output).pieces.front().rows);
                break;
            case run::PullStep::Kind::Closed: pull_.retire(std::move(*next.closed)); break;
            case run::PullStep::Kind::Interrupted: break;
            case run::PullStep::Kind::Ended:
            case run::PullStep::Kind::Failed:
                // What closing the input left open ends the scan as one
                // engine's does; a read failure fails it.
                end_.emplace();
                end_->kind = finished_ || !next.error ? Kind::Ended : Kind::Failed;
                end_->error = std::move(next.error);
                if (has_pending_) return scanned(rows, parts);
                return ended(rows);
        }
    }
}

void TableSplit::stop() {
    over_ = true;
    pull_.stop();
    source_.abandon();
}

}  // namespace jorvane::table
