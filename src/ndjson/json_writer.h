// JSON text of engine values, as NDJSON lines carry them: no whitespace,
// integers in plain decimal, every other number as its literal text from
// the source, strings re-escaped from their decoded text.
#pragma once

#include <string>
#include <string_view>

#include "engine/cell_store.h"
#include "engine/values/value.h"

namespace jorvane::ndjson {

// Appends the JSON text of `value` to `out`. Object members keep their
// stored order and repeats.
void write_json_value(const engine::Value& value, std::string& out);

// Appends the JSON text of the value `cell` of `column` denotes, as
// write_json_value writes that value, without making it.
void write_json_cell(const engine::CellColumn& column, const engine::Cell& cell, std::string& out);

// Appends `text` as a JSON string: quotes around it; backspace, tab, line
// feed, form feed and carriage return as their short escapes, the quote and
// the backslash escaped, every other control byte as \u00XX (lowercase hex),
// and every other byte (the solidus, 0x7F, UTF-8 sequences) unchanged.
void write_json_string(std::string_view text, std::string& out);

}  // namespace jorvane::ndjson
