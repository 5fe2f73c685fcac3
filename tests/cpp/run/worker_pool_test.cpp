// The multi-source run: the same outcomes as scanning each source alone,
// whatever the number of workers; lazily opened sources; progress answered
// per source; a listener that stops the whole run.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "run/scan_source.h"
#include "run/worker_pool.h"
#include "support/scripted_scans.h"

namespace jorvane::run::testing {
namespace {

using K = AccumulatorKind;

// Every kind of state a query keeps: streamed values, counters, numeric
// folds, distinct-value tables, type sets, captured containers.
const std::vector<Spec> kSpecs{{"a[*]", {K::Values, K::Count}},
                               {"b", {K::Sum}},
                               {"a[*]", {K::Min, K::Mean, K::CountUnique, K::Types}},
                               {"a", {K::ValueCounts}}};
// Settles once every limit is reached: the rest of such a source is not read.
const std::vector<Spec> kLimited{{"a[*]", {K::Values, K::Count}, 2},
                                 {"b", {K::Sum}, 1},
                                 {"a[*]", {K::Min, K::Mean, K::CountUnique, K::Types}, 2},
                                 {"a", {K::ValueCounts}, 1}};

// Besides plain ones, sources that leave state behind in an engine that a
// worker goes on to use for its next source.
std::string document(size_t i) {
    switch (i % 7) {
        case 3: return R"({"a":[1,2],"b":3} {"a":[)";     // ends with containers open
        case 4: return R"({"a":[1]} ] {"a":[2]})";        // malformed
        case 5: return R"({"a":[1],"b":2} {"a":[3,"x\)";  // ends inside a string, after a backslash
        case 6: return R"({"b":1} {"z":[[1,{"y":"q)";     // ends inside a skipped container
        default: break;
    }
    std::string d;
    for (size_t k = 0; k <= i % 4; ++k) d += R"({"a":[)" + std::to_string(i) + "," + std::to_string(k) + R"(],"b":1.5})";
    return d;
}

// The read of this source's second buffer fails: with short buffers, while a
// string is open.
constexpr size_t kFailsMidway = 9;
std::optional<size_t> fail_at(size_t i) { return i == kFailsMidway ? std::optional<size_t>(1) : std::nullopt; }

// Keeps what the workers send; answers progress from a rule.
class Recorder final : public RunListener {
public:
    bool tick() override { return keep_going; }
    void values(engine::ValueBatch batch) override {
        std::lock_guard lock(mu);
        for (auto& v : batch.values) values_seen.push_back(std::move(v));
    }
    Verdict progress(size_t source, uint64_t bytes, std::vector<engine::QueryOutput>) override {
        reports.emplace_back(source, bytes);
        return source == stop_source ? Verdict::Stop : Verdict::Continue;
    }
    bool keep_going = true;
    size_t stop_source = SIZE_MAX;
    std::mutex mu;
    std::vector<Value> values_seen;
    std::vector<std::pair<size_t, uint64_t>> reports;
};

std::vector<RunSource> sources(size_t n, size_t buffer) {
    std::vector<RunSource> out;
    for (size_t i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            out.push_back(RunSource{std::make_unique<CutSource>(document(i), buffer, fail_at(i)), {}});
        } else if (i == 7) {
            out.push_back(RunSource{nullptr, [] {
                                        return Result<std::unique_ptr<Source>, IoError>(
                                            make_err(IoError::custom(IoErrorKind::NotFound, "gone")));
                                    }});
        } else {
            out.push_back(RunSource{nullptr, [i, buffer] {
                                        return Result<std::unique_ptr<Source>, IoError>(
                                            std::unique_ptr<Source>(std::make_unique<CutSource>(document(i), buffer, fail_at(i))));
                                    }});
        }
    }
    return out;
}

std::string outputs(const std::vector<engine::QueryOutput>& outs) {
    std::string s;
    auto field = [&](const char* name, const auto& v) {
        if (v) s += std::string(" ") + name + "=" + std::to_string(*v);
    };
    for (const engine::QueryOutput& o : outs) {
        s += " |";
        field("count", o.count);
        field("values", o.values_count);
        field("unique", o.count_unique);
        field("min", o.min);
        field("sum", o.sum);
        field("mean", o.mean);
        field("covered", o.bytes_covered);
        if (o.types) s += " types=" + std::to_string(o.types->size());
        if (o.value_counts) {
            s += " counts=";
            for (const auto& e : *o.value_counts) s += std::to_string(e.count) + ",";
        }
        s += " skipped=" + std::to_string(o.agg_skipped) + " exists=" + std::to_string(o.exists());
    }
    return s;
}

std::string summary(const SourceOutcome& o) {
    if (!o.ok()) {
        const JorvaneError& e = o.error();
        std::string s = "error " + std::to_string(static_cast<int>(e.kind()));
        if (const Incomplete* r = e.record()) s += " at " + std::to_string(r->offset) + " " + outputs(r->partials);
        return s;
    }
    return outputs(o.value());
}

TEST(WorkerPool, SameOutcomesAsOneSourceAtATime) {
    const size_t n = 14;
    for (const auto& specs : {kSpecs, kLimited}) {
        const engine::CompiledQueries compiled = compile(specs);
        for (size_t buffer : {3, 64}) {
            // Each source alone on a fresh engine, in the same buffers (a
            // settled source covers the buffers it read).
            std::vector<std::string> expected;
            size_t expected_values = 0;
            for (size_t i = 0; i < n; ++i) {
                if (i == 7) {
                    expected.push_back("error " + std::to_string(static_cast<int>(JorvaneError::Kind::Read)));
                    continue;
                }
                engine::Engine engine = make_engine(compiled, engine::ScanMode::batched(8), true);
                CutSource source(document(i), buffer, fail_at(i));
                KeepingSink sink;
                ScanOptions options;
                options.sink = &sink;
                expected.push_back(summary(*scan_source(engine, source, options)));
                if (!sink.per_query.empty()) expected_values += sink.per_query[0].size();
            }
            for (size_t workers : {1, 3, 8}) {
                Recorder listener;
                PoolOptions options;
                options.mode = workers == 3 ? engine::ScanMode::pipelined(4) : engine::ScanMode::batched(8);
                options.workers = workers;
                options.stream_values = true;
                options.intervals.resize(n);
                std::vector<SourceOutcome> got = run_sources(compiled, sources(n, buffer), options, listener);
                ASSERT_EQ(got.size(), n);
                for (size_t i = 0; i < n; ++i)
                    EXPECT_EQ(summary(got[i]), expected[i]) << i << ", " << workers << " workers, buffer " << buffer;
                EXPECT_EQ(got[7].error().read_failure()->source_index, 7u);
                EXPECT_EQ(listener.values_seen.size(), expected_values);
            }
        }
    }
}

TEST(WorkerPool, ProgressIsAnsweredPerSource) {
    const engine::CompiledQueries compiled = compile({{"[*]", {K::Count}}});
    std::string doc;
    for (int i = 0; i < 50; ++i) doc += "[1]";
    std::vector<RunSource> srcs;
    for (int i = 0; i < 3; ++i) srcs.push_back(RunSource{std::make_unique<CutSource>(doc, 30), {}});
    Recorder listener;
    listener.stop_source = 1;
    PoolOptions options;
    options.workers = 2;
    options.intervals = {60, 60, std::nullopt};
    std::vector<SourceOutcome> got = run_sources(compiled, std::move(srcs), options, listener);
    std::vector<uint64_t> first, second;
    for (auto [source, bytes] : listener.reports) {
        EXPECT_NE(source, 2u);  // no interval: no reports
        (source == 0 ? first : second).push_back(bytes);
    }
    EXPECT_EQ(first, (std::vector<uint64_t>{60, 120}));
    EXPECT_EQ(second, (std::vector<uint64_t>{60}));
    EXPECT_EQ(got[0].value()[0].count, 50u);
    EXPECT_EQ(got[1].value()[0].bytes_covered, 60u);  // stopped by its answer
    EXPECT_EQ(got[1].value()[0].count, 20u);
    EXPECT_EQ(got[2].value()[0].count, 50u);
}

TEST(WorkerPool, AFalseTickStopsEverySource) {
    const engine::CompiledQueries compiled = compile({{"[*]", {K::Count}}});
    std::string doc;
    for (int i = 0; i < 2000; ++i) doc += "[1]";
    std::vector<RunSource> srcs;
    for (int i = 0; i < 6; ++i)
        srcs.push_back(RunSource{std::make_unique<CutSource>(doc, 3, std::nullopt, std::chrono::microseconds(200)), {}});
    Recorder listener;
    listener.keep_going = false;
    PoolOptions options;
    options.workers = 2;
    options.intervals.resize(6);
    std::vector<SourceOutcome> got = run_sources(compiled, std::move(srcs), options, listener);
    ASSERT_EQ(got.size(), 6u);
    // Every source ends as an early stop (the queued ones without a read).
    for (const auto& o : got) {
        ASSERT_TRUE(o.ok());
        ASSERT_TRUE(o.value()[0].bytes_covered);
        EXPECT_LT(*o.value()[0].bytes_covered, doc.size());
    }
}

}  // namespace
}  // namespace jorvane::run::testing
