// ArrowColumn: one exported table column waiting for an Arrow consumer,
// which takes it once through __arrow_c_array__; and
// _arrow_export_counters(), which shows whether every export was released.
#pragma once

#include <string_view>

#include "arrow_ffi/records.h"
#include "python/py.h"
#include "table/column.h"

namespace jorvane::py {

// A new ArrowColumn holding `pair` (released with the object if no consumer
// takes it). Null with an exception set on failure (the pair is released).
Ref make_arrow_column(arrow_ffi::Exported pair);

// The column exported under `name` and wrapped as an ArrowColumn. A column
// with no Arrow layout raises ValueError with the refusal's message followed
// by `refusal_suffix`. The column is consumed either way.
Ref arrow_column_of(std::string_view name, table::Column column, std::string_view refusal_suffix = {});

// The check arrow_column_of makes, without consuming the column: false with
// the same ValueError when the column has no Arrow layout.
bool check_exportable(std::string_view name, const table::Column& column, std::string_view refusal_suffix = {});

// pyarrow.array(ArrowColumn) of the column: `pyarrow` is the module.
Ref pyarrow_array_of(PyObject* pyarrow, std::string_view name, table::Column column,
                     std::string_view refusal_suffix = {});

// The module function _arrow_export_counters.
PyMethodDef* arrow_export_counters_function();

}  // namespace jorvane::py
