// DistinctValues: the set behind count_unique, counting JSON values once per
// equal value (numbers by exact decimal value, so 1, 1.0 and 10e-1 count
// once; objects as unordered member sets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/values/value.h"
#include "util/ordered_map.h"

namespace jorvane::table {

class DistinctValues;

// The values a piece of rows brings to a distinct set, kept as they came
// (duplicates too) with integers already hashed: made on a walker's thread,
// cheap to add to, and absorbed by the set the piece belongs to.
class DistinctLog {
public:
    void add(engine::Value&& value);

private:
    friend class DistinctValues;
    struct HashedInt {
        uint64_t hash;
        int64_t value;
    };
    std::vector<HashedInt> ints_;
    std::vector<engine::Value> others_;
};

class DistinctValues {
public:
    // Adds `value` unless an equal one is in the set (it is moved from only
    // when it is kept).
    void insert(engine::Value&& value);
    size_t size() const { return int_count_ + others_.size(); }
    // Adds every value of `log` (moved from) that is not in the set.
    void absorb(DistinctLog&& log);

private:
    struct Empty {};
    // Every number equal to a 64-bit integer, the common case, is kept as
    // that integer in a flat open-addressing table of (hash, integer) slots
    // (hash 0 marks a free slot); every other value in an ordered map under
    // its value hash. A value lands in exactly one of them, so neither ever
    // needs to look into the other.
    struct IntSlot {
        uint64_t hash = 0;
        int64_t value = 0;
    };
    void add_int(int64_t value);
    void add_hashed_int(uint64_t hash, int64_t value);
    void grow_ints();

    std::vector<IntSlot> ints_;
    size_t int_count_ = 0;
    OrderedMap<engine::Value, Empty> others_;
};

// The 64-bit integer a number equals exactly (1.0 and 1E0 give 1), or
// nothing for any other value.
std::optional<int64_t> exact_int64(const engine::Value& value);

}  // namespace jorvane::table
