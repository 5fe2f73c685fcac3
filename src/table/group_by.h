// Grouped aggregation: one row per distinct tuple of key values, in the
// order in which each tuple was first seen, in one pass over one source and
// in memory proportional to the number of groups. Rows are anchored as for
// tables; the key columns and the aggregates' inputs are the cells of a
// table stream.
#pragma once

#include <memory>

#include "engine/scan_mode.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/run_policy.h"
#include "source/source.h"
#include "table/column.h"
#include "table/group_spec.h"
#include "table/table_split.h"
#include "util/result.h"

namespace jorvane::table {

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
