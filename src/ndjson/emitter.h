// NdjsonEmitter: reshapes one JSON source into NDJSON lines, one per value
// matched by the rows query, a batch at a time. Without fields each row is
// its own document text on one line; with fields each row becomes a flat
// object of the named values found at paths inside the row.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/scan_mode.h"
#include "ndjson/lines.h"
#include "ndjson/split_rows.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/pull_query.h"
#include "run/run_policy.h"
#include "source/source.h"
#include "table/table_spec.h"
#include "table/table_stream.h"
#include "table/batched_cells.h"
#include "util/result.h"

namespace jorvane::ndjson {

// (name, path) per output field, in output order.
using Fields = std::vector<std::pair<std::string, std::string>>;

// The facts of a whole-row run for the split rule (the input's own facts
// aside): whole rows with `limit` lines at most.
run::SplitFacts whole_row_facts(std::optional<uint64_t> limit);

class NdjsonEmitter {
public:
    // Compiles the request over `source` (consumed, also on failure). No
    // fields: whole rows. An empty field list, an empty field path and a
    // query that does not compile are refused here, before any byte is
    // read. `limit`: at most this many lines. A projection may scan a large
    // input in ranges on `walkers` (table::TableStream::make); whole rows
    // without a limit are scanned in ranges by up to `walkers.walkers`
    // engines when the split rule gives the source a range length
    // (`walkers.range_len`, when not 0, takes its place for any source with
    // a buffer grid, and `walkers.in_order` has the caller's thread scan
    // the ranges in order). Either way the lines, their order and the
    // errors are those of one engine.
    static Result<NdjsonEmitter, JorvaneError> make(const std::string& rows, std::optional<Fields> fields,
                                                    table::OnMulti on_multi, std::optional<uint64_t> limit,
                                                    engine::ScanMode mode, std::unique_ptr<Source> source,
                                                    table::TableSplitOptions walkers = {});

    // Appends the next lines to `out` (possibly none): true while the scan
    // goes on, false once it is over and nothing is left. A failing call
    // appends nothing. Whole rows: an error found in a buffer that also
    // completed rows is returned by the call after the one that hands those
    // rows out. Projection: lines come out in batches of 65,536 rows.
    // Either way a read failure leaves the emitter in place: the next call
    // reads the source again (a projection keeps the lines of its open batch
    // and goes on with the batch), unless the source lost a buffer it had
    // handed out; any other error finishes the emitter (a projection drops
    // the lines of its batch). `interrupt` is asked before each buffer is
    // read; a stop is the error run::interrupted_read(), a read failure like
    // the others.
    Result<bool, JorvaneError> next_lines(Lines& out, run::Interrupt* interrupt = nullptr);
    // Whether the scan holds a thread it started (its source's, its
    // engine's, walkers), joined when the emitter goes.
    bool holds_threads() const;

private:
    NdjsonEmitter() = default;

    Result<bool, JorvaneError> next_whole_rows(Lines& out, run::Interrupt* interrupt);
    Result<bool, JorvaneError> next_projected(Lines& out, run::Interrupt* interrupt);

    // Whole rows: the pull scan with raw capture on; absent when finished.
    std::optional<run::PullQuery> pull_;
    // Whole rows in ranges on several walkers, in place of the pull scan.
    std::unique_ptr<SplitRows> split_;
    // Projection: the table stream of the fields, read a buffer at a time
    // and handed out in batches of rows; absent when finished.
    std::optional<table::BatchedCells> cells_;
    // Projection: the lines of the open batch a failed read or a stop left.
    Lines interrupted_;
    // Per field: its name as a JSON string followed by ":".
    std::vector<std::string> prefixes_;
    table::OnMulti on_multi_ = table::OnMulti::Error;
    bool projecting_ = false;
};

// The emitter's whole output over one source: every line (without its
// newline) handed out before the scan ended, and the error that ended it,
// if one did. For callers without Python (and fuzzing).
struct EmittedLines {
    std::vector<std::string> lines;
    std::optional<JorvaneError> error;
};
EmittedLines emit_all(const std::string& rows, std::optional<Fields> fields, table::OnMulti on_multi,
                      std::optional<uint64_t> limit, engine::ScanMode mode, std::unique_ptr<Source> source,
                      table::TableSplitOptions walkers = {});

}  // namespace jorvane::ndjson
