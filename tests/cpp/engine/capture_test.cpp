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

TEST(Capture, NestingLimit) {
    auto nested = [](int n) { return "[" + std::string(n, '[') + std::string(n, ']') + "]"; };
    Outcome ok = run(nested(1000), {{"[0]", {M::Values}}});
    ASSERT_FALSE(ok.failed) << ok.message;
    ASSERT_EQ(ok.values[0].size(), 1u);
    EXPECT_TRUE(ok.values[0][0].is_array());

    const std::string deep = nested(1001);
    Outcome bad = run(deep, {{"[0]", {M::Values}}});
    ASSERT_TRUE(bad.failed);
    EXPECT_EQ(bad.kind, ParseErrorKind::nesting_too_deep());
    EXPECT_EQ(bad.offset, deep.size() - 2);  // the closing bracket of the captured value
    ASSERT_EQ(bad.values[0].size(), 1u);
    EXPECT_TRUE(bad.values[0][0].is_null());
    // A counting query does not record, so no limit applies to it.
    Outcome counted = run(deep, {{"[0]", {M::Count}}});
    EXPECT_FALSE(counted.failed);
    EXPECT_EQ(counted.outputs[0].count, 1u);
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

TEST(RawSpans, LimitedQueryDropsLaterSpans) {
    Engine e = make_engine({{"[*]", {M::Values}, 1}}, ScanMode::serial());
    e.enable_raw_capture();
    e.scan_buffer(std::string_view(R"([[1],[2],3])"));
    EXPECT_EQ(e.take_raw_spans(), (std::vector<std::string>{"[1]"}));
}

}  // namespace
}  // namespace jorvane::engine::testing
