#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "table/text_forms.h"

namespace jorvane::table {
namespace {

constexpr int64_t kMicrosPerDay = 86'400'000'000;

std::string two(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

std::string date_text(int y, int m, int d) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return buf;
}

TEST(Timestamp, AcceptedForms) {
    const int64_t day = kMicrosPerDay, new_year = 19723 * day, hour = 3'600'000'000, minute = 60'000'000;
    const std::pair<const char*, int64_t> cases[] = {
        {"1970-01-01", 0}, {"1969-12-31", -day}, {"2024-02-29", new_year + 59 * day},
        {"2024-01-01 10:00", new_year + 10 * hour}, {"2024-01-01t10:00Z", new_year + 10 * hour},
        {"2024-01-01T10:00:00+01:00", new_year + 9 * hour}, {"2024-01-01T10:00:00+0100", new_year + 9 * hour},
        {"2024-01-01T10:00+01", new_year + 9 * hour}, {"2024-01-01T10:00:00-02:30", new_year + 12 * hour + 30 * minute},
        {"2024-01-01T23:59:60z", new_year + 24 * hour - 1'000'000}, {"2024-01-01T00:00:00.5", new_year + 500'000},
        {"2024-01-01T00:00:00.1234567", new_year + 123'456}, {"1969-12-31T23:59:59.999999Z", -1},
        {"9999-12-31T23:59:59.999999", 253'402'300'799'999'999},
    };
    for (const auto& [text, micros] : cases) EXPECT_EQ(parse_timestamp_micros(text), micros) << text;
}

TEST(Timestamp, RefusedForms) {
    const char* cases[] = {
        "", "2024-01", "2024-1-01", "+2024-01-01", "12024-01-01", "2024/01/01", "2024-01-01Z", "2024-01-01 ",
        "2024-01-01T10", "2024-01-01T1:00", "2024-01-01X10:00", "2023-02-29", "1900-02-29", "2024-13-01",
        "2024-00-01", "2024-01-00", "2024-04-31", "2024-01-01T24:00", "2024-01-01T10:60", "2024-01-01T10:00:61",
        "2024-01-01T10:00:6", "2024-01-01T10:00.5", "2024-01-01T10:00:00.", "2024-01-01T10:00:00.5.5",
        "2024-01-01T10:00:00+1", "2024-01-01T10:00:00+24:00", "2024-01-01T10:00:00+01:60", "2024-01-01T10:00:00+01:",
        "2024-01-01T10:00:00+010", "2024-01-01T10:00:00+01:00:00", "2024-01-01T10:00:00ZZ", "2024-01-01T10:00:00 Z",
        "2024-01-01T10:00:00Z ", "２０２４-01-01", "2024-0a-01",
    };
    for (const char* text : cases) EXPECT_FALSE(parse_timestamp_micros(text).has_value()) << text;
}

// Every date of years 0000 to 9999 against a day counter that walks the
// calendar one day at a time; the day after each month's last is refused.
TEST(Timestamp, EveryDateAgainstADayByDayWalk) {
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t day = -719'528;  // 0000-01-01, counted from 1970-01-01
    bool saw_epoch = false;
    for (int y = 0; y <= 9999; ++y) {
        for (int m = 1; m <= 12; ++m) {
            const int length = lengths[m - 1] + (m == 2 && leap(y) ? 1 : 0);
            for (int d = 1; d <= length; ++d, ++day) {
                auto got = parse_timestamp_micros(date_text(y, m, d));
                ASSERT_TRUE(got.has_value()) << date_text(y, m, d);
                ASSERT_EQ(*got, day * kMicrosPerDay) << date_text(y, m, d);
                saw_epoch = saw_epoch || (y == 1970 && m == 1 && d == 1 && day == 0);
            }
            ASSERT_FALSE(parse_timestamp_micros(date_text(y, m, length + 1)).has_value()) << date_text(y, m, length + 1);
        }
    }
    EXPECT_TRUE(saw_epoch);
}

// Random times of day in every spelling against the arithmetic of their parts.
TEST(Timestamp, RandomTimesAndZonesAgainstTheirParts) {
    std::mt19937_64 rng(3);
    const int64_t base = *parse_timestamp_micros("2001-03-04");
    for (int round = 0; round < 20000; ++round) {
        const int h = static_cast<int>(rng() % 24), mi = static_cast<int>(rng() % 60);
        const int s = static_cast<int>(rng() % 61);
        std::string text = "2001-03-04";
        text += "Tt "[rng() % 3];
        text += two(h) + ":" + two(mi);
        int64_t expected = base + (h * 3600LL + mi * 60) * 1'000'000;
        if (rng() % 4 != 0) {
            text += ':';
            text += two(s);
            expected += (s == 60 ? 59 : s) * 1'000'000LL;
            if (rng() % 2 == 0) {
                const int digits = 1 + static_cast<int>(rng() % 9);
                std::string frac;
                for (int i = 0; i < digits; ++i) frac += static_cast<char>('0' + rng() % 10);
                text += '.';
                text += frac;
                std::string six = frac.substr(0, 6);
                six.resize(6, '0');
                expected += std::stoll(six);
            }
        }
        switch (rng() % 6) {
            case 0: break;
            case 1: text += rng() % 2 ? "Z" : "z"; break;
            default: {
                const int zh = static_cast<int>(rng() % 24), zm = static_cast<int>(rng() % 60);
                const bool minus = rng() % 2;
                text += minus ? "-" : "+";
                text += two(zh);
                const int style = static_cast<int>(rng() % 3);
                const int minutes = style == 0 ? 0 : zm;
                if (style == 1) text += ':';
                if (style != 0) text += two(zm);
                expected -= (minus ? -1 : 1) * (zh * 60LL + minutes) * 60'000'000LL;
            }
        }
        auto got = parse_timestamp_micros(text);
        ASSERT_TRUE(got.has_value()) << text;
        ASSERT_EQ(*got, expected) << text;
    }
}

TEST(Uuid, Forms) {
    const std::array<uint8_t, 16> bytes = {0x12, 0x3e, 0x45, 0x67, 0xe8, 0x9b, 0x12, 0xd3,
                                           0xa4, 0x56, 0x42, 0x66, 0x14, 0x17, 0x40, 0x00};
    for (const char* text : {"123e4567-e89b-12d3-a456-426614174000", "123E4567-E89B-12D3-A456-426614174000",
                             "123e4567e89b12d3a456426614174000"}) {
        auto got = parse_uuid(text);
        ASSERT_TRUE(got.has_value()) << text;
        EXPECT_EQ(*got, bytes) << text;
    }
    const char* refused[] = {
        "", "123e4567-e89b-12d3-a456-42661417400", "123e4567e-89b-12d3-a456-426614174000",
        "{123e4567-e89b-12d3-a456-426614174000}", "123e4567-e89b-12d3-a456-42661417400g",
        "123e4567e89b12d3a4564266141740-0", "123e4567 e89b 12d3 a456 426614174000",
    };
    for (const char* text : refused) EXPECT_FALSE(parse_uuid(text).has_value()) << text;
}

std::string to_text(__int128 v) {
    if (v == 0) return "0";
    std::string out;
    const bool negative = v < 0;
    unsigned __int128 m = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    for (; m != 0; m /= 10) out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    return negative ? "-" + out : out;
}

std::optional<std::string> unscaled_text(const char* literal, int p, int s) {
    auto got = decimal_unscaled(engine::JsonNumber::from_literal(literal), static_cast<uint8_t>(p),
                                static_cast<uint8_t>(s));
    if (!got) return std::nullopt;
    return to_text(*got);
}

TEST(Decimal, UnscaledValuesOfLiterals) {
    struct Case {
        const char* literal;
        int p, s;
        const char* unscaled;  // nullptr: refused
    };
    const Case cases[] = {
        {"12.5", 5, 2, "1250"}, {"1.50", 5, 2, "150"}, {"1.505", 5, 2, nullptr}, {"999.99", 5, 2, "99999"},
        {"-999.99", 5, 2, "-99999"}, {"1000", 5, 2, nullptr}, {"1e2", 5, 2, "10000"}, {"1.5e-1", 5, 2, "15"},
        {"0.0010e1", 5, 2, "1"}, {"-0.0", 5, 2, "0"}, {"1", 1, 1, nullptr}, {".5", 5, 2, "50"}, {"5.", 5, 2, "500"},
        {"9223372036854775807", 38, 19, "92233720368547758070000000000000000000"},
        {"9223372036854775807", 38, 20, nullptr}, {"-9223372036854775808", 38, 0, "-9223372036854775808"},
        {"-99999999999999999999999999999999999999", 38, 0, "-99999999999999999999999999999999999999"},
        {"100000000000000000000000000000000000000", 38, 0, nullptr},
        {"-170141183460469231731687303715884105728", 38, 0, nullptr},
        {"0.99999999999999999999999999999999999999", 38, 38, "99999999999999999999999999999999999999"},
        {"1e38", 38, 0, nullptr}, {"1e-39", 38, 38, nullptr}, {"1e2147483647", 38, 0, nullptr},
        {"1e2147483648", 38, 0, nullptr}, {"1e99999999999999999999", 38, 0, nullptr}, {"1e", 5, 2, nullptr},
        {"1e+", 5, 2, nullptr}, {"1e1.5", 5, 2, nullptr}, {"1.2.3", 5, 2, nullptr}, {"-", 5, 2, nullptr},
        {".", 5, 2, nullptr}, {"+1.5", 5, 2, nullptr}, {"--1.5", 5, 2, nullptr}, {"1.5x", 5, 2, nullptr},
        // Trailing zeros lose no digit, and zero is zero with any exponent.
        {"1.0000000000000000000000000000000000000000000", 5, 2, "100"},
        {"10000000000000000000000000000000000000000000e-40", 6, 2, "100000"},
        {"0e-50", 5, 2, "0"}, {"-0.000e99999999999", 5, 2, "0"}, {"1.0000000000000000000000000000000000000000001", 38, 2, nullptr},
    };
    for (const auto& c : cases) {
        const auto want = c.unscaled ? std::optional<std::string>(c.unscaled) : std::nullopt;
        EXPECT_EQ(unscaled_text(c.literal, c.p, c.s), want) << c.literal << " as decimal(" << c.p << "," << c.s << ")";
    }
}

// Random fixed-point values spelt in several ways read back as their
// unscaled integer; a nonzero digit below the scale or one digit too many
// is refused.
TEST(Decimal, RandomValuesInEverySpelling) {
    std::mt19937_64 rng(9);
    for (int round = 0; round < 20000; ++round) {
        const int p = 1 + static_cast<int>(rng() % 38);
        const int s = static_cast<int>(rng() % (p + 1));
        unsigned __int128 limit = 1;
        for (int i = 0; i < p; ++i) limit *= 10;
        const unsigned __int128 magnitude = ((static_cast<unsigned __int128>(rng()) << 64) | rng()) % limit;
        const bool negative = rng() % 2;
        const __int128 unscaled = negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
        const std::string expected = to_text(unscaled);

        std::string digits = to_text(static_cast<__int128>(magnitude));
        if (digits.size() < static_cast<size_t>(s) + 1) digits.insert(0, s + 1 - digits.size(), '0');
        const std::string sign = negative ? "-" : "";
        const std::string whole = digits.substr(0, digits.size() - s), frac = digits.substr(digits.size() - s);
        std::vector<std::string> spellings;
        // Plain, with and without a trailing zero (fraction digits count even when zero).
        spellings.push_back(sign + whole + (s > 0 ? "." + frac : ""));
        if (p < 38) spellings.push_back(sign + whole + "." + frac + "0");
        // Integer mantissa with a negative exponent, and one digit before the point.
        spellings.push_back(sign + digits + "e-" + std::to_string(s));
        const std::string stripped = digits.substr(std::min(digits.find_first_not_of('0'), digits.size() - 1));
        const int exponent = static_cast<int>(stripped.size()) - 1 - s;
        spellings.push_back(sign + stripped.substr(0, 1) + "." + stripped.substr(1) + (exponent >= 0 ? "E+" : "E") +
                            std::to_string(exponent));
        for (const auto& text : spellings) {
            ASSERT_EQ(unscaled_text(text.c_str(), p, s), std::optional<std::string>(expected))
                << text << " as decimal(" << p << "," << s << ")";
        }
        if (p < 38) {
            // A nonzero digit below the scale.
            const std::string finer = sign + whole + "." + frac + "7";
            ASSERT_FALSE(unscaled_text(finer.c_str(), p, s).has_value()) << finer;
            // Ten times the largest value that fits.
            std::string nines_below(s + 1, '9');
            nines_below[0] = '.';
            if (s == 0) nines_below.clear();
            const std::string too_big = sign + std::string(p - s + 1, '9') + nines_below;
            ASSERT_FALSE(unscaled_text(too_big.c_str(), p, s).has_value()) << too_big;
            const std::string largest = sign + std::string(p - s, '9') + nines_below;
            ASSERT_TRUE(unscaled_text(largest.c_str(), p, s).has_value()) << largest;
        }
    }
}

}  // namespace
}  // namespace jorvane::table
