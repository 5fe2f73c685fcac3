// BatchedCells: a table stream read one buffer's rows at a time, so that a
// consumer works on rows while they are still in the processor's caches,
// with errors reported as if the stream were read in batches of many rows.
#pragma once

#include <cstdint>
#include <optional>

#include "run/jorvane_error.h"
#include "table/table_stream.h"
#include "util/result.h"

namespace jorvane::table {

class BatchedCells {
public:
    // `stream` is read a buffer's rows at a time (its own batch size plays
    // no part); `batch_rows` is the batch size whose error reporting is
    // reproduced.
    BatchedCells(TableStream stream, uint64_t batch_rows) : stream_(std::move(stream)), batch_rows_(batch_rows) {}

    // The next rows (those of one or more buffers), or nothing at the end.
    // `interrupt` goes to the stream (TableStream::next_buffer_cells); an
    // interrupted call leaves the batch as it was, so the next call goes on.
    // A structural or read error is returned at once. An error of the rows
    // themselves is returned when the batch it belongs to is complete,
    // unless a structural or read error comes first in that batch: a
    // stream read in batches fails on those before it resolves any cell of
    // the batch, and resolves all of a batch's cells (column by column)
    // before its consumer sees a row. So among the rows' own errors, a shape
    // error of the stream (several matches under on_multi "error") wins,
    // that of the lowest column first (in it, the batch's first row),
    // over the consumer's refusals, of which the first wins.
    Result<std::optional<CellBatch>, JorvaneError> next(run::Interrupt* interrupt = nullptr);
    // The same with the rows' cells left in the store.
    Result<std::optional<StoredRows>, JorvaneError> next_stored(run::Interrupt* interrupt = nullptr);
    // The consumer refuses a row of the rows last returned: `error` waits for
    // the end of the batch.
    void defer(JorvaneError error);
    // The batch's rows are refused already: the consumer skips them.
    bool deferring() const { return shape_.has_value() || refused_.has_value(); }
    // The rows returned last complete a batch (or end the scan): what the
    // consumer made of the batch so far may be handed out.
    bool batch_closed() const { return closed_; }
    // After a failed read: the next call reads the source again, the batch
    // going on where it was (TableStream::reads_again).
    bool reads_again() const { return stream_.reads_again(); }
    // Whether the stream holds a thread it started (TableStream).
    bool holds_threads() const { return stream_.holds_threads(); }

private:
    // The error of the batch's rows that a stream read in batches would report.
    std::optional<JorvaneError> take_row_error();
    // next over `fetch`, one of the stream's per-buffer reads.
    template <class Rows, class Fetch>
    Result<std::optional<Rows>, JorvaneError> next_of(Fetch fetch);

    TableStream stream_;
    uint64_t batch_rows_;
    uint64_t in_batch_ = 0;
    std::optional<JorvaneError> shape_;
    size_t shape_column_ = 0;
    std::optional<JorvaneError> refused_;
    bool closed_ = false;
    bool ended_ = false;
};

}  // namespace jorvane::table
