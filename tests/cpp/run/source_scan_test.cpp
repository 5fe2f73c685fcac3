// The per-buffer step every source loop shares: what each step reports, and a
// buffer the source loses after it was scanned, seen the same way by the
// one-source scan and the pull scan (the table stream's case is with its
// tests).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "run/plans.h"
#include "run/pull_query.h"
#include "run/scan_source.h"
#include "run/source_scan.h"
#include "support/scripted_scans.h"

namespace jorvane::run::testing {
namespace {

using K = AccumulatorKind;
using Kind = SourceScan::Step::Kind;

constexpr const char* kDoc = R"({"a":1} {"a":2} {"a":3} {"a":4})";

class Once final : public Interrupt {
public:
    bool requested() override { return !std::exchange(asked_, true); }

private:
    bool asked_ = false;
};

TEST(SourceScan, EachStepReportsWhatHappened) {
    const std::vector<Spec> specs{{"a", {K::Values}}};
    SourceScan scan(make_engine(compile(specs), engine::ScanMode::batched(8), true),
                    std::make_unique<CutSource>(kDoc, 16, 1), 5);
    Once once;
    std::vector<Kind> kinds;
    std::vector<uint64_t> bytes;
    for (int i = 0; i < 8 && !scan.over(); ++i) {
        SourceScan::Step step = scan.step(&once);
        kinds.push_back(step.kind);
        bytes.push_back(step.bytes);
        EXPECT_EQ(step.kind == Kind::Failed, step.error.has_value());
        if (step.kind == Kind::Failed) {
            EXPECT_EQ(step.error->kind(), JorvaneError::Kind::Read);
        }
    }
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Interrupted, Kind::Scanned, Kind::Failed, Kind::Scanned, Kind::Ended}));
    EXPECT_EQ(bytes, (std::vector<uint64_t>{0, 16, 0, 15, 0}));
    EXPECT_EQ(scan.step().kind, Kind::Ended);
    EXPECT_EQ(scan.engine().drain_streams().size(), 1u);
}

TEST(SourceScan, ALostBufferEndsTheScanWithNothingOfThatBuffer) {
    const std::vector<Spec> specs{{"a", {K::Values}}};
    for (size_t lost_at : {0u, 1u, 2u}) {
        // Every 8-byte buffer before the lost one completes one value.
        LosingSource source(kDoc, 8, lost_at);
        engine::Engine engine = make_engine(compile(specs), engine::ScanMode::batched(8), true);
        KeepingSink sink;
        ScanOptions options;
        options.sink = &sink;
        auto outcome = scan_source(engine, source, options);
        ASSERT_TRUE(outcome && !*outcome);
        EXPECT_EQ(outcome->error().kind(), JorvaneError::Kind::Read) << lost_at;
        sink.per_query.resize(1);
        EXPECT_EQ(sink.per_query[0].size(), lost_at);

        const std::vector<K> values{K::Values};
        const engine::QueryPlan plan{std::nullopt, "a", values};
        auto pull = PullQuery::make(std::span<const engine::QueryPlan>(&plan, 1), engine::ScanMode::batched(8),
                                    std::make_unique<LosingSource>(kDoc, 8, lost_at));
        ASSERT_TRUE(pull.ok());
        size_t pulled = 0;
        for (;;) {
            auto p = pull->refill_values();
            for (const auto& b : p.batches) pulled += b.values.size();
            if (p.error) {
                EXPECT_EQ(p.error->kind(), JorvaneError::Kind::Read);
                break;
            }
            ASSERT_FALSE(p.end) << lost_at;
        }
        EXPECT_EQ(pulled, lost_at);
        EXPECT_TRUE(pull->refill_values().end);
    }
}

// A source whose reads run code of the caller's: nothing is read for an
// error's context.
class Reluctant final : public Source {
public:
    Reluctant(std::string doc, size_t size) : inner_(std::move(doc), size) {}
    BufferResult next_buffer() override {
        ++reads;
        return inner_.next_buffer();
    }
    bool reads_on_freely() const override { return false; }

    size_t reads = 0;

private:
    CutSource inner_;
};

TEST(SourceScan, TheContextReadsOnPastTheErrorsBufferWhereTheSourceAllows) {
    // The stray bracket at byte 83 is found in the buffer [80, 96); its
    // context runs from byte 19 to byte 147.
    std::string doc = "[";
    for (int i = 0; i < 40; ++i) doc += "1,";
    doc += "1]]" + std::string(100, ' ');
    const std::string whole = doc.substr(19, 128);
    const std::string to_buffer_end = doc.substr(19, 96 - 19);
    const struct {
        const char* what;
        std::unique_ptr<Source> source;
        std::string context;
    } rows[] = {
        {"reads on", std::make_unique<CutSource>(doc, 16), whole},
        {"a byte per buffer", std::make_unique<CutSource>(doc, 1), whole},
        {"the read after the error's buffer fails", std::make_unique<CutSource>(doc, 16, 6), to_buffer_end},
        {"the source loses the buffer after the error's", std::make_unique<LosingSource>(doc, 16, 6), to_buffer_end},
        {"the source does not read on", std::make_unique<Reluctant>(doc, 16), to_buffer_end},
    };
    const std::vector<Spec> specs{{"[*]", {K::Count}}};
    for (const auto& row : rows) {
        engine::Engine engine = make_engine(compile(specs), engine::ScanMode::batched(8), true);
        auto outcome = scan_source(engine, *row.source, ScanOptions{});
        ASSERT_TRUE(outcome && !*outcome) << row.what;
        const Incomplete* record = outcome->error().record();
        ASSERT_TRUE(record) << row.what << ": " << outcome->error().to_string();
        EXPECT_EQ(outcome->error().kind(), JorvaneError::Kind::Corrupted) << row.what;
        EXPECT_EQ(record->offset, 83u) << row.what;
        EXPECT_EQ(record->context, row.context) << row.what;
        if (const auto* r = dynamic_cast<const Reluctant*>(row.source.get())) {
            EXPECT_EQ(r->reads, 6u);
        }
    }
}

}  // namespace
}  // namespace jorvane::run::testing
