// The run policy at its boundaries: the mode "auto" picks for a number of
// sources and a thread budget, and the size from which one file is cut into
// ranges.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "run/run_policy.h"
#include "run/usable_processors.h"

namespace jorvane::run {
namespace {

std::string chosen(const std::optional<std::string>& mode, size_t sources, size_t threads, bool splits = false) {
    const auto m = choose_mode(mode, sources, threads, splits);
    if (!m) return "none";
    return std::string(mode_name(*m)) + "/" + std::to_string(m->chunks);
}

TEST(RunPolicy, AutoPipelinesOnlyWithTwoThreadsPerSourceAndNoSplit) {
    constexpr size_t kMax = std::numeric_limits<size_t>::max();
    struct Case {
        size_t sources, threads;
        bool splits;
        const char* mode;
    };
    const Case cases[] = {
        {1, 2, false, "pipelined/128"}, {1, 1, false, "batched/8"},     {2, 4, false, "pipelined/128"},
        {2, 3, false, "batched/8"},     {3, 6, false, "pipelined/128"}, {3, 5, false, "batched/8"},
        {0, 2, false, "pipelined/128"}, {0, 1, false, "batched/8"},     {1, 0, false, "batched/8"},
        // Twice the sources saturates rather than wrapping round.
        {kMax / 2, kMax - 1, false, "pipelined/128"}, {kMax / 2 + 1, kMax - 1, false, "batched/8"},
        // A file cut into ranges gives every walker a core: batched walkers.
        {1, 2, true, "batched/8"},      {1, 64, true, "batched/8"},
    };
    for (const Case& c : cases) {
        const std::string where = std::to_string(c.sources) + " sources, " + std::to_string(c.threads) + " threads" +
                                  (c.splits ? ", split" : "");
        EXPECT_EQ(chosen(std::nullopt, c.sources, c.threads, c.splits), c.mode) << where;
        EXPECT_EQ(chosen("auto", c.sources, c.threads, c.splits), c.mode) << where;
        // A mode named outright is what it says.
        EXPECT_EQ(chosen("batched", c.sources, c.threads, c.splits), "batched/8") << where;
        EXPECT_EQ(chosen("pipelined", c.sources, c.threads, c.splits), "pipelined/128") << where;
    }
    EXPECT_EQ(chosen("Auto", 1, 8), "none");
}

TEST(RunPolicy, RangesFromEightMiBAndTwoWalkers) {
    constexpr uint64_t MiB = 1048576;
    struct Case {
        uint64_t size;
        size_t walkers;
        uint64_t range;
    };
    const Case cases[] = {
        {8 * MiB - 1, 8, 0}, {8 * MiB, 8, 2 * MiB}, {8 * MiB + 1, 8, 2 * MiB},
        {8 * MiB, 1, 0},     {1 << 30, 1, 0},       {8 * MiB, 2, 2 * MiB},   {4096 * MiB, 8, 16 * MiB},
    };
    for (const Case& c : cases)
        EXPECT_EQ(split_range_len(c.size, c.walkers), c.range) << c.size << " bytes, " << c.walkers << " walkers";
    // Every split file's ranges are from 2 MiB to 16 MiB long.
    for (uint64_t size = 8 * MiB; size <= (uint64_t{1} << 40); size = size * 3 + 1)
        for (const size_t walkers : {2, 3, 8, 64, 1024}) {
            const uint64_t range = split_range_len(size, walkers);
            EXPECT_GE(range, 2 * MiB) << size << " bytes, " << walkers << " walkers";
            EXPECT_LE(range, 16 * MiB) << size << " bytes, " << walkers << " walkers";
        }
}

// One fact at a time keeps a source to one engine; the rest split it.
TEST(RunPolicy, SplitRuleOverPlainFacts) {
    constexpr uint64_t MiB = 1048576;
    using K = engine::AccumulatorKind;
    using In = SplitFacts::Input;
    const auto facts = [](In input, std::optional<uint64_t> size, std::vector<K> kinds) {
        SplitFacts f;
        f.input = input;
        f.size = size;
        f.kinds = std::move(kinds);
        return f;
    };
    const SplitFacts file = facts(In::PlainFile, 64 * MiB, {K::Count, K::Sum});
    EXPECT_EQ(split_range_for(file, 2), split_range_len(64 * MiB, 2));
    EXPECT_EQ(split_range_for(file, 1), 0u);
    // Figures keep a plain file's ranges short; sequential input splits with them too.
    EXPECT_EQ(split_range_for(facts(In::PlainFile, 1024 * MiB, {K::Count}), 8), split_range_len(1024 * MiB, 8));
    ASSERT_GT(split_range_len(1024 * MiB, 8), kFiguresRangeLen);
    for (K figure : {K::Sum, K::Mean, K::Product}) {
        EXPECT_EQ(split_range_for(facts(In::PlainFile, 1024 * MiB, {K::Count, figure}), 8), kFiguresRangeLen);
        EXPECT_EQ(split_range_for(facts(In::Sequential, std::nullopt, {figure}), 4), split_sequential_range_len(4));
    }
    EXPECT_EQ(split_range_for(facts(In::Sequential, std::nullopt, {K::Count}), 4), split_sequential_range_len(4));
    struct Case {
        const char* what;
        SplitFacts facts;
    };
    SplitFacts limited = file, read = file;
    limited.match_limit = true;
    read.reads_engine = true;
    const Case one_engine[] = {
        {"match limit", limited},
        {"progress", read},
        {"no grid", facts(In::Other, 64 * MiB, {K::Count})},
        {"unknown size", facts(In::PlainFile, std::nullopt, {K::Count})},
        {"small file", facts(In::PlainFile, 8 * MiB - 1, {K::Count})},
        {"every query settles", facts(In::PlainFile, 64 * MiB, {K::Exists, K::Exists})},
        {"no accumulator", facts(In::PlainFile, 64 * MiB, {})},
    };
    for (const Case& c : one_engine) EXPECT_EQ(split_range_for(c.facts, 8), 0u) << c.what;
}

TEST(RunPolicy, BudgetGivesEveryFigureFromMaxThreads) {
    const ThreadBudget none(0), three(3);
    EXPECT_FALSE(none.prefetch(1));
    EXPECT_TRUE(three.prefetch(1));
    EXPECT_EQ(none.workers(4, engine::ScanMode::batched(8)), 1u);
    EXPECT_EQ(three.workers(4, engine::ScanMode::batched(8)), 3u);
    EXPECT_EQ(three.workers(4, engine::ScanMode::pipelined(128)), 1u);
    EXPECT_EQ(three.walkers(engine::ScanMode::batched(8)), std::min<size_t>(3, usable_processors()));
    // The one source splits: batched, whatever the budget's prefetching says.
    SplitFacts big;
    big.input = SplitFacts::Input::Sequential;
    big.kinds = {engine::AccumulatorKind::Count};
    const bool walkers_split = three.walkers(engine::ScanMode::batched(8)) > 1;
    EXPECT_EQ(mode_name(*three.mode(std::nullopt, 1, &big)), std::string(walkers_split ? "batched" : "pipelined"));
    EXPECT_STREQ(mode_name(*three.mode(std::nullopt, 1, nullptr)), "pipelined");
    EXPECT_FALSE(three.mode("fast", 1, nullptr));
}

}  // namespace
}  // namespace jorvane::run
