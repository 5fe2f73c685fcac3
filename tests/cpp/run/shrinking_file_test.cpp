// A plain file that shrinks while it is scanned in ranges: wherever the scan
// stands when it is cut (between two cuts, at a cut, inside a walker's
// range), the run fails with the read error of a file that shrank, after
// what it scanned before, never ending as if the input ended there. The file
// is cut from the test at chosen points of the scan (the scan asking its
// interrupt, a walker's per-buffer step), never by timing.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "run/held_ahead.h"
#include "run/plans.h"
#include "run/range_cutter.h"
#include "run/range_scan.h"
#include "run/split_describe.h"
#include "run/split_pull.h"
#include "run/split_scan.h"
#include "source/mapped_file.h"
#include "support/random_records.h"
#include "support/scripted_scans.h"

namespace jorvane::run::testing {
namespace {

using jorvane::testing::mapped;
using jorvane::testing::TempFile;

const std::string kShrank = "error reading source #0: the file shrank while it was being read";

std::string numbered_lines(size_t n) {
    std::string doc;
    for (size_t i = 0; i < n; ++i) doc += "{\"a\":" + std::to_string(i) + "}\n";
    return doc;
}

// Cuts the file to `to` bytes the `at`-th time the scan asks whether to stop
// (a split run asks before it waits for each range), and never stops it.
class ShrinkWhenAsked final : public ScanObserver {
public:
    ShrinkWhenAsked(const TempFile& file, int at, uint64_t to) : file_(file), at_(at), to_(to) {}
    bool requested() override {
        if (++asked_ == at_) file_.shrink_to(to_);
        return false;
    }
    Verdict at_interval(uint64_t, const engine::Engine&) override { return Verdict::Continue; }
    bool reads_engine() const override { return false; }

private:
    const TempFile& file_;
    int at_;
    uint64_t to_;
    int asked_ = 0;
};

// Where a test cuts the file once the scan is under way: to nothing, at a
// cut (the end of range `k`), inside the range after it, one byte short.
std::vector<uint64_t> shrink_points(const std::string& doc, uint64_t range_len, size_t k) {
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    if (!opened) return {};
    auto source = mapped(**opened, 64);
    RangeFeed feed(*source, range_len);
    uint64_t cut = 0;
    for (size_t i = 0; i <= k; ++i)
        if (auto r = feed.next()) cut = r->end;
    return {0, cut, cut + 5, doc.size() - 1};
}

TEST(ShrinkingFile, TheCutsAfterAShrinkFailInsteadOfEnding) {
    const std::string doc = numbered_lines(400);
    for (const uint64_t to : shrink_points(doc, 100, 1)) {
        TempFile file(doc);
        auto opened = MappedFile::open(file.path());
        ASSERT_TRUE(opened.ok());
        auto source = mapped(**opened, 64);
        RangeFeed feed(*source, 100);
        ASSERT_TRUE(feed.next() && feed.next());
        file.shrink_to(to);
        EXPECT_FALSE(feed.next()) << to;
        EXPECT_TRUE(feed.done());
        EXPECT_EQ(feed.count(), 2u);
        const std::optional<IoError> error = feed.take_error();
        ASSERT_TRUE(error) << "a file cut to " << to << " bytes ended the ranges without an error";
        EXPECT_EQ(error->to_string(), file_shrank().to_string());
    }
}

TEST(ShrinkingFile, AWalkerFailsWhereItsRangeShrank) {
    // The file is cut after the walker's first buffer (64 bytes): behind it,
    // inside its next buffer, or where that buffer ends; a range that starts
    // past the new end fails before it reads.
    const std::string doc = numbered_lines(100);
    const engine::CompiledQueries compiled = compile({{"a", {AccumulatorKind::Count}}});
    struct Case {
        uint64_t to;
        uint64_t scanned;  // the end of the last buffer scanned
    };
    for (const Case c : {Case{0, 64}, Case{74, 64}, Case{128, 128}}) {
        TempFile file(doc);
        auto opened = MappedFile::open(file.path());
        ASSERT_TRUE(opened.ok());
        const RangeInput in{opened->get(), 64};
        const std::atomic<bool> never{false};
        std::vector<uint8_t> spare;
        Stretch run;
        run.engine = std::make_unique<engine::Engine>(make_engine(compiled, engine::ScanMode::batched(8), false));
        scan_range(run, in, Range{0, 0, doc.size(), nullptr}, spare, never, [&](uint64_t end, const engine::BufferScan&) {
            if (end == 64) file.shrink_to(c.to);
            return true;
        });
        ASSERT_TRUE(run.read_error) << "cut to " << c.to;
        EXPECT_EQ(run.read_error->to_string(), file_shrank().to_string());
        EXPECT_FALSE(run.error);
        EXPECT_EQ(run.end, c.scanned) << "cut to " << c.to;

        Stretch later;
        later.begin = later.end = 192;
        later.engine = std::make_unique<engine::Engine>(make_engine(compiled, engine::ScanMode::batched(8), false));
        scan_range(later, in, Range{1, 192, doc.size(), nullptr}, spare, never);
        ASSERT_TRUE(later.read_error);
        EXPECT_EQ(later.read_error->to_string(), file_shrank().to_string());
        EXPECT_EQ(later.end, 192u);
    }
}

TEST(ShrinkingFile, QueriesAndProfilesInRangesFail) {
    // Cut while the merge waits for its third range; ranges are still to be
    // cut then, whatever the walkers have scanned.
    const std::string doc = numbered_lines(4000);
    const engine::CompiledQueries compiled =
        compile({{"a", {AccumulatorKind::Count, AccumulatorKind::Sum, AccumulatorKind::Values}}});
    for (const uint64_t to : shrink_points(doc, 100, 20)) {
        for (const size_t walkers : {size_t{1}, size_t{2}, size_t{8}}) {
            const std::string where = "cut to " + std::to_string(to) + ", walkers " + std::to_string(walkers);
            {
                TempFile file(doc);
                auto opened = MappedFile::open(file.path());
                ASSERT_TRUE(opened.ok());
                ShrinkWhenAsked hook(file, 3, to);
                auto source = mapped(**opened, 64);
                KeepingSink sink;
                ScanOptions options;
                options.observer = &hook;
                options.sink = &sink;
                const std::optional<SourceOutcome> outcome =
                    scan_split(compiled, engine::ScanMode::batched(8), *source, options, SplitPlan{walkers, 100});
                ASSERT_TRUE(outcome) << where;
                ASSERT_FALSE(outcome->ok()) << where << ": the run ended with no error";
                EXPECT_EQ(outcome->error().to_string(), kShrank) << where;
                // The values handed on before the failure are the file's first ones.
                sink.per_query.resize(1);
                for (size_t i = 0; i < sink.per_query[0].size(); ++i)
                    ASSERT_EQ(sink.per_query[0][i], Value::number(engine::JsonNumber::from_int(static_cast<int64_t>(i))))
                        << where;
            }
            {
                TempFile file(doc);
                auto opened = MappedFile::open(file.path());
                ASSERT_TRUE(opened.ok());
                ShrinkWhenAsked hook(file, 3, to);
                auto source = mapped(**opened, 64);
                const auto profiled =
                    describe_split(*source, engine::ScanMode::batched(8), 16, &hook, SplitPlan{walkers, 100});
                ASSERT_TRUE(profiled) << where;
                ASSERT_FALSE(profiled->ok()) << where << ": the profile ended with no error";
                EXPECT_EQ(profiled->error().to_string(), kShrank) << where;
            }
        }
    }
}

// Keeps a weight for every buffer scanned, so that with no room for any a
// walker waits after its range's first buffer until the merge takes that
// range; cuts the file to `to` bytes once a scan has taken the buffer that
// ends at `at`.
class ShrinkAtBuffer final : public SplitConsumer {
public:
    ShrinkAtBuffer(const engine::CompiledQueries& compiled, HeldAhead& held, const TempFile& file, uint64_t at,
                   uint64_t to)
        : compiled_(compiled), held_(held), file_(file), at_(at), to_(to) {}
    engine::Engine make() const override { return make_engine(compiled_, engine::ScanMode::batched(8), false); }
    bool after_buffer(engine::Engine&, const engine::BufferScan&, uint64_t end,
                      std::unique_ptr<RangeOutput>&) const override {
        held_.add(0, 1);
        if (end == at_) file_.shrink_to(to_);
        return true;
    }

private:
    const engine::CompiledQueries& compiled_;
    HeldAhead& held_;
    const TempFile& file_;
    uint64_t at_;
    uint64_t to_;
};

TEST(ShrinkingFile, AfterTheLastCutTheWalkerOfTheLastRangeFailsTheRun) {
    // With two walkers or more the merge asks the cutter past its last range
    // before it takes the range before the last, and the last range's walker
    // waits after its first buffer until that range is taken: the file is
    // cut after its second buffer, when the cutter has long found the input's
    // end, and only the walker's reads can see the file shrink. It is cut
    // where the walker reads next, inside its next buffer, or one byte short.
    const std::string doc = numbered_lines(300);
    const engine::CompiledQueries compiled = compile({{"a", {AccumulatorKind::Count}}});
    constexpr uint64_t kRangeLen = 512;
    std::vector<Range> ranges;
    {
        TempFile file(doc);
        auto opened = MappedFile::open(file.path());
        ASSERT_TRUE(opened.ok());
        auto source = mapped(**opened, 64);
        RangeFeed feed(*source, kRangeLen);
        while (auto r = feed.next()) ranges.push_back(*r);
    }
    ASSERT_GE(ranges.size(), 3u);
    const uint64_t at = (ranges.back().begin / 64 + 2) * 64;
    ASSERT_LT(at + 64, doc.size()) << "the last range is too short for three buffers";
    for (const uint64_t to : {at, at + 5, uint64_t{doc.size() - 1}}) {
        for (const size_t walkers : {size_t{2}, size_t{4}}) {
            const std::string where = "cut to " + std::to_string(to) + ", walkers " + std::to_string(walkers);
            TempFile file(doc);
            auto opened = MappedFile::open(file.path());
            ASSERT_TRUE(opened.ok());
            auto source = mapped(**opened, 64);
            const std::atomic<uint64_t> no_room{0};
            HeldAhead held(0, &no_room);
            ShrinkAtBuffer consumer(compiled, held, file, at, to);
            SplitPull pull(*source, SplitPlan{walkers, kRangeLen}, consumer, 0, &held);
            size_t handed = 0;
            bool finished = false;
            PullStep step;
            do {
                step = pull.next();
                handed += step.kind == PullStep::Kind::Range;
                finished = finished || step.kind == PullStep::Kind::Finished;
            } while (step.kind != PullStep::Kind::Failed && step.kind != PullStep::Kind::Ended);
            ASSERT_EQ(step.kind, PullStep::Kind::Failed) << where << ": the run ended with no error";
            EXPECT_EQ(step.error->to_string(), kShrank) << where;
            EXPECT_FALSE(finished) << where << ": the input was closed as if it ended";
            EXPECT_EQ(handed, ranges.size()) << where;
        }
    }
}

}  // namespace
}  // namespace jorvane::run::testing
