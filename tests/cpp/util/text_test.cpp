#include "util/text.h"

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <string_view>

#include "util/unicode_tables.h"

namespace jorvane {
namespace {

using namespace std::string_literals;

struct QuoteCase {
    std::string in;
    std::string out;
};

TEST(DebugQuote, TrickyStrings) {
    const QuoteCase cases[] = {
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"say \"hi\" it's", R"("say \"hi\" it's")"},
        {"back\\slash", R"("back\\slash")"},
        {"\t\n\r", R"("\t\n\r")"},
        {"a\0b"s, R"("a\0b")"},
        {"\x01\x1b\x1f", R"("\u{1}\u{1b}\u{1f}")"},
        {"\x7f", R"("\u{7f}")"},                     // DEL
        {"\u0085", R"("\u{85}")"},                   // NEL, a C1 control
        {"a\u00a0b", R"("a\u{a0}b")"},               // no-break space (Zs)
        {"soft\u00adhyphen", R"("soft\u{ad}hyphen")"},  // Cf
        {"caf\u00e9", "\"caf\u00e9\""},
        {"\u0301", R"("\u{301}")"},                  // combining acute alone
        {"e\u0301", R"("e\u{301}")"},                // ... and after a letter
        {"\u200b\u200c\u200d", R"("\u{200b}\u{200c}\u{200d}")"},
        {"\ufeffx", R"("\u{feff}x")"},
        {"\u2028\u2029", R"("\u{2028}\u{2029}")"},
        {"\u3000", R"("\u{3000}")"},                 // ideographic space
        {"\ufe0f", R"("\u{fe0f}")"},                 // variation selector
        {"\U0001F600", "\"\U0001F600\""},
        {"\U000E0001", R"("\u{e0001}")"},            // language tag (Cf)
        {"\u0378", R"("\u{378}")"},                  // unassigned
        {"\U0010FFFF\uffff", R"("\u{10ffff}\u{ffff}")"},  // noncharacters
        {"\ue000", R"("\u{e000}")"},                 // private use
        {"\U000F0000", R"("\u{f0000}")"},            // supplementary private use
        {"\u4e2d\u6587", "\"\u4e2d\u6587\""},
        {"\ufffd", "\"\ufffd\""},
        {"a\xff" "b", "\"a\ufffdb\""},               // invalid UTF-8 shown as U+FFFD
        {"\xe2\x82", "\"\ufffd\""},
        {"\xed\xa0\x80", "\"\ufffd\ufffd\ufffd\""},
        // The edges of the escaped classes: C0, DEL, C1, Zs, Cf, combining
        // marks (from U+0300; spacing ones that extend a grapheme too),
        // noncharacters; the neighbours outside them are written as themselves.
        {"~\u009f\u00a1", "\"~\\u{9f}\u00a1\""},
        {"\u00ac\u00ae", "\"\u00ac\u00ae\""},
        {"\u02ff\u0300\u036f\u0370", "\"\u02ff\\u{300}\\u{36f}\u0370\""},
        {"\u09be\u09bf", "\"\\u{9be}\u09bf\""},
        {"\u200a\u2010\u200f", "\"\\u{200a}\u2010\\u{200f}\""},
        {"\ufffc\ufffe", "\"\ufffc\\u{fffe}\""},
        {"\U000E01EF\U000E01F0", R"("\u{e01ef}\u{e01f0}")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(debug_quote(c.in), c.out) << "input bytes: " << c.in;
    }
}

TEST(DebugQuote, NulStylesAndAppend) {
    const std::string with_nul("x\0y\n"s);
    EXPECT_EQ(debug_quote(with_nul), R"("x\0y\n")");
    EXPECT_EQ(debug_quote(with_nul, true), R"("x\u{0}y\n")");
    // The structural error context form: controls other than \t \n \r as \u{h}.
    EXPECT_EQ(debug_quote("[1,\x01\0]\t"s, true), R"("[1,\u{1}\u{0}]\t")");

    std::string out = "near: ";
    append_debug_quote(out, "\"q\"");
    append_debug_quote(out, ""s + '\0', true);
    EXPECT_EQ(out, R"(near: "\"q\"""\u{0}")");
}

TEST(DebugChar, BytesAndCodePoints) {
    EXPECT_EQ(debug_char('x'), "'x'");
    EXPECT_EQ(debug_char('\t'), R"('\t')");
    EXPECT_EQ(debug_char('\''), R"('\'')");
    EXPECT_EQ(debug_char('"'), R"('"')");
    EXPECT_EQ(debug_char('\\'), R"('\\')");
    EXPECT_EQ(debug_char('}'), "'}'");
    EXPECT_EQ(debug_char(0), R"('\0')");
    EXPECT_EQ(debug_char(0, true), R"('\u{0}')");
    EXPECT_EQ(debug_char(0x7f), R"('\u{7f}')");
    // Bytes above 0x7F taken as the code point of the same number.
    EXPECT_EQ(debug_char(0x85), R"('\u{85}')");
    EXPECT_EQ(debug_char(0xa0), R"('\u{a0}')");
    EXPECT_EQ(debug_char(0xad), R"('\u{ad}')");
    EXPECT_EQ(debug_char(0xc3), "'\u00c3'");
    EXPECT_EQ(debug_char(0xff), "'\u00ff'");
    EXPECT_EQ(debug_char(0x301), R"('\u{301}')");
    EXPECT_EQ(debug_char(0x1F600), "'\U0001F600'");
    EXPECT_EQ(debug_char(0xE0001), R"('\u{e0001}')");
    // Not scalar values.
    EXPECT_EQ(debug_char(0xD800), R"('\u{d800}')");
    EXPECT_EQ(debug_char(0x110000), R"('\u{110000}')");
}

TEST(TrimUnicodeWhitespace, WhiteSpacePropertyOnly) {
    const QuoteCase cases[] = {
        {" \t\n\r\x0b\x0c" "1 2" "\xC2\x85\xC2\xA0\xE3\x80\x80\xE2\x80\xA8", "1 2"},
        {"\xE1\x9A\x80" "x" "\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F", "x"},
        {"\xE2\x80\xA9", ""},
        // Not White_Space: zero-width space, information separators, BOM.
        {"\xE2\x80\x8B" "x", "\xE2\x80\x8B" "x"},
        {"\x1c" "1\x1f", "\x1c" "1\x1f"},
        {"\xEF\xBB\xBF" " 1", "\xEF\xBB\xBF" " 1"},
        // Trimming stops at an invalid sequence.
        {" \xff ", "\xff"},
        {" \xE3\x80", "\xE3\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(trim_unicode_whitespace(c.in), c.out) << c.in;
}

TEST(UnicodeTables, SortedDisjointAndInRange) {
    for (auto table : {unicode::printable_ranges(), unicode::grapheme_extend_ranges()}) {
        ASSERT_FALSE(table.empty());
        for (size_t i = 0; i < table.size(); ++i) {
            EXPECT_LE(table[i].first, table[i].last);
            EXPECT_LE(table[i].last, 0x10FFFFu);
            // Adjacent ranges would have been merged by the generator.
            if (i > 0) {
                EXPECT_GT(table[i].first, table[i - 1].last + 1);
            }
        }
    }
}

TEST(LossyUtf8, MaximalSubparts) {
    const QuoteCase cases[] = {
        {"", ""},
        {"ascii only, longer than a word", "ascii only, longer than a word"},
        {"\xc3", "\xef\xbf\xbd"},
        {"a\xe2\x82", "a\xef\xbf\xbd"},
        {"\xe2\x82" "A", "\xef\xbf\xbd" "A"},
        {"\xf0\x9f\x98", "\xef\xbf\xbd"},
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xc1\xbf", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xe0\x9f\xbf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xf0\x80\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xf0\x8f\xbf\xbf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xed\xbf\xbf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xed\xa0\x80\xed\xb0\x80",
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xf5\x80", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xfe\xff", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"a\xf1\x80\x80\xe1\x80\xc2" "b\x80" "c\x80\xbf" "d",
         "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd" "b\xef\xbf\xbd" "c\xef\xbf\xbd\xef\xbf\xbd" "d"},
        {"0123456789abcdef\xe2\x82\xac" "0123456789\xff",
         "0123456789abcdef\xe2\x82\xac" "0123456789\xef\xbf\xbd"},
        {"\xe2\x82\xe2\x82\xac", "\xef\xbf\xbd\xe2\x82\xac"},
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        {"\xed\x9f\xbf\xee\x80\x80", "\xed\x9f\xbf\xee\x80\x80"},
        {"x\0y"s, "x\0y"s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lossy_utf8(c.in), c.out) << "input bytes: " << c.in;
        EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out) << "input bytes: " << c.in;
    }
}

// Validity by a different route: decode any lead/continuation pattern, then
// reject non-shortest forms, surrogates and values past U+10FFFF.
bool reference_valid(const unsigned char* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        const unsigned b = p[i];
        size_t len;
        uint32_t cp;
        if (b < 0x80) len = 1, cp = b;
        else if ((b & 0xE0) == 0xC0) len = 2, cp = b & 0x1F;
        else if ((b & 0xF0) == 0xE0) len = 3, cp = b & 0x0F;
        else if ((b & 0xF8) == 0xF0) len = 4, cp = b & 0x07;
        else return false;
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

TEST(Utf8Validation, AgreesWithReferenceOnAllShortStrings) {
    unsigned char buf[4];
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            buf[0] = a, buf[1] = b;
            std::string_view two(reinterpret_cast<char*>(buf), 2);
            ASSERT_EQ(is_valid_utf8(two), reference_valid(buf, 2)) << a << ' ' << b;
            for (unsigned c = 0; c < 256; ++c) {
                buf[2] = c;
                std::string_view three(reinterpret_cast<char*>(buf), 3);
                ASSERT_EQ(is_valid_utf8(three), reference_valid(buf, 3)) << a << ' ' << b << ' ' << c;
            }
        }
    }
    // Four-byte strings: every lead from E0 up, continuation bytes at the
    // edges of the ranges that matter.
    const unsigned char edges[] = {0x00, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xff};
    for (unsigned a = 0xE0; a < 256; ++a)
        for (unsigned char b : edges)
            for (unsigned char c : edges)
                for (unsigned char d : edges) {
                    buf[0] = a, buf[1] = b, buf[2] = c, buf[3] = d;
                    std::string_view four(reinterpret_cast<char*>(buf), 4);
                    ASSERT_EQ(is_valid_utf8(four), reference_valid(buf, 4));
                }
}

TEST(LossyUtf8, OutputIsValidAndKeepsValidRuns) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string s(rng() % 40, '\0');
        for (auto& ch : s) {
            // Mostly ASCII so that the word-at-a-time path runs too.
            const unsigned r = rng() % 100;
            ch = static_cast<char>(r < 60 ? 'a' + rng() % 26 : 0x80 + rng() % 128);
        }
        const std::string out = lossy_utf8(s);
        ASSERT_TRUE(is_valid_utf8(out));
        if (is_valid_utf8(s)) {
            ASSERT_EQ(out, s);
        }
        // Quoting never produces invalid UTF-8 either.
        ASSERT_TRUE(is_valid_utf8(debug_quote(s)));
    }
}

}  // namespace
}  // namespace jorvane
