// Declared conversion. A column's rows are read from the store's cells one
// at a time in row order into a payload allocated once at the row count;
// the first cell a type refuses ends the conversion with a message that
// names the column, the row and the value, and no later cell is looked at. Whether the bitmap is needed is
// known before the first cell: only missing cells (and explicit nulls when
// the declaration accepts them) clear a bit, every other null is refused.
#include "table/declared.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "table/stored_column.h"
#include "table/text_forms.h"
#include "util/text.h"

namespace jorvane::table {

namespace {

using engine::Cell;
using engine::CellColumn;
using engine::JsonNumber;
using engine::JsonType;


// One cell's payload or the message refusing it.
template <class T>
using CellResult = Result<T, std::string>;

// What a row holds when it is converted: one cell, or several read as an
// array (on_multi "list").
struct Held {
    const CellColumn& col;       // the store column holding it
    const Cell* cell = nullptr;  // null: several cells
    bool is_null() const { return cell != nullptr && cell->kind == Cell::Null; }
};

const char* held_word(const Held& h) {
    if (h.cell == nullptr) return "an array";
    switch (h.cell->kind) {
        case Cell::Null: return "null";
        case Cell::False:
        case Cell::True: return "a boolean";
        case Cell::BigInt: return "an integer outside int64's range";
        case Cell::Int:
        case Cell::Decimal: return "a number";
        case Cell::String: return "a string";
        case Cell::List: return "an array";
        case Cell::Tree: return h.col.type_of(*h.cell) == JsonType::Object ? "an object" : "an array";
    }
    return "null";
}

// What every message starts with: `column "name" is declared T but row N holds `,
// N counted from the source's first row.
class Refusals {
public:
    Refusals(std::string_view name, const DType& dtype, uint64_t first_row)
        : name_(name), dtype_(dtype), first_row_(first_row) {}

    std::string mismatch(size_t row, const Held& h) const {
        std::string out = head(row) + held_word(h);
        if (h.is_null()) out += " (declare \"" + dtype_.name() + "?\" to accept explicit nulls)";
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

// Whether a row is missing after the declaration: no cell, or an explicit
// null where the declaration accepts them.
bool missing(const StoredColumn& s, const StoredColumn::Pick& p, bool nullable) {
    return p.size() == 0 || (nullable && p.size() == 1 && s.cells.cells[p.from].kind == Cell::Null);
}

// Converts every row with `one(held, row)`; a missing row stores `filler`
// with its bit clear. Each part is released once its rows are converted.
template <class T, class F>
Result<Nullable<T>, std::string> convert(StoredParts& s, bool nullable, bool any_missing, T filler, F&& one) {
    NullableBuilder<T> out(s.rows, any_missing);
    uint64_t row = 0;
    std::optional<std::string> refused;
    s.each_row(true, [&](const StoredColumn& part, const StoredColumn::Pick& p) {
        const uint64_t at = row++;
        if (missing(part, p, nullable)) {
            out.push_missing(filler);
            return true;
        }
        CellResult<T> converted = one(Held{part.cells, p.size() == 1 ? &part.cells.cells[p.from] : nullptr}, at);
        if (!converted) {
            refused.emplace(std::move(converted).error());
            return false;
        }
        out.push(std::move(converted).value());
        return true;
    });
    if (refused) return make_err(std::move(*refused));
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

bool is_number(const Cell* c) { return c != nullptr && (c->kind == Cell::Int || c->kind == Cell::BigInt || c->kind == Cell::Decimal); }

JsonNumber number_of(const CellColumn& col, const Cell& c) {
    if (c.kind == Cell::Int) return JsonNumber::from_int(static_cast<int64_t>(c.payload));
    return col.value_of(c).as_number();
}

Result<Column, std::string> build(StoredParts& s, bool nullable, bool any_missing, const DType& dtype,
                                  const Refusals& refuse) {
    using K = Column::Kind;
    auto integer = [&](const Held& h, size_t row) -> CellResult<int64_t> {
        if (h.cell != nullptr && h.cell->kind == Cell::Int) return static_cast<int64_t>(h.cell->payload);
        return make_err(refuse.mismatch(row, h));
    };
    auto float64 = [&](const Held& h, size_t row) -> CellResult<double> {
        if (!is_number(h.cell)) return make_err(refuse.mismatch(row, h));
        if (h.cell->kind == Cell::Int) return static_cast<double>(static_cast<int64_t>(h.cell->payload));
        return engine::number::parse_f64(h.col.text(*h.cell)).value_or(std::numeric_limits<double>::quiet_NaN());
    };
    auto string = [&](const Held& h) -> std::optional<std::string_view> {
        if (h.cell != nullptr && h.cell->kind == Cell::String) return h.col.text(*h.cell);
        return std::nullopt;
    };

    switch (dtype.kind) {
        case DType::Kind::Int64: return to_column<K::Int64>(convert<int64_t>(s, nullable, any_missing, 0, integer));
        case DType::Kind::IntN: {
            const int64_t high = (int64_t{1} << ((8 << dtype.width) - 1)) - 1;
            const int64_t low = -high - 1;
            auto r = convert<int64_t>(s, nullable, any_missing, 0, [&](const Held& h, size_t row) -> CellResult<int64_t> {
                auto i = integer(h, row);
                if (i && (*i < low || *i > high)) return make_err(refuse.out_of_range(row, *i));
                return i;
            });
            if (!r) return make_err(std::move(r).error());
            return Column::of<K::IntN>(IntNColumn{dtype.width, std::move(r).value()});
        }
        case DType::Kind::Float64:
            return to_column<K::Float>(
                convert<double>(s, nullable, any_missing, std::numeric_limits<double>::quiet_NaN(), float64));
        case DType::Kind::Float32:
            return to_column<K::Float32>(convert<float>(
                s, nullable, any_missing, std::numeric_limits<float>::quiet_NaN(),
                [&](const Held& h, size_t row) -> CellResult<float> {
                    auto d = float64(h, row);
                    if (!d) return make_err(std::move(d).error());
                    return nearest_float(*d);
                }));
        case DType::Kind::Bool:
            return to_column<K::Bool>(
                convert<uint8_t>(s, nullable, any_missing, 0, [&](const Held& h, size_t row) -> CellResult<uint8_t> {
                    if (h.cell != nullptr && h.cell->kind == Cell::True) return uint8_t{1};
                    if (h.cell != nullptr && h.cell->kind == Cell::False) return uint8_t{0};
                    return make_err(refuse.mismatch(row, h));
                }));
        case DType::Kind::Str:
            return to_column<K::Str>(convert<std::string>(
                s, nullable, any_missing, std::string(), [&](const Held& h, size_t row) -> CellResult<std::string> {
                    if (auto text = string(h)) return std::string(*text);
                    return make_err(refuse.mismatch(row, h));
                }));
        case DType::Kind::Timestamp:
            return to_column<K::Timestamp>(
                convert<int64_t>(s, nullable, any_missing, 0, [&](const Held& h, size_t row) -> CellResult<int64_t> {
                    const auto text = string(h);
                    if (!text) return make_err(refuse.mismatch(row, h));
                    if (auto micros = parse_timestamp_micros(*text)) return *micros;
                    return make_err(refuse.not_timestamp(row, *text));
                }));
        case DType::Kind::Uuid: {
            using Bytes = std::array<uint8_t, 16>;
            return to_column<K::Uuid>(
                convert<Bytes>(s, nullable, any_missing, Bytes{}, [&](const Held& h, size_t row) -> CellResult<Bytes> {
                    const auto text = string(h);
                    if (!text) return make_err(refuse.mismatch(row, h));
                    if (auto bytes = parse_uuid(*text)) return *bytes;
                    return make_err(refuse.not_uuid(row, *text));
                }));
        }
        case DType::Kind::Decimal: {
            auto r = convert<__int128>(s, nullable, any_missing, 0, [&](const Held& h, size_t row) -> CellResult<__int128> {
                if (!is_number(h.cell)) return make_err(refuse.mismatch(row, h));
                const JsonNumber number = number_of(h.col, *h.cell);
                if (auto unscaled = decimal_unscaled(number, dtype.precision, dtype.scale)) return *unscaled;
                return make_err(refuse.not_exact(row, number));
            });
            if (!r) return make_err(std::move(r).error());
            return Column::of<K::Decimal>(DecimalColumn{dtype.precision, dtype.scale, std::move(r).value()});
        }
    }
    return Column::of<K::Mixed>(MixedColumn(s.rows));
}

}  // namespace

Result<Column, JorvaneError> build_declared_column(std::string_view name, StoredParts cells, const Declared& declared,
                                                   uint64_t first_row) {
    bool any_missing = false;
    cells.each_row(false, [&](const StoredColumn& part, const StoredColumn::Pick& p) {
        any_missing = missing(part, p, declared.nullable);
        return !any_missing;
    });
    auto column = build(cells, declared.nullable, any_missing, declared.dtype, Refusals(name, declared.dtype, first_row));
    if (!column) return make_err(JorvaneError::shape(std::move(column).error()));
    return std::move(column).value();
}

Result<Column, JorvaneError> build_declared_column(std::string_view name,
                                                   std::vector<std::optional<engine::Value>> cells,
                                                   const Declared& declared, uint64_t first_row) {
    const uint64_t rows = cells.size();
    CellColumn col = column_of_values(std::move(cells));
    return build_declared_column(name, StoredParts::one(StoredColumn{col, rows, OnMulti::First}), declared, first_row);
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
