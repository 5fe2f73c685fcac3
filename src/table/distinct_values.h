// DistinctPairs: the sets behind count_unique, one per group, held as one
// set of (group, value) pairs: a value counts once per group and equal value
// (numbers by exact decimal value, so 1, 1.0 and 10e-1 count once; objects as
// unordered member sets). One table for every group costs nothing per group,
// where a set per group would cost a table each, and a large input's pairs
// can be kept in parts by the value's hash, disjoint, so that each part is
// filled on a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/values/value.h"
#include "util/ordered_map.h"

namespace jorvane::table {

// A value as it is counted: the 64-bit integer it equals, if any, and the
// hash it is compared and split into parts under (never the group's).
struct DistinctKey {
    uint64_t hash = 0;
    std::optional<int64_t> as_int;
};
DistinctKey distinct_key(const engine::Value& value);

// Which of `parts` parts a value of hash `hash` belongs to.
inline size_t distinct_part(uint64_t hash, size_t parts) {
    return static_cast<size_t>(((hash >> 32) * parts) >> 32);
}

class DistinctPairs {
public:
    // Adds (group, value) unless an equal pair is held; `value`, whose key
    // is `key` (distinct_key), is moved from only when it is kept.
    void insert(uint64_t group, const DistinctKey& key, engine::Value&& value);
    size_t size() const { return int_count_ + others_.size(); }
    // Makes room for about `pairs` integer pairs without growing.
    void reserve(size_t pairs);
    // Adds every pair (g, v) of `from` as (into[g], v); `from` is left empty.
    void absorb(DistinctPairs&& from, const std::vector<size_t>& into);
    // Adds one to counts[g] for every pair of group g.
    void count_into(std::vector<uint64_t>& counts) const;
    // The heap bytes the pairs take.
    size_t bytes() const;

private:
    struct Empty {};
    // Every number equal to a 64-bit integer, the common case, is kept as
    // that integer in a flat open-addressing table; every other value in an
    // ordered map. A value lands in exactly one of them, so neither ever
    // needs to look into the other.
    struct IntSlot {
        int64_t value = 0;
        uint64_t group = 0;  // the group plus one; 0 marks a free slot
    };
    struct Other {
        uint64_t group;
        uint64_t value_hash;
        engine::Value value;
    };
    void add_int(uint64_t group, uint64_t value_hash, int64_t value);
    void add_other(uint64_t group, uint64_t value_hash, engine::Value&& value);
    void grow_ints();
    // Re-places the integer pairs in a table of `cap` slots (a power of two).
    void rehash(size_t cap);

    std::vector<IntSlot> ints_;
    size_t int_count_ = 0;
    OrderedMap<Other, Empty> others_;
};

// The 64-bit integer a number equals exactly (1.0 and 1E0 give 1), or
// nothing for any other value.
std::optional<int64_t> exact_int64(const engine::Value& value);

// The heap bytes a value holds beyond its own (texts past the inline room,
// elements, members).
size_t value_heap_bytes(const engine::Value& value);

}  // namespace jorvane::table
