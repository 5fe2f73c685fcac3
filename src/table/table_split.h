// TableSplit: the rows of one large input scanned in ranges by several
// engines at once (run/split_pull.h) and handed out exactly as one engine
// scanning the whole input hands them out: a step per buffer of that
// engine's buffer grid, with the rows completed in that buffer, the same
// first error at the same offset and with the same text, and the same end
// at a row limit.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "engine/cell_store.h"
#include "engine/compiled_queries.h"
#include "engine/engine.h"
#include "engine/scan_mode.h"
#include "run/held_ahead.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/range_scan.h"
#include "run/run_policy.h"
#include "run/source_scan.h"
#include "run/split_pull.h"
#include "source/source.h"
#include "table/piece_digest.h"

namespace jorvane::table {

// What a table scan's engines are made of; each engine gets its own copy.
struct TableEngines {
    engine::CompiledQueries columns;
    engine::CompiledQueries anchor;
    engine::ScanMode mode;
    std::optional<uint64_t> row_limit;
    bool fast_walk = true;

    engine::Engine make() const;
};

// What a table scan tells the split rule before its source is opened: its
// queries (values and a row count) never settle early, and its row limit is
// kept by the merge. The input's own facts come from the source.
run::SplitFacts table_split_facts();

// How a table scan may split one source: the engines that may scan it at
// once, the ranges, and what the walkers do with the rows they scan.
struct TableSplitOptions {
    size_t walkers = 1;
    // The length ranges aim at; 0: the run policy's (run/run_policy.h),
    // which leaves a small input or one walker to one engine. Tests set it
    // to split small inputs, even over one walker.
    uint64_t range_len = 0;
    // The consumer streams its rows: the ranges held ahead of the merge
    // stay near 32 MiB in all whatever the input's size (ranges twice as
    // long as sequential input's), so that memory does not grow with the
    // input.
    bool streamed = false;
    // Run on each walker's pieces of rows as they are scanned (none: rows
    // only). Not run under a row limit, whose cut only the merge knows.
    PieceDigester digest{};
    // What the run policy is told of the consumer (a consumer that logs
    // floating-point figures per range says Sum: shorter ranges).
    run::SplitFacts facts = table_split_facts();
    // With a digester, what the pieces not yet handed out may hold: a walker
    // waits before its next buffer while they hold more than `held_bytes`
    // bytes (0: no bound) or more weight (PieceDigest::weight) than
    // `weight_room` says is left (null: no bound), unless its range is the
    // one the merge takes next, which never waits.
    uint64_t held_bytes = 0;
    const std::atomic<uint64_t>* weight_room = nullptr;
    // The ranges are scanned on the consumer's thread as the merge takes
    // them, in input order (run::SplitPlan::in_order): what one walker
    // thread or eight give, on a course that depends on the input alone.
    bool in_order = false;
};

class TableSplit final : private run::SplitConsumer {
public:
    // The split scan of `source` (which outlives it), or null when one
    // engine scans it (one walker, no buffer grid, a small file).
    static std::unique_ptr<TableSplit> make(TableEngines engines, Source& source, TableSplitOptions options);
    // Over ranges of about `range_len` bytes (tests pick short ones).
    TableSplit(TableEngines engines, Source& source, TableSplitOptions options, uint64_t range_len);
    TableSplit(const TableSplit&) = delete;
    TableSplit& operator=(const TableSplit&) = delete;

    // The next buffer's step, as run::SourceScan::step reports it for one
    // engine, with the rows that buffer (or, at the end, closing the scan)
    // completed moved into `rows`, those of digested pieces as their
    // digests in `parts`. A step is settled once the rows handed out reach
    // the row limit.
    run::SourceScan::Step step(run::Interrupt* interrupt, engine::CellStore& rows, PieceParts& parts);
    // Ends the scan: every range still being scanned stops.
    void stop();
    bool over() const { return over_; }
    // Whether the scan holds a thread it started (run::SplitPull).
    bool holds_threads() const { return pull_.holds_threads(); }
    // Where a scan settled by the row limit stopped (the end of the buffer
    // in which it settled), as Engine::stopped_at reports it.
    std::optional<uint64_t> stopped_at() const { return stopped_at_; }
    void set_fast_walk(bool on) { engines_.fast_walk = on; }

private:
    // The rows a range's engine completed in one buffer (or the part of it
    // in the range), up to `end`: the rows, or their digest.
    struct Piece {
        uint64_t end = 0;
        engine::CellStore rows;
        std::unique_ptr<PieceDigest> digest;
        uint64_t bytes = 0;  // what it holds, as counted in held_
        uint64_t weight = 0;
    };
    // What a range's scan kept: its pieces in order.
    struct Pieces final : run::RangeOutput {
        std::deque<Piece> pieces;
    };

    // The walkers' side.
    engine::Engine make() const override { return engines_.make(); }
    bool after_buffer(engine::Engine& engine, const engine::BufferScan& scan, uint64_t end,
                      std::unique_ptr<run::RangeOutput>& into) const override;
    void after_finish(engine::Engine& engine, std::unique_ptr<run::RangeOutput>& into) const override;
    // The open stretch's engine counts the row limit from where its
    // stretch began, as one engine would.
    void before_extend(engine::Engine& engine) override;
    void dropped(run::RangeOutput& output) override;

    // Whether one engine, scanning the open stretch's range from its start,
    // settles at the row limit before the range's error counts.
    bool settles_first(const run::Stretch& open);
    bool limit_reached() const { return engines_.row_limit && rows_ + pending_rows_ >= *engines_.row_limit; }
    // The end of the grid buffer that holds `end`'s last byte, as far as
    // the input reaches.
    uint64_t buffer_end(uint64_t end);
    // The step of the buffer put together (`failed`: it held an error that
    // counts).
    run::SourceScan::Step scanned(engine::CellStore& rows, PieceParts& parts, bool failed = false);
    run::SourceScan::Step failed(JorvaneError error);
    // The input ended: the step kept for the end.
    run::SourceScan::Step ended(engine::CellStore& rows);

    TableEngines engines_;
    PieceDigester digest_;
    Source& source_;
    // What the pieces not yet handed out hold (walkers wait on it only
    // with a digester).
    mutable run::HeldAhead held_;
    std::vector<uint8_t> spare_;
    // The pieces of the range being handed out.
    std::unique_ptr<Pieces> open_;
    // Rows handed out before the open stretch's first piece.
    uint64_t rows_before_ = 0;
    // The merge read on with the open stretch's engine, which then counts
    // the row limit as one engine would.
    bool extended_ = false;
    // The rows of the buffer being put together from pieces (those of
    // digested pieces as their digests).
    engine::CellStore pending_;
    GatheredParts pending_parts_;
    uint64_t pending_rows_ = 0;
    bool has_pending_ = false;
    uint64_t pending_end_ = 0;
    // The end of the input, kept while the rows of a last buffer go first:
    // how the scan ends and the rows closing it completed.
    bool finished_ = false;
    std::optional<run::SourceScan::Step> end_;
    engine::CellStore end_rows_;
    uint64_t rows_ = 0;  // rows handed out
    bool over_ = false;
    std::optional<uint64_t> stopped_at_;
    // Declared last, so the walkers are joined before anything they use goes.
    run::SplitPull pull_;
};

}  // namespace jorvane::table
