// TableStream: extracts a table from one source in one pass, in batches of
// rows, with bounded memory. The row query anchors rows; each column's query
// is the column path inside the row, so a field missing from one record is a
// missing cell in that record's row and never shifts later rows. Output is
// typed (emit: a Table) or untyped (next_cells: one optional value per row
// and column).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/scan_mode.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/source_scan.h"
#include "source/source.h"
#include "table/column.h"
#include "table/piece_digest.h"
#include "table/stored_column.h"
#include "table/table_spec.h"
#include "table/table_split.h"
#include "util/result.h"

namespace jorvane::table {

// The rows a batch holds unless the consumer asks for another size.
inline constexpr uint64_t kDefaultBatchRows = 65536;
// The rows from which a table read in ranges types its columns at once.
inline constexpr uint64_t kParallelTypingRows = 65536;

// Untyped cells of one batch: per column, one optional value per row.
struct CellBatch {
    uint64_t rows = 0;
    std::vector<std::vector<std::optional<engine::Value>>> columns;
};

// The same rows as the store holds them (read with StoredColumn), but for
// those the walkers digested (TableSplitOptions::digest).
struct StoredRows {
    uint64_t rows = 0;  // in all, digested or not
    engine::CellStore store;
    // The pieces of these rows in row order, as digests or as rows of the
    // store; empty when every row is in the store.
    PieceParts parts;
};

// The shape error of a column under on_multi "error" when some row matched
// several times.
std::optional<JorvaneError> multi_error(std::string_view name, const StoredColumn& column);

// A column's values per row resolved by on_multi: none, one, several (the
// store's trees are moved out).
Result<std::vector<std::optional<engine::Value>>, JorvaneError> resolve_cells(std::string_view name,
                                                                             StoredColumn column);

class TableStream {
public:
    // Compiles the request into an engine over `source` (consumed even on
    // failure). `batch_rows`: rows gathered before advance reports a batch
    // (by default every row of the source). With more than one walker, a
    // large input is scanned in ranges by several engines when the run
    // policy allows (table/table_split.h), with the same rows, batches and
    // errors.
    static Result<TableStream, JorvaneError> make(TableSpec spec, engine::ScanMode mode,
                                                  std::unique_ptr<Source> source, uint64_t batch_rows = UINT64_MAX,
                                                  TableSplitOptions walkers = {});

    // True when rows are ready (more may follow), false when the scan is
    // over and nothing is gathered. `interrupt` is asked before each buffer
    // is read; when it says stop, the rows gathered so far stay gathered and
    // the error is run::interrupted_read(), after which advance may be
    // called again to go on where the scan stopped.
    Result<bool, JorvaneError> advance(run::Interrupt* interrupt = nullptr);
    // The gathered rows as a typed table (cut to the row limit).
    Result<Table, JorvaneError> emit();
    // advance (with `interrupt`), then the gathered rows untyped; nothing
    // when the scan is over.
    // A shape error (several matches in one row under on_multi "error") is
    // an error of those rows alone: they are dropped and the stream can go
    // on with the next ones.
    Result<std::optional<CellBatch>, JorvaneError> next_cells(run::Interrupt* interrupt = nullptr);
    // The same for the rows of the next buffer that completes any, whatever
    // the batch size: a consumer works on them while they are in cache.
    Result<std::optional<CellBatch>, JorvaneError> next_buffer_cells(run::Interrupt* interrupt = nullptr);
    // next_buffer_cells with the cells left in the store (no value is
    // made), refused alike.
    Result<std::optional<StoredRows>, JorvaneError> next_buffer_store(run::Interrupt* interrupt = nullptr);

    const std::vector<std::string>& names() const { return names_; }
    // Whether plain records may take the engine's fast walk (on by
    // default; tests turn it off to compare with the general walk).
    void set_fast_walk(bool on) {
        scan_.engine().set_fast_walk(on);
        if (split_) split_->set_fast_walk(on);
    }
    // Whether the input is scanned in ranges by several engines.
    bool splits() const { return split_ != nullptr; }
    // After a call that failed reading the source: whether the next call
    // reads it again (nothing of the failed read was scanned) rather than
    // finding the scan over (the source lost a buffer it had scanned). A
    // stop asked by the caller's interrupt leaves the stream so too.
    bool reads_again() const { return !done_; }
    // Whether the stream holds a thread it started: the source's, the
    // engine's or the walkers of its ranges.
    bool holds_threads() const { return scan_.holds_threads() || (split_ && split_->holds_threads()); }
    // The rows the last emit, next_cells or next_buffer_cells handed out,
    // or dropped with a shape error.
    uint64_t last_rows() const { return last_rows_; }
    // The column whose cells next_cells or next_buffer_cells last refused
    // with a shape error.
    size_t failed_column() const { return failed_column_; }

private:
    struct Declaration {
        std::optional<Declared> declared;  // absent: inferred
    };

    TableStream(engine::Engine engine, std::unique_ptr<Source> source) : scan_(std::move(engine), std::move(source)) {}
    // The next buffer's step, its rows moved into `rows`.
    run::SourceScan::Step step(run::Interrupt* interrupt, engine::CellStore& rows, PieceParts& parts);
    // Reads on until `rows` rows are gathered or the scan is over (see
    // advance).
    Result<bool, JorvaneError> gather(uint64_t rows, run::Interrupt* interrupt);
    // gather, then the gathered rows untyped.
    Result<std::optional<CellBatch>, JorvaneError> gathered_cells(uint64_t rows, run::Interrupt* interrupt);
    // The rows to hand out now (the gathered ones, cut to the limit; those
    // of digested pieces are not in the store), and the store started
    // afresh; `first_row_` becomes the source row of the first of them.
    uint64_t take_rows(engine::CellStore& rows);
    // The same, the rows left in the stores the buffers gave.
    uint64_t take_parts(std::vector<engine::CellStore>& parts);
    // Keeps a buffer's rows and digests.
    void keep(engine::CellStore rows, PieceParts parts = {});

    run::SourceScan scan_;
    // The scan in ranges, when it splits (over scan_'s source).
    std::unique_ptr<TableSplit> split_;
    // Threads that may type the columns of a large table at once.
    size_t walkers_ = 1;
    uint64_t batch_rows_ = UINT64_MAX;
    // The rows gathered since the last emit or next_cells, as the buffers
    // gave them (joined when they are taken).
    std::vector<engine::CellStore> gathered_;
    uint64_t gathered_rows_ = 0;
    // Of which digested (never under a row limit).
    uint64_t gathered_digested_ = 0;
    GatheredParts gathered_parts_;
    std::vector<std::string> names_;
    std::vector<Declaration> declared_;
    std::optional<uint64_t> limit_;  // rows still allowed
    OnMulti on_multi_ = OnMulti::Error;
    uint64_t last_rows_ = 0;
    // Source rows handed out or dropped before the last take_rows, and
    // since the source began.
    uint64_t first_row_ = 0;
    uint64_t rows_taken_ = 0;
    size_t failed_column_ = 0;
    bool done_ = false;
    bool limit_hit_ = false;
};

}  // namespace jorvane::table
