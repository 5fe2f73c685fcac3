// Reading a table request from the Python arguments of table(),
// table_batches() and the writers: rows, columns, on_multi, limit, dtypes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/py.h"
#include "table/table_spec.h"

namespace jorvane::py {

// "error", "first", "last", "list" (exact); nothing with ValueError set otherwise.
std::optional<table::OnMulti> parse_on_multi(std::string_view text);

// The request, or nothing with the exception set. `dtypes` is a dict or null.
std::optional<table::TableSpec> parse_table_spec(const std::string& rows, PyObject* columns, std::string_view on_multi,
                                                 std::optional<uint64_t> limit, PyObject* dtypes);

}  // namespace jorvane::py
