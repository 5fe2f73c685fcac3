// A stream read in batches of N rows gathers a whole batch, failing on a
// structural or read error before any of its rows is resolved or folded,
// and only then resolves the batch's cells and hands them to the consumer.
// Reading buffer by buffer instead keeps a batch's row errors waiting until
// the buffer that completes the batch has been scanned, and then picks the
// one the batched stream would have met first, so the same error comes out.
// A batch closes at the end of the first buffer that brings it to N rows or
// more, as a batched stream's batches do.
#include "table/batched_cells.h"

#include <utility>

namespace jorvane::table {

void BatchedCells::defer(JorvaneError error) {
    if (!refused_) refused_ = std::move(error);
}

std::optional<JorvaneError> BatchedCells::take_row_error() {
    std::optional<JorvaneError> e = shape_ ? std::move(shape_) : std::move(refused_);
    shape_.reset();
    refused_.reset();
    return e;
}

template <class Rows, class Fetch>
Result<std::optional<Rows>, JorvaneError> BatchedCells::next_of(Fetch fetch) {
    // The consumer refused rows of a batch that the last rows completed.
    if (closed_ && deferring()) return make_err(std::move(*take_row_error()));
    closed_ = false;
    if (ended_) return std::optional<Rows>();
    for (;;) {
        auto cells = fetch();
        if (cells && !*cells) {
            ended_ = true;
            closed_ = true;
            if (deferring()) return make_err(std::move(*take_row_error()));
            return std::optional<Rows>();
        }
        if (!cells) {
            if (cells.error().kind() != JorvaneError::Kind::Shape) return make_err(std::move(cells.error()));
            const size_t column = stream_.failed_column();
            if (!shape_ || column < shape_column_) {
                shape_ = std::move(cells.error());
                shape_column_ = column;
            }
        }
        in_batch_ += stream_.last_rows();
        if (in_batch_ >= batch_rows_) {
            in_batch_ = 0;
            closed_ = true;
            if (deferring()) return make_err(std::move(*take_row_error()));
        }
        // Rows of a batch that already failed are not handed out.
        if (!deferring()) return std::move(cells.value());
    }
}

Result<std::optional<CellBatch>, JorvaneError> BatchedCells::next(run::Interrupt* interrupt) {
    return next_of<CellBatch>([&] { return stream_.next_buffer_cells(interrupt); });
}

Result<std::optional<StoredRows>, JorvaneError> BatchedCells::next_stored(run::Interrupt* interrupt) {
    return next_of<StoredRows>([&] { return stream_.next_buffer_store(interrupt); });
}

}  // namespace jorvane::table
