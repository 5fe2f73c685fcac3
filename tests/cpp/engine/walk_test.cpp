// The event walk: matches, the token order a container takes, the structural
// error table, skipping, and the array-index and key transitions.
#include <gtest/gtest.h>

#include "engine_harness.h"
#include "util/text.h"

namespace jorvane::engine::testing {
namespace {

Value num(int64_t v) { return Value::number(JsonNumber::from_int(v)); }
Value str(std::string s) { return Value::string(std::move(s)); }

TEST(Walk, CountsAndCollectsSimplePaths) {
    const std::string doc = R"({"events":[{"user":{"id":1}},{"user":{"id":"x"}},{"other":2}]} {"events":[{"user":{"id":3}}]})";
    Outcome o = run(doc, {{"events[*].user.id", {M::Count}}, {"events[*].user.id", {M::Values}}, {"events[1]", {M::Count}}});
    ASSERT_FALSE(o.failed) << o.message;
    EXPECT_EQ(o.outputs[0].count, 3u);
    EXPECT_EQ(o.outputs[1].values_count, 3u);
    EXPECT_EQ(o.values[1], (std::vector<Value>{num(1), str("x"), num(3)}));
    EXPECT_EQ(o.outputs[2].count, 1u);
}

TEST(Walk, WholeDocumentQueryMatchesEachTopLevelContainer) {
    Outcome o = run(R"({"a":[1,true,null,"s"]},[],{} , [{"k":-2.50}])", {{"", {M::Values}}});
    ASSERT_FALSE(o.failed) << o.message;
    ASSERT_EQ(o.values[0].size(), 4u);
    Value first = Value::object({Member{"a", Value::array({num(1), Value::boolean(true), Value(), str("s")})}});
    EXPECT_EQ(o.values[0][0], first);
    EXPECT_EQ(o.values[0][1], Value::array({}));
    EXPECT_EQ(o.values[0][2], Value::object({}));
    EXPECT_EQ(o.values[0][3],
              Value::array({Value::object({Member{"k", Value::number(JsonNumber::from_literal("-2.5"))}})}));
}

TEST(Walk, OnlyWhatTheWalkEntersOrReadsMustBeStrict) {
    // A skipped container, and an atom no query reads, are not read.
    Outcome o = run(R"({"x":[1 2,tru,"\q",],"n":nope,"y":1})", {{"y", {M::Values}}, {"n", {M::Count}}});
    ASSERT_FALSE(o.failed) << o.message;
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(1)}));
    EXPECT_EQ(o.outputs[1].count, 1u);
    // Top-level values may follow each other with or without a comma.
    o = run(R"({"a":1},{"a":2} {"a":3})", {{"a", {M::Values}}});
    ASSERT_FALSE(o.failed) << o.message;
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(1), num(2), num(3)}));
    // The values before a misplaced token are delivered, none after it.
    o = run(R"([1,2 3,4])", {{"[*]", {M::Values}}});
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.kind, ParseErrorKind::unexpected_token(ParseErrorKind::Expected::CommaOrBracket, '3'));
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(1), num(2)}));
}

TEST(Walk, AtomsLoseTrailingWhitespaceAndIndicesAdvance) {
    Outcome o = run("[{\"a\":1},{\"a\":2} ,[ 10 \t\r\n, 20 ]]", {{"[1].a", {M::Values}}, {"[2][1]", {M::Values}}});
    ASSERT_FALSE(o.failed) << o.message;
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(2)}));
    EXPECT_EQ(o.values[1], (std::vector<Value>{num(20)}));
}

TEST(Walk, RangesAndWildcards) {
    const std::string doc = R"({"x":[0,1,2,3,4,5,6],"y":{"p":1,"q":2}})";
    Outcome o = run(doc, {{"x[2:4]", {M::Values}},
                          {"x[5:]", {M::Values}},
                          {"x[:1]", {M::Values}},
                          {"y.*", {M::Values}},
                          {"*[6]", {M::Values}}});
    ASSERT_FALSE(o.failed) << o.message;
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(2), num(3)}));
    EXPECT_EQ(o.values[1], (std::vector<Value>{num(5), num(6)}));
    EXPECT_EQ(o.values[2], (std::vector<Value>{num(0)}));
    EXPECT_EQ(o.values[3], (std::vector<Value>{num(1), num(2)}));
    EXPECT_EQ(o.values[4], (std::vector<Value>{num(6)}));
}

TEST(Walk, KeysMatchTheirRawBytes) {
    // A key written with an escape matches only a name spelled with the same escape.
    Outcome o = run(R"({"\u0061":1,"a":2})", {{"a", {M::Values}}});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.values[0], (std::vector<Value>{num(2)}));
}

TEST(Walk, OuterCaptureWinsForTheSameQuery) {
    Outcome o = run(R"({"a":{"a":{"a":1}}})", {{"a*", {M::Values}}});
    ASSERT_FALSE(o.failed) << o.message;
    // Nested containers are not captured again, but scalars inside are still delivered.
    // The scalar arrives first, the enclosing document when it closes.
    ASSERT_EQ(o.values[0].size(), 2u);
    EXPECT_EQ(o.values[0][0], num(1));
    EXPECT_TRUE(o.values[0][1].is_object());
}

struct ErrorRow {
    const char* doc;
    ParseErrorKind kind;
    uint64_t offset;
    bool incomplete;
};

ParseErrorKind misplaced(ParseErrorKind::Expected wanted, uint8_t b) { return ParseErrorKind::unexpected_token(wanted, b); }
using E = ParseErrorKind::Expected;

TEST(Walk, StructuralErrorTable) {
    const ErrorRow rows[] = {
        {"[x]", ParseErrorKind::unexpected_structural_byte('x'), 1, false},
        {"{\"a\":1} :", ParseErrorKind::colon_outside_container(), 8, false},
        {"{} 12", ParseErrorKind::atom_outside_container(), 3, false},
        {"{} 12 {}", ParseErrorKind::atom_outside_container(), 3, false},
        {"  \"x\" {}", ParseErrorKind::string_outside_container(), 2, false},
        {"[1,2]]", ParseErrorKind::unmatched_close(), 5, false},
        {"[}", ParseErrorKind::mismatched_close('}'), 1, false},
        {"{]", ParseErrorKind::mismatched_close(']'), 1, false},
        {"[1,2", ParseErrorKind::unclosed_containers(1), 4, true},
        {"[{\"a\":[", ParseErrorKind::unclosed_containers(3), 7, true},
        {"[\"abc", ParseErrorKind::unterminated_string(), 5, true},
        {"{\"a\":\"b", ParseErrorKind::unterminated_string(), 7, true},
        {"12", ParseErrorKind::atom_outside_container(), 0, false},
        {"true ", ParseErrorKind::atom_outside_container(), 0, false},
        // Tokens their container does not take there.
        {"[1 2]", misplaced(E::CommaOrBracket, '2'), 3, false},
        {"{\"a\" 1}", misplaced(E::Colon, '1'), 5, false},
        {"{\"a\"}", misplaced(E::Colon, '}'), 4, false},
        {"{\"a\":1 \"b\":2}", misplaced(E::CommaOrBrace, '"'), 7, false},
        {"{\"a\":1,}", misplaced(E::Key, '}'), 7, false},
        {"{\"a\":1,,\"b\":2}", misplaced(E::Key, ','), 7, false},
        {"{\"a\":}", misplaced(E::Value, '}'), 5, false},
        {"{\"a\"::1}", misplaced(E::Value, ':'), 5, false},
        {"[1,]", misplaced(E::Value, ']'), 3, false},
        {"[1,,2]", misplaced(E::Value, ','), 3, false},
        {"{,}", misplaced(E::KeyOrClose, ','), 1, false},
        {"{1:1}", misplaced(E::KeyOrClose, '1'), 1, false},
        {"{[]:1}", misplaced(E::KeyOrClose, '['), 1, false},
        {"[,1]", misplaced(E::ValueOrClose, ','), 1, false},
        {"[\"a\":1]", misplaced(E::CommaOrBracket, ':'), 4, false},
        {"[true false]", misplaced(E::CommaOrBracket, 'f'), 6, false},
        {"[\"ab\" \"cd\"]", misplaced(E::CommaOrBracket, '"'), 6, false},
        {"[[] []]", misplaced(E::CommaOrBracket, '['), 4, false},
        {"{\"a\":{} \"b\":1}", misplaced(E::CommaOrBrace, '"'), 8, false},
    };
    for (const auto& row : rows) {
        for (auto k : supported_kernels()) {
            RunOptions opt;
            opt.kernel = k;
            Outcome whole = run(row.doc, {{"", {M::Count}}}, opt);
            ASSERT_TRUE(whole.failed) << row.doc;
            EXPECT_EQ(whole.kind, row.kind) << row.doc << ": " << whole.message;
            EXPECT_EQ(whole.offset, row.offset) << row.doc << ": " << whole.message;
            EXPECT_EQ(whole.incomplete, row.incomplete) << row.doc;
            // The same error wherever the input is cut.
            std::string d(row.doc);
            opt.cuts = every_byte(d.size());
            Outcome bytes = run(row.doc, {{"", {M::Count}}}, opt);
            EXPECT_TRUE(same_outcome(whole, bytes)) << row.doc << ": " << describe(bytes);
            for (size_t cut = 1; cut < d.size(); ++cut) {
                opt.cuts = {cut};
                Outcome split = run(row.doc, {{"", {M::Count}}}, opt);
                EXPECT_TRUE(same_outcome(whole, split)) << row.doc << " cut at " << cut << ": " << describe(split);
            }
        }
    }
}

// A source that opens with a UTF-8 byte-order mark is refused at its first
// byte as such, wherever the buffers cut the mark (a part of it may wait for
// the next buffer), in every mode, kernel and walk, kept as text or not. The
// first bytes of a mark cut short by the end or by another byte, and a mark
// anywhere but at the start, are the stray byte they always were. The magic
// of gzip or zstd data is decided the same way, and only adds to the kind
// found at the first byte.
TEST(Walk, AByteOrderMarkIsNamedOnlyWhereTheSourceBegins) {
    const std::string mark = "\xEF\xBB\xBF";
    const std::string gzip = "\x1F\x8B\x08\x00";
    const std::string zstd = "\x28\xB5\x2F\xFD\x00\x58";
    const ParseErrorKind named = ParseErrorKind::byte_order_mark();
    const ParseErrorKind stray = ParseErrorKind::unexpected_structural_byte(0xEF);
    const ParseErrorKind stray_1f = ParseErrorKind::unexpected_structural_byte(0x1F);
    const ParseErrorKind stray_paren = ParseErrorKind::unexpected_structural_byte('(');
    struct Row {
        std::string doc;
        ParseErrorKind kind;
        uint64_t offset;
    };
    const Row rows[] = {
        {mark + R"({"a":[1,2]})" + "\n", named, 0},
        {mark, named, 0},
        {mark + " ", named, 0},
        {mark.substr(0, 2), stray, 0},
        {mark.substr(0, 1), stray, 0},
        {mark.substr(0, 2) + "{}", stray, 0},
        {mark.substr(0, 2) + "\xBE{}", stray, 0},
        {"\xEF" + mark + "{}", stray, 0},
        {"{}" + mark + "{}", stray, 2},
        {"{}\n" + mark, stray, 3},
        {" " + mark + "{}", stray, 1},
        {gzip + R"({"a":[1]})", stray_1f.in_compressed_input(Compressed::Gzip), 0},
        {gzip.substr(0, 2), stray_1f.in_compressed_input(Compressed::Gzip), 0},
        {zstd + "{}", stray_paren.in_compressed_input(Compressed::Zstd), 0},
        {zstd.substr(0, 4), stray_paren.in_compressed_input(Compressed::Zstd), 0},
        {gzip.substr(0, 1), stray_1f, 0},
        {"\x1F\x8C" + gzip, stray_1f, 0},
        {zstd.substr(0, 3) + "{}", stray_paren, 0},
        {"(", stray_paren, 0},
        {"{}\n" + gzip, stray_1f, 3},
        {"[1]" + zstd, stray_paren, 3},
    };
    const std::vector<QuerySpec> specs{{"a[*]", {M::Values}}};
    for (const Row& row : rows) {
        const std::string expected_context = lossy_utf8(row.doc.substr(0, 64));
        const std::vector<std::vector<size_t>> cut_sets = {{}, {1}, {2}, {3}, {1, 2}, {2, 3}, every_byte(row.doc.size())};
        for (auto k : supported_kernels()) {
            for (const ScanMode& mode : every_mode()) {
                for (const auto& cuts : cut_sets) {
                    for (bool raw : {false, true}) {
                        RunOptions opt;
                        opt.kernel = k;
                        opt.mode = mode;
                        opt.cuts = cuts;
                        opt.raw = raw;
                        const Outcome o = run(row.doc, specs, opt);
                        const std::string where = lossy_utf8(row.doc) + ", " + mode_name(mode) + ", " +
                                                  std::to_string(cuts.size()) + " cuts from " +
                                                  std::to_string(cuts.empty() ? 0 : cuts[0]);
                        ASSERT_TRUE(o.failed) << where;
                        EXPECT_FALSE(o.incomplete) << where;
                        EXPECT_EQ(o.kind, row.kind) << where << ": " << o.message;
                        EXPECT_EQ(o.offset, row.offset) << where;
                        EXPECT_EQ(o.context, expected_context) << where;
                    }
                }
            }
        }
    }
    // An engine whose first byte lies inside its source (a stretch of
    // ranges) finds a stray byte there, mark or magic; reset for the next
    // source, it finds the mark again, held over a one-byte buffer.
    Engine e = make_engine(specs, ScanMode::batched(8));
    e.begin_inside_source();
    std::optional<ParseError> inside = e.scan_buffer(mark + "{}").error;
    ASSERT_TRUE(inside);
    EXPECT_EQ(inside->kind, stray);
    e.reset_for_next_source();
    EXPECT_FALSE(e.scan_buffer(mark.substr(0, 1)).error);
    EXPECT_FALSE(e.at_top_level());
    std::optional<ParseError> opening = e.scan_buffer(mark.substr(1) + "{}").error;
    ASSERT_TRUE(opening);
    EXPECT_EQ(opening->kind, named);
    EXPECT_EQ(opening->offset, 0u);
    EXPECT_EQ(opening->near.bytes, mark + "{}");
    EXPECT_EQ(e.finish(true), std::nullopt);
    e.reset_for_next_source();
    e.begin_inside_source();
    std::optional<ParseError> magic_inside = e.scan_buffer(gzip + "{}").error;
    ASSERT_TRUE(magic_inside);
    EXPECT_EQ(magic_inside->kind, stray_1f);
}

TEST(Walk, ErrorsCarryTheirContext) {
    Outcome o = run("[1,2]]", {{"", {M::Count}}});
    EXPECT_FALSE(o.incomplete);
    EXPECT_EQ(o.offset, 5u);
    EXPECT_EQ(o.context, "[1,2]]");
    // End-of-input errors are found after the last buffer: no context.
    Outcome eoi = run("[1,2", {{"", {M::Count}}});
    EXPECT_TRUE(eoi.incomplete);
    EXPECT_EQ(eoi.offset, 4u);
    EXPECT_EQ(eoi.context, "");
}

TEST(Walk, FirstErrorStopsEveryDriver) {
    Outcome o = run(R"([1,2] ] [3])", {{"[*]", {M::Count}}, {"[0]", {M::Values}}});
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.kind, ParseErrorKind::unmatched_close());
    EXPECT_EQ(o.outputs[0].count, 2u);
    EXPECT_EQ(o.values[1], (std::vector<Value>{num(1)}));
}

TEST(Walk, SkipsDeadContainersAcrossChunksAndBuffers) {
    // The skipped container spans several chunks, holds brackets inside
    // strings and a byte the walk would refuse; none of it is looked at.
    std::string junk = "{\"skip\":[";
    for (int i = 0; i < 40; ++i) junk += "{\"s\":\"]]}}[[{{\",\"t\":[x,1,{}]},";
    junk += "0]}";
    const std::string doc = "[" + junk + ",{\"keep\":7}]";
    for (auto mode : {ScanMode::serial(), ScanMode::batched(8), ScanMode::pipelined_always(4)}) {
        for (std::vector<size_t> cuts : {std::vector<size_t>{}, every_byte(doc.size()), std::vector<size_t>{100, 700, 1000}}) {
            RunOptions opt;
            opt.mode = mode;
            opt.cuts = cuts;
            Outcome o = run(doc, {{"[*].keep", {M::Values}}}, opt);
            ASSERT_FALSE(o.failed) << o.message;
            EXPECT_EQ(o.values[0], (std::vector<Value>{num(7)}));
        }
    }
    // Without a skip the refused byte is reported.
    Outcome all = run(doc, {{"(*|[*])*", {M::Count}}});
    EXPECT_TRUE(all.failed);
    EXPECT_EQ(all.kind, ParseErrorKind::unexpected_structural_byte('x'));
}

TEST(Walk, FieldNamesOfEveryLengthAreFound) {
    // Many names of one length, names of 1 to 3 bytes, names past 16 bytes,
    // and keys that differ from a name only in their middle byte or by an escape.
    const std::string doc =
        R"({"aa":1,"ab":2,"ac":3,"ad":4,"ae":5,"af":6,"x":7,"xyz":8,"xaz":9,)"
        R"("a_long_field_name_number_1":10,"a_long_field_name_numbe__1":11,"a_long_field_name_number_2":12,)"
        R"("twelve_bytes":13,"twelve_bytez":14,"\u0061a":15,"eight_b_":16,"":17})";
    const std::vector<std::string> names{"aa", "ab", "ac", "ad", "ae", "af", "x", "xyz", "a_long_field_name_number_1",
                                         "a_long_field_name_number_2", "twelve_bytes", "eight_b_"};
    const std::vector<int64_t> expected{1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 13, 16};
    for (size_t few : {names.size(), size_t{1}}) {
        std::vector<QuerySpec> specs;
        for (size_t q = 0; q < few; ++q) specs.push_back({names[q], {M::Values}});
        for (auto kernel : {classification_kernel::KernelKind::Scalar, classification_kernel::active_kernel()}) {
            RunOptions opt;
            opt.kernel = kernel;
            Outcome o = run(doc, specs, opt);
            ASSERT_FALSE(o.failed) << o.message;
            for (size_t q = 0; q < few; ++q) EXPECT_EQ(o.values[q], (std::vector<Value>{num(expected[q])})) << names[q];
        }
    }
}

TEST(Walk, SkippedContainerStillChecksItsClosingBracket) {
    Outcome o = run(R"({"a":[1,2}})", {{"b", {M::Count}}});
    ASSERT_TRUE(o.failed);
    EXPECT_EQ(o.kind, ParseErrorKind::mismatched_close('}'));
    EXPECT_EQ(o.offset, 9u);
}

TEST(Walk, DeepNestingOfUnmatchedContainersIsFine) {
    std::string doc = std::string(5000, '[') + std::string(5000, ']');
    Outcome o = run(doc, {{"", {M::Count}}, {"[0][0]", {M::Count}}});
    ASSERT_FALSE(o.failed) << o.message;
    EXPECT_EQ(o.outputs[0].count, 1u);
    EXPECT_EQ(o.outputs[1].count, 1u);
}

}  // namespace
}  // namespace jorvane::engine::testing
