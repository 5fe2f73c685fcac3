#include "table/group_spec.h"

#include <unordered_set>

namespace jorvane::table {

std::optional<GroupOp> parse_group_op(std::string_view text) {
    if (text == "count") return GroupOp::Count;
    if (text == "sum") return GroupOp::Sum;
    if (text == "min") return GroupOp::Min;
    if (text == "max") return GroupOp::Max;
    if (text == "mean" || text == "avg") return GroupOp::Mean;
    if (text == "count_unique") return GroupOp::CountUnique;
    if (text == "first") return GroupOp::First;
    if (text == "last") return GroupOp::Last;
    return std::nullopt;
}

const char* group_op_name(GroupOp op) {
    switch (op) {
        case GroupOp::Count: return "count";
        case GroupOp::Sum: return "sum";
        case GroupOp::Min: return "min";
        case GroupOp::Max: return "max";
        case GroupOp::Mean: return "mean";
        case GroupOp::CountUnique: return "count_unique";
        case GroupOp::First: return "first";
        case GroupOp::Last: return "last";
    }
    return "count";
}

std::optional<std::string> repeated_column_name(const GroupSpec& spec) {
    std::unordered_set<std::string_view> seen;
    for (const auto& key : spec.keys)
        if (!seen.insert(key.first).second) return key.first;
    for (const auto& agg : spec.aggs)
        if (!seen.insert(agg.name).second) return agg.name;
    return std::nullopt;
}

}  // namespace jorvane::table
