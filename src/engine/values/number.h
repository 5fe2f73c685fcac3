// JSON numbers that never round: a literal that fits a signed 64-bit integer
// is kept as that integer, any other literal keeps its text. Two numbers are
// equal when they denote the same decimal value exactly (1, 1.0, 10e-1 and
// 100e-2 are one value), and hashing agrees with that equality.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/parse_error_kind.h"
#include "engine/values/value_hasher.h"

namespace jorvane::engine {

// A number seen without owning it: the integer, or a view of the (trimmed)
// literal text. Equality and hashing work on this form so that numbers read
// straight from input bytes need no allocation.
struct NumberView {
    enum class Kind : uint8_t { Int = 0, BigInt = 1, Decimal = 2 };
    Kind kind = Kind::Int;
    int64_t int_value = 0;
    std::string_view text;  // BigInt and Decimal
};

// A number literal read for a value that is kept: the number it denotes, or
// why it is not a JSON number (-?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?).
struct NumberReading {
    // The number; for a malformed literal, what classify_literal reads.
    NumberView view;
    // InvalidAtomChar naming the first byte that breaks the grammar, or the
    // literal's last byte when it ends where a digit is still owed ("-", "1.",
    // "1e+"); InvalidAtomStart when the first byte cannot begin a number (an
    // empty literal names byte 0).
    std::optional<ParseErrorKind> malformed;
    size_t malformed_at = 0;  // index of the named byte in the literal
};

class JsonNumber {
public:
    enum class Kind : uint8_t { Int = 0, BigInt = 1, Decimal = 2 };

    JsonNumber() = default;
    static JsonNumber from_int(int64_t v) { return JsonNumber(v); }
    // The number an atom literal denotes (see number.cpp for the rules).
    // Callers pass a non-empty literal; an empty one gives an empty Decimal.
    static JsonNumber from_literal(std::string_view raw);
    static JsonNumber from_view(const NumberView& view);

    Kind kind() const { return static_cast<Kind>(repr_.index()); }
    bool is_int() const { return repr_.index() == 0; }
    // Only for Int.
    int64_t int_value() const { return std::get<0>(repr_); }
    // The stored text of BigInt and Decimal (empty for Int).
    std::string_view text() const;

    // The literal text: the integer in decimal for Int, the stored text else.
    std::string to_literal() const;
    NumberView view() const;
    // The nearest 64-bit float: Int converted, text parsed by number::parse_f64
    // (nothing when the text is not wholly a decimal number).
    std::optional<double> to_f64() const;

    friend bool operator==(const JsonNumber& a, const JsonNumber& b);
    uint64_t hash() const;
    void hash_into(ValueHasher& h) const;

private:
    struct BigIntText { std::string text; };
    struct DecimalText { std::string text; };
    explicit JsonNumber(int64_t v) : repr_(v) {}
    explicit JsonNumber(BigIntText t) : repr_(std::move(t)) {}
    explicit JsonNumber(DecimalText t) : repr_(std::move(t)) {}

    std::variant<int64_t, BigIntText, DecimalText> repr_{int64_t{0}};
};

namespace number {

// The non-owning number of a literal: trims ASCII whitespace (space, tab, LF,
// FF, CR) and classifies it. `text` refers into `raw`.
NumberView classify_literal(std::string_view raw);

// Checks a literal against the JSON number grammar and classifies it the way
// classify_literal does, in one pass. Nothing is trimmed: a well-formed
// number holds no whitespace.
NumberReading read_json(std::string_view literal);
// Whether a literal is a JSON number, by the same grammar without reading
// it: the cheap test for text that is only checked (read_json says why not).
inline bool is_json_number(std::string_view literal) {
    const char* p = literal.data();
    const char* const end = p + literal.size();
    auto digits = [&] {
        const char* from = p;
        while (p != end && static_cast<unsigned char>(*p - '0') < 10) ++p;
        return p != from;
    };
    if (p != end && *p == '-') ++p;
    if (p != end && *p == '0') {
        ++p;
    } else if (!digits()) {
        return false;
    }
    if (p != end && *p == '.') {
        ++p;
        if (!digits()) return false;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (!digits()) return false;
    }
    return p == end;
}

// Equality and hashing by exact decimal value.
bool equal(const NumberView& a, const NumberView& b);
void hash_into(ValueHasher& h, const NumberView& n);

// Writes the decimal digits of |v| right-aligned into the end of `buf` and
// returns (negative, digits). Zero gives (false, "0"); INT64_MIN gives
// (true, "9223372036854775808").
struct FormattedInt {
    bool negative;
    std::string_view digits;
};
FormattedInt format_i64(int64_t v, char (&buf)[20]);

// Lossy UTF-8 conversion (each invalid sequence becomes U+FFFD).
std::string lossy_boxed(std::string_view bytes);

// The 64-bit float of a text that is wholly a decimal number (fast path for
// atoms and numeric strings): a leading '+' is accepted, the words nan and
// inf are not, and every byte must be consumed. Overflow gives +-infinity.
std::optional<double> parse_f64(std::string_view text);

}  // namespace number
}  // namespace jorvane::engine
