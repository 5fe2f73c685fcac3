// table() and the Table class that wraps one extracted table.
#pragma once

#include "python/py.h"
#include "table/column.h"

namespace jorvane::py {

// The Table type object (created on first use, kept for the process).
PyObject* table_type();
// A new Table holding `t` (moved in), not yet converted.
Ref make_table(table::Table t, bool use_float);
// The module function table.
PyMethodDef* table_function();

}  // namespace jorvane::py
