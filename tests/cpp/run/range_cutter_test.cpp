// The ranges a RangeFeed hands out, from a mapped file and from sequential
// input that reads to its end or fails part way: consecutive and numbered in
// order, covering what was read, with the count and the last end it reports,
// nothing once done, and a read failure kept for the consumer to take once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/range_cutter.h"
#include "source/read_source.h"
#include "support/random_records.h"
#include "support/sample_inputs.h"

namespace jorvane::run {
namespace {

using jorvane::testing::RandomRecords;
using jorvane::testing::TempFile;

struct Fed {
    std::vector<Range> ranges;
    std::optional<IoError> error;
};

Fed feed_all(Source& source, uint64_t range_len) {
    RangeFeed feed(source, range_len);
    Fed out;
    while (std::optional<Range> r = feed.next()) {
        out.ranges.push_back(std::move(*r));
        EXPECT_EQ(feed.count(), out.ranges.size());
        EXPECT_EQ(feed.end(), out.ranges.back().end);
    }
    EXPECT_TRUE(feed.done());
    EXPECT_FALSE(feed.next());  // nothing more once done, whatever the cutter would say
    out.error = feed.take_error();
    EXPECT_FALSE(feed.take_error());
    return out;
}

void expect_consecutive(const Fed& fed, uint64_t covered, const std::string& where) {
    uint64_t at = 0;
    for (size_t i = 0; i < fed.ranges.size(); ++i) {
        EXPECT_EQ(fed.ranges[i].index, i) << where;
        EXPECT_EQ(fed.ranges[i].begin, at) << where;
        EXPECT_LT(fed.ranges[i].begin, fed.ranges[i].end) << where;
        at = fed.ranges[i].end;
    }
    EXPECT_EQ(at, covered) << where;
}

TEST(RangeFeed, HandsOutConsecutiveRangesAndKeepsAReadFailure) {
    RandomRecords g(5);
    const std::string doc = g.document(0, 60);
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    const test::Bytes bytes(doc.begin(), doc.end());
    for (uint64_t range_len : {uint64_t{1}, uint64_t{100}, uint64_t{1} << 20}) {
        const std::string where = "range " + std::to_string(range_len);
        {
            auto source = jorvane::testing::mapped(**opened, 64);
            const Fed fed = feed_all(*source, range_len);
            EXPECT_FALSE(fed.error) << where;
            expect_consecutive(fed, doc.size(), where + " mapped");
        }
        {
            auto source = jorvane::testing::sequential(doc, 64);
            const Fed fed = feed_all(*source, range_len);
            EXPECT_FALSE(fed.error) << where;
            expect_consecutive(fed, doc.size(), where + " sequential");
        }
        {
            // The input fails after all its bytes: the ranges cut before
            // the failure come first, then the failure, once.
            const IoError boom = IoError::custom(IoErrorKind::Other, "boom");
            ReadSource source(std::make_unique<test::ScriptedReader>(bytes, 100, boom), 64);
            const Fed fed = feed_all(source, range_len);
            ASSERT_TRUE(fed.error) << where;
            EXPECT_EQ(fed.error->to_string(), boom.to_string()) << where;
            ASSERT_FALSE(fed.ranges.empty()) << where;
            expect_consecutive(fed, fed.ranges.back().end, where + " failing");
        }
    }
}

}  // namespace
}  // namespace jorvane::run
