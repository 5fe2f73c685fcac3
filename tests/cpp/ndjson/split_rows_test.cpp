// Whole rows written from ranges on several walkers against one engine
// writing them: random records (nulls, nested values, pretty-printed
// records), whole or broken at a random place, read from a mapped file or as
// sequential input, over several buffer grids, range lengths, walker counts
// and rows queries. The lines, their order, the error after them (kind,
// offset, text) and its partial results must be equal; the lines come out
// range by range with at most two ranges per walker read ahead; and an
// interrupted run goes on where it stopped.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ndjson/emitter.h"
#include "run/range_cutter.h"
#include "source/mapped_file.h"
#include "support/random_records.h"

namespace jorvane::ndjson {
namespace {

using jorvane::testing::check_random_documents;
using jorvane::testing::mapped;
using jorvane::testing::RandomRecords;
using jorvane::testing::TempFile;

std::string show(const EmittedLines& e) {
    std::string s;
    for (const std::string& line : e.lines) s += line + "\n";
    if (!e.error) return s + "(end)";
    s += "error " + e.error->to_string();
    if (const Incomplete* r = e.error->record())
        for (const auto& q : r->partials)
            s += " count " + (q.count ? std::to_string(*q.count) : std::string("-")) + " covered " +
                 (q.bytes_covered ? std::to_string(*q.bytes_covered) : std::string("-"));
    return s;
}

const engine::ScanMode kBatched = engine::ScanMode::batched(8);

EmittedLines rows_of(const std::string& rows, std::unique_ptr<Source> source, size_t walkers = 1,
                     uint64_t range_len = 0) {
    return emit_all(rows, std::nullopt, table::OnMulti::Error, std::nullopt, kBatched, std::move(source),
                    table::TableSplitOptions{walkers, range_len});
}

void check(const std::string& doc, const std::string& label) {
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    for (const char* rows : {"", "a", "**"}) {
        for (size_t grid : {size_t{7}, size_t{4096}}) {
            const std::string one = show(rows_of(rows, mapped(**opened, grid)));
            for (uint64_t range : {uint64_t{1}, uint64_t{45}, uint64_t{700}}) {
                for (size_t walkers : {size_t{1}, size_t{3}, size_t{8}}) {
                    const std::string where = label + " rows '" + rows + "' grid " + std::to_string(grid) + " range " +
                                              std::to_string(range) + " walkers " + std::to_string(walkers);
                    EXPECT_EQ(one, show(rows_of(rows, mapped(**opened, grid), walkers, range))) << where;
                    EXPECT_EQ(one, show(rows_of(rows, jorvane::testing::sequential(doc, grid), walkers, range)))
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

TEST(SplitRows, RandomRowsAsOneEngineWritesThem) {
    check_random_documents(1, 10, false, check);
    if (::testing::Test::HasFailure()) return;
    check("", "empty");
}

TEST(SplitRows, BrokenInputFailsAfterTheSameLines) { check_random_documents(100, 112, true, check); }

// A line limit counts the rows of the whole input, also where a test names
// the range length: the first `limit` lines, not `limit` lines per range.
TEST(SplitRows, ALimitCountsTheLinesOfTheWholeInput) {
    std::string doc;
    for (int i = 0; i < 30; ++i) doc += "{\"i\":" + std::to_string(i) + "}\n";
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    for (const uint64_t limit : {1, 7, 29}) {
        const auto limited = [&](std::unique_ptr<Source> source, table::TableSplitOptions w) {
            return show(emit_all("", std::nullopt, table::OnMulti::Error, limit, kBatched, std::move(source), w));
        };
        std::string first;
        for (uint64_t i = 0; i < limit; ++i) first += "{\"i\":" + std::to_string(i) + "}\n";
        ASSERT_EQ(limited(mapped(**opened, 64), table::TableSplitOptions{}), first + "(end)");
        for (const size_t walkers : {2, 8})
            for (const uint64_t range : {1, 45}) {
                EXPECT_EQ(limited(mapped(**opened, 64), table::TableSplitOptions{walkers, range}), first + "(end)")
                    << "limit " << limit << ", walkers " << walkers << ", range " << range;
                EXPECT_EQ(limited(jorvane::testing::sequential(doc, 64), table::TableSplitOptions{walkers, range}),
                          first + "(end)")
                    << "limit " << limit << ", walkers " << walkers << ", range " << range << " sequential";
            }
    }
}

// Sequential input that counts the bytes it has handed out.
class CountingSource final : public Source {
public:
    CountingSource(const std::string& doc, size_t grid) : inner_(jorvane::testing::sequential(doc, grid)) {}
    BufferResult next_buffer() override {
        BufferResult b = inner_->next_buffer();
        if (b && *b) read += (*b)->size();
        return b;
    }
    size_t buffer_grid() const override { return inner_->buffer_grid(); }
    uint64_t read = 0;

private:
    std::unique_ptr<Source> inner_;
};

// Says stop at every third ask.
class EveryThird final : public run::Interrupt {
public:
    bool requested() override { return ++asks_ % 3 == 0; }

private:
    int asks_ = 0;
};

TEST(SplitRows, LinesComeRangeByRangeAndAnInterruptedRunGoesOn) {
    RandomRecords g(3);
    std::string doc;
    for (int i = 0; i < 40; ++i) doc += g.document(0, 50);
    const std::string one = show(rows_of("", jorvane::testing::sequential(doc, 64)));
    constexpr uint64_t kRange = 300;
    for (size_t walkers : {size_t{2}, size_t{8}}) {
        auto counting = std::make_unique<CountingSource>(doc, 64);
        CountingSource& source = *counting;
        auto emitter = NdjsonEmitter::make("", std::nullopt, table::OnMulti::Error, std::nullopt, kBatched,
                                           std::move(counting), table::TableSplitOptions{walkers, kRange});
        ASSERT_TRUE(emitter.ok());
        Lines first;
        ASSERT_TRUE(emitter->next_lines(first).value());
        // The ranges handed out ahead of the merge, each at most four range
        // lengths, the bytes kept after the last and a buffer read past it.
        EXPECT_LE(source.read, (2 * walkers) * 4 * kRange + run::kRangeMargin + 64) << walkers;
        EXPECT_LT(first.size(), 40u);

        EveryThird interrupt;
        EmittedLines all;
        for (size_t i = 0; i < first.size(); ++i) all.lines.emplace_back(first.line(i));
        size_t stops = 0;
        for (;;) {
            Lines batch;
            auto more = emitter->next_lines(batch, &interrupt);
            if (!more && more.error().to_string() == run::interrupted_read().to_string()) {
                ++stops;
                continue;
            }
            if (!more) {
                all.error = std::move(more.error());
                break;
            }
            for (size_t i = 0; i < batch.size(); ++i) all.lines.emplace_back(batch.line(i));
            if (!*more) break;
        }
        EXPECT_GT(stops, 0u);
        EXPECT_EQ(one, show(all)) << walkers;
    }
}

}  // namespace
}  // namespace jorvane::ndjson
