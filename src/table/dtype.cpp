// Reading and naming declared column types. The plain names are looked up
// exactly; "decimal(p,s)" is read by hand so that white space around either
// number is allowed but nothing else is: each side is an unsigned decimal of
// at most 255 with an optional leading '+'.
#include "table/dtype.h"

#include <array>

#include "util/text.h"

namespace jorvane::table {

namespace {

// One side of "decimal(p,s)": trimmed, an optional '+', then decimal digits
// whose value fits 8 bits.
std::optional<uint8_t> read_u8(std::string_view text) {
    text = trim_unicode_whitespace(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) return std::nullopt;
    }
    return static_cast<uint8_t>(value);
}

std::optional<DType> parse_decimal(std::string_view text) {
    constexpr std::string_view kOpen = "decimal(";
    if (text.size() < kOpen.size() + 1 || !text.starts_with(kOpen) || !text.ends_with(')')) return std::nullopt;
    std::string_view inside = text.substr(kOpen.size(), text.size() - kOpen.size() - 1);
    size_t comma = inside.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    auto precision = read_u8(inside.substr(0, comma));
    auto scale = read_u8(inside.substr(comma + 1));
    if (!precision || !scale) return std::nullopt;
    if (*precision < 1 || *precision > 38 || *scale > *precision) return std::nullopt;
    DType t;
    t.kind = DType::Kind::Decimal;
    t.precision = *precision;
    t.scale = *scale;
    return t;
}

DType of_kind(DType::Kind kind, uint8_t width = 0) {
    DType t;
    t.kind = kind;
    t.width = width;
    return t;
}

}  // namespace

std::optional<DType> DType::parse(std::string_view text) {
    using K = Kind;
    struct Named {
        std::string_view name;
        K kind;
        uint8_t width;
    };
    static constexpr std::array<Named, 16> kNames{{
        {"int64", K::Int64, 0},         {"int", K::Int64, 0},          {"int32", K::IntN, 2},
        {"int16", K::IntN, 1},          {"int8", K::IntN, 0},          {"float64", K::Float64, 0},
        {"float", K::Float64, 0},       {"float32", K::Float32, 0},    {"bool", K::Bool, 0},
        {"boolean", K::Bool, 0},        {"str", K::Str, 0},            {"string", K::Str, 0},
        {"utf8", K::Str, 0},            {"timestamp", K::Timestamp, 0}, {"datetime", K::Timestamp, 0},
        {"uuid", K::Uuid, 0},
    }};
    for (const auto& n : kNames) {
        if (text == n.name) return of_kind(n.kind, n.width);
    }
    return parse_decimal(text);
}

std::string DType::name() const {
    switch (kind) {
        case Kind::Int64: return "int64";
        case Kind::Float64: return "float64";
        case Kind::Bool: return "bool";
        case Kind::Str: return "str";
        case Kind::Timestamp: return "timestamp";
        case Kind::Uuid: return "uuid";
        case Kind::IntN: return width == 0 ? "int8" : width == 1 ? "int16" : "int32";
        case Kind::Float32: return "float32";
        case Kind::Decimal:
            return "decimal(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    }
    return "int64";
}

}  // namespace jorvane::table
