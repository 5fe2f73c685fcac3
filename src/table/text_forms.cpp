// Readers of the date-time, UUID and fixed-point decimal forms.
//
// Date-times are read position by position (every field has a fixed width),
// the date turned into a day count with the proleptic Gregorian era
// arithmetic (400-year eras of 146097 days), and the zone offset subtracted
// from the local time.
//
// Decimals never go through a float: the literal's digits are read as one
// integer magnitude, then multiplied or divided by the power of ten that the
// exponent, the scale and the fraction length call for; a division must
// leave no remainder. Magnitudes are kept unsigned with the sign applied
// last, and every step stays within the signed 128-bit range.
#include "table/text_forms.h"

namespace jorvane::table {

namespace {

using u128 = unsigned __int128;

constexpr u128 kI128Max = (u128{1} << 127) - 1;

constexpr std::array<u128, 39> make_powers() {
    std::array<u128, 39> p{};
    p[0] = 1;
    for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
}
constexpr std::array<u128, 39> kPow10 = make_powers();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of exactly `count` decimal digits at `pos`, or nothing.
std::optional<int> fixed_digits(std::string_view text, size_t pos, size_t count) {
    if (pos > text.size() || text.size() - pos < count) return std::nullopt;
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!is_digit(text[i])) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Appends one decimal digit to a magnitude that must stay a signed 128-bit value.
bool push_digit(u128& magnitude, char c) {
    if (!is_digit(c)) return false;
    const u128 digit = static_cast<u128>(c - '0');
    if (magnitude > (kI128Max - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
    return true;
}

bool scale_up(u128& magnitude, int64_t power) {
    if (power < 0 || power >= static_cast<int64_t>(kPow10.size())) return false;
    const u128 factor = kPow10[static_cast<size_t>(power)];
    if (magnitude > kI128Max / factor) return false;
    magnitude *= factor;
    return true;
}

bool scale_down_exactly(u128& magnitude, int64_t power) {
    if (power < 0 || power >= static_cast<int64_t>(kPow10.size())) return false;
    const u128 factor = kPow10[static_cast<size_t>(power)];
    if (magnitude % factor != 0) return false;
    magnitude /= factor;
    return true;
}

// The magnitude of a literal with a fraction or an exponent, times 10^scale.
// Trailing zeros of the digits say nothing about the value, so they are
// dropped before the digits are read (a literal is refused only when a digit
// would be lost), and zero is zero whatever its exponent.
std::optional<u128> literal_magnitude(std::string_view text, uint8_t scale, bool& negative) {
    negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);

    int64_t exponent = 0;
    bool exponent_fits = true;
    const size_t e = text.find_first_of("eE");
    if (e != std::string_view::npos) {
        std::string_view exp_text = text.substr(e + 1);
        text = text.substr(0, e);
        bool exp_negative = false;
        if (!exp_text.empty() && (exp_text.front() == '+' || exp_text.front() == '-')) {
            exp_negative = exp_text.front() == '-';
            exp_text.remove_prefix(1);
        }
        if (exp_text.empty()) return std::nullopt;
        for (char c : exp_text) {
            if (!is_digit(c)) return std::nullopt;
            if (exponent <= (int64_t{1} << 31)) exponent = exponent * 10 + (c - '0');
        }
        if (exp_negative) exponent = -exponent;
        exponent_fits = exponent <= INT32_MAX && exponent >= INT32_MIN;
    }

    std::string digits;
    int64_t fraction_digits = 0;
    const size_t dot = text.find('.');
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == dot) continue;
        if (!is_digit(text[i])) return std::nullopt;
        digits.push_back(text[i]);
        if (dot != std::string_view::npos && i > dot) ++fraction_digits;
    }
    // A mantissa without a single digit ("-", ".", "e5") denotes no number.
    if (digits.empty()) return std::nullopt;
    int64_t trimmed = 0;
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++trimmed;
    }
    if (digits.empty()) return u128{0};
    if (!exponent_fits) return std::nullopt;
    u128 magnitude = 0;
    for (char c : digits)
        if (!push_digit(magnitude, c)) return std::nullopt;
    const int64_t shift = exponent + scale - fraction_digits + trimmed;
    if (shift > 0 && !scale_up(magnitude, shift)) return std::nullopt;
    if (shift < 0 && !scale_down_exactly(magnitude, -shift)) return std::nullopt;
    return magnitude;
}

}  // namespace

std::optional<int64_t> parse_timestamp_micros(std::string_view text) {
    if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    const auto year = fixed_digits(text, 0, 4);
    const auto month = fixed_digits(text, 5, 2);
    const auto day = fixed_digits(text, 8, 2);
    if (!year || !month || !day) return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(*year, *month)) return std::nullopt;
    const int64_t days = days_from_civil(*year, *month, *day);
    constexpr int64_t kMicrosPerSecond = 1'000'000;
    if (text.size() == 10) return days * 86'400 * kMicrosPerSecond;

    const char separator = text[10];
    if (separator != 'T' && separator != 't' && separator != ' ') return std::nullopt;
    if (text.size() < 16 || text[13] != ':') return std::nullopt;
    const auto hour = fixed_digits(text, 11, 2);
    const auto minute = fixed_digits(text, 14, 2);
    if (!hour || !minute || *hour > 23 || *minute > 59) return std::nullopt;

    size_t pos = 16;
    int second = 0;
    int64_t micros = 0;
    if (pos < text.size() && text[pos] == ':') {
        const auto s = fixed_digits(text, pos + 1, 2);
        if (!s || *s > 60) return std::nullopt;
        // A leap second is read as the last second of its minute.
        second = *s == 60 ? 59 : *s;
        pos += 3;
        if (pos < text.size() && text[pos] == '.') {
            ++pos;
            int kept = 0;
            const size_t first = pos;
            for (; pos < text.size() && is_digit(text[pos]); ++pos) {
                if (kept < 6) {
                    micros = micros * 10 + (text[pos] - '0');
                    ++kept;
                }
            }
            if (pos == first) return std::nullopt;
            for (; kept < 6; ++kept) micros *= 10;
        }
    }

    int64_t offset_minutes = 0;
    if (pos < text.size()) {
        const char zone = text[pos];
        if (zone == 'Z' || zone == 'z') {
            ++pos;
        } else if (zone == '+' || zone == '-') {
            const auto zone_hour = fixed_digits(text, pos + 1, 2);
            if (!zone_hour || *zone_hour > 23) return std::nullopt;
            pos += 3;
            int zone_minute = 0;
            if (pos < text.size()) {
                if (text[pos] == ':') ++pos;
                const auto m = fixed_digits(text, pos, 2);
                if (!m || *m > 59) return std::nullopt;
                zone_minute = *m;
                pos += 2;
            }
            offset_minutes = (*zone_hour * 60 + zone_minute) * (zone == '-' ? -1 : 1);
        } else {
            return std::nullopt;
        }
    }
    if (pos != text.size()) return std::nullopt;

    const int64_t seconds = days * 86'400 + *hour * 3'600 + *minute * 60 + second - offset_minutes * 60;
    return seconds * kMicrosPerSecond + micros;
}

std::optional<std::array<uint8_t, 16>> parse_uuid(std::string_view text) {
    const bool dashed = text.size() == 36;
    if (!dashed && text.size() != 32) return std::nullopt;
    std::array<uint8_t, 16> bytes{};
    size_t nibble = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (dashed && (i == 8 || i == 13 || i == 18 || i == 23)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        const int v = hex_value(text[i]);
        if (v < 0) return std::nullopt;
        uint8_t& byte = bytes[nibble / 2];
        byte = static_cast<uint8_t>(nibble % 2 == 0 ? v << 4 : byte | v);
        ++nibble;
    }
    return bytes;
}

std::optional<__int128> decimal_unscaled(const engine::JsonNumber& number, uint8_t precision, uint8_t scale) {
    using Kind = engine::JsonNumber::Kind;
    bool negative = false;
    u128 magnitude = 0;
    switch (number.kind()) {
        case Kind::Int: {
            const int64_t v = number.int_value();
            negative = v < 0;
            magnitude = negative ? u128{0 - static_cast<uint64_t>(v)} : u128{static_cast<uint64_t>(v)};
            if (!scale_up(magnitude, scale)) return std::nullopt;
            break;
        }
        case Kind::BigInt: {
            std::string_view text = number.text();
            if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
                negative = text.front() == '-';
                text.remove_prefix(1);
            }
            if (text.empty()) return std::nullopt;
            for (char c : text) {
                if (!push_digit(magnitude, c)) return std::nullopt;
            }
            if (!scale_up(magnitude, scale)) return std::nullopt;
            break;
        }
        case Kind::Decimal: {
            auto m = literal_magnitude(number.text(), scale, negative);
            if (!m) return std::nullopt;
            magnitude = *m;
            break;
        }
    }
    if (magnitude >= kPow10[precision]) return std::nullopt;
    const auto value = static_cast<__int128>(magnitude);
    return negative ? -value : value;
}

}  // namespace jorvane::table
