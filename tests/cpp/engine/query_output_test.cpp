// The counts a query output answers when their own accumulator did not run,
// one case per step of each fallback chain.
#include "engine/query_output.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "support/value_literals.h"

namespace jorvane::engine {
namespace {

using testing::json;

std::vector<ValueCount> three_keys() { return {{json("1"), 2}, {json("\"a\""), 5}, {json("null"), 1}}; }

TEST(QueryOutputAnswers, CountsFallBackOnWhatElseRan) {
    const struct {
        const char* what;
        std::function<void(QueryOutput&)> set;
        std::optional<uint64_t> count;
        std::optional<uint64_t> count_unique;
    } cases[] = {
        {"nothing", [](QueryOutput&) {}, std::nullopt, std::nullopt},
        {"count", [](QueryOutput& o) { o.count = 4; o.values_count = 9; o.value_counts = three_keys(); }, 4,
         3},
        {"a zero count", [](QueryOutput& o) { o.count = 0; o.values_count = 9; }, 0, std::nullopt},
        {"streamed values", [](QueryOutput& o) { o.values_count = 9; o.value_counts = three_keys(); }, 9, 3},
        {"value_counts", [](QueryOutput& o) { o.value_counts = three_keys(); }, 8, 3},
        {"empty value_counts", [](QueryOutput& o) { o.value_counts.emplace(); }, 0, 0},
        {"count_unique", [](QueryOutput& o) { o.count_unique = 2; o.distinct_count = 7; o.value_counts = three_keys(); },
         8, 2},
        {"distinct values", [](QueryOutput& o) { o.distinct_count = 7; o.value_counts = three_keys(); }, 8, 7},
        {"other answers only",
         [](QueryOutput& o) {
             o.mode_list = three_keys();
             o.types.emplace();
             o.min = 1.0;
         },
         std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        QueryOutput o;
        c.set(o);
        EXPECT_EQ(o.count_answer(), c.count) << c.what;
        EXPECT_EQ(o.count_unique_answer(), c.count_unique) << c.what;
    }
}

}  // namespace
}  // namespace jorvane::engine
