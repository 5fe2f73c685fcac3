// A matched value's document text made into one NDJSON line.
#pragma once

#include <string>
#include <string_view>

namespace jorvane::ndjson {

// Appends the line for `span`, the exact document text of one value. A span
// without line feeds or carriage returns is copied unchanged (spaces and
// tabs included). Any other is compacted: outside strings, spaces, tabs,
// line feeds and carriage returns are dropped (but a run of them after an
// atom and before anything but a bracket, comma or colon becomes one space);
// inside strings, control bytes become escapes (\b \t \n \f \r, else
// \u00XX) and everything else, existing escapes included, is copied. Strings
// are told apart as the scanner does: a quote after an odd run of
// backslashes opens or closes none.
void append_raw_row(std::string_view span, std::string& out);

}  // namespace jorvane::ndjson
