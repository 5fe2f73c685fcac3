// The pull-mode scan: output comes out buffer by buffer and always before an
// error found with it; settled queries end the read early; a read failure
// ends only the refill; the results are computed once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classification_kernel/kernel.h"
#include "run/pull_query.h"
#include "run/scan_source.h"
#include "support/scripted_scans.h"

namespace jorvane::run::testing {
namespace {

using K = AccumulatorKind;

// What a consumer sees, refill by refill: "v1 v2 | v3 | E:<kind> | end".
struct Session {
    std::vector<std::string> steps;
    std::optional<JorvaneError> error;
    int abandoned = 0;
};

Session pull_all(PullQuery& pull, CutSource& source) {
    Session s;
    for (int guard = 0; guard < 1000; ++guard) {
        auto p = pull.refill_values();
        if (p.end) {
            s.steps.push_back("end");
            break;
        }
        if (p.error) {
            s.steps.push_back("E" + std::to_string(static_cast<int>(p.error->kind())));
            s.error = std::move(p.error);
            continue;
        }
        std::string step;
        for (auto& b : p.batches)
            for (auto& v : b.values) step += (step.empty() ? "" : " ") + std::to_string(b.query) + ":" + v.as_number().to_literal();
        s.steps.push_back(step);
    }
    s.abandoned = source.abandoned.load();
    return s;
}

struct PullCase {
    std::vector<Spec> specs;
    std::string doc;
    size_t buffer;
    std::optional<size_t> fail_at;
};

Session run_pull(const PullCase& setup, std::vector<engine::QueryOutput>* results = nullptr) {
    auto source = std::make_unique<CutSource>(setup.doc, setup.buffer, setup.fail_at);
    CutSource& src = *source;
    std::vector<engine::QueryPlan> plans;
    for (const auto& s : setup.specs) plans.push_back(engine::QueryPlan{s.limit, s.text, s.kinds});
    auto pull = PullQuery::make(plans, engine::ScanMode::batched(8), std::move(source));
    EXPECT_TRUE(pull.ok());
    Session s = pull_all(*pull, src);
    if (results) *results = pull->results();
    return s;
}

TEST(PullQuery, OutputBeforeErrorsAndTheEnd) {
    struct Case {
        PullCase setup;
        std::vector<std::string> steps;
    };
    const Case cases[] = {
        // One refill per buffer that completes values; values in completion order.
        {{{{"a[*]", {K::Values}}}, R"({"a":[1,2]} {"a":[3]})", 12}, {"0:1 0:2", "0:3", "end"}},
        // Two queries of one buffer: every value of query 0 first.
        {{{{"a", {K::Values}}, {"b", {K::Values}}}, R"({"b":1,"a":2} {"a":3})", 100}, {"0:2 0:3 1:1", "end"}},
        // Malformed after values in the same buffer: the values, then the error.
        {{{{"[*]", {K::Values}}}, "[1,2] ] [3]", 100}, {"0:1 0:2", "E6", "end"}},
        // Malformed with nothing completed: the error at once.
        {{{{"[*]", {K::Values}}}, "] [1]", 100}, {"E6", "end"}},
        // Truncated: the values, then the end-of-input error.
        {{{{"a[*]", {K::Values}}}, R"({"a":[1,2)", 4}, {"0:1", "0:2", "E5", "end"}},
        // A limit settles the query: the read stops after the buffer that reached it.
        {{{{"[*]", {K::Values}, 2}}, "[1][2][3][4]", 3}, {"0:1", "0:2", "end"}},
        // A read failure ends one refill only.
        {{{{"[*]", {K::Values}}}, "[1][2][3]", 3, 1}, {"0:1", "E1", "0:2", "0:3", "end"}},
    };
    for (const Case& c : cases) EXPECT_EQ(run_pull(c.setup).steps, c.steps) << c.setup.doc;
}

TEST(PullQuery, ErrorsCarryTheResultsComputedOnce) {
    std::vector<engine::QueryOutput> results;
    Session s = run_pull({{{"[*]", {K::Values, K::Sum}}}, "[1,2] ] [3]", 100}, &results);
    ASSERT_TRUE(s.error);
    ASSERT_EQ(s.error->record()->partials.size(), 1u);
    EXPECT_EQ(s.error->record()->partials[0].sum, 3.0);
    EXPECT_EQ(results[0].sum, 3.0);
    EXPECT_EQ(s.abandoned, 1);

    Session settled = run_pull({{{"[*]", {K::Values}, 2}}, "[1][2][3][4]", 3}, &results);
    EXPECT_EQ(settled.abandoned, 1);
    EXPECT_EQ(results[0].bytes_covered, 6u);
}

TEST(PullQuery, ResultsBeforeAnyRefillEndTheScan) {
    auto source = std::make_unique<CutSource>("[1][2]", 3);
    CutSource& src = *source;
    const std::vector<K> kinds{K::Values, K::Count};
    const std::vector<engine::QueryPlan> plans{{std::nullopt, "[*]", kinds}};
    auto pull = PullQuery::make(plans, engine::ScanMode::batched(8), std::move(source));
    ASSERT_TRUE(pull.ok());
    const auto first = pull->results();
    EXPECT_EQ(first[0].bytes_covered, 0u);
    EXPECT_EQ(first[0].values_count, 0u);
    EXPECT_EQ(src.abandoned.load(), 1);
    EXPECT_TRUE(pull->refill_values().end);
    EXPECT_EQ(pull->results()[0].bytes_covered, 0u);
}

TEST(PullQuery, RefusedPlans) {
    const std::vector<K> none;
    const std::vector<engine::QueryPlan> no_kinds{{std::nullopt, "a\"b", none}};
    auto refused = PullQuery::make(no_kinds, engine::ScanMode::batched(8), std::make_unique<CutSource>("", 1));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().to_string(), "invalid input: query \"a\\\"b\" has no accumulators");
    auto empty = PullQuery::make({}, engine::ScanMode::batched(8), std::make_unique<CutSource>("", 1));
    EXPECT_EQ(empty.error().to_string(), "invalid input: no queries provided");
}

}  // namespace
}  // namespace jorvane::run::testing

namespace jorvane::run::testing {
namespace {

// Pulled values equal the values a whole scan streams, for every kernel,
// mode and buffer size.
TEST(PullQuery, SameValuesAsAWholeScan) {
    const std::vector<std::string> docs{
        R"({"a":[1,{"b":[2,"x\"y"]},3],"c":{"a":[4]}} [ {"a":[5]} ] {"a":[]})",
        R"([{"a":1},{"a":[2,3]},{"b":{"a":4}}] {"a":[6,7)",
        R"({"a":"\\","a":[[[8]]]} ] {"a":[9]})",
    };
    const std::vector<Spec> specs{{"a[*]", {K::Values}}, {"*.a", {K::Values}}, {"**", {K::Values}, 5}};
    std::vector<classification_kernel::KernelKind> kernels;
    for (auto k : {classification_kernel::KernelKind::Scalar, classification_kernel::KernelKind::Avx2,
                   classification_kernel::KernelKind::Avx512, classification_kernel::KernelKind::Neon})
        if (classification_kernel::kernel_supported(k)) kernels.push_back(k);
    for (const auto& doc : docs) {
        engine::Engine whole = make_engine(compile(specs), engine::ScanMode::serial(), true);
        CutSource all(doc, doc.size());
        KeepingSink sink;
        ScanOptions options;
        options.sink = &sink;
        (void)scan_source(whole, all, options);
        sink.per_query.resize(specs.size());
        std::vector<engine::QueryPlan> plans;
        for (const auto& s : specs) plans.push_back(engine::QueryPlan{s.limit, s.text, s.kinds});
        for (auto k : kernels)
            for (auto mode : {engine::ScanMode::batched(8), engine::ScanMode::pipelined(4)})
                for (size_t buffer : {1, 7, 64, 1000}) {
                    auto pull = PullQuery::make(plans, mode, std::make_unique<CutSource>(doc, buffer));
                    ASSERT_TRUE(pull.ok());
                    pull->engine().set_kernel(k);
                    std::vector<std::vector<Value>> got(specs.size());
                    for (int guard = 0; guard < 10000; ++guard) {
                        auto p = pull->refill_values();
                        if (p.end || p.error) break;
                        for (auto& b : p.batches)
                            for (auto& v : b.values) got[b.query].push_back(std::move(v));
                    }
                    EXPECT_EQ(got, sink.per_query) << doc << " / " << buffer;
                }
    }
}

}  // namespace
}  // namespace jorvane::run::testing
