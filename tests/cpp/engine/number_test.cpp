#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/values/number.h"
#include "engine/values/value.h"

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

TEST(NumberEquality, IntegersAgainstTextForms) {
    // Each row: spellings of one value (the first an Int or BigInt literal).
    const std::vector<std::vector<const char*>> equal = {
        {"1", "1.0", "10e-1", "0.1E1", "100e-2", "1.00e0", "0.1e+1"},
        {"0", "-0", "0.000", "0e7", "-0.0", "0e-5"},
        {"120", "1.2e2", "12E+1"},
        {"-120", "-12E+1"},
        {"12345678901234567890123", "1.2345678901234567890123e22"},
        {"9223372036854775808", "9.223372036854775808e18"},
        {"-9223372036854775808", "-9.223372036854775808e18"},
        {"007", "7"},
        // Whatever follows a non-digit in the exponent is ignored.
        {"100", "1e2x5"},
        {"5", "5e"},
    };
    for (const auto& row : equal) {
        for (const char* s : row) {
            EXPECT_TRUE(num(s) == num(row[0])) << s << " vs " << row[0];
            EXPECT_EQ(num(s).hash(), num(row[0]).hash()) << s;
        }
    }
    const std::pair<const char*, const char*> unequal[] = {
        {"1", "1.0000000000000000001"}, {"1", "-1"}, {"1e2", "1e-2"}, {"10", "1"}, {"-5", "5"}};
    for (const auto& [a, b] : unequal) EXPECT_FALSE(num(a) == num(b)) << a << " vs " << b;
}

TEST(NumberLiteral, Classification) {
    using K = JsonNumber::Kind;
    struct Case {
        const char* literal;
        K kind;
        const char* text;  // to_literal()
    };
    const Case cases[] = {
        {"9223372036854775807", K::Int, "9223372036854775807"},
        {"-9223372036854775808", K::Int, "-9223372036854775808"},
        {"9223372036854775808", K::BigInt, "9223372036854775808"},
        {"-9223372036854775809", K::BigInt, "-9223372036854775809"},
        {"99999999999999999999999", K::BigInt, "99999999999999999999999"},
        {"007", K::Int, "7"},
        {"-0", K::Int, "0"},
        {"0000000000000000000000001", K::Int, "1"},
        {" \f12\r\n", K::Int, "12"},
        {"-42", K::Int, "-42"},
        {"1.50", K::Decimal, "1.50"},
        {"-", K::Decimal, "-"},
        {"  ", K::Decimal, ""},
        {"1\xff", K::Decimal, "1\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(num(c.literal).kind(), c.kind) << c.literal;
        EXPECT_EQ(num(c.literal).to_literal(), c.text) << c.literal;
    }
}

// The JSON number grammar, written independently of the reader: a whole
// number, and every text some number begins with.
const std::regex kJsonNumber(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
const std::regex kJsonNumberStart(
    R"(-?|-?(0|[1-9][0-9]*)(\.[0-9]*)?|-?(0|[1-9][0-9]*)(\.[0-9]+)?[eE][+-]?[0-9]*)");

// What read_json must say of a text the grammar refuses: the first byte with
// which the text stops being the start of a number (the last byte when every
// prefix is one), InvalidAtomStart when that is the first byte.
std::pair<ParseErrorKind, size_t> expected_refusal(const std::string& s) {
    for (size_t k = 0; k < s.size(); ++k) {
        if (std::regex_match(s.substr(0, k + 1), kJsonNumberStart)) continue;
        const auto b = static_cast<uint8_t>(s[k]);
        return {k == 0 ? ParseErrorKind::invalid_atom_start(b) : ParseErrorKind::invalid_atom_char(b), k};
    }
    return {ParseErrorKind::invalid_atom_char(static_cast<uint8_t>(s.back())), s.size() - 1};
}

// A reading of a well-formed literal denotes the number classify_literal
// gives it, of the same kind and hash.
void expect_reads_as_literal(const std::string& s, const NumberReading& r) {
    const JsonNumber read = JsonNumber::from_view(r.view);
    const JsonNumber classified = num(s);
    EXPECT_TRUE(read == classified) << s;
    EXPECT_EQ(read.kind(), classified.kind()) << s;
    EXPECT_EQ(read.hash(), classified.hash()) << s;
}

TEST(NumberReading, AgreesWithTheGrammarOnEveryShortText) {
    const std::string alphabet = "019-+.eEx";
    std::vector<std::string> texts = {""};
    size_t accepted = 0;
    for (size_t len = 1; len <= 5; ++len) {
        std::vector<std::string> longer;
        for (const auto& t : texts)
            for (char c : alphabet) longer.push_back(t + c);
        texts = std::move(longer);
        for (const auto& s : texts) {
            const NumberReading r = number::read_json(s);
            if (std::regex_match(s, kJsonNumber)) {
                ++accepted;
                ASSERT_FALSE(r.malformed) << s;
                expect_reads_as_literal(s, r);
                continue;
            }
            ASSERT_TRUE(r.malformed) << s;
            const auto [kind, at] = expected_refusal(s);
            EXPECT_EQ(*r.malformed, kind) << s << ": " << r.malformed->to_string();
            EXPECT_EQ(r.malformed_at, at) << s;
        }
    }
    EXPECT_GT(accepted, 1000u);
}

TEST(NumberReading, WellFormedCaseFileSpellingsReadAsClassified) {
    size_t read = 0;
    for (const auto& g : load_cases())
        for (const auto& s : g) {
            if (!std::regex_match(s, kJsonNumber)) continue;
            const NumberReading r = number::read_json(s);
            ASSERT_FALSE(r.malformed) << s;
            expect_reads_as_literal(s, r);
            ++read;
        }
    EXPECT_GT(read, 2000u);
}

TEST(NumberReading, LongLiteralsAndTheEmptyText) {
    // Integers on both sides of the 64-bit range, and long fractions.
    const std::vector<std::string> literals = {"9223372036854775807", "9223372036854775808", "-9223372036854775808",
                                               "-9223372036854775809", std::string(400, '9'),
                                               "0." + std::string(400, '5'),
                                               "-" + std::string(300, '7') + "e-" + std::string(30, '8')};
    for (const std::string& s : literals) {
        const NumberReading r = number::read_json(s);
        ASSERT_FALSE(r.malformed) << s;
        expect_reads_as_literal(s, r);
    }
    const NumberReading empty = number::read_json("");
    ASSERT_TRUE(empty.malformed);
    EXPECT_EQ(*empty.malformed, ParseErrorKind::invalid_atom_start(0));
    // Whitespace is not trimmed: a well-formed number holds none.
    EXPECT_EQ(number::read_json("12 ").malformed_at, 2u);
}

TEST(NumberLiteral, ExponentsBeyondSixtyFourBitsSaturate) {
    const std::string huge = "1e" + std::string(20, '9');
    const std::string tiny = "1e-" + std::string(20, '9');
    EXPECT_TRUE(num(huge) == num(huge));
    EXPECT_EQ(num(huge).hash(), num(huge).hash());
    EXPECT_FALSE(num(huge) == num("1e2"));
    EXPECT_TRUE(num(tiny) == num(tiny));
    EXPECT_FALSE(num(tiny) == num(huge));
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
    EXPECT_EQ(number::parse_f64("+5"), 5.0);
    EXPECT_EQ(number::parse_f64("-.5"), -0.5);
    EXPECT_EQ(number::parse_f64("1e400"), HUGE_VAL);
    EXPECT_EQ(number::parse_f64("-1e400"), -HUGE_VAL);
    EXPECT_EQ(num("-12").to_f64(), -12.0);
    EXPECT_EQ(num("2.5e1").to_f64(), 25.0);
    EXPECT_EQ(num("123456789012345678901234567890").to_f64(), 1.2345678901234568e29);
    EXPECT_FALSE(num("1.2.3").to_f64());
    // The words nan and inf are not numbers, signed or not; nor is a text
    // with anything around the number.
    for (const char* bad : {"", "-", "inf", "-inf", "nan", "-nan", "Infinity", " 1", "1 ", "12abc"}) {
        EXPECT_FALSE(number::parse_f64(bad).has_value()) << bad;
    }
}

}  // namespace
}  // namespace jorvane::engine
