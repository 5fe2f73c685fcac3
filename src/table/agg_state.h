// AggStates: the running state of one aggregate in every group, indexed by
// group number, and the result column they become.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // them. `parts`: count_unique keeps its pairs in this many parts by the
    // value's hash (DistinctPairs), each absorbed on its own (absorb_part).
    AggStates(std::string name, GroupOp op, bool piece = false, size_t parts = 1);

    // A fresh state for the next group number.
    void add_group();
    GroupOp op() const { return op_; }
    // Folds one row's cell into group `group`'s state. Count counts the row
    // whatever the cell; every other op skips a missing cell and a JSON null.
    // A kept cell is moved from. Sum, min, max and mean refuse a value that
    // is not a number.
    Result<void, JorvaneError> fold(size_t group, std::optional<engine::Value>& cell);
    // Folds each group g of `piece` (states made for a piece, moved from)
    // into group into[g]: the state becomes what folding the piece's rows
    // here, after the earlier rows, would have made it. Floating-point sums
    // replay the piece's numbers in order, so they keep every rounding of
    // the one-by-one fold. Count_unique is absorbed by absorb_part instead.
    void absorb(AggStates& piece, const std::vector<size_t>& into);
    // The same for part `part` of a count_unique piece's pairs; different
    // parts may be absorbed at once on different threads.
    void absorb_part(size_t part, AggStates& piece, const std::vector<size_t>& into);
    // Sizes count_unique's parts for about `values` values at once.
    void expect(uint64_t values);
    // Counts count_unique's pairs of part `part` per group, for finish to
    // add up; different parts may be counted at once on different threads.
    void count_part(size_t part);
    // About the heap bytes the states take.
    size_t bytes() const;
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
    // Every group's distinct values, in parts by value hash, and each
    // part's pairs per group once counted (count_part).
    struct Distinct {
        std::vector<DistinctPairs> parts;
        std::vector<std::vector<uint64_t>> counted;
    };
    struct Kept {
        std::vector<std::optional<engine::Value>> groups;
    };

    JorvaneError not_a_number(const engine::Value& value) const;
    Result<Column, JorvaneError> finish_sum(std::vector<SumState> groups) const;
    // Calls `add(group, x)` for each number a piece's float sums or means
    // took, in order.
    template <class Add>
    void replay(Add&& add) const;

    std::string name_;
    GroupOp op_;
    size_t groups_ = 0;
    std::variant<Counts, Sums, Extremes, Means, Distinct, Kept> states_;
    // A piece's float sums and means: the numbers they took, in row order,
    // and the group of each.
    bool piece_ = false;
    std::vector<uint32_t> float_groups_;
    ContributionLog float_log_;
};

}  // namespace jorvane::table
