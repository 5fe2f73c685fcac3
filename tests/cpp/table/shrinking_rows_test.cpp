// A plain file that shrinks while its rows are scanned in ranges: table
// batches (with a row limit that is never reached too) and groups fail with
// the read error of a shrunk file after the rows handed out before it,
// never ending as if the input ended there. The file is cut when the scan
// asks its interrupt for the third time, while ranges are still to be cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "source/mapped_file.h"
#include "support/random_records.h"
#include "table/group_by.h"
#include "table/table_stream.h"

namespace jorvane::table {
namespace {

using jorvane::testing::mapped;
using jorvane::testing::TempFile;

const std::string kShrank = "error reading source #0: the file shrank while it was being read";

// Cuts the file to `to` bytes the third time it is asked, and never stops the scan.
class ShrinkWhenAsked final : public run::Interrupt {
public:
    ShrinkWhenAsked(const TempFile& file, uint64_t to) : file_(file), to_(to) {}
    bool requested() override {
        if (++asked_ == 3) file_.shrink_to(to_);
        return false;
    }

private:
    const TempFile& file_;
    uint64_t to_;
    int asked_ = 0;
};

TEST(ShrinkingRows, EveryRowConsumerFailsAfterTheRowsBefore) {
    std::string doc;
    for (int i = 0; i < 4000; ++i) doc += "{\"a\":" + std::to_string(i) + "}\n";
    for (const uint64_t to : {uint64_t{0}, uint64_t{doc.size() / 2}, uint64_t{doc.size() - 1}}) {
        for (const size_t walkers : {size_t{1}, size_t{2}, size_t{8}}) {
            const std::string where = "cut to " + std::to_string(to) + ", walkers " + std::to_string(walkers);
            const TableSplitOptions w{walkers, 100};
            const auto scan = [&](const auto& body) {
                TempFile file(doc);
                auto opened = MappedFile::open(file.path());
                ASSERT_TRUE(opened.ok());
                ShrinkWhenAsked hook(file, to);
                body(mapped(**opened, 64), hook);
            };
            for (const std::optional<uint64_t> limit : {std::optional<uint64_t>(), std::optional<uint64_t>(1000000)}) {
                scan([&](std::unique_ptr<Source> source, ShrinkWhenAsked& hook) {
                    TableSpec spec = TableSpec("").column("a", "a");
                    spec.limit = limit;
                    auto s = TableStream::make(std::move(spec), engine::ScanMode::batched(8), std::move(source), 50, w);
                    ASSERT_TRUE(s.ok());
                    ASSERT_TRUE(s->splits());
                    for (;;) {
                        auto ready = s->advance(&hook);
                        ASSERT_TRUE(ready.ok() || ready.error().to_string() == kShrank)
                            << where << ": " << ready.error().to_string();
                        if (!ready.ok()) return;
                        ASSERT_TRUE(*ready) << where << (limit ? " with a limit" : "") << ": the table ended with no error";
                        ASSERT_TRUE(s->emit().ok());
                    }
                });
            }
            scan([&](std::unique_ptr<Source> source, ShrinkWhenAsked& hook) {
                const GroupSpec g{"", {{"k", "a"}}, {GroupAgg{"n", GroupOp::Count, std::nullopt}}, OnMulti::Error, {}};
                auto grouped = group_by_scan(g, engine::ScanMode::batched(8), std::move(source), &hook, w);
                ASSERT_FALSE(grouped.ok()) << where << ": the groups ended with no error";
                EXPECT_EQ(grouped.error().to_string(), kShrank) << where;
            });
        }
    }
}

}  // namespace
}  // namespace jorvane::table
