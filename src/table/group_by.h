// Grouped aggregation: one row per distinct tuple of key values, in the
// order in which each tuple was first seen, in one pass over one source and
// in memory proportional to the number of groups. Rows are anchored as for
// tables; the key columns and the aggregates' inputs are the cells of a
// table stream.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/scan_mode.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/run_policy.h"
#include "source/source.h"
#include "table/column.h"
#include "table/table_spec.h"
#include "table/table_split.h"
#include "util/result.h"

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

// What a grouped scan tells the split rule: a table scan's facts, and a Sum
// when some aggregate sums or averages (its ranges log their floating-point
// numbers for the merge to replay, which bounds their length).
run::SplitFacts group_split_facts(const GroupSpec& spec);

// Scans `source` (consumed) and builds the grouped table: the key columns,
// then one column per aggregate, one row per group. The first refusal (no
// key, more groups than max_groups, a non-number under a numeric aggregate,
// a sum that cannot be represented) ends the scan. `interrupt` is asked
// before each buffer is read; a stop ends the scan with
// run::interrupted_read(). A large input may be scanned in ranges on
// `walkers.walkers` walkers (TableStream::make), holding ahead of the merge
// at most `walkers.held_bytes` (0: about 1 MiB a walker) of folded pieces; the scan
// sets the rest of `walkers`.
Result<Table, JorvaneError> group_by_scan(GroupSpec spec, engine::ScanMode mode, std::unique_ptr<Source> source,
                                          run::Interrupt* interrupt = nullptr, TableSplitOptions walkers = {});

}  // namespace jorvane::table
