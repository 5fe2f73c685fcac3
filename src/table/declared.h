// Declared column conversion: a column's cells (one optional value per row)
// become the declared type or the extraction fails with a message naming the
// column, the row and the offending value. Rows are numbered from 0 at the
// source's first row, so a batch of a long table names the same row as a
// table read whole. Nothing is guessed: strings are never read as numbers
// nor numbers as strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/values/value.h"
#include "run/jorvane_error.h"
#include "table/column.h"
#include "table/dtype.h"
#include "table/stored_column.h"
#include "util/result.h"

namespace jorvane::table {

// The column of the declared type, or the shape error of the first refused
// cell. `first_row`: the source row of the first cell. Every part is
// released once its rows are converted.
Result<Column, JorvaneError> build_declared_column(std::string_view name, StoredParts cells, const Declared& declared,
                                                   uint64_t first_row = 0);
// The same over one optional value per row.
Result<Column, JorvaneError> build_declared_column(std::string_view name,
                                                   std::vector<std::optional<engine::Value>> cells,
                                                   const Declared& declared, uint64_t first_row = 0);

// A number read as a 64-bit float (integers converted, literals parsed,
// correctly rounded, infinities beyond the range); nothing for anything
// else or a literal that does not parse.
std::optional<double> as_f64(const engine::Value& value);

// The kind of a value in refusal messages: "null", "a boolean", "a number"
// ("an integer outside int64's range" for one beyond 64 bits), "a string",
// "an array", "an object".
const char* kind_word(const engine::Value& value);

}  // namespace jorvane::table
