// UTF-8 validation, lossy decoding and the quoted text form.
//
// Validation follows the well-formed byte sequence table of the Unicode
// standard: a lead byte fixes the sequence length and the allowed range of
// its first continuation byte (which excludes overlong forms, surrogates and
// code points above U+10FFFF); every later continuation byte is 80..BF. When
// a sequence breaks off, the lead byte plus the continuation bytes accepted
// so far form one "maximal subpart", replaced by a single U+FFFD, and
// decoding resumes at the byte that broke it. ASCII runs are skipped eight
// bytes at a time.
//
// The quoted form walks the text once: runs of plain ASCII are copied in
// bulk, other characters are classified with the generated Unicode tables
// (binary search over sorted ranges). Invalid sequences are shown as U+FFFD,
// which is printable and so written as itself.
#include "util/text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <span>

#include "util/unicode_tables.h"

namespace jorvane {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// Checks the sequence at p[0..n) (n >= 1). On success sets len to its length
// and returns true; otherwise sets len to the length of its maximal subpart
// (at least 1) and returns false.
inline bool check_sequence(const unsigned char* p, size_t n, size_t& len) {
    const unsigned b0 = p[0];
    if (b0 < 0x80) {
        len = 1;
        return true;
    }
    size_t need;
    unsigned lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 == 0xE0) {
        need = 2, lo = 0xA0;
    } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
        need = 2;
    } else if (b0 == 0xED) {
        need = 2, hi = 0x9F;
    } else if (b0 == 0xF0) {
        need = 3, lo = 0x90;
    } else if (b0 >= 0xF1 && b0 <= 0xF3) {
        need = 3;
    } else if (b0 == 0xF4) {
        need = 3, hi = 0x8F;
    } else {
        len = 1;  // 80..C1 or F5..FF: never valid anywhere
        return false;
    }
    for (size_t i = 1; i <= need; ++i) {
        if (i >= n || p[i] < lo || p[i] > hi) {
            len = i;
            return false;
        }
        lo = 0x80, hi = 0xBF;
    }
    len = need + 1;
    return true;
}

// Code point of a sequence already known to be valid, of length len.
inline uint32_t decode_valid(const unsigned char* p, size_t len) {
    switch (len) {
        case 1: return p[0];
        case 2: return (uint32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
        case 3: return (uint32_t(p[0] & 0x0F) << 12) | (uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        default:
            return (uint32_t(p[0] & 0x07) << 18) | (uint32_t(p[1] & 0x3F) << 12) |
                   (uint32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    }
}

inline bool word_is_ascii(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return (w & kHighBits) == 0;
}

// Length of the longest valid UTF-8 prefix of p[0..n).
size_t valid_prefix(const unsigned char* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        while (i + 8 <= n && word_is_ascii(p + i)) i += 8;
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        if (!check_sequence(p + i, n - i, len)) return i;
        i += len;
    }
    return n;
}

bool in_ranges(std::span<const unicode::CodePointRange> ranges, uint32_t cp) {
    // The first range whose last code point is >= cp.
    auto it = std::lower_bound(ranges.begin(), ranges.end(), cp,
                               [](const unicode::CodePointRange& r, uint32_t c) { return r.last < c; });
    return it != ranges.end() && it->first <= cp;
}

inline bool needs_unicode_escape(uint32_t cp) {
    return !is_printable(cp) || is_grapheme_extend(cp);
}

void append_unicode_escape(std::string& out, uint32_t cp) {
    char buf[8];
    auto res = std::to_chars(buf, buf + sizeof buf, cp, 16);
    out += "\\u{";
    out.append(buf, res.ptr);
    out += '}';
}

// Appends the escape of a character that has a short or quote escape and
// returns true; returns false for every other character.
inline bool append_short_escape(std::string& out, uint32_t cp, char quote, bool nul_as_unicode) {
    switch (cp) {
        case '\t': out += "\\t"; return true;
        case '\n': out += "\\n"; return true;
        case '\r': out += "\\r"; return true;
        case '\\': out += "\\\\"; return true;
        case 0:
            if (nul_as_unicode) out += "\\u{0}";
            else out += "\\0";
            return true;
        default:
            if (cp == static_cast<unsigned char>(quote)) {
                out += '\\';
                out += quote;
                return true;
            }
            return false;
    }
}

// ASCII bytes copied unchanged inside double quotes.
inline bool plain_in_double_quotes(unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

}  // namespace

bool is_printable(uint32_t cp) {
    if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
    return in_ranges(unicode::printable_ranges(), cp);
}

bool is_grapheme_extend(uint32_t cp) {
    if (cp < 0x300) return false;  // the first extender is U+0300
    return in_ranges(unicode::grapheme_extend_ranges(), cp);
}

bool is_unicode_whitespace(uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t start = 0;
    size_t end = text.size();
    size_t len;
    while (start < end && check_sequence(p + start, end - start, len) &&
           is_unicode_whitespace(decode_valid(p + start, len))) {
        start += len;
    }
    while (end > start) {
        // The last character starts at most three continuation bytes back.
        size_t from = end - 1;
        while (from > start && end - from < 4 && (p[from] & 0xC0) == 0x80) --from;
        if (!check_sequence(p + from, end - from, len) || from + len != end ||
            !is_unicode_whitespace(decode_valid(p + from, len))) {
            break;
        }
        end = from;
    }
    return text.substr(start, end - start);
}

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    return valid_prefix(p, bytes.size()) == bytes.size();
}

std::string lossy_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = valid_prefix(p, n);
    if (i == n) return std::string(bytes);
    std::string out;
    out.reserve(n + n / 2 + 3);
    out.append(bytes.data(), i);
    while (i < n) {
        size_t bad;
        check_sequence(p + i, n - i, bad);
        out += kReplacement;
        i += bad;
        const size_t good = valid_prefix(p + i, n - i);
        out.append(bytes.data() + i, good);
        i += good;
    }
    return out;
}

void append_debug_quote(std::string& out, std::string_view text, bool nul_as_unicode) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    out.reserve(out.size() + n + 2);
    out += '"';
    size_t i = 0;
    while (i < n) {
        size_t run = i;
        while (run < n && plain_in_double_quotes(p[run])) ++run;
        if (run > i) {
            out.append(text.data() + i, run - i);
            i = run;
            if (i >= n) break;
        }
        size_t len;
        if (!check_sequence(p + i, n - i, len)) {
            out += kReplacement;
            i += len;
            continue;
        }
        const uint32_t cp = decode_valid(p + i, len);
        if (append_short_escape(out, cp, '"', nul_as_unicode)) {
        } else if (needs_unicode_escape(cp)) {
            append_unicode_escape(out, cp);
        } else {
            out.append(text.data() + i, len);
        }
        i += len;
    }
    out += '"';
}

std::string debug_quote(std::string_view text, bool nul_as_unicode) {
    std::string out;
    append_debug_quote(out, text, nul_as_unicode);
    return out;
}

std::string debug_char(uint32_t cp, bool nul_as_unicode) {
    std::string out = "'";
    if (append_short_escape(out, cp, '\'', nul_as_unicode)) {
    } else if (cp > 0x10FFFF || needs_unicode_escape(cp)) {
        append_unicode_escape(out, cp);  // surrogates are not printable either
    } else {
        append_utf8(out, cp);
    }
    out += '\'';
    return out;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace jorvane
