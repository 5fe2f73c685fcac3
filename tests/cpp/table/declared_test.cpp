#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/column_cells.h"
#include "table/declared.h"

namespace jorvane::table {
namespace {

using testing::cells;
using K = Column::Kind;

Result<Column, JorvaneError> build(const char* type, std::vector<const char*> texts, bool nullable = false,
                                   std::string_view name = "c") {
    return build_declared_column(name, cells(std::move(texts)), Declared{DType::parse(type).value(), nullable});
}

Column build_ok(const char* type, std::vector<const char*> texts, bool nullable = false) {
    auto r = build(type, std::move(texts), nullable);
    EXPECT_TRUE(r.ok()) << type << ": " << (r.ok() ? "" : r.error().to_string());
    return r.ok() ? std::move(r).value() : Column{};
}

std::string build_err(const char* type, std::vector<const char*> texts, bool nullable = false,
                      std::string_view name = "c") {
    auto r = build(type, std::move(texts), nullable, name);
    return r.ok() ? "<accepted>" : r.error().to_string();
}

const std::string kShape = "data does not fit the requested shape: ";

TEST(DeclaredColumn, MissingCellsAndExplicitNulls) {
    Column c = build_ok("int64", {"1", nullptr, "3"});
    EXPECT_EQ(c.as<K::Int64>().values, (std::vector<int64_t>{1, 0, 3}));
    EXPECT_EQ(c.as<K::Int64>().validity->bytes, std::vector<uint8_t>{0b101});
    EXPECT_EQ(build_err("int64", {"1", "null", "3"}),
              kShape + "column \"c\" is declared int64 but row 1 holds null (declare \"int64?\" to accept explicit nulls)");
    EXPECT_EQ(build_err("decimal(10,2)", {"null"}),
              kShape + "column \"c\" is declared decimal(10,2) but row 0 holds null (declare \"decimal(10,2)?\" to "
                       "accept explicit nulls)");
    Column n = build_ok("str", {"\"a\"", "null", "\"\""}, true);
    EXPECT_EQ(n.as<K::Str>().values, (std::vector<std::string>{"a", "", ""}));
    EXPECT_EQ(n.as<K::Str>().validity->bytes, std::vector<uint8_t>{0b101});
    EXPECT_FALSE(build_ok("bool", {"true", "false"}).as<K::Bool>().validity.has_value());
    for (const char* type : {"int64", "float64", "bool", "str", "timestamp", "uuid", "int16", "float32", "decimal(3,1)"}) {
        Column empty = build_ok(type, {});
        EXPECT_EQ(static_cast<int>(empty.kind()), static_cast<int>(DType::parse(type)->kind)) << type;
        EXPECT_EQ(empty.rows(), 0u) << type;
    }
}

// Each declared type against values of the wrong kind (or the right one: nullptr).
TEST(DeclaredColumn, MismatchMessagesNameTheKindOfValue) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"int64", "1.0", "a number"}, {"int64", "1e2", "a number"}, {"int64", "\"12\"", "a string"},
        {"int64", "9223372036854775808", "an integer outside int64's range"}, {"int64", "-9223372036854775808", nullptr},
        {"int64", "true", "a boolean"}, {"int64", "[1]", "an array"}, {"int64", "{\"a\":1}", "an object"},
        {"int8", "99999999999999999999", "an integer outside int64's range"}, {"int32", "1.5", "a number"},
        {"float64", "true", "a boolean"}, {"float32", "\"1.5\"", "a string"}, {"bool", "1", "a number"},
        {"str", "false", "a boolean"}, {"timestamp", "0", "a number"}, {"uuid", "[]", "an array"},
        {"decimal(5,2)", "\"1.5\"", "a string"}, {"float64", "12345678901234567890", nullptr},
    };
    for (const auto& [type, cell, holds] : cases) {
        const std::string got = build_err(type, {"null", cell}, true, "col \"x\"");
        const std::string want = holds == nullptr ? "<accepted>"
                                                  : kShape + "column \"col \\\"x\\\"\" is declared " +
                                                        DType::parse(type)->name() + " but row 1 holds " + holds;
        EXPECT_EQ(got, want) << type << " " << cell;
    }
}

TEST(DeclaredColumn, FirstRefusedRowEndsTheConversionAndRangesOfSmallIntegers) {
    EXPECT_EQ(build_err("int64", {"1", "2", "\"a\"", "4", "5", "true"}),
              kShape + "column \"c\" is declared int64 but row 2 holds a string");
    // A later batch names the row counted from the source's first row.
    auto later = build_declared_column("c", cells({"1", "2", "\"a\""}), Declared{*DType::parse("int32"), false}, 1000);
    ASSERT_FALSE(later.ok());
    EXPECT_EQ(later.error().to_string(), kShape + "column \"c\" is declared int32 but row 1002 holds a string");
    const std::tuple<const char*, int64_t, int64_t> ranges[] = {
        {"int8", -128, 127}, {"int16", -32768, 32767}, {"int32", -2147483648LL, 2147483647LL}};
    for (const auto& [type, low, high] : ranges) {
        const std::string lo = std::to_string(low), hi = std::to_string(high), above = std::to_string(high + 1);
        EXPECT_EQ(build_ok(type, {lo.c_str(), hi.c_str()}).as<K::IntN>().data.values, (std::vector<int64_t>{low, high}));
        EXPECT_EQ(build_err(type, {"0", above.c_str(), "\"x\""}),
                  kShape + "column \"c\" is declared " + type + " but row 1 holds " + above + ", outside its range");
        const std::string below = std::to_string(low - 1);
        EXPECT_NE(build_err(type, {below.c_str()}).find(", outside its range"), std::string::npos) << type;
    }
}

TEST(DeclaredColumn, Floats) {
    Column f = build_ok("float64", {"1", "1.5", "1e400", "-1e400", nullptr});
    const auto& v = f.as<K::Float>().values;
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[1], 1.5);
    EXPECT_EQ(v[2], INFINITY);
    EXPECT_EQ(v[3], -INFINITY);
    EXPECT_TRUE(std::isnan(v[4]));
    // Below and above the midpoint between the largest float and 2^128.
    Column g = build_ok("float32", {"1e39", "3.40282356e38", "3.4028236e38", "-1e300"});
    EXPECT_EQ(g.as<K::Float32>().values,
              (std::vector<float>{INFINITY, std::numeric_limits<float>::max(), INFINITY, -INFINITY}));
    // At that midpoint (2^128 - 2^103) and one double either side: the tie
    // rounds to even, which is 2^128, so it overflows; the largest float is
    // odd. The largest float itself, and a double between it and the midpoint.
    const float top = std::numeric_limits<float>::max();
    const std::pair<const char*, float> edges[] = {
        {"3.4028235677973366e38", INFINITY},        {"-3.4028235677973366e+38", -INFINITY},
        {"340282356779733661637539395458142568448", INFINITY},
        {"3.4028235677973362e38", top},             {"-3.4028235677973362e38", -top},
        {"3.402823567797337e38", INFINITY},         {"-3.402823567797337e38", -INFINITY},
        {"3.4028234663852886e38", top},             {"3.4028235e38", top},
    };
    for (const auto& [text, want] : edges) EXPECT_EQ(build_ok("float32", {text}).as<K::Float32>().values[0], want) << text;
    // A literal that is no number is a present NaN.
    std::vector<std::optional<engine::Value>> odd;
    odd.emplace_back(engine::Value::number(engine::JsonNumber::from_literal("1.2.3")));
    auto r = build_declared_column("c", std::move(odd), Declared{*DType::parse("float64"), false});
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(std::isnan(r->as<K::Float>().values[0]));
    EXPECT_FALSE(r->as<K::Float>().validity.has_value());
}

// Doubles within the float range round as the hardware rounds them.
TEST(DeclaredColumn, Float32AgreesWithTheHardwareConversionInRange) {
    std::mt19937_64 rng(13);
    std::vector<std::string> texts;
    std::vector<double> doubles;
    for (int i = 0; i < 2000; ++i) {
        const double d = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 250) - 178);
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", rng() % 2 ? d : -d);
        texts.emplace_back(buf);
        doubles.push_back(std::strtod(buf, nullptr));
    }
    std::vector<const char*> ptrs;
    for (const auto& t : texts) ptrs.push_back(t.c_str());
    Column g = build_ok("float32", ptrs);
    for (size_t i = 0; i < doubles.size(); ++i) {
        ASSERT_EQ(g.as<K::Float32>().values[i], static_cast<float>(doubles[i])) << texts[i];
    }
}

TEST(DeclaredColumn, TextFormsAndTheirMessages) {
    Column t = build_ok("timestamp", {"\"1970-01-01\"", nullptr, "\"1970-01-01T00:00:01.5Z\""});
    EXPECT_EQ(t.as<K::Timestamp>().values, (std::vector<int64_t>{0, 0, 1'500'000}));
    EXPECT_EQ(build_err("timestamp", {"\"2024-01-01\"", "\"a\\\"b\\n\""}),
              kShape + "column \"c\" is declared timestamp but row 1 holds \"a\\\"b\\n\", which is not an ISO-8601 "
                       "date-time");
    Column u = build_ok("uuid", {"\"00112233-4455-6677-8899-AaBbCcDdEeFf\"", nullptr});
    EXPECT_EQ(u.as<K::Uuid>().values[0][10], 0xaa);
    EXPECT_EQ(u.as<K::Uuid>().values[1], (std::array<uint8_t, 16>{}));
    EXPECT_EQ(build_err("uuid", {"\"{00112233-4455-6677-8899-aabbccddeeff}\""}),
              kShape + "column \"c\" is declared uuid but row 0 holds \"{00112233-4455-6677-8899-aabbccddeeff}\", "
                       "which is not a UUID");
    Column d = build_ok("decimal(5,2)", {"12.5", nullptr, "-3"});
    EXPECT_TRUE(d.as<K::Decimal>().data.values == (std::vector<__int128>{1250, 0, -300}));
    EXPECT_EQ(d.as<K::Decimal>().scale, 2);
    for (const char* lit : {"1.505", "1000", "1.0E+3", "123456789012345678901234567890123456789"}) {
        EXPECT_EQ(build_err("decimal(5,2)", {"1", lit}),
                  kShape + "column \"c\" is declared decimal(5,2) but row 1 holds " + lit +
                      ", which it cannot represent exactly");
    }
}

}  // namespace
}  // namespace jorvane::table
