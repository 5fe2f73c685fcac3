// Declared conversion. ColumnCells are converted one at a time in row order into
// a payload allocated once at the row count; the first cell a type refuses
// ends the conversion with a message that names the column, the row and the
// value, and no later cell is looked at. Whether the bitmap is needed is
// known before the first cell: only missing cells (and explicit nulls when
// the declaration accepts them) clear a bit, every other null is refused.
#include "table/declared.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "table/text_forms.h"
#include "util/text.h"

namespace jorvane::table {

namespace {

using engine::JsonNumber;
using engine::JsonType;
using engine::Value;


// One cell's payload or the message refusing it.
template <class T>
using CellResult = Result<T, std::string>;

// What every message starts with: `column "name" is declared T but row N holds `,
// N counted from the source's first row.
class Refusals {
public:
    Refusals(std::string_view name, const DType& dtype, uint64_t first_row)
        : name_(name), dtype_(dtype), first_row_(first_row) {}

    std::string mismatch(size_t row, const Value& value) const {
        std::string out = head(row) + kind_word(value);
        if (value.is_null()) out += " (declare \"" + dtype_.name() + "?\" to accept explicit nulls)";
        return out;
    }
    std::string out_of_range(size_t row, int64_t value) const {
        return head(row) + std::to_string(value) + ", outside its range";
    }
    std::string not_timestamp(size_t row, std::string_view text) const {
        return head(row) + debug_quote(text) + ", which is not an ISO-8601 date-time";
    }
    std::string not_uuid(size_t row, std::string_view text) const {
        return head(row) + debug_quote(text) + ", which is not a UUID";
    }
    std::string not_exact(size_t row, const JsonNumber& number) const {
        return head(row) + number.to_literal() + ", which it cannot represent exactly";
    }

private:
    std::string head(size_t row) const {
        return "column " + debug_quote(name_) + " is declared " + dtype_.name() + " but row " +
               std::to_string(first_row_ + row) + " holds ";
    }
    std::string_view name_;
    const DType& dtype_;
    uint64_t first_row_;
};

// Converts every cell with `one(value, row)`; a missing cell stores `filler`
// with its bit clear.
template <class T, class F>
Result<Nullable<T>, std::string> convert(ColumnCells& cells, bool any_missing, T filler, F&& one) {
    NullableBuilder<T> out(cells.size(), any_missing);
    for (size_t row = 0; row < cells.size(); ++row) {
        if (!cells[row]) {
            out.push_missing(filler);
            continue;
        }
        CellResult<T> converted = one(*cells[row], row);
        if (!converted) return make_err(std::move(converted).error());
        out.push(std::move(converted).value());
    }
    return std::move(out).finish();
}

// The float nearest to a double, infinite beyond the float range (rounding
// to nearest, ties to even, as the hardware would), NaN kept.
float nearest_float(double value) {
    // Halfway between the largest float and 2^128: from here on the nearest is infinity.
    constexpr double kOverflow = 0x1.ffffffp127;  // 2^128 - 2^103
    if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
    if (std::fabs(value) >= kOverflow) {
        return std::signbit(value) ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    }
    if (std::fabs(value) > FLT_MAX) return std::signbit(value) ? -FLT_MAX : FLT_MAX;
    return static_cast<float>(value);
}

// The column of kind K holding a converted payload, or the refusal.
template <Column::Kind K, class Payload>
Result<Column, std::string> to_column(Result<Payload, std::string> payload) {
    if (!payload) return make_err(std::move(payload).error());
    return Column::of<K>(std::move(payload).value());
}

Result<Column, std::string> build(ColumnCells& cells, bool any_missing, const DType& dtype, const Refusals& refuse) {
    using K = Column::Kind;
    auto integer = [&](const Value& v, size_t row) -> CellResult<int64_t> {
        if (v.is_number() && v.as_number().is_int()) return v.as_number().int_value();
        return make_err(refuse.mismatch(row, v));
    };
    auto float64 = [&](const Value& v, size_t row) -> CellResult<double> {
        if (!v.is_number()) return make_err(refuse.mismatch(row, v));
        return as_f64(v).value_or(std::numeric_limits<double>::quiet_NaN());
    };

    switch (dtype.kind) {
        case DType::Kind::Int64: return to_column<K::Int64>(convert<int64_t>(cells, any_missing, 0, integer));
        case DType::Kind::IntN: {
            const int64_t high = (int64_t{1} << ((8 << dtype.width) - 1)) - 1;
            const int64_t low = -high - 1;
            auto r = convert<int64_t>(cells, any_missing, 0, [&](const Value& v, size_t row) -> CellResult<int64_t> {
                auto i = integer(v, row);
                if (i && (*i < low || *i > high)) return make_err(refuse.out_of_range(row, *i));
                return i;
            });
            if (!r) return make_err(std::move(r).error());
            return Column::of<K::IntN>(IntNColumn{dtype.width, std::move(r).value()});
        }
        case DType::Kind::Float64:
            return to_column<K::Float>(
                convert<double>(cells, any_missing, std::numeric_limits<double>::quiet_NaN(), float64));
        case DType::Kind::Float32:
            return to_column<K::Float32>(convert<float>(
                cells, any_missing, std::numeric_limits<float>::quiet_NaN(),
                [&](const Value& v, size_t row) -> CellResult<float> {
                    auto d = float64(v, row);
                    if (!d) return make_err(std::move(d).error());
                    return nearest_float(*d);
                }));
        case DType::Kind::Bool:
            return to_column<K::Bool>(
                convert<uint8_t>(cells, any_missing, 0, [&](const Value& v, size_t row) -> CellResult<uint8_t> {
                    if (v.is_bool()) return static_cast<uint8_t>(v.as_bool() ? 1 : 0);
                    return make_err(refuse.mismatch(row, v));
                }));
        case DType::Kind::Str:
            return to_column<K::Str>(convert<std::string>(
                cells, any_missing, std::string(), [&](Value& v, size_t row) -> CellResult<std::string> {
                    if (v.is_string()) return std::move(v.as_string());
                    return make_err(refuse.mismatch(row, v));
                }));
        case DType::Kind::Timestamp:
            return to_column<K::Timestamp>(
                convert<int64_t>(cells, any_missing, 0, [&](const Value& v, size_t row) -> CellResult<int64_t> {
                    if (!v.is_string()) return make_err(refuse.mismatch(row, v));
                    if (auto micros = parse_timestamp_micros(v.as_string())) return *micros;
                    return make_err(refuse.not_timestamp(row, v.as_string()));
                }));
        case DType::Kind::Uuid: {
            using Bytes = std::array<uint8_t, 16>;
            return to_column<K::Uuid>(
                convert<Bytes>(cells, any_missing, Bytes{}, [&](const Value& v, size_t row) -> CellResult<Bytes> {
                    if (!v.is_string()) return make_err(refuse.mismatch(row, v));
                    if (auto bytes = parse_uuid(v.as_string())) return *bytes;
                    return make_err(refuse.not_uuid(row, v.as_string()));
                }));
        }
        case DType::Kind::Decimal: {
            auto r = convert<__int128>(cells, any_missing, 0, [&](const Value& v, size_t row) -> CellResult<__int128> {
                if (!v.is_number()) return make_err(refuse.mismatch(row, v));
                if (auto unscaled = decimal_unscaled(v.as_number(), dtype.precision, dtype.scale)) return *unscaled;
                return make_err(refuse.not_exact(row, v.as_number()));
            });
            if (!r) return make_err(std::move(r).error());
            return Column::of<K::Decimal>(DecimalColumn{dtype.precision, dtype.scale, std::move(r).value()});
        }
    }
    return Column::of<K::Mixed>(MixedColumn(cells.size()));
}

}  // namespace

Result<Column, JorvaneError> build_declared_column(std::string_view name,
                                                   std::vector<std::optional<engine::Value>> cells,
                                                   const Declared& declared, uint64_t first_row) {
    bool any_missing = false;
    for (auto& cell : cells) {
        if (declared.nullable && cell && cell->is_null()) cell.reset();
        any_missing = any_missing || !cell;
    }
    auto column = build(cells, any_missing, declared.dtype, Refusals(name, declared.dtype, first_row));
    if (!column) return make_err(JorvaneError::shape(std::move(column).error()));
    return std::move(column).value();
}

const char* kind_word(const engine::Value& value) {
    switch (value.type()) {
        case JsonType::Null: return "null";
        case JsonType::Boolean: return "a boolean";
        case JsonType::Number:
            return value.as_number().kind() == JsonNumber::Kind::BigInt ? "an integer outside int64's range"
                                                                          : "a number";
        case JsonType::String: return "a string";
        case JsonType::Array: return "an array";
        case JsonType::Object: return "an object";
    }
    return "null";
}

std::optional<double> as_f64(const engine::Value& value) {
    if (!value.is_number()) return std::nullopt;
    return value.as_number().to_f64();
}

}  // namespace jorvane::table
