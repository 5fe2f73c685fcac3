// DistinctValues: the set behind count_unique, counting JSON values once per
// equal value (numbers by exact decimal value, so 1 and 1.0 count once;
// objects as unordered member sets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/values/value.h"
#include "util/ordered_map.h"

namespace jorvane::table {

class DistinctValues {
public:
    // Adds `value` unless an equal one is in the set (it is moved from only
    // when it is kept).
    void insert(engine::Value&& value);
    size_t size() const { return int_count_ + others_.size(); }

private:
    struct Empty {};
    // Integers stored as 64-bit integers, the common case, live in a flat
    // open-addressing table of (hash, integer) slots (hash 0 marks a free
    // slot); every other value in an ordered map. Both are probed with the
    // value's own hash, so an integer and an equal decimal literal (1 and
    // 1.0) meet whichever table holds the first of them.
    struct IntSlot {
        uint64_t hash = 0;
        int64_t value = 0;
    };
    static uint64_t slot_hash(uint64_t hash) { return hash == 0 ? 1 : hash; }
    bool contains_int(uint64_t hash, int64_t value) const;
    // An integer in the int table equal to the number `value`.
    bool contains_equal_int(uint64_t hash, const engine::Value& value) const;
    void add_int(uint64_t hash, int64_t value);
    void grow_ints();

    std::vector<IntSlot> ints_;
    size_t int_count_ = 0;
    OrderedMap<engine::Value, Empty> others_;
};

}  // namespace jorvane::table
