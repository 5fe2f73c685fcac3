// Query text to tree: shapes, refusals and their messages, and robustness
// against hostile input.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "dfa_core/ast.h"
#include "dfa_core/grammar.h"
#include "dfa_core/parser.h"
#include "tree_text.h"

namespace jorvane::dfa_core {
namespace {

using testing::tree_text;

std::string tree_of(std::string_view text) {
    auto q = ast::Query::from_str(text);
    if (!q.ok()) return "error: " + q.error().to_string();
    return tree_text(q.value());
}

std::string error_of(std::string_view text) {
    auto q = ast::Query::from_str(text);
    if (q.ok()) return "parsed: " + tree_text(q.value());
    return q.error().to_string();
}

TEST(QueryTree, Shapes) {
    const std::pair<const char*, const char*> cases[] = {
        // Blank texts (any Unicode whitespace) are the whole-document query;
        // the grammar itself does not skip a no-break space.
        {"", "Sequence([])"},
        {"   ", "Sequence([])"},
        {"\t", "Sequence([])"},
        {"\xC2\xA0", "Sequence([])"},
        {"\xE3\x80\x80", "Sequence([])"},
        {"\n\r \xE2\x80\xA8", "Sequence([])"},
        {"a\xC2\xA0", "Sequence([Field(\"a\xC2\xA0\")])"},
        // Steps and accessors.
        {"a", "Sequence([Field(\"a\")])"},
        {"a.b", "Sequence([Field(\"a\"), Field(\"b\")])"},
        {" a . b ", "Sequence([Field(\"a\"), Field(\"b\")])"},
        {"a[0]", "Sequence([Sequence([Field(\"a\"), Index(0)])])"},
        {"a [0]", "Sequence([Sequence([Field(\"a\"), Index(0)])])"},
        {"a.[0]", "Sequence([Field(\"a\"), Index(0)])"},
        {"a .[0]", "Sequence([Field(\"a\"), Index(0)])"},
        {"[0][1]", "Sequence([Sequence([Index(0), Index(1)])])"},
        {"*[0]", "Sequence([Sequence([FieldWildcard, Index(0)])])"},
        {"users[*].name", "Sequence([Sequence([Field(\"users\"), ArrayWildcard]), Field(\"name\")])"},
        // A modifier wraps the step's last item only.
        {"a[0]?", "Sequence([Sequence([Field(\"a\"), Optional(Index(0))])])"},
        {"a[0] ?", "Sequence([Sequence([Field(\"a\"), Optional(Index(0))])])"},
        {"a[0]*", "Sequence([Sequence([Field(\"a\"), KleeneStar(Index(0))])])"},
        {"x?", "Sequence([Optional(Field(\"x\"))])"},
        {"a*", "Sequence([KleeneStar(Field(\"a\"))])"},
        {"**", "Sequence([KleeneStar(FieldWildcard)])"},
        {"[*]*", "Sequence([KleeneStar(ArrayWildcard)])"},
        {"**.id", "Sequence([KleeneStar(FieldWildcard), Field(\"id\")])"},
        {"(a.b)*", "Sequence([KleeneStar(Sequence([Field(\"a\"), Field(\"b\")]))])"},
        // Alternatives and groups.
        {"a|b", "Disjunction([Sequence([Field(\"a\")]), Sequence([Field(\"b\")])])"},
        {"a|b.c", "Disjunction([Sequence([Field(\"a\")]), Sequence([Field(\"b\"), Field(\"c\")])])"},
        {"(a)", "Sequence([Sequence([Field(\"a\")])])"},
        {"(a|b).c", "Sequence([Disjunction([Sequence([Field(\"a\")]), Sequence([Field(\"b\")])]), Field(\"c\")])"},
        {"(a|b).[0]", "Sequence([Disjunction([Sequence([Field(\"a\")]), Sequence([Field(\"b\")])]), Index(0)])"},
        // Ranges and indices.
        {"[:]", "Sequence([ArrayWildcard])"},
        {"[ * ]", "Sequence([ArrayWildcard])"},
        {"[2:]", "Sequence([RangeFrom(2)])"},
        {"[:5]", "Sequence([Range(0, 5)])"},
        {"[ 3 : 7 ]", "Sequence([Range(3, 7)])"},
        {"[5:2]", "Sequence([Range(5, 2)])"},
        {"[007]", "Sequence([Index(7)])"},
        {"[18446744073709551614]", "Sequence([Index(18446744073709551614)])"},
        {"[18446744073709551615:]", "Sequence([RangeFrom(18446744073709551615)])"},
        // Field names, unquoted (never unescaped) and quoted (decoded).
        {"a:b", "Sequence([Field(\"a:b\")])"},
        {"$x", "Sequence([Field(\"$x\")])"},
        {"0", "Sequence([Field(\"0\")])"},
        {"\xC3\xA9t\xC3\xA9", "Sequence([Field(\"\xC3\xA9t\xC3\xA9\")])"},
        {"\"a b\"", "Sequence([Field(\"a b\")])"},
        {"\"a.b\"", "Sequence([Field(\"a.b\")])"},
        {"\"\"", "Sequence([Field(\"\")])"},
        {"\"\\u00e9\"", "Sequence([Field(\"\xC3\xA9\")])"},
        {"\"\\ud83d\\ude00\"", "Sequence([Field(\"\xF0\x9F\x98\x80\")])"},
        {"\"\\/\"", "Sequence([Field(\"/\")])"},
        {"\"x\\u0041\\u00FF\"", "Sequence([Field(\"xA\xC3\xBF\")])"},
        // Just outside the characters a key only shows escaped.
        {"\"\\u0020\\u007e\\u00a0\"", "Sequence([Field(\" ~\xC2\xA0\")])"},
        {"a~\xC2\xA0", "Sequence([Field(\"a~\xC2\xA0\")])"},
    };
    for (const auto& [text, tree] : cases) EXPECT_EQ(tree_of(text), tree) << text;
}

TEST(QueryTree, Refusals) {
    const std::string regex =
        "Unexpected token: Regex patterns (/pattern/) are not yet supported. Use field wildcards (*) or quoted field "
        "names (\"field\") instead.";
    const std::string unmatchable =
        " contains a double quote, backslash, or control character; such a key is matched against its raw (escaped) "
        "bytes in the document and can never be found by name \xE2\x80\x94 match it structurally instead (a `*` "
        "wildcard, or kvitems on the enclosing object)";
    const std::pair<const char*, std::string> cases[] = {
        {"[18446744073709551615]", "array index 18446744073709551615 is too large to address"},
        {"[000099999999999999999999]", "array index 000099999999999999999999 is too large to address"},
        {"[:18446744073709551616]", "Unexpected token: 18446744073709551616"},
        {"[18446744073709551616:1]", "Unexpected token: 18446744073709551616"},
        {"/x/", regex},
        {"//", regex},
        {"/a\\/b/", regex},
        {"a./x/", regex},
        {"a./b/[0]", regex},
        // The first failure wins: the regex step comes before the bad name.
        {"/x/.\"\\n\"", regex},
        {"a\\b", "field name \"a\\\\b\"" + unmatchable},
        {"\"\\n\"./x/", "field name \"\\n\"" + unmatchable},
        {"\"\\ud83d\"",
         "quoted field \"\\\\ud83d\" contains an unpaired \\uXXXX surrogate escape; it names no code point and can "
         "never match a document key"},
        // Syntax errors: the six-line rendering; the failing line is shown,
        // a tab in it copied into the underline.
        {"a..b", "Unexpected token:  --> 1:3\n  |\n1 | a..b\n  |   ^---\n  |\n  = expected step"},
        {"a b",
         "Unexpected token:  --> 1:3\n  |\n1 | a b\n  |   ^---\n  |\n  = expected EOI, modifier, index, range, "
         "or array_wildcard"},
        {"a.b\n\t.x y",
         "Unexpected token:  --> 2:5\n  |\n2 | \t.x y\n  | \t   ^---\n  |\n  = expected EOI, modifier, index, "
         "range, or array_wildcard"},
        // Columns count characters: two of three bytes each (U+FF58, whose
        // lead byte 0xEF is the last of the three-byte ones).
        {"\xEF\xBD\x98\xEF\xBD\x98]",
         "Unexpected token:  --> 1:3\n  |\n1 | \xEF\xBD\x98\xEF\xBD\x98]\n  |   ^---\n  |\n  = expected EOI, "
         "modifier, index, range, or array_wildcard"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << text;
}

TEST(QueryTree, RefusedNames) {
    // Unpaired surrogate escapes carry the text between the quotes.
    for (const char* inner : {"\\ud83d", "\\ude00", "\\ud83dx", "a\\ud83d\\u0041"}) {
        auto q = ast::Query::from_str("\"" + std::string(inner) + "\"");
        ASSERT_FALSE(q.ok()) << inner;
        EXPECT_EQ(q.error(), QueryParseError::unpaired_surrogate(inner));
    }
    // A quote, a backslash or a control character (C0, DEL and C1), quoted
    // or not, with the edges of each range.
    for (const char* text : {"\"\\n\"", "\"\\t\"", "\"\\u0000\"", "\"\\u001f\"", "\"\\u007f\"", "\"\\u0080\"",
                             "\"\\u0085\"", "\"\\u009F\"", "\"a\tb\"", "\"\\\"\"", "\"\\\\\"", "a\x0c" "b", "a\x1f",
                             "a\x7f", "a\xC2\x80", "a\xC2\x85" "b", "a\xC2\x9F" "b", "\\"}) {
        auto q = ast::Query::from_str(text);
        ASSERT_FALSE(q.ok()) << text;
        EXPECT_EQ(q.error().kind(), QueryParseError::Kind::UnmatchableFieldName) << text;
    }
}

TEST(QueryTree, GroupNestingIsBounded) {
    auto nested = [](size_t depth) {
        return std::string(depth, '(') + "a" + std::string(depth, ')') + "*";
    };
    auto ok = ast::Query::from_str(nested(kMaxGroupDepth));
    ASSERT_TRUE(ok.ok()) << ok.error().to_string();
    EXPECT_EQ(error_of(nested(kMaxGroupDepth + 1)), "Unexpected token: query nests groups more than 256 levels deep");
    EXPECT_EQ(error_of(std::string(100000, '(')), "Unexpected token: query nests groups more than 256 levels deep");
    // The deepest accepted query still compiles further down the line.
    EXPECT_LE(ast::tree_depth(ok.value()), kMaxTreeDepth);
}

TEST(QueryTree, RandomBytesNeverCrash) {
    std::mt19937_64 rng(12345);
    const std::string alphabet = "ab*?.|[]():/\\\"u0129 \t\n\r\xC3\xA9\x80\xFF";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const size_t len = rng() % 24;
        for (size_t i = 0; i < len; ++i) {
            text += (rng() % 4 == 0) ? static_cast<char>(rng() & 0xFF) : alphabet[rng() % alphabet.size()];
        }
        auto q = ast::Query::from_str(text);
        if (!q.ok()) {
            EXPECT_FALSE(q.error().to_string().empty());
        }
    }
}

TEST(Grammar, PairsOfAStep) {
    auto parsed = grammar::QueryMatcher::parse("a [1:] ?");
    ASSERT_TRUE(parsed.ok());
    const grammar::Pair& query = parsed.value();
    ASSERT_EQ(query.inner.size(), 2u);
    EXPECT_EQ(query.inner[1].rule, grammar::Rule::EOI);
    const grammar::Pair& step = query.inner[0].inner[0].inner[0];
    ASSERT_EQ(step.rule, grammar::Rule::step);
    ASSERT_EQ(step.inner.size(), 3u);
    EXPECT_EQ(step.inner[0].rule, grammar::Rule::field);
    EXPECT_EQ(step.inner[0].text, "a");
    EXPECT_TRUE(step.inner[0].inner.empty());
    EXPECT_EQ(step.inner[1].rule, grammar::Rule::range);
    ASSERT_EQ(step.inner[1].inner.size(), 1u);
    EXPECT_EQ(step.inner[1].inner[0].rule, grammar::Rule::range_start);
    EXPECT_EQ(step.inner[1].inner[0].inner[0].text, "1");
    EXPECT_EQ(step.inner[2].rule, grammar::Rule::modifier);
    EXPECT_EQ(step.inner[2].text, "?");
}

TEST(Grammar, ConsistencyChecksOnForeignPairs) {
    grammar::Pair group{grammar::Rule::group, 0, 0, "", {}};
    EXPECT_EQ(parser::parse_disjunction(group).error().to_string(),
              "Unexpected token: Expected disjunction rule, got group");
    EXPECT_EQ(parser::parse_sequence(group).error().to_string(), "Unexpected token: Expected sequence rule, got group");
    EXPECT_EQ(parser::parse_index(group).error().to_string(), "Unexpected token: Expected index rule, got group");
    EXPECT_EQ(parser::parse_range(group).error().to_string(), "Unexpected token: Expected range rule, got group");
    grammar::Pair sequence{grammar::Rule::sequence, 0, 0, "", {group}};
    EXPECT_EQ(parser::parse_sequence(sequence).error().to_string(), "Unexpected token: Expected step rule, got group");
    grammar::Pair empty_step{grammar::Rule::step, 0, 0, "", {}};
    grammar::Pair seq2{grammar::Rule::sequence, 0, 0, "", {empty_step}};
    EXPECT_EQ(parser::parse_sequence(seq2).error(), QueryParseError::unexpected_end());
    grammar::Pair index{grammar::Rule::index, 0, 0, "", {}};
    EXPECT_EQ(parser::parse_index(index).error(), QueryParseError::unexpected_end());
}

}  // namespace
}  // namespace jorvane::dfa_core
