// Exact decimal comparison of number literals.
//
// Every number is brought to a canonical form (sign, significant digits,
// exponent) whose digits neither start nor end with '0'; zero is (+, none, 0).
// The digits are kept as two views into the literal (the integer part and the
// fraction part, the '.' between them skipped) or into a 20-byte buffer for
// integers, so comparing and hashing allocate nothing. Two Int numbers skip
// the canonical form and compare as integers.
#include "engine/values/number.h"

#include <fast_float/fast_float.h>

#include <cstring>
#include <system_error>

#include "util/text.h"

namespace jorvane::engine {

namespace {

constexpr bool is_ascii_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int64_t sat_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

int64_t sat_sub_len(int64_t a, size_t len) {
    if (len > static_cast<size_t>(INT64_MAX)) return INT64_MIN;
    int64_t r;
    if (__builtin_sub_overflow(a, static_cast<int64_t>(len), &r)) return INT64_MIN;
    return r;
}

// Digits as two consecutive pieces (a then b).
struct Canonical {
    bool negative = false;
    std::string_view a, b;
    int64_t exponent = 0;
    size_t count() const { return a.size() + b.size(); }
};

Canonical canonical_of_int(int64_t v, char (&buf)[20]) {
    Canonical c;
    if (v == 0) return c;
    auto f = number::format_i64(v, buf);
    std::string_view d = f.digits;
    size_t stripped = 0;
    while (!d.empty() && d.back() == '0') {
        d.remove_suffix(1);
        ++stripped;
    }
    c.negative = f.negative;
    c.a = d;
    c.exponent = static_cast<int64_t>(stripped);
    return c;
}

Canonical canonical_of_text(std::string_view t) {
    Canonical zero;
    if (t.empty()) return zero;
    bool negative = false;
    if (t[0] == '+' || t[0] == '-') {
        negative = t[0] == '-';
        t.remove_prefix(1);
        if (t.empty()) return zero;
    }
    std::string_view mantissa = t;
    std::string_view exp_text;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == 'e' || t[i] == 'E') {
            mantissa = t.substr(0, i);
            exp_text = t.substr(i + 1);
            break;
        }
    }
    int64_t exponent = 0;
    if (!exp_text.empty()) {
        bool exp_negative = false;
        if (exp_text[0] == '+' || exp_text[0] == '-') {
            exp_negative = exp_text[0] == '-';
            exp_text.remove_prefix(1);
        }
        int64_t value = 0;
        for (unsigned char ch : exp_text) {
            if (!is_digit(ch)) break;
            int64_t next;
            if (__builtin_mul_overflow(value, int64_t{10}, &next) ||
                __builtin_add_overflow(next, int64_t{ch - '0'}, &next)) {
                value = INT64_MAX;
            } else {
                value = next;
            }
        }
        exponent = exp_negative ? -value : value;
    }
    std::string_view int_part = mantissa;
    std::string_view frac_part;
    if (size_t dot = mantissa.find('.'); dot != std::string_view::npos) {
        int_part = mantissa.substr(0, dot);
        frac_part = mantissa.substr(dot + 1);
        exponent = sat_sub_len(exponent, frac_part.size());
    }
    // Leading zeros.
    while (!int_part.empty() && int_part.front() == '0') int_part.remove_prefix(1);
    if (int_part.empty()) {
        while (!frac_part.empty() && frac_part.front() == '0') frac_part.remove_prefix(1);
    }
    // Trailing zeros.
    size_t stripped = 0;
    while (!frac_part.empty() && frac_part.back() == '0') {
        frac_part.remove_suffix(1);
        ++stripped;
    }
    if (frac_part.empty()) {
        while (!int_part.empty() && int_part.back() == '0') {
            int_part.remove_suffix(1);
            ++stripped;
        }
    }
    if (int_part.empty() && frac_part.empty()) return zero;
    Canonical c;
    c.negative = negative;
    c.a = int_part;
    c.b = frac_part;
    c.exponent = stripped > static_cast<size_t>(INT64_MAX) ? INT64_MAX
                                                            : sat_add(exponent, static_cast<int64_t>(stripped));
    return c;
}

// The integer of a literal that is all digits after an optional '-': Int
// when it fits, else BigInt keeping the text.
NumberView integer_view(std::string_view text, bool negative, uint64_t magnitude, bool overflow) {
    NumberView v;
    const uint64_t limit = negative ? (uint64_t{1} << 63) : static_cast<uint64_t>(INT64_MAX);
    if (overflow || magnitude > limit) {
        v.kind = NumberView::Kind::BigInt;
        v.text = text;
        return v;
    }
    v.kind = NumberView::Kind::Int;
    v.int_value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return v;
}

// One more digit of an integer's magnitude; `overflow` stays set once set.
inline void add_digit(uint64_t& magnitude, bool& overflow, unsigned char c) {
    if (!overflow && (__builtin_mul_overflow(magnitude, uint64_t{10}, &magnitude) ||
                      __builtin_add_overflow(magnitude, static_cast<uint64_t>(c - '0'), &magnitude))) {
        overflow = true;
    }
}

Canonical canonical_of(const NumberView& n, char (&buf)[20]) {
    if (n.kind == NumberView::Kind::Int) return canonical_of_int(n.int_value, buf);
    return canonical_of_text(n.text);
}

bool digits_equal(const Canonical& x, const Canonical& y) {
    if (x.a.size() == y.a.size()) {
        return x.a == y.a && x.b == y.b;
    }
    // Walk both two-piece sequences.
    size_t n = x.count();
    for (size_t i = 0; i < n; ++i) {
        char cx = i < x.a.size() ? x.a[i] : x.b[i - x.a.size()];
        char cy = i < y.a.size() ? y.a[i] : y.b[i - y.a.size()];
        if (cx != cy) return false;
    }
    return true;
}

}  // namespace

namespace number {

NumberView classify_literal(std::string_view raw) {
    while (!raw.empty() && is_ascii_space(static_cast<unsigned char>(raw.front()))) raw.remove_prefix(1);
    while (!raw.empty() && is_ascii_space(static_cast<unsigned char>(raw.back()))) raw.remove_suffix(1);
    NumberView v;
    v.kind = NumberView::Kind::Decimal;
    v.text = raw;
    if (raw.empty()) return v;
    size_t i = raw[0] == '-' ? 1 : 0;
    if (i == raw.size()) return v;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (size_t k = i; k < raw.size(); ++k) {
        unsigned char c = static_cast<unsigned char>(raw[k]);
        if (!is_digit(c)) return v;
        add_digit(magnitude, overflow, c);
    }
    return integer_view(raw, i == 1, magnitude, overflow);
}

NumberReading read_json(std::string_view s) {
    NumberReading r;
    const size_t n = s.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    // The byte at `k` breaks the grammar; at the end, a digit was still owed
    // and the last byte is named.
    auto refuse_at = [&](size_t k) {
        if (k == n) k = n - 1;
        r.view = classify_literal(s);
        r.malformed = ParseErrorKind::invalid_atom_char(byte(k));
        r.malformed_at = k;
        return r;
    };
    const bool negative = n != 0 && s[0] == '-';
    if (n == 0 || (!negative && !is_digit(byte(0)))) {
        r.view = classify_literal(s);
        r.malformed = ParseErrorKind::invalid_atom_start(n == 0 ? 0 : byte(0));
        return r;
    }
    size_t i = negative ? 1 : 0;
    if (i == n || !is_digit(byte(i))) return refuse_at(i);
    // The integer part: a lone '0', or digits that do not start with '0'.
    uint64_t magnitude = 0;
    bool overflow = false;
    if (s[i] == '0') {
        ++i;
    } else {
        for (; i < n && is_digit(byte(i)); ++i) add_digit(magnitude, overflow, byte(i));
    }
    if (i == n) {
        r.view = integer_view(s, negative, magnitude, overflow);
        return r;
    }
    if (s[i] == '.') {
        ++i;
        if (i == n || !is_digit(byte(i))) return refuse_at(i);
        while (i < n && is_digit(byte(i))) ++i;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        if (i == n || !is_digit(byte(i))) return refuse_at(i);
        while (i < n && is_digit(byte(i))) ++i;
    }
    if (i < n) return refuse_at(i);
    r.view.kind = NumberView::Kind::Decimal;
    r.view.text = s;
    return r;
}

bool equal(const NumberView& x, const NumberView& y) {
    if (x.kind == NumberView::Kind::Int && y.kind == NumberView::Kind::Int) return x.int_value == y.int_value;
    char bx[20], by[20];
    Canonical cx = canonical_of(x, bx);
    Canonical cy = canonical_of(y, by);
    return cx.negative == cy.negative && cx.exponent == cy.exponent && cx.count() == cy.count() &&
           digits_equal(cx, cy);
}

void hash_into(ValueHasher& h, const NumberView& n) {
    char buf[20];
    Canonical c = canonical_of(n, buf);
    h.write_u8(c.negative ? 1 : 0);
    h.write_u64(static_cast<uint64_t>(c.exponent));
    h.write_u64(c.count());
    // The digits, packed eight to a word across both pieces, so the hash
    // does not depend on where the decimal point stood.
    uint64_t word = 0;
    unsigned filled = 0;
    for (std::string_view piece : {c.a, c.b}) {
        for (unsigned char ch : piece) {
            word = (word << 8) | ch;
            if (++filled == 8) {
                h.write_u64(word);
                word = 0;
                filled = 0;
            }
        }
    }
    if (filled != 0) h.write_u64(word);
}

FormattedInt format_i64(int64_t v, char (&buf)[20]) {
    const bool negative = v < 0;
    uint64_t m = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    size_t pos = 20;
    do {
        buf[--pos] = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    return {negative, std::string_view(buf + pos, 20 - pos)};
}

std::string lossy_boxed(std::string_view bytes) { return lossy_utf8(bytes); }

std::optional<double> parse_f64(std::string_view text) {
    if (text.empty()) return std::nullopt;
    size_t i = (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (i == text.size()) return std::nullopt;
    unsigned char first = static_cast<unsigned char>(text[i]);
    if (!is_digit(first) && first != '.') return std::nullopt;
    if (text[0] == '+') text.remove_prefix(1);
    double value = 0;
    auto r = fast_float::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ptr != text.data() + text.size()) return std::nullopt;
    if (r.ec != std::errc() && r.ec != std::errc::result_out_of_range) return std::nullopt;
    return value;
}

}  // namespace number

JsonNumber JsonNumber::from_view(const NumberView& v) {
    switch (v.kind) {
        case NumberView::Kind::Int: return JsonNumber(v.int_value);
        case NumberView::Kind::BigInt: return JsonNumber(BigIntText{std::string(v.text)});
        case NumberView::Kind::Decimal: break;
    }
    return JsonNumber(DecimalText{number::lossy_boxed(v.text)});
}

JsonNumber JsonNumber::from_literal(std::string_view raw) { return from_view(number::classify_literal(raw)); }

std::string_view JsonNumber::text() const {
    if (auto* b = std::get_if<BigIntText>(&repr_)) return b->text;
    if (auto* d = std::get_if<DecimalText>(&repr_)) return d->text;
    return {};
}

std::string JsonNumber::to_literal() const {
    if (is_int()) {
        char buf[20];
        auto f = number::format_i64(int_value(), buf);
        std::string out;
        if (f.negative) out += '-';
        out += f.digits;
        return out;
    }
    return std::string(text());
}

NumberView JsonNumber::view() const {
    NumberView v;
    v.kind = static_cast<NumberView::Kind>(repr_.index());
    if (v.kind == NumberView::Kind::Int) {
        v.int_value = int_value();
    } else {
        v.text = text();
    }
    return v;
}

std::optional<double> JsonNumber::to_f64() const {
    if (is_int()) return static_cast<double>(int_value());
    return number::parse_f64(text());
}

bool operator==(const JsonNumber& a, const JsonNumber& b) { return number::equal(a.view(), b.view()); }

void JsonNumber::hash_into(ValueHasher& h) const { number::hash_into(h, view()); }

uint64_t JsonNumber::hash() const {
    ValueHasher h;
    hash_into(h);
    return h.finish();
}

}  // namespace jorvane::engine
