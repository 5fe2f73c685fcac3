// AggStates: the running state of one aggregate in every group, indexed by
// group number, and the result column they become.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/values/value.h"
#include "run/jorvane_error.h"
#include "table/column.h"
#include "table/distinct_values.h"
#include "table/group_spec.h"
#include "util/contribution_log.h"
#include "util/result.h"

namespace jorvane::table {

class AggStates {
public:
    // `name`: the output column's name, for messages. `piece`: the states
    // of one piece of rows, to be absorbed into running ones, which record
    // the numbers of their floating-point sums in order instead of adding
    // them.
    AggStates(std::string name, GroupOp op, bool piece = false);

    // A fresh state for the next group number.
    void add_group();
    // Fresh states up to `groups` groups in all.
    void add_groups(size_t groups);
    GroupOp op() const { return op_; }
    // Folds one row's cell into group `group`'s state. Count counts the row
    // whatever the cell; every other op skips a missing cell and a JSON null.
    // A kept cell is moved from. Sum, min, max and mean refuse a value that
    // is not a number.
    Result<void, JorvaneError> fold(size_t group, std::optional<engine::Value>& cell);
    // Folds group `from` of `piece` (states made for a piece) into group
    // `into`: the state becomes what folding the piece's rows of that group
    // here, after this group's earlier rows, would have made it. Floating-
    // point sums replay the piece's numbers in order, so they keep every
    // rounding of the one-by-one fold. `piece`'s group is moved from.
    void absorb(size_t into, AggStates& piece, size_t from);
    // The result column over the groups in group order.
    Result<Column, JorvaneError> finish() &&;

private:
    struct SumState {
        __int128 exact = 0;  // the integers stored as 64-bit integers
        double floating = 0.0;  // every other number
        bool seen = false;
        bool saw_float = false;
    };
    struct MeanState {
        double sum = 0.0;
        uint64_t count = 0;
    };
    struct Counts {
        std::vector<uint64_t> groups;  // rows per group
    };
    struct Sums {
        std::vector<SumState> groups;
    };
    struct Extremes {
        std::vector<std::optional<double>> groups;
    };
    struct Means {
        std::vector<MeanState> groups;
    };
    struct Distinct {
        std::vector<DistinctValues> groups;
    };
    // A piece's count_unique: the values it met, deduplicated when absorbed.
    struct DistinctLogs {
        std::vector<DistinctLog> groups;
    };
    struct Kept {
        std::vector<std::optional<engine::Value>> groups;
    };

    JorvaneError not_a_number(const engine::Value& value) const;
    Result<Column, JorvaneError> finish_sum(std::vector<SumState> groups) const;

    std::string name_;
    GroupOp op_;
    std::variant<Counts, Sums, Extremes, Means, Distinct, DistinctLogs, Kept> states_;
    // A piece's states: per group, the numbers its float sum or mean took,
    // in order.
    bool piece_ = false;
    std::vector<ContributionLog> float_logs_;
};

}  // namespace jorvane::table
