// What the range pull promises its consumers beyond the answers the
// differential tests compare: whatever a walker kept of a range reaches the
// merge exactly once, handed over in order or dropped when the open stretch
// reads on through the range instead (so what a consumer counts as held
// ahead shrinks back to nothing), the open stretch's engine is readied
// before every range it reads on through, stretches close before the next
// one starts, and walkers held back by a one-byte bound never stall the
// merge. Scanned in order on the merging thread, the ranges give the same
// steps as the walker threads give.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "engine/describer.h"
#include "run/split_pull.h"
#include "source/mapped_file.h"
#include "support/random_records.h"

namespace jorvane::run {
namespace {

using jorvane::testing::mapped;
using jorvane::testing::RandomRecords;
using jorvane::testing::TempFile;

// What a range kept: where each of its buffers ended.
struct BufferEnds final : RangeOutput {
    std::vector<uint64_t> ends;
};

// Keeps every range's buffer ends and counts one byte held per output until
// the merge hands it over or drops it.
class Recording final : public SplitConsumer {
public:
    explicit Recording(HeldAhead& held) : held_(held) {}
    engine::Engine make() const override {
        engine::Engine engine(engine::ScanMode::batched(8));
        engine.attach_describer(engine::Describer(16));
        return engine;
    }
    bool after_buffer(engine::Engine&, const engine::BufferScan&, uint64_t end,
                      std::unique_ptr<RangeOutput>& into) const override {
        if (!into) {
            into = std::make_unique<BufferEnds>();
            made.fetch_add(1);
            held_.add(1, 0);
        }
        static_cast<BufferEnds&>(*into).ends.push_back(end);
        return true;
    }
    void before_extend(engine::Engine&) override { ++readied; }
    void dropped(RangeOutput&) override {
        ++dropped_outputs;
        held_.release(1, 0);
    }

    mutable std::atomic<int> made{0};
    int readied = 0;
    int dropped_outputs = 0;

private:
    HeldAhead& held_;
};

TEST(SplitPull, WhatWalkersKeepReachesTheMergeOnceAndHeldWalkersNeverStallIt) {
    RandomRecords g(11);
    const std::string doc = g.document(1, 80);  // pretty-printed records among one-line ones
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    int dropped_in_all = 0;
    for (const bool sequential : {false, true}) {
        for (const size_t walkers : {size_t{1}, size_t{3}}) {
            for (const uint64_t range : {uint64_t{45}, uint64_t{300}}) {
                std::string threaded_steps;
                for (const bool in_order : {false, true}) {
                    const std::string where = std::string(sequential ? "sequential" : "mapped") + ", walkers " +
                                              std::to_string(walkers) + ", range " + std::to_string(range) +
                                              (in_order ? ", in order" : "");
                    HeldAhead held(1, nullptr);
                    Recording consumer(held);
                    auto source = sequential ? jorvane::testing::sequential(doc, 64) : mapped(**opened, 64);
                    SplitPull pull(*source, SplitPlan{walkers, range, in_order}, consumer, 0, &held);
                    // Every step with what it carries: whether the range started
                    // a stretch and where its buffers ended.
                    std::string steps;
                    int fresh = 0, read_on = 0, closed = 0, handed = 0;
                    uint64_t covered = 0;
                    for (bool over = false; !over;) {
                        PullStep step = pull.next();
                        switch (step.kind) {
                            case PullStep::Kind::Range: {
                                // A stretch closes before the next one's first range.
                                ASSERT_EQ(closed, step.fresh ? fresh : fresh - 1) << where;
                                (step.fresh ? fresh : read_on) += 1;
                                ASSERT_TRUE(step.output) << where;
                                ++handed;
                                held.release(1, 0);
                                const std::vector<uint64_t>& ends = static_cast<BufferEnds&>(*step.output).ends;
                                steps += step.fresh ? "\nfresh" : "\nread on";
                                for (const uint64_t end : ends) steps += " " + std::to_string(end);
                                ASSERT_GT(ends.front(), covered) << where;
                                ASSERT_EQ(ends.back(), pull.scanned()) << where;
                                covered = pull.scanned();
                                pull.retire(std::move(step.output));
                                break;
                            }
                            case PullStep::Kind::Closed:
                                steps += "\nclosed";
                                ++closed;
                                pull.retire(std::move(*step.closed));
                                break;
                            case PullStep::Kind::Finished: break;
                            case PullStep::Kind::Ended: over = true; break;
                            default: FAIL() << where << ": the scan failed or was interrupted";
                        }
                    }
                    EXPECT_EQ(covered, doc.size()) << where;
                    EXPECT_EQ(closed, fresh) << where;
                    EXPECT_EQ(consumer.readied, read_on) << where;
                    EXPECT_EQ(consumer.made.load(), handed + consumer.dropped_outputs) << where;
                    dropped_in_all += consumer.dropped_outputs;
                    EXPECT_GT(read_on, 0) << where << ": no cut fell inside a record";
                    if (in_order) {
                        EXPECT_EQ(steps, threaded_steps) << where;
                    } else {
                        threaded_steps = steps;
                    }
                }
            }
        }
    }
    EXPECT_GT(dropped_in_all, 0) << "no walker's range was read on by the stretch before it";
}

}  // namespace
}  // namespace jorvane::run
