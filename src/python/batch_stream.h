// The table stream behind the consumers that hand rows out a batch at a
// time (table_batches and the Parquet and CSV writers): opening it from a
// parsed request, and reading its next batch with the interpreter lock
// released.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/py.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "table/column.h"
#include "table/table_spec.h"
#include "table/table_stream.h"
#include "util/result.h"

namespace jorvane::py {

// The refusal of a batch_rows of 0, raised as ValueError; true otherwise.
bool check_batch_rows(uint64_t batch_rows);

// The mode chosen for one source, the source opened and the stream built
// over it with the interpreter lock held (nothing is read yet); `caller`
// names the function called in the source refusals. A writer
// passes its `output` path (see open_table_source) and may ask whether the
// source reads through a Python file-like object (`python_reads`). Nothing
// with the exception set on failure.
std::optional<table::TableStream> open_batch_stream(PyObject* source, table::TableSpec spec,
                                                    const std::optional<std::string>& mode, uint64_t batch_rows,
                                                    std::string_view caller, const std::string* output = nullptr,
                                                    bool* python_reads = nullptr);

// The next batch of rows: advance (asking `interrupt` between buffers), then
// emit when rows are ready, both with the interpreter lock released (the
// calling thread holds it). Nothing when the scan is over.
Result<std::optional<table::Table>, JorvaneError> next_batch(table::TableStream& stream, run::Interrupt* interrupt);

}  // namespace jorvane::py
