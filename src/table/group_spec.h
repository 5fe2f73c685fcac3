// GroupSpec: a grouped aggregation request: the row anchor, the key columns,
// the aggregates with the op each applies, and the limits; with the names of
// the ops and the rule that every output column has a name of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "table/table_spec.h"

namespace jorvane::table {

// The aggregates, in this order.
enum class GroupOp : uint8_t { Count = 0, Sum, Min, Max, Mean, CountUnique, First, Last };

// The op an agg= text names: "count", "sum", "min", "max", "mean" or "avg",
// "count_unique", "first", "last" (exact, case-sensitive); nothing otherwise.
std::optional<GroupOp> parse_group_op(std::string_view text);
// The op's name in messages ("sum", "mean", ...; count gives "count").
const char* group_op_name(GroupOp op);

struct GroupAgg {
    std::string name;
    GroupOp op = GroupOp::Count;
    std::optional<std::string> path;  // absent only for count
};

struct GroupSpec {
    std::string rows;                                         // the row anchor, as for tables
    std::vector<std::pair<std::string, std::string>> keys;    // (name, path) in by= order
    std::vector<GroupAgg> aggs;                               // in agg= order
    OnMulti on_multi = OnMulti::Error;                        // for key and aggregate columns alike
    std::optional<uint64_t> max_groups;                       // absent: no limit
};

// The output columns are the keys, then the aggregates, and no two may share
// a name: the first name, in that order, that an earlier column already
// holds; nothing when every name is its own.
std::optional<std::string> repeated_column_name(const GroupSpec& spec);

}  // namespace jorvane::table
