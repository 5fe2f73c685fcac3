// The rule that every output column of a grouped aggregation has a name of
// its own, keys and aggregates alike.
#include "table/group_spec.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace jorvane::table {
namespace {

TEST(GroupSpec, RepeatedColumnNames) {
    using Names = std::vector<std::string>;
    const struct {
        Names keys;
        Names aggs;
        std::optional<std::string> repeated;
    } cases[] = {
        {{"a"}, {"n"}, std::nullopt},
        {{"a", "b"}, {"n", "m"}, std::nullopt},
        {{}, {}, std::nullopt},
        {{"a", "a"}, {"n"}, "a"},          // two keys
        {{"a"}, {"n", "n"}, "n"},          // two aggregates
        {{"a", "b"}, {"n", "b"}, "b"},     // a key and an aggregate
        {{"x", "y"}, {"y", "x"}, "y"},     // the first repeat in key-then-aggregate order
        {{"a", "b", "b"}, {"a"}, "b"},     // keys are entered before aggregates
        {{"A"}, {"a"}, std::nullopt},      // names are compared exactly
        {{""}, {""}, ""},
    };
    for (const auto& c : cases) {
        GroupSpec spec;
        for (const auto& k : c.keys) spec.keys.emplace_back(k, "path." + k);
        for (const auto& a : c.aggs) spec.aggs.push_back(GroupAgg{a, GroupOp::Count, std::nullopt});
        EXPECT_EQ(repeated_column_name(spec), c.repeated)
            << ::testing::PrintToString(c.keys) << " " << ::testing::PrintToString(c.aggs);
    }
}

}  // namespace
}  // namespace jorvane::table
