#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>

#include "engine/values/value.h"
#include "support/value_literals.h"

namespace jorvane::engine {
namespace {

using testing::json;

TEST(ValueEquality, TagsNumbersAndMemberMultisets) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    const Case cases[] = {
        // Different tags never meet.
        {"1", "\"1\"", false},
        {"false", "null", false},
        {"0", "false", false},
        {"[]", "{}", false},
        {"true", "false", false},
        {"null", "null", true},
        // Objects: members in any order, counted with their repeats.
        {R"({"a":1,"b":2})", R"({"b":2,"a":1.0})", true},
        {R"({"a":1,"b":[1,2]})", R"({"b":[1,2.0],"a":1})", true},
        {R"({"a":1,"a":2,"b":3})", R"({"a":2,"b":3,"a":1})", true},
        {R"({"a":1,"a":1})", R"({"a":1,"a":2})", false},
        {R"({"a":1,"a":1})", R"({"a":1})", false},
        {R"({"a":1,"b":2})", R"({"a":2,"b":1})", false},
        {R"([{"x":{"p":1e0,"q":null}},"s"])", R"([{"x":{"q":null,"p":10e-1}},"s"])", true},
        // Arrays: in order.
        {"[1,2]", "[2,1]", false},
        {"[1,2]", "[1,2,2]", false},
    };
    for (const Case& c : cases) {
        const Value a = json(c.a), b = json(c.b);
        EXPECT_EQ(a == b, c.equal) << c.a << " vs " << c.b;
        EXPECT_EQ(b == a, c.equal) << c.b << " vs " << c.a;
        if (c.equal) {
            EXPECT_EQ(a.hash(), b.hash()) << c.a;
        }
    }
}

// Random nested values, then a copy with every object's members shuffled and
// every number respelled: equal, and hashed alike.
class RandomValues {
public:
    explicit RandomValues(uint32_t seed) : rng_(seed) {}

    // Two spellings of the same random value.
    std::pair<std::string, std::string> make(int depth) {
        std::uniform_int_distribution<int> pick(0, depth > 0 ? 7 : 4);
        switch (pick(rng_)) {
            case 0: return {"null", "null"};
            case 1: return {"true", "true"};
            case 2: {
                std::uniform_int_distribution<int> d(0, 999);
                int v = d(rng_);
                // v, v.000, v00e-2 and 0.v with an exponent are one value.
                std::string s = std::to_string(v);
                std::string alt[] = {s + ".000", s + "00e-2", "0." + s + "e" + std::to_string(s.size()),
                                     s + "E0"};
                return {s, alt[rng_() % 4]};
            }
            case 3: {
                // Beyond 64 bits.
                std::string digits = "1";
                for (int i = 0; i < 25; ++i) digits += static_cast<char>('0' + rng_() % 10);
                return {"-" + digits, "-" + digits.substr(0, 1) + "." + digits.substr(1) + "e25"};
            }
            case 4: {
                std::string s = "s" + std::to_string(rng_() % 5);
                return {"\"" + s + "\"", "\"" + s + "\""};
            }
            case 5:
            case 6: {
                std::vector<std::pair<std::string, std::string>> members;
                int n = static_cast<int>(rng_() % 5);
                for (int i = 0; i < n; ++i) {
                    auto v = make(depth - 1);
                    std::string key = "\"k" + std::to_string(rng_() % 3) + "\":";
                    members.push_back({key + v.first, key + v.second});
                }
                std::string a = "{", b = "{";
                for (size_t i = 0; i < members.size(); ++i) a += (i ? "," : "") + members[i].first;
                std::shuffle(members.begin(), members.end(), rng_);
                for (size_t i = 0; i < members.size(); ++i) b += (i ? "," : "") + members[i].second;
                return {a + "}", b + "}"};
            }
            default: {
                std::string a = "[", b = "[";
                int n = static_cast<int>(rng_() % 4);
                for (int i = 0; i < n; ++i) {
                    auto v = make(depth - 1);
                    a += (i ? "," : "") + v.first;
                    b += (i ? "," : "") + v.second;
                }
                return {a + "]", b + "]"};
            }
        }
    }

private:
    std::mt19937 rng_;
};

TEST(ValueEquality, ShuffledAndRespelledValuesAreEqualAndHashAlike) {
    RandomValues gen(12345);
    for (int i = 0; i < 500; ++i) {
        auto [a, b] = gen.make(4);
        Value va = json(a);
        Value vb = json(b);
        EXPECT_TRUE(va == vb) << a << "\n" << b;
        EXPECT_EQ(va.hash(), vb.hash()) << a << "\n" << b;
        EXPECT_TRUE(va.clone() == va);
    }
}

TEST(ValueAtoms, FirstByteDecidesAndRawFormsHashLikeTheirValues) {
    const std::pair<const char*, JsonType> cases[] = {
        {"null", JsonType::Null},     {"nul", JsonType::Null},     {"", JsonType::Null},
        {"?", JsonType::Null},        {"true", JsonType::Boolean}, {"fx", JsonType::Boolean},
        {"12", JsonType::Number},     {"-3.50", JsonType::Number}, {"1e5", JsonType::Number},
        {"-", JsonType::Number},      {"1\xff", JsonType::Number},
        {"99999999999999999999999", JsonType::Number},
    };
    for (const auto& [atom, type] : cases) {
        const Value v = value::from_atom(atom);
        EXPECT_EQ(v.type(), type) << atom;
        EXPECT_EQ(atom_json_type(atom), type) << atom;
        ValueHasher h;
        value::hash_atom_into(h, atom);
        EXPECT_EQ(h.finish(), v.hash()) << atom;
        EXPECT_TRUE(value::atom_equals(v, atom)) << atom;
    }
    EXPECT_FALSE(value::from_atom("fx").as_bool());
    EXPECT_EQ(value::from_atom("42").as_number().int_value(), 42);
    EXPECT_FALSE(value::atom_equals(json("1"), "true"));
    EXPECT_FALSE(value::atom_equals(json("1"), "2"));
    ValueHasher h;
    value::hash_string_into(h, "abc");
    EXPECT_EQ(h.finish(), Value::string("abc").hash());
    std::string names;
    for (int t = 0; t < kJsonTypeCount; ++t) names += std::string(json_type_name(static_cast<JsonType>(t))) + " ";
    EXPECT_EQ(names, "null boolean number string array object ");
}

TEST(DecodeJsonString, EscapesSurrogatesAndBadBytes) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {R"(a\u00e9b)", "a\xC3\xA9" "b"},
        {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
        {R"(\uD83D\uDE00!)", "\xF0\x9F\x98\x80!"},
        {R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
        {R"(\u0000)", std::string(1, '\0')},
        // An unknown escape vanishes with its letter; so does a trailing backslash.
        {R"(x\qy)", "xy"},
        {"ab\\", "ab"},
        // Broken unicode escapes: U+FFFD in their place.
        {R"(\ude00)", fffd},
        {R"(\ud83d)", fffd},
        {R"(\ud83dx)", fffd + "x"},
        {R"(\ud83d\u0041)", fffd + "A"},
        {R"(\ud83d\ud83d\ude00)", fffd + "\xF0\x9F\x98\x80"},
        {R"(\u12g4zz)", fffd + "zz"},  // all six bytes skipped
        {R"(ab\u12)", "ab" + fffd},    // cut short by the end
        {R"(\u)", fffd},
        // Invalid UTF-8, with and without escapes around it.
        {"a\xff" "b", "a" + fffd + "b"},
        {"a\xff\\n", "a" + fffd + "\n"},
    };
    for (const auto& [raw, text] : cases) EXPECT_EQ(value::decode_json_string(raw), text) << raw;
    EXPECT_FALSE(value::string_is_plain("a\xff"));
    EXPECT_TRUE(value::string_is_plain("caf\xC3\xA9"));
    EXPECT_FALSE(value::string_is_plain("a\\n"));
}

TEST(StrictReading, TheByteThatBreaksAnAtomOrAnEscape) {
    // (atom, the byte named, its index); nothing named for a strict one.
    const std::tuple<std::string, char, size_t> atoms[] = {
        {"true", 0, 0},  {"false", 0, 0}, {"null", 0, 0},  {"-0.5e+3", 0, 0}, {"tru", 'u', 2},   {"t", 't', 0},
        {"nul", 'l', 2}, {"fals", 's', 3}, {"nope", 'o', 1}, {"truex", 'x', 4}, {"true1", '1', 4}, {"nulL", 'L', 3},
        {"01", '1', 1},  {"1.", '.', 1},  {"-", '-', 0},    {"1e+", '+', 2},   {"true\f", '\f', 4},
    };
    // Each row's fault as `read` finds it, named as `kind` names its byte.
    const auto check = [](const auto& rows, auto read, ParseErrorKind (*kind)(uint8_t)) {
        for (const auto& [text, named, at] : rows) {
            const auto bad = read(text);
            ASSERT_EQ(bad.has_value(), named != 0) << text;
            if (!bad) continue;
            EXPECT_EQ(bad->kind, kind(static_cast<uint8_t>(named))) << text;
            EXPECT_EQ(bad->at, at) << text;
        }
    };
    check(atoms, value::atom_fault, ParseErrorKind::invalid_atom_char);
    // (raw string bytes, the byte named, its index); the closing quote, one
    // past the bytes, when a \u escape runs into it.
    const std::tuple<std::string, char, size_t> strings[] = {
        {"plain", 0, 0},
        {R"(\"\\\/\b\f\n\r\t\u00e9\uD83D\uDE00)", 0, 0},
        {R"(\ud800)", 0, 0},  // a lone surrogate is a valid escape (it becomes U+FFFD)
        {"\xff\x01", 0, 0},   // bytes that are not UTF-8, and control bytes, are not escapes
        {R"(ab\qcd)", 'q', 3},
        {R"(\\\x)", 'x', 3},
        {R"(\u12G4)", 'G', 4},
        {R"(\U0041)", 'U', 1},
        {R"(x\u12)", '"', 5},
        {R"(\u)", '"', 2},
        {R"(\n\'\q)", '\'', 3},
    };
    check(strings, value::escape_fault, ParseErrorKind::invalid_escape);
}

TEST(LowSurrogateEscape, OnlyCompleteLowSurrogates) {
    using value::read_low_surrogate_escape;
    EXPECT_EQ(read_low_surrogate_escape(R"(\udc00)", 0), 0xDC00);
    EXPECT_EQ(read_low_surrogate_escape(R"(xx\uDFFF)", 2), 0xDFFF);
    EXPECT_FALSE(read_low_surrogate_escape(R"(\ud800)", 0));
    EXPECT_FALSE(read_low_surrogate_escape(R"(\u0041)", 0));
    EXPECT_FALSE(read_low_surrogate_escape(R"(\udc0)", 0));
    EXPECT_FALSE(read_low_surrogate_escape(R"(\udc0g)", 0));
    EXPECT_FALSE(read_low_surrogate_escape(R"(/udc00)", 0));
    EXPECT_FALSE(read_low_surrogate_escape(R"(\udc00)", 1));
    EXPECT_FALSE(read_low_surrogate_escape(R"(\udc00)", 6));
    EXPECT_FALSE(read_low_surrogate_escape("\\", 0));
}

TEST(CoerceNumericStr, WholeDecimalNumbersOnly) {
    using value::coerce_numeric_str;
    EXPECT_EQ(coerce_numeric_str(" 12 "), 12.0);
    EXPECT_EQ(coerce_numeric_str("-.5"), -0.5);
    EXPECT_EQ(coerce_numeric_str(".5"), 0.5);
    EXPECT_EQ(coerce_numeric_str("1e3"), 1000.0);
    EXPECT_EQ(coerce_numeric_str("1."), 1.0);
    EXPECT_EQ(coerce_numeric_str("+7"), 7.0);
    EXPECT_EQ(coerce_numeric_str("\t-3\n"), -3.0);
    EXPECT_EQ(coerce_numeric_str("\xE3\x80\x80" "4\xC2\xA0"), 4.0);  // ideographic and no-break spaces
    for (const char* bad : {"", "   ", "nan", "NaN", "-inf", "Infinity", "+", "-", "+.", "-.", ".", "1e", "0x10",
                            "1_000", "+-1", "12abc", "abc", "1 2"}) {
        EXPECT_FALSE(coerce_numeric_str(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace jorvane::engine
