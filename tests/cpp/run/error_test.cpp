#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>

#include "engine/compiled_queries.h"
#include "run/jorvane_error.h"
#include "util/text.h"

namespace jorvane {
namespace {

using engine::ParseErrorKind;

// The system error for a structural error at `offset`, found in `buffer`
// (whose first byte is at `buffer_offset`).
JorvaneError parse_error(uint64_t buffer_offset, ParseErrorKind kind, uint64_t offset, std::string_view buffer) {
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size());
    return JorvaneError::parse(engine::make_parse_error(kind, offset, buffer_offset, bytes));
}

TEST(ParseErrorKindText, EveryKind) {
    using K = ParseErrorKind;
    const std::pair<K, const char*> cases[] = {
        {K::unexpected_structural_byte('x'), "expected a structural byte in the index, found 'x' (0x78)"},
        {K::unexpected_structural_byte('\t'), "expected a structural byte in the index, found '\\t' (0x09)"},
        {K::unexpected_structural_byte(0), "expected a structural byte in the index, found '\\u{0}' (0x00)"},
        {K::unexpected_structural_byte('\''), "expected a structural byte in the index, found '\\'' (0x27)"},
        {K::unexpected_structural_byte(0xE9), "expected a structural byte in the index, found '\xC3\xA9' (0xe9)"},
        {K::unexpected_structural_byte(0x85), "expected a structural byte in the index, found '\\u{85}' (0x85)"},
        {K::bad_pending_token('\\'),
         "pending token starts with '\\\\' (0x5c), which begins neither a string nor an atom"},
        {K::invalid_atom_start('z'), "invalid atom starting with 'z' (0x7a)"},
        {K::invalid_atom_char('\x1f'), "invalid atom character '\\u{1f}' (0x1f)"},
        {K::unmatched_close(), "closing bracket with no matching open"},
        {K::mismatched_close(']'), "']' closes a container of the other kind"},
        {K::mismatched_close('}'), "'}' closes a container of the other kind"},
        {K::frame_stack_underflow(), "DFA frame stack underflow"},
        {K::unterminated_string(), "input ended while a string was still open"},
        {K::unclosed_containers(1), "input ended with 1 container still open"},
        {K::unclosed_containers(2), "input ended with 2 containers still open"},
        {K::token_too_large(), "a single token exceeded the 67108864-byte limit"},
        {K::nesting_too_deep(), "a matched value nested past the 1000-container limit"},
        {K::atom_outside_container(), "atom outside any container"},
        {K::colon_outside_container(), "':' outside any container"},
        {K::string_outside_container(), "string outside any container"},
        {K::byte_order_mark(),
         "the input starts with a UTF-8 byte-order mark (0xef 0xbb 0xbf), which JSON text does not allow"},
        // compressed data keeps the kind found at its first byte and says how to read it
        {K::unexpected_structural_byte(0x1F).in_compressed_input(engine::Compressed::Gzip),
         "expected a structural byte in the index, found '\\u{1f}' (0x1f); the input starts like gzip-compressed data "
         "(0x1f 0x8b): read it with Source(..., compression=\"gzip\") or from a path ending in .gz"},
        {K::bad_pending_token('(').in_compressed_input(engine::Compressed::Zstd),
         "pending token starts with '(' (0x28), which begins neither a string nor an atom; the input starts like "
         "zstd-compressed data (0x28 0xb5 0x2f 0xfd): read it with Source(..., compression=\"zstd\") or from a path "
         "ending in .zst"},
    };
    for (const auto& [kind, text] : cases) {
        EXPECT_EQ(kind.to_string(), text);
        const bool end_of_input = kind.tag() == K::Tag::UnterminatedString || kind.tag() == K::Tag::UnclosedContainers;
        EXPECT_EQ(kind.is_end_of_input(), end_of_input) << text;
    }
}

TEST(JorvaneErrorText, EveryVariant) {
    EXPECT_EQ(JorvaneError::compile({dfa_core::QueryParseError::unexpected_end(), "a.\"b"}).to_string(),
              "failed to compile query \"a.\\\"b\": " + dfa_core::QueryParseError::unexpected_end().to_string());
    IoError io = IoError::custom(IoErrorKind::Other, "disk on fire");
    EXPECT_EQ(JorvaneError::read(io, 3).to_string(), "error reading source #3: " + io.to_string());
    EXPECT_EQ(JorvaneError::write(io).to_string(), "error writing output: " + io.to_string());
    EXPECT_EQ(JorvaneError::invalid_input("bad").to_string(), "invalid input: bad");
    EXPECT_EQ(JorvaneError::shape("ragged").to_string(), "data does not fit the requested shape: ragged");

    Incomplete rec;
    rec.context = "[1,\"a\\b\"\n\t\r\x01";
    rec.kind = ParseErrorKind::unclosed_containers(1);
    rec.offset = 4;
    // The advice to recover comes only with something to recover.
    const std::string ended = "input ended at byte 4: input ended with 1 container still open\n"
                              "  near: \"[1,\\\"a\\\\b\\\"\\n\\t\\r\\u{1}\"";
    EXPECT_EQ(JorvaneError::incomplete(rec).to_string(), ended);
    EXPECT_EQ(JorvaneError::incomplete(rec).with_partials({engine::QueryOutput{}}).to_string(),
              ended + "\n  partial results are available via .recover()");
    rec.kind = ParseErrorKind::unmatched_close();
    rec.context = std::string("a\0b", 3);
    EXPECT_EQ(JorvaneError::corrupted(rec).to_string(),
              "malformed JSON at byte 4: closing bracket with no matching open\n  near: \"a\\u{0}b\"");
    EXPECT_EQ(JorvaneError::invalid_input("x").kind(), JorvaneError::Kind::InvalidInput);
    EXPECT_EQ(*JorvaneError::shape("y").message(), "y");
}

// A compile failure names the query that caused it: the first plan whose
// text does not parse, or, when fused queries give too large an automaton,
// the first one that is too large on its own.
TEST(CompileFailure, NamesTheFailingQuery) {
    std::string bomb = "**.a";
    for (int i = 0; i < 19; ++i) bomb += ".*";
    const std::vector<engine::AccumulatorKind> count{engine::AccumulatorKind::Count};
    auto failure = [&](const std::vector<std::string>& texts) {
        std::vector<engine::QueryPlan> plans;
        for (const auto& t : texts) plans.push_back(engine::QueryPlan{std::nullopt, t, count});
        auto compiled = engine::CompiledQueries::compile(plans);
        EXPECT_FALSE(compiled.ok());
        if (compiled.ok()) return std::string();
        return JorvaneError::compile(compiled.error()).to_string();
    };
    EXPECT_EQ(failure({"a", "b[", "c["}),
              "failed to compile query \"b[\": Unexpected token:  --> 1:3\n  |\n1 | b[\n  |   ^---\n  |\n"
              "  = expected number");
    const std::string too_large =
        ": Unexpected token: query needs an automaton of more than 65536 states; simplify it or split it into "
        "several queries";
    EXPECT_EQ(failure({bomb}), "failed to compile query " + debug_quote(bomb) + too_large);
    EXPECT_EQ(failure({"a", "b", bomb}), "failed to compile query " + debug_quote(bomb) + too_large);
}

TEST(ParseError, WholeSmallBufferIsTheContext) {
    JorvaneError e = parse_error(0, ParseErrorKind::unmatched_close(), 5, std::string_view("[1,2]]"));
    ASSERT_EQ(e.kind(), JorvaneError::Kind::Corrupted);
    EXPECT_EQ(e.record()->offset, 5u);
    EXPECT_EQ(e.record()->context, "[1,2]]");
    EXPECT_EQ(e.to_string(), "malformed JSON at byte 5: closing bracket with no matching open\n  near: \"[1,2]]\"");

    JorvaneError end = parse_error(4, ParseErrorKind::unclosed_containers(1), 4, std::string_view());
    ASSERT_EQ(end.kind(), JorvaneError::Kind::Incomplete);
    EXPECT_EQ(end.to_string(), "input ended at byte 4: input ended with 1 container still open\n  near: \"\"");
}

TEST(ParseError, ContextWindowStaysInsideTheBuffer) {
    std::string big(1 << 20, 'a');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    JorvaneError early = parse_error(0, ParseErrorKind::unmatched_close(), 10, big);
    EXPECT_EQ(early.record()->context, big.substr(0, 74));

    // The buffer starts at absolute offset 5000; the error is at byte 100 of it.
    JorvaneError later = parse_error(5000, ParseErrorKind::unmatched_close(), 5100, big);
    EXPECT_EQ(later.record()->context, big.substr(36, 128));
    EXPECT_EQ(later.record()->offset, 5100u);

    JorvaneError at_end = parse_error(0, ParseErrorKind::unmatched_close(), big.size() - 1, big);
    EXPECT_EQ(at_end.record()->context, big.substr(big.size() - 65));

    // Offsets outside the buffer clamp to it (before: position 0; after: empty).
    JorvaneError before = parse_error(100, ParseErrorKind::unmatched_close(), 50, std::string_view("xyz"));
    EXPECT_EQ(before.record()->context, "xyz");
    EXPECT_EQ(before.record()->offset, 50u);
    JorvaneError past = parse_error(0, ParseErrorKind::unmatched_close(), 1000, std::string_view("xyz"));
    EXPECT_EQ(past.record()->context, "");
    JorvaneError huge = parse_error(0, ParseErrorKind::unmatched_close(), UINT64_MAX, std::string_view("xyz"));
    EXPECT_EQ(huge.record()->context, "");
}

TEST(ParseError, CutCharacterShowsReplacement) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::string euro = "\xE2\x82\xAC";
    // The window starts inside the character: its two remaining bytes show as
    // one replacement character each.
    std::string head_cut = std::string(62, 'x') + euro + std::string(200, 'y');
    JorvaneError a = parse_error(0, ParseErrorKind::unmatched_close(), 127, head_cut);
    EXPECT_EQ(a.record()->context, fffd + fffd + std::string(126, 'y'));
    // The window ends inside the character.
    std::string tail_cut = std::string(100, 'x') + euro;
    JorvaneError b = parse_error(0, ParseErrorKind::unmatched_close(), 37, tail_cut);
    EXPECT_EQ(b.record()->context, std::string(100, 'x') + fffd);
}

TEST(JorvaneErrorPartials, AttachOnlyToInputErrors) {
    std::vector<engine::QueryOutput> partials(2);
    partials[0].count = 7;
    JorvaneError e = parse_error(0, ParseErrorKind::unmatched_close(), 1, std::string_view("]]"));
    e = std::move(e).with_partials(partials);
    ASSERT_EQ(e.record()->partials.size(), 2u);
    EXPECT_EQ(e.record()->partials[0].count, 7u);
    e = std::move(e).with_partials({});
    EXPECT_TRUE(e.record()->partials.empty());

    JorvaneError r = JorvaneError::read(IoError::simple(IoErrorKind::UnexpectedEof), 0);
    std::string before = r.to_string();
    r = std::move(r).with_partials(partials);
    EXPECT_EQ(r.kind(), JorvaneError::Kind::Read);
    EXPECT_EQ(r.record(), nullptr);
    EXPECT_EQ(r.to_string(), before);
}

}  // namespace
}  // namespace jorvane
