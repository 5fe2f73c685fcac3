// Lines of the emitter over in-memory sources: whole rows and projections,
// numbers and escapes as the format keeps them, limits, errors after the
// lines found before them, whole rows failing where their values fail, and
// the same lines however the source cuts its input or the caller interrupts
// it.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/query_plan.h"
#include "ndjson/emitter.h"
#include "run/pull_query.h"
#include "source/memory_reader.h"
#include "source/prefetch_source.h"
#include "source/read_source.h"

namespace jorvane::ndjson {
namespace {

using Lines_ = std::vector<std::string>;

std::unique_ptr<Source> source_of(const std::string& doc, size_t buffer) {
    return std::make_unique<ReadSource>(std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())),
                                        buffer);
}

struct Request {
    std::string rows;
    std::optional<Fields> fields;
    std::optional<uint64_t> limit;
    table::OnMulti on_multi = table::OnMulti::Error;
};

EmittedLines emit(const Request& r, const std::string& doc, size_t buffer = 1 << 20) {
    return emit_all(r.rows, r.fields, r.on_multi, r.limit, engine::ScanMode::batched(8), source_of(doc, buffer));
}

std::string error_of(const EmittedLines& e) { return e.error ? e.error->to_string() : ""; }

// An error as buffer cuts leave it: the kind and offset of malformed or
// truncated input (the context shown is the text of the buffer that held it).
std::string where(const JorvaneError& e) {
    if (const Incomplete* r = e.record()) return r->kind.to_string() + " at " + std::to_string(r->offset);
    return e.to_string();
}

TEST(NdjsonEmitter, Lines) {
    struct Case {
        const char* what;
        Request request;
        std::string doc;
        Lines_ expected;
    };
    const std::string pretty = "{\"events\": [\n  {\n    \"id\": 1,\n    \"tags\": [\"a\",\n \"b\"]\n  },\n"
                               "  {\"id\": 2, \"t\": \"x\\ty\"}\n]}";
    const std::string numbers = R"({"id":12345678901234567890,"p":1.50,"z":-0,"e":2E+3})";
    const std::string escapes = R"({"s":"a\tb\/c\u00e9"})";
    const Fields id_name{{"id", "id"}, {"name", "user.name"}};
    const Case cases[] = {
        {"pretty rows are compacted, one-line rows kept", {"events[*]"}, pretty,
         {R"({"id":1,"tags":["a","b"]})", R"({"id": 2, "t": "x\ty"})"}},
        {"whole rows keep numbers as written", {""}, numbers, {numbers}},
        {"projection writes integers plainly and other numbers as written",
         {"", Fields{{"id", "id"}, {"p", "p"}, {"z", "z"}, {"e", "e"}}},
         numbers, {R"({"id":12345678901234567890,"p":1.50,"z":0,"e":2E+3})"}},
        {"whole rows keep escapes as written", {""}, escapes, {escapes}},
        {"projection re-escapes decoded text", {"", Fields{{"s", "s"}}}, escapes, {"{\"s\":\"a\\tb/c\xc3\xa9\"}"}},
        {"missing fields are left out, nulls kept", {"", id_name},
         R"({"id":1} {"id":2,"user":{"name":null}} {"user":{"name":"n"}} {"x":0})",
         {R"({"id":1})", R"({"id":2,"name":null})", R"({"name":"n"})", "{}"}},
        {"a list of paths names each field by its path", {"", Fields{{"a", "a"}, {"b.c", "b.c"}}},
         R"({"b":{"c":[1]},"a":"x"})", {R"({"a":"x","b.c":[1]})"}},
        {"several matches under list", {"", Fields{{"t", "t[*]"}}, std::nullopt, table::OnMulti::List},
         R"({"t":[1]} {"t":[1,2]} {"t":[]})", {R"({"t":1})", R"({"t":[1,2]})", "{}"}},
        {"whole rows under a limit", {"", std::nullopt, 3}, "[1] [2] [3] [4] [5]", {"[1]", "[2]", "[3]"}},
        {"projection under a limit", {"", Fields{{"a", "a"}}, 3}, R"({"a":1} {"a":2} {"a":3} {"a":4})",
         {R"({"a":1})", R"({"a":2})", R"({"a":3})"}},
        {"whole rows, limit 0", {"", std::nullopt, 0}, "[1] [2]", {}},
        {"projection, limit 0", {"", Fields{{"a", "a"}}, 0}, R"({"a":1})", {}},
        {"no match", {"nope[*]"}, "[1] [2]", {}},
        {"scalars matched by the row query are whole rows", {"r[*]"}, R"({"r":[1,"t\"w",[ 2 ]]})",
         {"1", R"("t\"w")", "[ 2 ]"}},
    };
    for (const Case& c : cases) {
        for (size_t buffer : {size_t{1} << 20, size_t{1}, size_t{7}, size_t{64}}) {
            const EmittedLines got = emit(c.request, c.doc, buffer);
            EXPECT_EQ(error_of(got), "") << c.what;
            EXPECT_EQ(got.lines, c.expected) << c.what << " / buffer " << buffer;
        }
    }
}

TEST(NdjsonEmitter, ErrorsComeAfterTheLinesBeforeThem) {
    // Whole rows: the rows completed before the bad byte come out, then the
    // error with the row query's partial results.
    const EmittedLines truncated = emit({""}, "[1]\n[2]\n[3", 1 << 20);
    EXPECT_EQ(truncated.lines, (Lines_{"[1]", "[2]"}));
    ASSERT_TRUE(truncated.error);
    EXPECT_EQ(truncated.error->kind(), JorvaneError::Kind::Incomplete);
    EXPECT_EQ(truncated.error->record()->partials.size(), 1u);

    const EmittedLines corrupted = emit({""}, "[1]\n[2]]", 3);
    EXPECT_EQ(corrupted.lines, (Lines_{"[1]", "[2]"}));
    ASSERT_TRUE(corrupted.error);
    EXPECT_EQ(corrupted.error->kind(), JorvaneError::Kind::Corrupted);

    // Projection: the table stream reports the error for the whole chunk.
    const EmittedLines projected = emit({"", Fields{{"a", "a"}}}, R"({"a":1} {"a":[)", 1 << 20);
    EXPECT_TRUE(projected.lines.empty());
    ASSERT_TRUE(projected.error);
    EXPECT_EQ(projected.error->kind(), JorvaneError::Kind::Incomplete);
    EXPECT_TRUE(projected.error->record()->partials.empty());

    const EmittedLines multi = emit({"", Fields{{"t", "t[*]"}}}, R"({"t":[1,2]})");
    EXPECT_EQ(error_of(multi).rfind("data does not fit the requested shape: column \"t\" matched 2 times", 0), 0u);
}

// The rows query's values over the document in one buffer: how many came
// out, and the error (kind and offset) that ended them.
std::pair<size_t, std::string> values_of(const std::string& rows, const std::string& doc) {
    const engine::AccumulatorKind values[] = {engine::AccumulatorKind::Values};
    const engine::QueryPlan plan{std::nullopt, rows, values};
    auto pull = run::PullQuery::make(std::span<const engine::QueryPlan>(&plan, 1), engine::ScanMode::serial(),
                                     source_of(doc, 1 << 20));
    size_t count = 0;
    for (;;) {
        run::Pulled<engine::ValueBatch> p = pull->refill_values();
        for (const auto& batch : p.batches) count += batch.values.size();
        if (p.error) return {count, where(*p.error)};
        if (p.end) return {count, ""};
    }
}

// Whole rows are kept text: where a row's value cannot be captured, the
// lines end with that same error, however the source is cut. Random rows of
// nested containers hold literals and strings well formed and not (stray
// bytes too), now and then a comma, colon or key out of place, with white
// space runs that move tokens across chunk and buffer ends.
TEST(NdjsonEmitter, WholeRowsFailWhereTheirValuesFail) {
    static const char* const literals[] = {
        "0", "-0", "7", "-12", "3.25", "0.5", "1e5", "1E+5", "2.5e-3", "-0.0e0", "123456789012345678901234567890",
        "true", "false", "null",
        "01", "-", "1.", "1.2.3", "1e", "1e+", "--1", "1x", "2.5e", "1e5.5", "00", "-.5", "1\\", "tru", "nul", "x",
        "nope", "truex", "fals"};
    constexpr size_t malformed_from = 14;
    // String contents: escapes well formed, then not.
    static const char* const escapes[] = {"", "\\\\", "\\n\\/\\\"", "\\u00e9", "\\uD83D\\uDE00",
                                          "\\q", "\\u12G4", "\\u12", "\\x"};
    constexpr size_t bad_escapes_from = 5;
    std::mt19937 rng(7);
    const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const auto space = [&] {
        static const char* const runs[] = {"", "", " ", "\n", "\t \r\n"};
        return pick(8) == 0 ? std::string(pick(70), ' ') : std::string(runs[pick(std::size(runs))]);
    };
    // A separator or key, now and then out of place.
    const auto rarely = [&](std::string usual, std::string other) { return pick(60) == 0 ? other : usual; };
    std::function<std::string(int)> value = [&](int depth) -> std::string {
        const size_t kind = depth >= 4 ? pick(2) : pick(5);
        if (kind == 0) {
            // Mostly well-formed literals; now and then anything.
            return literals[pick(4) == 0 ? pick(std::size(literals)) : pick(malformed_from)];
        }
        if (kind == 1) {
            const char* escape = escapes[pick(6) == 0 ? pick(std::size(escapes)) : pick(bad_escapes_from)];
            return "\"" + std::string(pick(4) == 0 ? pick(70) : 0, 's') + std::to_string(pick(100)) + escape + "\"";
        }
        std::string out(1, kind == 2 ? '[' : '{');
        for (size_t i = 0, n = pick(4); i < n; ++i) {
            out += (i ? rarely(",", pick(2) ? "" : ",,") : "") + space();
            if (kind != 2) out += rarely("\"k\"", "1") + rarely(":", pick(2) ? "" : "::") + space();
            out += value(depth + 1) + space();
        }
        return out + rarely("", ",") + (kind == 2 ? ']' : '}');
    };
    size_t docs = 0, failing = 0;
    for (int round = 0; round < 400; ++round) {
        std::string doc;
        for (size_t r = 0, n = 1 + pick(4); r < n; ++r) {
            std::string row = value(0);
            if (row[0] == '[' || row[0] == '{') doc += row + "\n";
        }
        if (doc.empty()) continue;
        const auto [count, error] = values_of("", doc);
        docs += 1;
        failing += !error.empty();
        for (size_t buffer : {size_t{1} << 20, size_t{1}, size_t{5}, size_t{64}}) {
            for (engine::ScanMode mode : {engine::ScanMode::serial(), engine::ScanMode::batched(8)}) {
                const EmittedLines got = emit_all("", std::nullopt, table::OnMulti::Error, std::nullopt, mode,
                                                  source_of(doc, buffer));
                EXPECT_EQ(got.error ? where(*got.error) : "", error) << doc << "buffer " << buffer;
                EXPECT_EQ(got.lines.size(), count) << doc << "buffer " << buffer;
            }
        }
    }
    // Both outcomes were met often enough to mean something.
    EXPECT_GT(failing * 5, docs) << failing << " of " << docs;
    EXPECT_LT(failing * 5, docs * 4) << failing << " of " << docs;
}

TEST(NdjsonEmitter, Refusals) {
    EXPECT_EQ(error_of(emit({"", Fields{}}, "{}")),
              "invalid input: fields= must name at least one field (or omit it to re-emit whole rows)");
    EXPECT_EQ(error_of(emit({"", Fields{{"a", "a"}, {"b", ""}}}, "{}")),
              "invalid input: column \"b\" has an empty path; a column must be inside the row, not the row itself");
    EXPECT_EQ(error_of(emit({"a["}, "{}")).rfind("failed to compile query \"a[\": ", 0), 0u);
    EXPECT_EQ(error_of(emit({"a[", Fields{{"x", "x"}}}, "{}")).rfind("failed to compile query \"(a[).(x)\": ", 0), 0u);
}

TEST(NdjsonEmitter, ManyRowsOverManyBuffers) {
    std::string doc, expected_whole, expected_projected;
    for (int i = 0; i < 70000; ++i) {
        const std::string id = std::to_string(i);
        doc += "{\"i\": " + id + ",\n \"s\": \"v" + id + "\"}\n";
        expected_whole += "{\"i\":" + id + ",\"s\":\"v" + id + "\"}|";
        expected_projected += "{\"s\":\"v" + id + "\"}|";
    }
    auto joined = [](const EmittedLines& e) {
        std::string out;
        for (const auto& l : e.lines) out += l + "|";
        return out;
    };
    const EmittedLines whole = emit({""}, doc, 4096);
    EXPECT_EQ(error_of(whole), "");
    EXPECT_EQ(joined(whole), expected_whole);
    const EmittedLines projected = emit({"", Fields{{"s", "s"}}}, doc, 4096);
    EXPECT_EQ(error_of(projected), "");
    EXPECT_EQ(joined(projected), expected_projected);
}

// A stop leaves whole rows and a projection where they were: going on after
// each one gives every line, even where the stops fall inside a projection's
// batch of rows.
TEST(NdjsonEmitter, LinesGoOnAfterAnInterrupt) {
    struct StopEveryOther final : run::Interrupt {
        int asked = 0;
        bool requested() override { return ++asked % 2 == 0; }
    };
    std::string doc;
    for (int i = 0; i < 200; ++i) doc += "{\"i\": " + std::to_string(i) + ",\n \"s\": [\"v\"]}\n";
    for (const Request& r : {Request{""}, Request{"", Fields{{"i", "i"}, {"s", "s"}}}}) {
        SCOPED_TRACE(r.fields ? "projection" : "whole rows");
        StopEveryOther stop;
        auto emitter =
            NdjsonEmitter::make(r.rows, r.fields, r.on_multi, r.limit, engine::ScanMode::batched(8), source_of(doc, 64));
        ASSERT_TRUE(emitter);
        std::vector<std::string> got;
        int stops = 0;
        for (bool more = true; more;) {
            Lines batch;
            auto next = emitter->next_lines(batch, &stop);
            ASSERT_TRUE(next || next.error().to_string() == run::interrupted_read().to_string());
            stops += !next;
            more = !next || *next;
            for (size_t i = 0; i < batch.size(); ++i) got.emplace_back(batch.line(i));
        }
        EXPECT_GT(stops, 10);
        EXPECT_EQ(got, emit(r, doc).lines);
    }
}

// Whether an emitter holds a thread it started, asked of every layer it
// is made of: a thread starts with the first scan (walkers of ranges, a
// stage-1 thread) or with the source (a decoder reading ahead), and never in
// order or in batched mode on one engine.
TEST(NdjsonEmitter, SaysWhetherItHoldsThreads) {
    // More rows than a projection's first batch holds.
    std::string doc;
    for (int i = 0; i < 70000; ++i) doc += "{\"i\": " + std::to_string(i) + "}\n";
    const engine::ScanMode batched = engine::ScanMode::batched(8);
    const engine::ScanMode pipelined = engine::ScanMode::pipelined_always(4);
    struct Case {
        const char* label;
        bool projection;
        engine::ScanMode mode;
        table::TableSplitOptions split;
        bool prefetch;
        bool before;  // when made
        bool after;   // after its first lines
    };
    const table::TableSplitOptions one{}, ranges{2, 65536};
    table::TableSplitOptions in_order = ranges;
    in_order.in_order = true;
    const Case cases[] = {
        {"whole rows", false, batched, one, false, false, false},
        {"whole rows, stage-1 thread", false, pipelined, one, false, false, true},
        {"whole rows, walkers", false, batched, ranges, false, false, true},
        {"whole rows, ranges in order", false, batched, in_order, false, false, false},
        {"whole rows, decoder ahead", false, batched, one, true, true, true},
        {"projection", true, batched, one, false, false, false},
        {"projection, stage-1 thread", true, pipelined, one, false, false, true},
        {"projection, walkers", true, batched, ranges, false, false, true},
        {"projection, ranges in order", true, batched, in_order, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::unique_ptr<Source> source =
            c.prefetch ? PrefetchSource::with_params(
                             std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())), 4096)
                       : source_of(doc, 4096);
        std::optional<Fields> fields;
        if (c.projection) fields = Fields{{"i", "i"}};
        auto emitter = NdjsonEmitter::make("", fields, table::OnMulti::Error, std::nullopt, c.mode, std::move(source),
                                           c.split);
        ASSERT_TRUE(emitter);
        EXPECT_EQ(emitter->holds_threads(), c.before);
        Lines lines;
        while (lines.size() == 0) ASSERT_TRUE(emitter->next_lines(lines).value());
        EXPECT_EQ(emitter->holds_threads(), c.after);
    }
}

}  // namespace
}  // namespace jorvane::ndjson
