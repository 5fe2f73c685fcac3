// The one-source scan loop: the same outcome however the source cuts its
// input, the ways a scan ends (settled, stopped, aborted, read failure), and
// exactly when the observer is consulted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "run/plans.h"
#include "run/scan_source.h"
#include "support/scripted_scans.h"

namespace jorvane::run::testing {
namespace {

using K = AccumulatorKind;

struct Result {
    std::optional<SourceOutcome> outcome;
    std::vector<std::vector<Value>> values;
    int abandoned = 0;
};

Result scan(const std::vector<Spec>& specs, const std::string& doc, size_t buffer, ScanObserver* observer = nullptr,
            std::optional<uint64_t> interval = std::nullopt, std::optional<size_t> fail_at = std::nullopt) {
    engine::Engine engine = make_engine(compile(specs), engine::ScanMode::batched(8), true);
    CutSource source(doc, buffer, fail_at);
    KeepingSink sink;
    ScanOptions options;
    options.sink = &sink;
    options.observer = observer;
    options.interval = interval;
    options.source_index = 7;
    Result r;
    r.outcome = scan_source(engine, source, options);
    r.values = std::move(sink.per_query);
    r.values.resize(specs.size());
    r.abandoned = source.abandoned.load();
    return r;
}

TEST(ScanSource, SameOutcomeForEveryBufferSize) {
    const std::vector<Spec> specs{{"a[*]", {K::Values, K::Sum}}, {"b", {K::Count}}};
    const std::vector<std::string> docs{
        R"({"a":[1,2.5,"x"],"b":true} {"a":[-3]} [ {"b":{"c":[1]}} ])",
        R"({"a":[1,2],"b":1} ] {"a":[9]})",         // malformed after some values
        R"({"a":[1,2],"b":"unterminated)",          // ends inside a string
        R"({"a":[1,2],"b":[)",                      // ends with containers open
    };
    for (const auto& doc : docs) {
        const Result whole = scan(specs, doc, doc.size());
        ASSERT_TRUE(whole.outcome);
        for (size_t size = 1; size < doc.size(); ++size) {
            const Result cut = scan(specs, doc, size);
            ASSERT_TRUE(cut.outcome);
            ASSERT_EQ(whole.outcome->ok(), cut.outcome->ok()) << doc << " / " << size;
            EXPECT_EQ(whole.values, cut.values) << doc << " / " << size;
            const auto& a = whole.outcome->ok() ? whole.outcome->value() : whole.outcome->error().record()->partials;
            const auto& b = cut.outcome->ok() ? cut.outcome->value() : cut.outcome->error().record()->partials;
            ASSERT_EQ(a.size(), b.size());
            for (size_t q = 0; q < a.size(); ++q) {
                EXPECT_EQ(a[q].sum, b[q].sum) << doc << " / " << size;
                EXPECT_EQ(a[q].count, b[q].count) << doc << " / " << size;
                EXPECT_EQ(a[q].values_count, b[q].values_count) << doc << " / " << size;
            }
            if (!whole.outcome->ok()) {
                EXPECT_EQ(whole.outcome->error().kind(), cut.outcome->error().kind());
                EXPECT_EQ(whole.outcome->error().record()->offset, cut.outcome->error().record()->offset);
            }
        }
    }
    // The streamed values reach the sink before the error.
    const Result bad = scan(specs, docs[1], 4);
    EXPECT_EQ(bad.values[0], (std::vector<Value>{Value::number(engine::JsonNumber::from_int(1)),
                                                 Value::number(engine::JsonNumber::from_int(2))}));
    EXPECT_EQ(bad.outcome->error().kind(), JorvaneError::Kind::Corrupted);
}

TEST(ScanSource, SettledQueriesAbandonTheSourceWhereTheyStopped) {
    const Result r = scan({{"[*]", {K::Values}, 2}}, "[1][2][3][4]", 3);
    ASSERT_TRUE(r.outcome && r.outcome->ok());
    EXPECT_EQ(r.abandoned, 1);
    EXPECT_EQ(r.values[0].size(), 2u);
    // Settled after the second buffer: the outputs cover its 6 bytes.
    EXPECT_EQ(r.outcome->value()[0].bytes_covered, 6u);

    const Result all = scan({{"[*]", {K::Values}, 9}}, "[1][2]", 3);
    EXPECT_EQ(all.abandoned, 0);
    EXPECT_EQ(all.outcome->value()[0].bytes_covered, std::nullopt);
}

TEST(ScanSource, ReadFailureNamesTheSourceAndKeepsTheValuesStreamed) {
    const Result r = scan({{"[*]", {K::Values}}}, "[1][2][3]", 3, nullptr, std::nullopt, 2);
    ASSERT_TRUE(r.outcome && !r.outcome->ok());
    EXPECT_EQ(r.outcome->error().kind(), JorvaneError::Kind::Read);
    EXPECT_EQ(r.outcome->error().read_failure()->source_index, 7u);
    EXPECT_EQ(r.values[0].size(), 2u);
}

// Records every at_interval call and answers from a script.
class ScriptedObserver final : public ScanObserver {
public:
    explicit ScriptedObserver(std::vector<Verdict> answers = {}, int stop_before = -1)
        : answers_(std::move(answers)), stop_before_(stop_before) {}
    bool requested() override { return asked_++ == stop_before_; }
    Verdict at_interval(uint64_t bytes, const engine::Engine&) override {
        calls.push_back(bytes);
        return calls.size() <= answers_.size() ? answers_[calls.size() - 1] : Verdict::Continue;
    }
    std::vector<uint64_t> calls;

private:
    std::vector<Verdict> answers_;
    int stop_before_;
    int asked_ = 0;
};

TEST(ScanSource, ObserverIsCalledAtExactByteCounts) {
    const std::string doc = "[" + std::string(98, ' ') + "]";  // 100 bytes
    struct Case {
        size_t buffer;
        uint64_t interval;
        std::vector<uint64_t> calls;
    };
    for (const Case& c : {Case{10, 10, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
                          Case{10, 20, {20, 40, 60, 80, 100}},  // an interval that is a multiple of the buffer
                          Case{10, 25, {30, 60, 90}},           // each call restarts the stretch
                          Case{30, 25, {30, 60, 90}},
                          Case{7, 100, {100}},                  // reached by the last, short buffer
                          Case{7, 101, {}},                     // never reached
                          Case{100, 1, {100}}}) {
        ScriptedObserver observer;
        const Result r = scan({{"", {K::Count}}}, doc, c.buffer, &observer, c.interval);
        ASSERT_TRUE(r.outcome && r.outcome->ok());
        EXPECT_EQ(observer.calls, c.calls) << c.buffer << "/" << c.interval;
    }
}

TEST(ScanSource, ObserverStopsOrAborts) {
    const std::string doc = "[1][2][3][4]";
    ScriptedObserver stopping({Verdict::Continue, Verdict::Stop});
    const Result stopped = scan({{"[*]", {K::Values}}}, doc, 3, &stopping, 3);
    ASSERT_TRUE(stopped.outcome && stopped.outcome->ok());
    EXPECT_EQ(stopped.abandoned, 1);
    EXPECT_EQ(stopped.outcome->value()[0].bytes_covered, 6u);
    EXPECT_EQ(stopped.values[0].size(), 2u);

    ScriptedObserver aborting({Verdict::Abort});
    const Result aborted = scan({{"[*]", {K::Values}}}, doc, 3, &aborting, 3);
    EXPECT_FALSE(aborted.outcome);

    // A stop requested before any read: nothing read, the outputs cover 0 bytes.
    ScriptedObserver early({}, 0);
    const Result none = scan({{"[*]", {K::Count}}}, doc, 3, &early, 3);
    ASSERT_TRUE(none.outcome && none.outcome->ok());
    EXPECT_EQ(none.abandoned, 1);
    EXPECT_EQ(none.outcome->value()[0].bytes_covered, 0u);
    EXPECT_EQ(none.outcome->value()[0].count, 0u);
}

}  // namespace
}  // namespace jorvane::run::testing
