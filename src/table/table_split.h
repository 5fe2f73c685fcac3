// TableSplit: the rows of one large input scanned in ranges by several
// engines at once (run/range_walkers.h) and handed out exactly as one engine
// scanning the whole input hands them out: a step per buffer of that
// engine's buffer grid, with the rows completed in that buffer, the same
// first error at the same offset and with the same text, and the same end
// at a row limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/cell_store.h"
#include "engine/compiled_queries.h"
#include "engine/engine.h"
#include "engine/scan_mode.h"
#include "run/interrupt.h"
#include "run/range_cutter.h"
#include "run/range_scan.h"
#include "run/range_walkers.h"
#include "run/run_policy.h"
#include "run/source_scan.h"
#include "run/thread_failure.h"
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

// The engines a table scan may use on one source.
struct TableWalkers {
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
};

class TableSplit {
public:
    // The split scan of `source` (which outlives it), or null when one
    // engine scans it (one walker, no buffer grid, a small file).
    static std::unique_ptr<TableSplit> make(TableEngines engines, Source& source, TableWalkers walkers);
    // Over ranges of about `range_len` bytes (tests pick short ones).
    TableSplit(TableEngines engines, Source& source, TableWalkers walkers, uint64_t range_len);
    TableSplit(const TableSplit&) = delete;
    TableSplit& operator=(const TableSplit&) = delete;
    ~TableSplit();

    // The next buffer's step, as run::SourceScan::step reports it for one
    // engine, with the rows that buffer (or, at the end, closing the scan)
    // completed moved into `rows`, those of digested pieces as their
    // digests in `parts`. A step is settled once the rows handed out reach
    // the row limit.
    run::SourceScan::Step step(run::Interrupt* interrupt, engine::CellStore& rows, PieceParts& parts);
    // Ends the scan: every range still being scanned stops.
    void stop();
    bool over() const { return over_; }
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
    // What the pieces not yet handed out hold, and the walkers ahead of the
    // merge that wait for it to shrink.
    class Held {
    public:
        Held(uint64_t bytes_limit, const std::atomic<uint64_t>* weight_room)
            : bytes_limit_(bytes_limit), weight_room_(weight_room) {}
        void add(uint64_t bytes, uint64_t weight);
        void release(uint64_t bytes, uint64_t weight);
        // The merge takes range `index` next.
        void next_range(size_t index);
        // Returns once the walker of range `index` may scan on.
        void wait_turn(size_t index);
        // Nobody waits any more.
        void close();

    private:
        bool fits() const;

        const uint64_t bytes_limit_;
        const std::atomic<uint64_t>* const weight_room_;
        std::mutex mutex_;
        std::condition_variable changed_;
        uint64_t bytes_ = 0;
        uint64_t weight_ = 0;
        size_t next_ = 0;
        size_t waiting_ = 0;
        bool closed_ = false;
    };
    // One engine's scan over ranges and its pieces not yet handed out; no
    // engine: the walker failed.
    struct Run {
        run::Stretch scan;
        std::deque<Piece> pieces;
        // Rows handed out before the run's first piece.
        uint64_t rows_before = 0;
        // The merge read on with the run's engine, which then counts the
        // row limit as one engine would.
        bool extended = false;
    };

    Run scan_new(run::Range range, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel);
    // `walker`: on a walker's thread, which waits while too much is held
    // ahead of the merge.
    void scan_on(Run& run, const run::Range& range, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel,
                 bool walker);
    // Forgets what the run's pieces hold (they are handed out or dropped).
    void release(Run& run);
    // Takes the next range into the open run. False at the end of input.
    bool advance();
    // The open run's engine reads on through `range`.
    void extend(const run::Range& range);
    // Whether one engine, scanning a walker's range from its start, settles
    // at the row limit before the range's error counts.
    bool settles_first(const Run& run);
    bool limit_reached() const { return engines_.row_limit && rows_ + pending_rows_ >= *engines_.row_limit; }
    // The end of the grid buffer that holds `end`'s last byte, as far as
    // the input reaches.
    uint64_t buffer_end(uint64_t end);
    // The step of the buffer put together (`failed`: it held an error that
    // counts).
    run::SourceScan::Step scanned(engine::CellStore& rows, PieceParts& parts, bool failed = false);
    run::SourceScan::Step ended(engine::CellStore& rows);
    run::SourceScan::Step failed(JorvaneError error);
    void end_walkers();

    TableEngines engines_;
    PieceDigester digest_;
    Source& source_;
    size_t walkers_n_;
    run::RangeInput in_;
    run::RangeFeed cuts_;
    std::optional<Run> cur_;
    std::vector<uint8_t> spare_;
    size_t merged_ = 0;  // ranges taken into the open run
    // The rows of the buffer being put together from pieces (those of
    // digested pieces as their digests).
    engine::CellStore pending_;
    GatheredParts pending_parts_;
    uint64_t pending_rows_ = 0;
    bool has_pending_ = false;
    uint64_t pending_end_ = 0;
    uint64_t rows_ = 0;  // rows handed out
    bool over_ = false;
    std::optional<uint64_t> stopped_at_;
    run::ThreadFailure failure_;
    Held held_;
    // Declared last, so the walkers are joined before anything they use goes.
    std::optional<run::RangeWalkers<Run>> walkers_;
};

}  // namespace jorvane::table
