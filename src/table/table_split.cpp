// The ranges are cut, handed out and taken back in order as in the split
// query scan (run/split_scan.h): a range's own engine is trusted only when
// the scan before it ended at top level, and otherwise the engine before it
// reads on through it. Each engine scans in buffers on the grid of one
// engine over the whole input and keeps the rows each buffer completed
// apart (a piece). The merging thread puts a grid buffer's rows together
// from the pieces that share it (a cut falls inside a grid buffer) and hands
// out one step per grid buffer, so a consumer sees every buffer's rows
// exactly as one engine would give them.
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

#include "run/run_policy.h"
#include "run/split_scan.h"
#include "source/mapped_file.h"
#include "util/panic.h"

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

std::unique_ptr<TableSplit> TableSplit::make(TableEngines engines, Source& source, TableWalkers walkers) {
    if (source.buffer_grid() == 0) return nullptr;
    uint64_t range_len = walkers.range_len;
    if (range_len == 0) {
        // The same facts the caller chose its walkers by: no engine is
        // built only to ask them again.
        range_len = run::split_range_for(run::input_facts(source, walkers.facts), walkers.walkers);
        if (walkers.streamed) range_len = run::streamed_range_len(range_len, walkers.walkers);
    }
    if (range_len == 0) return nullptr;
    return std::make_unique<TableSplit>(std::move(engines), source, std::move(walkers), range_len);
}

TableSplit::TableSplit(TableEngines engines, Source& source, TableWalkers walkers, uint64_t range_len)
    : engines_(std::move(engines)),
      digest_(engines_.row_limit ? PieceDigester() : std::move(walkers.digest)),
      source_(source),
      walkers_n_(std::max<size_t>(walkers.walkers, 1)),
      in_{source.mapped_file(), std::max<size_t>(source.buffer_grid(), 1)},
      cuts_(source, range_len),
      held_(walkers.held_bytes, walkers.weight_room) {}

TableSplit::~TableSplit() { end_walkers(); }

void TableSplit::Held::add(uint64_t bytes, uint64_t weight) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += bytes;
    weight_ += weight;
}

void TableSplit::Held::release(uint64_t bytes, uint64_t weight) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_ -= bytes;
        weight_ -= weight;
        if (waiting_ == 0) return;
    }
    changed_.notify_all();
}

void TableSplit::Held::next_range(size_t index) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        next_ = index;
        if (waiting_ == 0) return;
    }
    changed_.notify_all();
}

void TableSplit::Held::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool TableSplit::Held::fits() const {
    if (bytes_limit_ && bytes_ > bytes_limit_) return false;
    return !weight_room_ || weight_ <= weight_room_->load(std::memory_order_relaxed);
}

void TableSplit::Held::wait_turn(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The range the merge takes next never waits, so the merge always gets
    // on and what is held always shrinks again.
    if (closed_ || index <= next_ || fits()) return;
    ++waiting_;
    changed_.wait(lock, [&] { return closed_ || index <= next_ || fits(); });
    --waiting_;
}

TableSplit::Run TableSplit::scan_new(run::Range range, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel) {
    Run run;
    run.scan.begin = range.begin;
    run.scan.end = range.begin;
    run.scan.engine = std::make_unique<engine::Engine>(engines_.make());
    scan_on(run, range, spare, cancel, true);
    run.scan.range = std::move(range);
    return run;
}

void TableSplit::scan_on(Run& run, const run::Range& range, std::vector<uint8_t>& spare,
                         const std::atomic<bool>& cancel, bool walker) {
    run::scan_range(run.scan, in_, range, spare, cancel, [&](uint64_t end, const engine::BufferScan& scan) {
        Piece piece{end, run.scan.engine->take_row_batch(), nullptr};
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
        run.pieces.push_back(std::move(piece));
        if (walker && digest_) held_.wait_turn(range.index);
        // Settled at the row limit counted from this engine's start: the
        // merge settles here or earlier.
        return !scan.settled;
    });
}

void TableSplit::release(Run& run) {
    uint64_t bytes = 0, weight = 0;
    for (const Piece& p : run.pieces) {
        bytes += p.bytes;
        weight += p.weight;
    }
    if (bytes || weight) held_.release(bytes, weight);
}

bool TableSplit::advance() {
    if (!walkers_)
        walkers_.emplace(
            walkers_n_,
            [this](run::Range r, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel) {
                return scan_new(std::move(r), spare, cancel);
            },
            failure_);
    // Ranges are started ahead only while the cuts check out, at most two
    // per walker ahead of the merge.
    const bool clean = !cur_ || cur_->scan.top_level;
    const size_t ahead = 2 * walkers_n_;
    while (clean && !cuts_.done() && cuts_.count() - merged_ < ahead) {
        if (auto r = cuts_.next()) walkers_->start(std::move(*r));
    }
    if (merged_ == cuts_.count()) {
        if (cuts_.done() || !cur_) return false;
        // Not at top level and nothing ahead: the open run reads on.
        std::optional<run::Range> r = cuts_.next();
        if (!r) return false;
        held_.next_range(++merged_);
        extend(*r);
        return true;
    }
    Run next = walkers_->take(merged_);
    held_.next_range(++merged_);
    if (!next.scan.engine) {
        // A walker failed: raised once the walkers are joined.
        end_walkers();
        failure_.raise();
        return false;
    }
    if (cur_ && !clean) {
        extend(next.scan.range);
        release(next);
        walkers_->retire(std::move(next));
        return true;
    }
    if (cur_) walkers_->retire(std::move(*cur_));
    cur_ = std::move(next);
    cur_->rows_before = rows_ + pending_rows_;
    return true;
}

void TableSplit::extend(const run::Range& range) {
    if (engines_.row_limit) cur_->scan.engine->set_row_limit(*engines_.row_limit - cur_->rows_before);
    cur_->extended = true;
    scan_on(*cur_, range, spare_, walkers_->cancelled(), false);
}

bool TableSplit::settles_first(const Run& run) {
    run::Stretch probe;
    probe.begin = run.scan.range.begin;
    probe.end = probe.begin;
    probe.engine = std::make_unique<engine::Engine>(engines_.make());
    probe.engine->set_row_limit(*engines_.row_limit - run.rows_before);
    bool settled = false;
    const std::atomic<bool> never{false};
    run::scan_range(probe, in_, run.scan.range, spare_, never, [&settled](uint64_t, const engine::BufferScan& scan) {
        settled = settled || scan.settled;
        return !scan.settled;
    });
    return settled;
}

uint64_t TableSplit::buffer_end(uint64_t end) {
    if (end % in_.grid == 0) return end;
    const uint64_t grid_end = (end / in_.grid + 1) * in_.grid;
    // How far the input reaches is known once ranges are cut past the
    // buffer's end (the ranges cut only for this are not scanned).
    while (!cuts_.done() && cuts_.end() < grid_end) (void)cuts_.next();
    return std::min(grid_end, cuts_.end());
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
    end_walkers();
    over_ = true;
    run::SourceScan::Step out;
    out.kind = run::SourceScan::Step::Kind::Failed;
    out.error.emplace(std::move(error));
    return out;
}

run::SourceScan::Step TableSplit::ended(engine::CellStore& rows) {
    end_walkers();
    over_ = true;
    run::SourceScan::Step out;
    out.kind = run::SourceScan::Step::Kind::Ended;
    if (auto error = cuts_.take_error()) {
        out.kind = run::SourceScan::Step::Kind::Failed;
        out.error.emplace(JorvaneError::read(std::move(*error), 0));
        return out;
    }
    // Closing the scan may complete a last row (a number at the very end).
    std::optional<engine::Engine> fresh;
    engine::Engine& last = cur_ ? *cur_->scan.engine : fresh.emplace(engines_.make());
    if (auto error = last.finish(true)) {
        if (cur_) error->offset += cur_->scan.begin;
        out.error.emplace(JorvaneError::parse(std::move(*error)));
    }
    rows = last.take_row_batch();
    return out;
}

run::SourceScan::Step TableSplit::step(run::Interrupt* interrupt, engine::CellStore& rows, PieceParts& parts) {
    if (over_) {
        run::SourceScan::Step out;
        out.kind = run::SourceScan::Step::Kind::Ended;
        return out;
    }
    if (run::interrupt_requested(interrupt)) {
        run::SourceScan::Step out;
        out.kind = run::SourceScan::Step::Kind::Interrupted;
        return out;
    }
    for (;;) {
        if (cur_ && !cur_->pieces.empty()) {
            Piece p = std::move(cur_->pieces.front());
            cur_->pieces.pop_front();
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
            const bool failed = cur_->pieces.empty() && cur_->scan.error;
            if (limit_reached() && (!failed || (!cur_->extended && settles_first(*cur_)))) {
                // One engine settles in this buffer, before anything after
                // the last row counts.
                end_walkers();
                return scanned(rows, parts);
            }
            if (failed) {
                run::SourceScan::Step out = scanned(rows, parts, true);
                end_walkers();
                over_ = true;
                out.error.emplace(JorvaneError::parse(std::move(*cur_->scan.error)));
                return out;
            }
            // A buffer cut by a range's end is completed by the next range.
            if (p.end % in_.grid == 0) return scanned(rows, parts);
            continue;
        }
        if (cur_ && cur_->scan.read_error) return failed(JorvaneError::read(std::move(*cur_->scan.read_error), 0));
        if (cur_ && (cur_->scan.cancelled || cur_->scan.stopped)) {
            // Cancelled only when a walker failed (raised here); stopped
            // only at a limit the merge reaches first.
            end_walkers();
            failure_.raise();
            panic("a table range ended before the merge reached its row limit");
        }
        if (!advance()) {
            if (has_pending_) return scanned(rows, parts);
            return ended(rows);
        }
    }
}

void TableSplit::end_walkers() {
    held_.close();
    if (!walkers_) return;
    walkers_->cancel();
    walkers_.reset();
}

void TableSplit::stop() {
    over_ = true;
    end_walkers();
    source_.abandon();
}

}  // namespace jorvane::table
