// write_parquet() and write_csv(): a typed table streamed batch by batch
// into pyarrow's Parquet or CSV writer.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The module functions write_parquet and write_csv.
PyMethodDef* write_parquet_function();
PyMethodDef* write_csv_function();

}  // namespace jorvane::py
