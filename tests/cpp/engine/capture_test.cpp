// Captured container values and raw document spans.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

Value num(int64_t v) { return Value::number(JsonNumber::from_int(v)); }

TEST(Capture, RebuildsDuplicateMembersInOrder) {
    Outcome o = run(R"([{"a":[1,"x",null],"a":true,"b":{"c":"\u0041"}}])", {{"[0]", {M::Values}}});
    ASSERT_FALSE(o.failed) << o.message;
    Value expected = Value::object({Member{"a", Value::array({num(1), Value::string("x"), Value()})},
                                    Member{"a", Value::boolean(true)},
                                    Member{"b", Value::object({Member{"c", Value::string("A")}})}});
    ASSERT_EQ(o.values[0].size(), 1u);
    EXPECT_EQ(o.values[0][0], expected);
}

// A document and its queries, scanned with raw spans of the first query or
// not; the spans it kept.
struct Nested {
    Outcome outcome;
    std::vector<std::string> spans;
};
Nested scan_nested(const std::string& doc, const CompiledQueries& queries, bool raw, const RunOptions& opt) {
    Engine e = make_engine(queries, opt.mode);
    e.set_kernel(opt.kernel);
    e.set_fast_walk(opt.fast_walk);
    if (raw) e.enable_raw_capture();
    Nested n;
    n.outcome = run_engine(e, doc, opt.cuts);
    n.spans = e.take_raw_spans();
    return n;
}

TEST(Capture, NestingLimit) {
    const auto arrays = [](size_t n) { return std::string(n, '[') + std::string(n, ']'); };
    const auto objects = [](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += R"({"k":)";
        return s + "1" + std::string(n, '}');
    };
    const uint64_t limit = kMaxCapturedNesting;
    // A value `n` levels down, as the query of `n` steps reaches it: under
    // arrays, and under objects (five bytes a level).
    const auto under_arrays = [](size_t n, const std::string& v) {
        return std::string(n, '[') + v + std::string(n, ']');
    };
    const auto under_objects = [](size_t n, const std::string& v) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += R"({"k":)";
        return s + v + std::string(n, '}');
    };
    const auto steps = [](size_t n, const std::string& step) {
        std::string q;
        for (size_t i = 0; i < n; ++i) q += step;
        return q;
    };
    const std::string down = steps(limit - 1, "[0]");
    const std::string key_down = "k" + steps(limit - 2, ".k");
    struct Case {
        const char* what;
        std::string doc;
        std::vector<QuerySpec> queries;
        bool raw;
        std::optional<uint64_t> refused_at;  // the bracket of the level past the limit
    };
    // Each document holds a value before the deep one, which is kept.
    const Case cases[] = {
        // Kept values count their own nesting: one element deep, a value as
        // deep as the limit is rebuilt and one level more is refused.
        {"element at the limit", "[[1]," + arrays(limit) + "]", {{"[*]", {M::Values}}}, false, std::nullopt},
        {"element past it", "[[1]," + arrays(limit + 1) + "]", {{"[*]", {M::Values}}}, false, 5 + limit},
        {"member past it", R"({"a":[1],"b":)" + objects(limit + 1) + "}", {{"*", {M::Values, M::Count}}}, false,
         13 + 5 * limit},
        // The opening brackets of an input that never closes them.
        {"open brackets", "[1] " + std::string(3 * limit, '['), {{"", {M::Values}}}, false, 4 + limit},
        // A value kept as text, whose inner containers the walk skips.
        {"text at the limit", "[1]\n" + arrays(limit), {{"", {M::Count}}}, true, std::nullopt},
        {"text past it", "[1]\n" + arrays(limit + 1), {{"", {M::Count}}}, true, 4 + limit},
        {"text of objects past it", "[1]\n" + objects(limit + 1), {{"", {M::Count}}}, true, 4 + 5 * limit},
        {"text of an element past it", "[[1]," + arrays(limit + 1) + "]", {{"[*]", {M::Count}}}, true, 5 + limit},
        // A capture that opens at the limit counts its own nesting from its
        // bracket on, past the walk's: its level past the limit is refused,
        // kept or kept as text, under arrays or objects.
        {"deep element at the limit", under_arrays(limit - 1, "[1]") + under_arrays(limit - 1, arrays(limit)),
         {{down, {M::Values}}}, false, std::nullopt},
        {"deep element past it", under_arrays(limit - 1, "[1]") + under_arrays(limit - 1, arrays(limit + 1)),
         {{down, {M::Values}}}, false, 2 * (limit - 1) + 3 + (limit - 1) + limit},
        {"deep text past it", under_arrays(limit - 1, "[1]") + "\n" + under_arrays(limit - 1, arrays(limit + 1)),
         {{down, {M::Count}}}, true, 2 * (limit - 1) + 4 + (limit - 1) + limit},
        {"deep member past it", under_objects(limit - 1, "[1]") + under_objects(limit - 1, objects(limit + 1)),
         {{key_down, {M::Values}}}, false, 6 * (limit - 1) + 3 + 5 * (limit - 1) + 5 * limit},
        // One level further down, the capture would open past the walk's
        // limit: its own bracket is refused.
        {"capture opening past the limit", arrays(limit + 1), {{steps(limit, "[0]"), {M::Count}}}, false, limit},
        // A value only counted is not walked inside: no limit applies.
        {"counted", "[[1]," + arrays(3 * limit) + "]", {{"[1]", {M::Count}}}, false, std::nullopt},
        // Where every level may match, the walk itself goes no deeper,
        // counted or kept, captured or not.
        {"every level counted", "[[1]," + arrays(limit + 1) + "]", {{"[*]*", {M::Count}}}, false, 4 + limit},
        {"no match at any level", objects(limit + 1), {{"**.x", {M::Count}}}, false, 5 * limit},
        {"deep under a live path", R"({"a":{"k":[1]},"b":)" + objects(2 * limit) + "}",
         {{"**.k", {M::Values}}, {"**.x", {M::Count}}}, false, 24 + 5 * limit},
    };
    for (const Case& c : cases) {
        const CompiledQueries queries = compile_specs(c.queries);
        const Nested reference = scan_nested(c.doc, queries, c.raw, {});
        const Outcome& o = reference.outcome;
        ASSERT_EQ(o.failed, c.refused_at.has_value()) << c.what << ": " << o.message;
        if (c.refused_at) {
            EXPECT_EQ(o.kind, ParseErrorKind::nesting_too_deep()) << c.what << ": " << o.message;
            EXPECT_FALSE(o.incomplete) << c.what;
            EXPECT_EQ(o.offset, *c.refused_at) << c.what;
        }
        if (c.raw) {
            // The first value's text, and the deep one's when it is kept.
            ASSERT_FALSE(reference.spans.empty()) << c.what;
            EXPECT_EQ(reference.spans.front(), "[1]") << c.what;
            EXPECT_EQ(reference.spans.size(), c.refused_at ? 1u : 2u) << c.what;
        } else if (c.queries[0].kinds[0] == M::Values) {
            ASSERT_FALSE(o.values[0].empty()) << c.what;
            EXPECT_EQ(o.values[0].size(), c.refused_at ? 1u : 2u) << c.what;
            if (!c.refused_at) {
                EXPECT_TRUE(o.values[0][1].is_array()) << c.what;
            }
        }
        // The same in every buffer cut, mode, kernel and walk (run compares
        // the fast walk with the general one): cuts at the refused bracket,
        // and cuts that end buffers early in a run of brackets and just
        // before the bracket.
        const uint64_t at = c.refused_at.value_or(c.doc.size() / 2);
        const std::vector<size_t> cut_sets[] = {{}, {at, at + 1}, {1, 64, 65, at - 63, at - 1}};
        for (auto k : supported_kernels()) {
            for (ScanMode mode : every_mode()) {
                for (const auto& cuts : cut_sets) {
                    RunOptions opt;
                    opt.kernel = k;
                    opt.mode = mode;
                    opt.cuts = cuts;
                    for (bool fast : {true, false}) {
                        opt.fast_walk = fast;
                        const Nested other = scan_nested(c.doc, queries, c.raw, opt);
                        ASSERT_TRUE(same_outcome(o, other.outcome))
                            << c.what << ", mode " << mode_name(mode) << ", first cut "
                            << (cuts.empty() ? 0 : cuts[0]) << ": " << describe(other.outcome);
                        ASSERT_EQ(reference.spans, other.spans) << c.what << ", mode " << mode_name(mode);
                    }
                }
            }
        }
    }
}

TEST(Capture, MissingValuesFailTheScanWhereTheyAreMissed) {
    // A member without a value, a missing comma, a key in an array: the
    // captures before are delivered, the one holding it is not.
    const std::pair<const char*, uint64_t> docs[] = {
        {R"([{"a":1},{"a"}])", 13}, {R"([{"a":1},{"a":}])", 14}, {R"([{"a":1},{"a":1 2}])", 16}, {R"([{"a":1},["k":1]])", 13}};
    for (const auto& [doc, offset] : docs) {
        Outcome o = run(doc, {{"[*]", {M::Values}}});
        ASSERT_TRUE(o.failed) << doc;
        EXPECT_EQ(o.kind.tag(), ParseErrorKind::Tag::UnexpectedToken) << doc << ": " << o.message;
        EXPECT_EQ(o.offset, offset) << doc << ": " << o.message;
        EXPECT_EQ(o.values[0], (std::vector<Value>{Value::object({Member{"a", Value::number(JsonNumber::from_int(1))}})}))
            << doc;
    }
}

TEST(Capture, CountingAContainerQueryIsCheap) {
    Outcome o = run(R"({"a":{"b":[1,2,3]},"c":[{}]})", {{"a", {M::Count, M::Types}}, {"c[0]", {M::Exists}}});
    ASSERT_FALSE(o.failed);
    EXPECT_EQ(o.outputs[0].count, 1u);
    ASSERT_TRUE(o.outputs[0].types);
    EXPECT_TRUE(o.outputs[0].types->contains(JsonType::Object));
    EXPECT_EQ(o.outputs[1].exists(), kExistsTrue);
}

std::vector<std::string> raw_run(const std::string& doc, const std::string& query, std::vector<size_t> cuts) {
    Engine e = make_engine({{query, {M::Values}}}, ScanMode::serial());
    e.enable_raw_capture();
    std::vector<std::string> spans;
    size_t prev = 0;
    cuts.push_back(doc.size());
    for (size_t c : cuts) {
        std::string buffer = doc.substr(prev, c - prev);
        e.scan_buffer(std::string_view(buffer));
        for (auto& s : e.take_raw_spans()) spans.push_back(std::move(s));
        prev = c;
    }
    EXPECT_TRUE(!e.finish(true));
    return spans;
}

TEST(RawSpans, KeepTheDocumentText) {
    const std::string doc = R"({"r":[1,"tw\"o",{"x":"\u0041"}]} {"r":[ true ]})";
    EXPECT_EQ(raw_run(doc, "r[*]", {}), (std::vector<std::string>{"1", R"("tw\"o")", R"({"x":"\u0041"})", "true"}));
    EXPECT_EQ(raw_run(doc, "r", {}), (std::vector<std::string>{R"([1,"tw\"o",{"x":"\u0041"}])", "[ true ]"}));
    EXPECT_EQ(raw_run(doc, "", {}), (std::vector<std::string>{R"({"r":[1,"tw\"o",{"x":"\u0041"}]})", R"({"r":[ true ]})"}));
}

TEST(RawSpans, AcrossFourBuffers) {
    const std::string doc = R"([0,{"long":"abcdefghij","n":[1,2,3]},9])";
    // The span opens in the first buffer and closes in the fourth.
    auto spans = raw_run(doc, "[1]", {6, 18, 25, 34});
    EXPECT_EQ(spans, (std::vector<std::string>{R"({"long":"abcdefghij","n":[1,2,3]})"}));
    // Every single-byte cut too.
    EXPECT_EQ(raw_run(doc, "[1]", every_byte(doc.size())), spans);
    // An empty buffer in the middle changes nothing.
    Engine e = make_engine({{"[1]", {M::Values}}}, ScanMode::batched(8));
    e.enable_raw_capture();
    e.scan_buffer(std::string_view(doc).substr(0, 10));
    e.scan_buffer(std::string_view());
    e.scan_buffer(std::string_view(doc).substr(10));
    EXPECT_EQ(e.take_raw_spans(), spans);
}

// A value kept as text is skipped, its text checked where the walk would
// read it: each fault is named with the kind and offset the walk gives when
// it builds the same value, wherever the fault falls in a chunk, in a chunk
// read from its masks or (with a backslash) position by position, in every
// buffer cut, mode, kernel and walk.
TEST(RawSpans, KeptTextFailsWhereTheWalkedValueFails) {
    using E = ParseErrorKind::Expected;
    using K = ParseErrorKind;
    struct Case {
        const char* what;
        std::string before;  // the row up to the faulty token
        std::string token;   // the faulty token, after white space the test moves it with
        std::string after;   // the rest of the row
        size_t at;           // the byte named, in `token`
        ParseErrorKind kind;
    };
    const Case cases[] = {
        {"missing colon", R"({"a":{"b")", "1", "}}", 0, K::unexpected_token(E::Colon, '1')},
        {"missing colon before a string", R"({"a":[{"b")", R"("c")", "}]}", 0, K::unexpected_token(E::Colon, '"')},
        {"missing comma", R"({"a":[1)", "2", "]}", 0, K::unexpected_token(E::CommaOrBracket, '2')},
        {"missing comma between members", R"({"a":{"b":1)", R"("c":2)", "}}", 0,
         K::unexpected_token(E::CommaOrBrace, '"')},
        {"missing comma after a container", R"({"a":[[1])", "[2]", "]}", 0,
         K::unexpected_token(E::CommaOrBracket, '[')},
        {"bad escape", R"({"a":["x)", R"(\qy")", "]}", 1, K::invalid_escape('q')},
        {"bad escape in a key", R"({"a":{"b)", R"(\x":1)", "}}", 1, K::invalid_escape('x')},
        {"bad unicode escape", R"({"a":["x)", R"(\u12G4")", "]}", 4, K::invalid_escape('G')},
        {"unicode escape cut short by the quote", R"({"a":["x)", R"(\u12")", "]}", 4, K::invalid_escape('"')},
        {"leading zero", R"({"a":[1,)", "01", "]}", 1, K::invalid_atom_char('1')},
        {"leading zero after a sign", R"({"a":{"b":)", "-00", "}}", 2, K::invalid_atom_char('0')},
        {"two bad escapes in one string", R"({"a":["x)", R"(\q\x")", "]}", 1, K::invalid_escape('q')},
        {"misspelt literal", R"({"a":[1,)", "nulL", "]}", 3, K::invalid_atom_char('L')},
        {"two faults in one number", R"({"a":[)", "01.e", "]}", 1, K::invalid_atom_char('1')},
        // Faults of several tokens in one chunk: the first in the text.
        {"a number's fault before a string's", R"({"a":[)", R"(01,"x\q")", "]}", 1, K::invalid_atom_char('1')},
        {"a number's fault before a literal's", R"({"a":[)", "01,tru", "]}", 1, K::invalid_atom_char('1')},
        // A token both out of place and malformed: the place is its first fault.
        {"missing comma before a malformed number", R"({"a":[1)", "-", "]}", 0,
         K::unexpected_token(E::CommaOrBracket, '-')},
        {"doubled comma", R"({"a":[1,)", ",2", "]}", 0, K::unexpected_token(E::Value, ',')},
        {"doubled colon", R"({"a":{"b":)", ":1", "}}", 0, K::unexpected_token(E::Value, ':')},
    };
    const CompiledQueries kept = compile_specs({{"", {M::Count}}});
    const std::vector<ScanMode> modes = {ScanMode::serial(), ScanMode::batched(8), ScanMode::pipelined_always(4)};
    for (const Case& c : cases) {
        const std::string head = "[1]\n" + c.before;
        // White space before the token puts the byte named last in a chunk,
        // first in the next and second in it, or leaves it where it is. A
        // backslash in the row after the faulty one (most often in the same
        // chunk) has that chunk read position by position.
        for (size_t named : {size_t{0}, size_t{63}, size_t{64}, size_t{65}}) {
            const size_t pad = named == 0 ? 1 : (named - (head.size() + c.at) % 64 + 64) % 64;
            for (const char* next : {"[0]", R"(["\n"])"}) {
                const std::string doc = head + std::string(pad, ' ') + c.token + c.after + "\n" + next;
                const uint64_t at = head.size() + pad + c.at;
                const std::string label = std::string(c.what) + ", byte " + std::to_string(at) + " before " + next;
                const Outcome walked = run(doc, {{"", {M::Values}}});
                ASSERT_TRUE(walked.failed) << label;
                EXPECT_EQ(walked.kind, c.kind) << label << ": " << walked.message;
                EXPECT_EQ(walked.offset, at) << label << ": " << walked.message;
                const std::vector<size_t> cut_sets[] = {{}, {at}, {at + 1}, every_byte(doc.size())};
                for (auto k : supported_kernels()) {
                    for (const ScanMode& mode : modes) {
                        for (const auto& cuts : cut_sets) {
                            for (bool fast : {true, false}) {
                                RunOptions opt;
                                opt.kernel = k;
                                opt.mode = mode;
                                opt.cuts = cuts;
                                opt.fast_walk = fast;
                                const Nested got = scan_nested(doc, kept, true, opt);
                                const std::string where = label + ", mode " + mode_name(mode) + ", " +
                                                          std::to_string(cuts.size()) + " cuts";
                                ASSERT_TRUE(got.outcome.failed) << where;
                                EXPECT_FALSE(got.outcome.incomplete) << where;
                                EXPECT_EQ(got.outcome.kind, walked.kind) << where << ": " << got.outcome.message;
                                EXPECT_EQ(got.outcome.offset, walked.offset) << where << ": " << got.outcome.message;
                                EXPECT_EQ(got.spans, std::vector<std::string>{"[1]"}) << where;
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(RawSpans, LimitedQueryDropsLaterSpans) {
    Engine e = make_engine({{"[*]", {M::Values}, 1}}, ScanMode::serial());
    e.enable_raw_capture();
    e.scan_buffer(std::string_view(R"([[1],[2],3])"));
    EXPECT_EQ(e.take_raw_spans(), (std::vector<std::string>{"[1]"}));
}

}  // namespace
}  // namespace jorvane::engine::testing
