// Tokens cut by buffer ends: completion in later buffers, the carried-token
// limit, and buffers too short for a chunk.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

Value num(int64_t v) { return Value::number(JsonNumber::from_int(v)); }

TEST(CutTokens, StringsAtomsAndKeysCompleteAcrossBuffers) {
    // Strings cut inside arrays still count as elements: the indices after them stay right.
    const std::string doc = R"({"name":"abcdef","n":[123, 4],"esc":"x\\\"y\\","big":12345678901234567890123,)"
                            R"("arr":["p","qq\"",7,"rr","s","t"]})";
    const std::vector<QuerySpec> specs{{"name", {M::Values}}, {"n[*]", {M::Values}}, {"esc", {M::Values}},
                                       {"big", {M::Values}},  {"arr[3]", {M::Values}}, {"arr[4:6]", {M::Values}}};
    const Outcome whole = run(doc, specs);
    ASSERT_FALSE(whole.failed) << whole.message;
    EXPECT_EQ(whole.values[1], (std::vector<Value>{num(123), num(4)}));
    EXPECT_EQ(whole.values[2], (std::vector<Value>{Value::string("x\\\"y\\")}));
    EXPECT_EQ(whole.values[4], (std::vector<Value>{Value::string("rr")}));
    EXPECT_EQ(whole.values[5], (std::vector<Value>{Value::string("s"), Value::string("t")}));
    for (auto k : supported_kernels()) {
        for (size_t a = 1; a < doc.size(); ++a) {
            for (size_t b : {a + 1, a + 2, a + 7}) {
                RunOptions opt;
                opt.kernel = k;
                opt.cuts = {a, b};
                Outcome o = run(doc, specs, opt);
                ASSERT_TRUE(same_outcome(whole, o)) << "cuts " << a << "," << b << ": " << describe(o);
            }
        }
    }
    // A string spanning three buffers whose middle one holds no quote.
    RunOptions three;
    three.cuts = {10, 12};
    EXPECT_TRUE(same_outcome(whole, run(doc, specs, three)));
}

TEST(CutTokens, TopLevelTokensReportTheirOwnStart) {
    // Wherever the cut falls, the error names the token's first byte.
    for (const char* doc : {"{}  12345 ", "{} \"abcdef\" {}", "{}\n-7"}) {
        const Outcome whole = run(doc, {{"", {M::Count}}});
        ASSERT_TRUE(whole.failed) << doc;
        for (size_t cut = 1; cut < std::string_view(doc).size(); ++cut) {
            RunOptions opt;
            opt.cuts = {cut};
            Outcome o = run(doc, {{"", {M::Count}}}, opt);
            EXPECT_TRUE(same_outcome(whole, o)) << doc << " cut at " << cut << ": " << describe(o);
        }
    }
}

TEST(CutTokens, CarriedTokenLimit) {
    constexpr size_t kLimit = 67108864;
    // The error of the scan, if any, and the Count of the string.
    struct Carried {
        std::optional<ParseError> error;
        std::optional<uint64_t> count;
    };
    auto carried_string = [](size_t content, size_t buffer) {
        Engine e = make_engine({{"[*]", {M::Count}}}, ScanMode::batched(8));
        std::string filler(buffer, 'a');
        Carried out;
        out.error = e.scan_buffer(std::string_view("[\"")).error;
        for (size_t done = 0; done < content && !out.error; done += buffer)
            out.error = e.scan_buffer(std::string_view(filler.data(), std::min(buffer, content - done))).error;
        if (!out.error) out.error = e.scan_buffer(std::string_view("\"]")).error;
        out.count = e.finalize_source()[0].count;
        return out;
    };
    Carried at_limit = carried_string(kLimit, 1 << 20);
    EXPECT_FALSE(at_limit.error);
    EXPECT_EQ(at_limit.count, 1u);

    Carried over = carried_string(kLimit + 1, 1 << 20);
    ASSERT_TRUE(over.error);
    EXPECT_EQ(over.error->kind, ParseErrorKind::token_too_large());
    // Met at the start of the chunk that pushed it over: the last buffer's first byte.
    EXPECT_EQ(over.error->offset, 2 + kLimit);

    // One buffer whose unfinished token alone is over the limit: reported at the token.
    Engine single = make_engine({{"[*]", {M::Count}}}, ScanMode::batched(8));
    std::string doc = "[\"" + std::string(kLimit + 1, 'b');
    auto error = single.scan_buffer(std::string_view(doc)).error;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, ParseErrorKind::token_too_large());
    EXPECT_EQ(error->offset, 1u);
}

TEST(CutTokens, PartialChunksRepairTheCarry) {
    // A quote, a backslash run or an atom byte as the last byte of a buffer
    // classifies the next buffer as if unsplit.
    const std::string doc = std::string(R"([")") + std::string(70, 'z') + R"(\\\\\"q",)" + "\"k\"" + ",7,\"\\\\\"]";
    const Outcome whole = run(doc, {{"[*]", {M::Values}}});
    ASSERT_FALSE(whole.failed) << whole.message;
    ASSERT_EQ(whole.values[0].size(), 4u);
    for (auto mode : {ScanMode::serial(), ScanMode::batched(2), ScanMode::pipelined_always(4)})
        for (size_t cut = 1; cut < doc.size(); ++cut) {
            RunOptions opt;
            opt.mode = mode;
            opt.cuts = {cut, cut + 1};
            ASSERT_TRUE(same_outcome(whole, run(doc, {{"[*]", {M::Values}}}, opt))) << cut;
        }
}

TEST(ScanModes, EmptyAndShortBuffers) {
    for (auto mode : every_mode()) {
        Engine e = make_engine({{"[*]", {M::Count}}}, mode);
        for (std::string_view part : std::vector<std::string_view>{"", "[1", "", ",2,", std::string_view(), "3]"}) {
            e.scan_buffer(part);
        }
        ASSERT_TRUE(!e.finish(true));
        EXPECT_EQ(e.finalize_source()[0].count, 3u);
    }
}

}  // namespace
}  // namespace jorvane::engine::testing
