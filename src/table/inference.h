// Type inference: one optional JSON value per row becomes a typed column
// when no type is declared for it (Int64, Float, Bool, Str, List or Mixed).
#pragma once

#include <optional>
#include <vector>

#include "engine/values/value.h"
#include "table/column.h"
#include "table/stored_column.h"

namespace jorvane::table {

// Never fails. JSON nulls count as missing cells; trees are moved out of
// the store, and every part is released (StoredParts::done) by the time
// the column is built.
Column narrow_cells(StoredParts column);
// The same over one optional value per row (values are moved).
Column narrow_cells(std::vector<std::optional<engine::Value>> cells);

}  // namespace jorvane::table
