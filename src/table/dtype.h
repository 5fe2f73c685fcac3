// DType: a column type a caller can declare for a table column, with its
// text forms, and Declared: one column's declaration (a type and whether
// explicit JSON nulls are accepted).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace jorvane::table {

struct DType {
    // The same order and numbering as the first nine column kinds (checked
    // in column.cpp).
    enum class Kind : uint8_t {
        Int64 = 0,
        Float64 = 1,
        Bool = 2,
        Str = 3,
        Timestamp = 4,
        Uuid = 5,
        IntN = 6,
        Float32 = 7,
        Decimal = 8,
    };
    Kind kind = Kind::Int64;
    uint8_t width = 0;      // IntN: 0 = 8 bits, 1 = 16 bits, 2 = 32 bits
    uint8_t precision = 0;  // Decimal: 1 to 38
    uint8_t scale = 0;      // Decimal: 0 to precision

    // "int64", "int"; "int32", "int16", "int8"; "float64", "float";
    // "float32"; "bool", "boolean"; "str", "string", "utf8"; "timestamp",
    // "datetime"; "uuid"; "decimal(p,s)" with 1 <= p <= 38 and s <= p.
    // Exact and case-sensitive; nothing else.
    static std::optional<DType> parse(std::string_view text);
    // The canonical name: "int64", "float64", ..., "int8"/"int16"/"int32",
    // "decimal(10,2)".
    std::string name() const;

    bool operator==(const DType&) const = default;
};

struct Declared {
    DType dtype;
    bool nullable = false;  // explicit JSON nulls are accepted (the text ended in "?")
};

}  // namespace jorvane::table
