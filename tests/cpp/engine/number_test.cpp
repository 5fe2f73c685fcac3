#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/number.h"
#include "engine/value.h"

namespace jorvane::engine {
namespace {

JsonNumber num(std::string_view s) { return JsonNumber::from_literal(s); }

uint64_t atom_hash(std::string_view atom) {
    ValueHasher h;
    value::hash_atom_into(h, atom);
    return h.finish();
}

std::vector<std::vector<std::string>> load_cases() {
    std::ifstream in(std::string(JORVANE_SOURCE_DIR) + "/tests/cpp/engine/data/number_cases.txt");
    std::vector<std::vector<std::string>> groups;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> g;
        for (std::string w; words >> w;) g.push_back(w);
        if (!g.empty()) groups.push_back(std::move(g));
    }
    return groups;
}

// Every spelling of one decimal value (checked with Python's Decimal when the
// file was generated) is equal to every other and hashes alike, as a number,
// as a Value and straight from the literal; different values are unequal.
TEST(NumberEquality, SpellingsOfOneValueAgreeAcrossTheCaseFile) {
    auto groups = load_cases();
    ASSERT_GT(groups.size(), 200u);
    std::vector<JsonNumber> firsts;
    for (const auto& g : groups) {
        JsonNumber first = num(g[0]);
        Value first_value = Value::number(first);
        for (const auto& s : g) {
            JsonNumber n = num(s);
            EXPECT_TRUE(n == first) << s << " vs " << g[0];
            EXPECT_EQ(n.hash(), first.hash()) << s << " vs " << g[0];
            EXPECT_EQ(atom_hash(s), first_value.hash()) << s;
            EXPECT_TRUE(value::atom_equals(first_value, s)) << s;
        }
        firsts.push_back(std::move(first));
    }
    for (size_t i = 0; i < firsts.size(); ++i) {
        for (size_t j = i + 1; j < firsts.size(); ++j) {
            EXPECT_FALSE(firsts[i] == firsts[j]) << groups[i][0] << " vs " << groups[j][0];
        }
    }
}

TEST(NumberEquality, TextAndIntegerForms) {
    EXPECT_TRUE(num("1") == num("1.0"));
    EXPECT_TRUE(num("1") == num("10e-1"));
    EXPECT_TRUE(num("1") == num("0.1E1"));
    EXPECT_TRUE(num("1") == num("100e-2"));
    EXPECT_TRUE(num("1.5") == num("15e-1"));
    EXPECT_TRUE(num("-0") == num("0.000"));
    EXPECT_TRUE(num("0e7") == num("0"));
    EXPECT_TRUE(num("-0.0") == num("0e-5"));
    EXPECT_EQ(num("-0.0").hash(), num("0").hash());
    EXPECT_TRUE(num("12345678901234567890123") == num("1.2345678901234567890123e22"));
    EXPECT_FALSE(num("1") == num("1.0000000000000000001"));
    EXPECT_FALSE(num("1") == num("-1"));
    EXPECT_FALSE(num("1e2") == num("1e-2"));
    EXPECT_TRUE(num("120") == num("1.2e2"));
    EXPECT_EQ(num("120").hash(), num("1.2e2").hash());
    EXPECT_TRUE(num("-120") == num("-12E+1"));
}

TEST(NumberLiteral, Classification) {
    EXPECT_EQ(num("9223372036854775807").kind(), JsonNumber::Kind::Int);
    EXPECT_EQ(num("9223372036854775807").int_value(), INT64_MAX);
    EXPECT_EQ(num("-9223372036854775808").kind(), JsonNumber::Kind::Int);
    EXPECT_EQ(num("-9223372036854775808").int_value(), INT64_MIN);
    JsonNumber big = num("9223372036854775808");
    EXPECT_EQ(big.kind(), JsonNumber::Kind::BigInt);
    EXPECT_EQ(big.text(), "9223372036854775808");
    EXPECT_TRUE(big == num("9.223372036854775808e18"));
    EXPECT_EQ(num("-9223372036854775809").kind(), JsonNumber::Kind::BigInt);
    EXPECT_EQ(num("99999999999999999999999").kind(), JsonNumber::Kind::BigInt);
    EXPECT_EQ(num("007").int_value(), 7);
    EXPECT_TRUE(num("007") == num("7"));
    EXPECT_EQ(num("-0").kind(), JsonNumber::Kind::Int);
    EXPECT_EQ(num("-0").to_literal(), "0");
    EXPECT_EQ(num("0000000000000000000000001").int_value(), 1);
    EXPECT_EQ(num(" \f12\r\n").int_value(), 12);
    EXPECT_EQ(num("1.50").kind(), JsonNumber::Kind::Decimal);
    EXPECT_EQ(num("1.50").to_literal(), "1.50");
    EXPECT_EQ(num("-").kind(), JsonNumber::Kind::Decimal);
    EXPECT_EQ(num("-").text(), "-");
    EXPECT_EQ(num("  ").kind(), JsonNumber::Kind::Decimal);
    EXPECT_EQ(num("  ").text(), "");
    EXPECT_EQ(num("-42").to_literal(), "-42");
    EXPECT_EQ(num("-9223372036854775808").to_literal(), "-9223372036854775808");
}

TEST(NumberLiteral, ExponentsBeyondSixtyFourBitsSaturate) {
    const std::string huge = "1e" + std::string(20, '9');
    EXPECT_TRUE(num(huge) == num(huge));
    EXPECT_EQ(num(huge).hash(), num(huge).hash());
    EXPECT_FALSE(num(huge) == num("1e2"));
    const std::string tiny = "1e-" + std::string(20, '9');
    EXPECT_TRUE(num(tiny) == num(tiny));
    EXPECT_FALSE(num(tiny) == num(huge));
    // Whatever follows a non-digit in the exponent is ignored.
    EXPECT_TRUE(num("1e2x5") == num("100"));
    EXPECT_TRUE(num("5e") == num("5"));
}

TEST(NumberFormat, FormatI64) {
    char buf[20];
    auto z = number::format_i64(0, buf);
    EXPECT_FALSE(z.negative);
    EXPECT_EQ(z.digits, "0");
    auto m = number::format_i64(INT64_MIN, buf);
    EXPECT_TRUE(m.negative);
    EXPECT_EQ(m.digits, "9223372036854775808");
    auto p = number::format_i64(-1200, buf);
    EXPECT_TRUE(p.negative);
    EXPECT_EQ(p.digits, "1200");
    EXPECT_EQ(p.digits.data() + p.digits.size(), buf + 20);
}

TEST(NumberFormat, ParseF64) {
    EXPECT_EQ(number::parse_f64("12"), 12.0);
    EXPECT_EQ(number::parse_f64("+5"), 5.0);
    EXPECT_EQ(number::parse_f64("-.5"), -0.5);
    EXPECT_EQ(number::parse_f64("1."), 1.0);
    EXPECT_EQ(number::parse_f64("1e3"), 1000.0);
    auto inf = number::parse_f64("1e400");
    ASSERT_TRUE(inf.has_value());
    EXPECT_TRUE(std::isinf(*inf) && *inf > 0);
    auto ninf = number::parse_f64("-1e400");
    ASSERT_TRUE(ninf.has_value());
    EXPECT_TRUE(std::isinf(*ninf) && *ninf < 0);
    EXPECT_EQ(num("-12").to_f64(), -12.0);
    EXPECT_EQ(num("2.5e1").to_f64(), 25.0);
    EXPECT_EQ(num("123456789012345678901234567890").to_f64(), 1.2345678901234568e29);
    EXPECT_FALSE(num("1.2.3").to_f64());
    EXPECT_FALSE(num("-inf").to_f64());
    for (const char* bad : {"", "-", "+", ".", "1e", "0x10", "1_000", "+-1", "12abc", "inf", "-inf", "nan",
                            "-nan", "Infinity", " 1", "1 "}) {
        EXPECT_FALSE(number::parse_f64(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace jorvane::engine
