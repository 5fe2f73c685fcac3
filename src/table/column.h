// The in-memory table model every table consumer shares: a typed Column
// with an optional validity bitmap, and Table, one extracted table (or one
// batch of a batched extraction). Columns are built once, never appended to,
// and handed whole to one conversion or export.
//
// The validity bitmap is the Arrow layout: row i is bit (i mod 8) of byte
// (i div 8), least significant bit first; a set bit means the row holds a
// value; bits past the row count are 0. A column without a bitmap has no
// missing row.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/values/value.h"

namespace jorvane::table {

struct Bitmap {
    std::vector<uint8_t> bytes;
    uint64_t length = 0;      // bits, equal to the row count
    uint64_t null_count = 0;  // clear bits

    void push(bool valid);
    bool valid(uint64_t row) const { return (bytes[row >> 3] >> (row & 7)) & 1; }
};

// One payload per row; a missing row holds a filler value.
template <class T>
struct Nullable {
    std::vector<T> values;
    std::optional<Bitmap> validity;  // absent when no row is missing

    size_t size() const { return values.size(); }
    bool valid(size_t row) const { return !validity || validity->valid(row); }
};

// Builds a Nullable from one optional value per row: a missing row stores
// `filler` and clears its bit; the bitmap is dropped when none is missing.
template <class T>
Nullable<T> nullable_from_options(std::vector<std::optional<T>> cells, T filler);

// Fills a Nullable row by row. `any_missing` says whether a missing row may
// come, so that the payload and the bitmap are each allocated once; a
// missing row pushed without it still gets a bitmap (built then). The bitmap
// is dropped at the end when no row was missing.
template <class T>
class NullableBuilder {
public:
    NullableBuilder(size_t rows, bool any_missing) : rows_(rows) {
        out_.values.reserve(rows);
        if (any_missing) start_bitmap();
    }
    void push(T value) {
        out_.values.push_back(std::move(value));
        if (out_.validity) out_.validity->push(true);
    }
    void push_missing(T filler) {
        if (!out_.validity) start_bitmap();
        out_.values.push_back(std::move(filler));
        out_.validity->push(false);
    }
    Nullable<T> finish() && {
        if (out_.validity && out_.validity->null_count == 0) out_.validity.reset();
        return std::move(out_);
    }

private:
    void start_bitmap() {
        out_.validity.emplace();
        out_.validity->bytes.reserve((rows_ + 7) / 8);
        for (size_t i = 0; i < out_.values.size(); ++i) out_.validity->push(true);
    }
    size_t rows_;
    Nullable<T> out_;
};

using Int64Column = Nullable<int64_t>;
using FloatColumn = Nullable<double>;
using BoolColumn = Nullable<uint8_t>;
using StrColumn = Nullable<std::string>;
using TimestampColumn = Nullable<int64_t>;  // microseconds since 1970-01-01T00:00:00 UTC
using UuidColumn = Nullable<std::array<uint8_t, 16>>;
struct IntNColumn {
    uint8_t width = 0;  // 0 = 8 bits, 1 = 16 bits, 2 = 32 bits
    Nullable<int64_t> data;
};
using Float32Column = Nullable<float>;
struct DecimalColumn {
    uint8_t precision = 0;
    uint8_t scale = 0;
    Nullable<__int128> data;  // unscaled: value = unscaled x 10^-scale
};
struct Column;
struct ListColumn {
    std::unique_ptr<Column> child;
    std::optional<Bitmap> validity;
    std::vector<int64_t> offsets;  // rows + 1 entries, first 0, last = the child's length
};
// One column's cells: one optional value per row; absent = missing.
using ColumnCells = std::vector<std::optional<engine::Value>>;
// A column of values of any type.
using MixedColumn = ColumnCells;

struct Column {
    // The kinds in tag order (numbered as DType::Kind for 0 to 8; column.cpp
    // checks each pair).
    enum class Kind : uint8_t {
        Int64 = 0,
        Float = 1,
        Bool = 2,
        Str = 3,
        Timestamp = 4,
        Uuid = 5,
        IntN = 6,
        Float32 = 7,
        Decimal = 8,
        List = 9,
        Mixed = 10,
    };
    using Repr = std::variant<Int64Column, FloatColumn, BoolColumn, StrColumn, TimestampColumn, UuidColumn,
                              IntNColumn, Float32Column, DecimalColumn, ListColumn, MixedColumn>;
    Repr repr = MixedColumn{};

    Kind kind() const { return static_cast<Kind>(repr.index()); }
    uint64_t rows() const;
    // The dtype name Python shows: "int64", "float64", "bool", "str",
    // "timestamp", "uuid", "int8"/"int16"/"int32", "float32", "decimal",
    // "list", "object".
    const char* dtype_name() const;

    // A column of kind K holding `payload`.
    template <Kind K, class Payload>
    static Column of(Payload payload) {
        Column column;
        column.repr.template emplace<static_cast<size_t>(K)>(std::move(payload));
        return column;
    }

    template <Kind K>
    auto& as() {
        return std::get<static_cast<size_t>(K)>(repr);
    }
    template <Kind K>
    const auto& as() const {
        return std::get<static_cast<size_t>(K)>(repr);
    }
};

struct Table {
    // Absent when the table covers its whole source; else where a row limit stopped the scan.
    std::optional<uint64_t> bytes_covered;
    std::vector<std::string> names;
    std::vector<Column> columns;  // one per name, each n_rows long
    uint64_t n_rows = 0;
};

}  // namespace jorvane::table
