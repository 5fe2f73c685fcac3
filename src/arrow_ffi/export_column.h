// export_column: one typed table column as an Arrow schema record and array
// record that own the column's buffers, or a refusal for a column that has
// no single Arrow type.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "arrow_ffi/records.h"
#include "table/column.h"
#include "util/result.h"

namespace jorvane::arrow_ffi {

// Why a column cannot be exported; the message names the column and the way out.
struct Refusal {
    std::string message;
};

// Consumes `column` either way (a refused column is freed). Formats:
// Int64 "l", Float "g", Bool "b", Str "U", Timestamp "tsu:UTC", Uuid
// "w:16", IntN "c"/"s"/"i", Float32 "f", Decimal "d:P,S", List "+L" with
// one child named "item", an all-absent Mixed column the null type "n";
// any other Mixed column is refused.
Result<Exported, Refusal> export_column(std::string_view name, table::Column column);

// The refusal export_column would give `column`, found without touching it:
// nothing when it can be exported.
std::optional<Refusal> export_refusal(std::string_view name, const table::Column& column);

// A fixed-width 64-bit column (Int64 "l", Timestamp "tsu:UTC"): the values
// and the bitmap move into the array as they are. Never fails.
Exported export_fixed(const char* format, std::string_view name, table::Nullable<int64_t> column);

}  // namespace jorvane::arrow_ffi
