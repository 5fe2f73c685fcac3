// A stream cut into windows of N rows gathers a whole window, failing on a
// structural or read error before any of its rows is resolved or folded,
// and only then resolves the window's cells and hands them to the consumer.
// Reading buffer by buffer instead keeps a window's row errors waiting until
// the buffer that completes the window has been scanned, and then picks the
// one the chunked stream would have met first, so the same error comes out.
// A window closes at the end of the first buffer that brings it to N rows or
// more, as a chunked stream's windows do.
#include "table/windowed_cells.h"

#include <utility>

namespace jorvane::table {

void WindowedCells::defer(JorvaneError error) {
    if (!refused_) refused_ = std::move(error);
}

std::optional<JorvaneError> WindowedCells::take_row_error() {
    std::optional<JorvaneError> e = shape_ ? std::move(shape_) : std::move(refused_);
    shape_.reset();
    refused_.reset();
    return e;
}

Result<std::optional<Cells>, JorvaneError> WindowedCells::next(run::Interrupt* interrupt) {
    // The consumer refused rows of a window that the last rows completed.
    if (closed_ && deferring()) return make_err(std::move(*take_row_error()));
    closed_ = false;
    if (ended_) return std::optional<Cells>();
    for (;;) {
        auto cells = stream_.next_buffer_cells(interrupt);
        if (cells && !*cells) {
            ended_ = true;
            closed_ = true;
            if (deferring()) return make_err(std::move(*take_row_error()));
            return std::optional<Cells>();
        }
        if (!cells) {
            if (cells.error().kind() != JorvaneError::Kind::Shape) return make_err(std::move(cells.error()));
            const size_t column = stream_.failed_column();
            if (!shape_ || column < shape_column_) {
                shape_ = std::move(cells.error());
                shape_column_ = column;
            }
        }
        in_window_ += stream_.last_rows();
        if (in_window_ >= window_rows_) {
            in_window_ = 0;
            closed_ = true;
            if (deferring()) return make_err(std::move(*take_row_error()));
        }
        // Rows of a window that already failed are not handed out.
        if (!deferring()) return std::move(cells.value());
    }
}

}  // namespace jorvane::table
