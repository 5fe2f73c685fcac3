// Float texts: the layout without an exponent, checked case by case, and the
// round trip (the text reads back as the same double, and no shorter digit
// string would) against strtod over doubles of every magnitude.
#include "util/float_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace jorvane {
namespace {

TEST(FloatText, LaidOutWithoutAnExponent) {
    const struct {
        double value;
        std::string text;
    } cases[] = {
        {2.0, "2"},
        {-2.0, "-2"},
        {0.0, "0"},
        {-0.0, "-0"},
        {0.1, "0.1"},
        {-1.5, "-1.5"},
        {100.0, "100"},
        {1234.5, "1234.5"},
        {0.015625, "0.015625"},
        {1e-7, "0.0000001"},
        {1e21, "1" + std::string(21, '0')},
        {1.5e22, "15" + std::string(21, '0')},
        {123456789012345680.0, "123456789012345680"},
        {0.30000000000000004, "0.30000000000000004"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text) << c.text;
}

// The digits of a text without its sign, point and padding zeros.
std::string significant_digits(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (c >= '0' && c <= '9') digits.push_back(c);
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    digits.erase(0, first);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    return digits;
}

TEST(FloatText, ReadsBackAsTheSameDoubleWithTheShortestDigits) {
    uint64_t x = 0x9e3779b97f4a7c15u;
    for (int i = 0; i < 4000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        double v;
        std::memcpy(&v, &x, sizeof v);
        if (!std::isfinite(v)) continue;
        const std::string text = float_text(v);
        ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        // %.*g with one digit fewer than the text holds must not read back.
        const int digits = static_cast<int>(significant_digits(text).size());
        if (digits > 1) {
            char shorter[400];
            std::snprintf(shorter, sizeof shorter, "%.*g", digits - 1, v);
            EXPECT_NE(std::strtod(shorter, nullptr), v) << text;
        }
    }
}

}  // namespace
}  // namespace jorvane
