// Profiles taken in ranges against one engine's profile of the whole input:
// random records (nulls, nested values, more paths and values than a small
// distinct cap, pretty-printed records), whole or broken at a random place,
// read from a mapped file or as sequential input, over several buffer grids,
// range lengths and walker counts. Paths in first-seen order, counts, types,
// distinct counts, depth and bytes scanned must be equal, and so must an
// error: kind, offset and text.
#include <gtest/gtest.h>

#include <string>

#include "engine/describer.h"
#include "engine/parse_error_kind.h"
#include "run/split_describe.h"
#include "source/mapped_file.h"
#include "support/random_records.h"

namespace jorvane::run {
namespace {

using jorvane::testing::check_random_documents;
using jorvane::testing::mapped;
using jorvane::testing::RandomRecords;
using jorvane::testing::TempFile;

using Profiled = std::optional<Result<SourceProfile, JorvaneError>>;

std::string show(const Profiled& p) {
    if (!p) return "interrupted";
    if (!*p) {
        const JorvaneError& e = p->error();
        const size_t partials = e.record() ? e.record()->partials.size() : 0;
        return "error " + std::to_string(static_cast<int>(e.kind())) + " " + e.to_string() + " partials " +
               std::to_string(partials);
    }
    const engine::Describer& d = (*p)->profile;
    std::string s = "depth " + std::to_string(d.max_depth()) + " bytes " + std::to_string((*p)->bytes_scanned) + "\n";
    for (size_t i = 0; i < d.path_count(); ++i) {
        const engine::PathStats& st = d.stats(i);
        s += d.path_text(i) + " " + std::to_string(st.count) + " [";
        for (uint64_t t : st.types) s += std::to_string(t) + ",";
        s += "] " + (st.overflowed ? std::string("high") : std::to_string(st.fingerprints.size())) + "\n";
    }
    return s;
}

const engine::ScanMode kBatched = engine::ScanMode::batched(8);

void check(const std::string& doc, const std::string& label) {
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    for (uint64_t cap : {uint64_t{2}, uint64_t{1000}}) {
        for (size_t grid : {size_t{7}, size_t{4096}}) {
            const std::string whole = show(describe_source(*mapped(**opened, grid), kBatched, cap, std::nullopt, nullptr));
            const std::string stream =
                show(describe_source(*jorvane::testing::sequential(doc, grid), kBatched, cap, std::nullopt, nullptr));
            ASSERT_EQ(whole, stream);
            for (uint64_t range : {uint64_t{1}, uint64_t{45}, uint64_t{700}}) {
                for (size_t walkers : {size_t{1}, size_t{3}, size_t{8}}) {
                    const std::string where = label + " cap " + std::to_string(cap) + " grid " + std::to_string(grid) +
                                              " range " + std::to_string(range) + " walkers " + std::to_string(walkers);
                    const SplitPlan plan{walkers, range};
                    EXPECT_EQ(whole, show(describe_split(*mapped(**opened, grid), kBatched, cap, nullptr, plan)))
                        << where;
                    EXPECT_EQ(whole, show(describe_split(*jorvane::testing::sequential(doc, grid), kBatched, cap,
                                                         nullptr, plan)))
                        << where << " sequential";
                    if (::testing::Test::HasFailure()) {
                        ADD_FAILURE() << "document:\n" << doc;
                        return;
                    }
                }
            }
        }
    }
}

TEST(SplitDescribe, RandomProfilesAsOneEngineTakesThem) {
    check_random_documents(1, 13, false, check);
    if (::testing::Test::HasFailure()) return;
    check("", "empty");
}

TEST(SplitDescribe, BrokenInputFailsAsOneEngineFails) { check_random_documents(100, 116, true, check); }

TEST(SplitDescribe, NestingPastTheLimitFailsAsOneEngineFails) {
    // Between records, a value nested to the limit (profiled) or one level
    // past it (refused at that bracket), on one line or one bracket a line,
    // so that cuts fall inside it and ranges start deep in it.
    RandomRecords g(3);
    const std::string records = g.document(0, 6);
    for (size_t depth : {size_t{engine::kNestingLimit}, size_t{engine::kNestingLimit} + 1}) {
        for (const std::string nl : {"", "\n"}) {
            std::string deep;
            for (size_t i = 0; i < depth; ++i) deep += "[" + nl;
            for (size_t i = 0; i < depth; ++i) deep += "]" + nl;
            const std::string doc = records + deep + "\n" + records;
            const std::string label = "depth " + std::to_string(depth) + (nl.empty() ? " on one line" : " a line each");
            const uint64_t at = records.size() + engine::kNestingLimit * (1 + nl.size());
            const std::string refused =
                "malformed JSON at byte " + std::to_string(at) + ": a matched value nested past the 1000-container limit";
            TempFile file(doc);
            auto opened = MappedFile::open(file.path());
            ASSERT_TRUE(opened.ok());
            for (size_t grid : {size_t{7}, size_t{4096}}) {
                const std::string one =
                    show(describe_source(*mapped(**opened, grid), kBatched, 1000, std::nullopt, nullptr));
                EXPECT_EQ(one.find(refused) != std::string::npos, depth > engine::kNestingLimit) << label << ": " << one;
                for (uint64_t range : {uint64_t{1}, uint64_t{300}}) {
                    const SplitPlan plan{3, range};
                    const std::string where = label + " grid " + std::to_string(grid) + " range " + std::to_string(range);
                    EXPECT_EQ(one, show(describe_split(*mapped(**opened, grid), kBatched, 1000, nullptr, plan))) << where;
                    EXPECT_EQ(one, show(describe_split(*jorvane::testing::sequential(doc, grid), kBatched, 1000, nullptr,
                                                       plan)))
                        << where << " sequential";
                }
            }
        }
    }
}

// Stops once it has been asked `n` times.
class StopAfter final : public Interrupt {
public:
    explicit StopAfter(int n) : n_(n) {}
    bool requested() override { return --n_ < 0; }

private:
    int n_;
};

TEST(SplitDescribe, AnInterruptEndsTheRunWithNothing) {
    RandomRecords g(7);
    std::string doc;
    for (int i = 0; i < 20; ++i) doc += g.document(0, 40);
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    for (int asks : {0, 1, 5}) {
        StopAfter stop(asks);
        EXPECT_FALSE(describe_split(*mapped(**opened, 64), kBatched, 1000, &stop, SplitPlan{4, 100})) << asks;
    }
    StopAfter never(1 << 30);
    EXPECT_EQ(show(describe_split(*mapped(**opened, 64), kBatched, 1000, &never, SplitPlan{4, 100})),
              show(describe_source(*mapped(**opened, 64), kBatched, 1000, std::nullopt, nullptr)));
}

// A mapped file's source that counts the buffers asked of it: ranges are read
// from the file itself, so a run in ranges asks for none.
class CountingSource final : public Source {
public:
    CountingSource(const MappedFile& file, size_t grid) : inner_(mapped(file, grid)) {}
    BufferResult next_buffer() override {
        ++asked;
        return inner_->next_buffer();
    }
    const MappedFile* mapped_file() const override { return inner_->mapped_file(); }
    size_t buffer_grid() const override { return inner_->buffer_grid(); }
    size_t asked = 0;

private:
    std::unique_ptr<Source> inner_;
};

TEST(SplitDescribe, TheRunPolicySplitsLargeFilesWithoutAByteLimit) {
    constexpr uint64_t kSplitSize = 8388608;
    RandomRecords g(5);
    std::string doc;
    while (doc.size() < kSplitSize) doc += g.document(1, 200);
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    const size_t grid = 1048576;
    for (std::optional<uint64_t> limit : {std::optional<uint64_t>(), std::optional<uint64_t>(3000000)}) {
        CountingSource source(**opened, grid);
        const std::string split = show(describe_one_source(source, kBatched, 1000, limit, nullptr, 8));
        EXPECT_EQ(split, show(describe_source(*mapped(**opened, grid), kBatched, 1000, limit, nullptr)));
        EXPECT_EQ(source.asked == 0, !limit) << source.asked;
    }
}

}  // namespace
}  // namespace jorvane::run
