#include "table/column.h"

#include <type_traits>

#include "table/dtype.h"

namespace jorvane::table {

namespace {

// A declared dtype and the column it builds share a number.
constexpr bool same_number(Column::Kind c, DType::Kind d) {
    return static_cast<uint8_t>(c) == static_cast<uint8_t>(d);
}
static_assert(same_number(Column::Kind::Int64, DType::Kind::Int64));
static_assert(same_number(Column::Kind::Float, DType::Kind::Float64));
static_assert(same_number(Column::Kind::Bool, DType::Kind::Bool));
static_assert(same_number(Column::Kind::Str, DType::Kind::Str));
static_assert(same_number(Column::Kind::Timestamp, DType::Kind::Timestamp));
static_assert(same_number(Column::Kind::Uuid, DType::Kind::Uuid));
static_assert(same_number(Column::Kind::IntN, DType::Kind::IntN));
static_assert(same_number(Column::Kind::Float32, DType::Kind::Float32));
static_assert(same_number(Column::Kind::Decimal, DType::Kind::Decimal));

}  // namespace

void Bitmap::push(bool valid) {
    const unsigned bit = static_cast<unsigned>(length & 7);
    if (bit == 0) bytes.push_back(0);
    if (valid) {
        bytes.back() = static_cast<uint8_t>(bytes.back() | (1u << bit));
    } else {
        ++null_count;
    }
    ++length;
}

template <class T>
Nullable<T> nullable_from_options(std::vector<std::optional<T>> cells, T filler) {
    bool any_missing = false;
    for (const auto& cell : cells) any_missing = any_missing || !cell;
    NullableBuilder<T> out(cells.size(), any_missing);
    for (auto& cell : cells) {
        if (cell) {
            out.push(std::move(*cell));
        } else {
            out.push_missing(filler);
        }
    }
    return std::move(out).finish();
}

template Nullable<int64_t> nullable_from_options(std::vector<std::optional<int64_t>>, int64_t);
template Nullable<double> nullable_from_options(std::vector<std::optional<double>>, double);
template Nullable<uint8_t> nullable_from_options(std::vector<std::optional<uint8_t>>, uint8_t);
template Nullable<std::string> nullable_from_options(std::vector<std::optional<std::string>>, std::string);
template Nullable<std::array<uint8_t, 16>> nullable_from_options(std::vector<std::optional<std::array<uint8_t, 16>>>,
                                                                 std::array<uint8_t, 16>);
template Nullable<float> nullable_from_options(std::vector<std::optional<float>>, float);
template Nullable<__int128> nullable_from_options(std::vector<std::optional<__int128>>, __int128);

uint64_t Column::rows() const {
    return std::visit(
        [](const auto& c) -> uint64_t {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, IntNColumn> || std::is_same_v<C, DecimalColumn>) {
                return c.data.size();
            } else if constexpr (std::is_same_v<C, ListColumn>) {
                return c.offsets.empty() ? 0 : c.offsets.size() - 1;
            } else {
                return c.size();
            }
        },
        repr);
}

const char* Column::dtype_name() const {
    switch (kind()) {
        case Kind::Int64: return "int64";
        case Kind::Float: return "float64";
        case Kind::Bool: return "bool";
        case Kind::Str: return "str";
        case Kind::Timestamp: return "timestamp";
        case Kind::Uuid: return "uuid";
        case Kind::IntN: {
            uint8_t width = as<Kind::IntN>().width;
            return width == 0 ? "int8" : width == 1 ? "int16" : "int32";
        }
        case Kind::Float32: return "float32";
        case Kind::Decimal: return "decimal";
        case Kind::List: return "list";
        case Kind::Mixed: return "object";
    }
    return "object";
}

}  // namespace jorvane::table
