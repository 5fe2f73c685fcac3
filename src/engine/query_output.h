// QueryOutput: the finished answer of one query on one source, with the
// small value types it is made of. The engine produces one per query at the
// end of a source (or for a progress snapshot); errors carry them as partial
// results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/values/value.h"

namespace jorvane::engine {

// A set of JsonTypes that iterates in first-insertion order.
class JsonTypeSet {
public:
    void insert(JsonType t) {
        const uint8_t bit = static_cast<uint8_t>(1u << static_cast<unsigned>(t));
        if (mask_ & bit) return;
        mask_ |= bit;
        order_[size_++] = t;
    }
    bool contains(JsonType t) const { return mask_ & (1u << static_cast<unsigned>(t)); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const JsonType* begin() const { return order_; }
    const JsonType* end() const { return order_ + size_; }
    void clear() { *this = JsonTypeSet(); }
    bool operator==(const JsonTypeSet& o) const {
        return mask_ == o.mask_ && std::equal(begin(), end(), o.begin());
    }

private:
    uint8_t mask_ = 0;
    uint8_t size_ = 0;
    JsonType order_[kJsonTypeCount] = {};
};

// One distinct value and how often it occurred.
struct ValueCount {
    Value value;
    uint64_t count = 0;
    bool operator==(const ValueCount&) const = default;
};

inline constexpr uint8_t kExistsFalse = 0;
inline constexpr uint8_t kExistsTrue = 1;
inline constexpr uint8_t kExistsUndetermined = 2;

// The finished result of one query on one source.
struct QueryOutput {
    std::optional<uint64_t> count;
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> sum;
    std::optional<double> mean;
    std::optional<double> product;
    uint64_t agg_skipped = 0;
    std::optional<uint64_t> values_count;
    std::optional<uint64_t> distinct_count;
    std::optional<uint64_t> count_unique;
    // Absent after a complete scan; else the source offset this result reaches.
    std::optional<uint64_t> bytes_covered;
    // The modal values with their count (the stored Mode result).
    std::optional<std::vector<ValueCount>> mode_list;
    // Every distinct value with its count, in first-occurrence order.
    std::optional<std::vector<ValueCount>> value_counts;
    std::optional<JsonTypeSet> types;
    // 0 false, 1 true, 2 undetermined (no Exists accumulator ran).
    uint8_t exists_flag = kExistsUndetermined;

    // The answers read back when the accumulator asked for did not run, each
    // falling back on what else did.
    // The count; else how many values were streamed; else the total of
    // value_counts; else nothing.
    std::optional<uint64_t> count_answer() const;
    // The count_unique; else how many distinct values were streamed; else the
    // number of value_counts entries; else nothing.
    std::optional<uint64_t> count_unique_answer() const;
    // The stored mode list; else the modal entries of value_counts when it is
    // present and not empty; else nothing.
    std::optional<std::vector<ValueCount>> mode() const;
    // The Exists answer, or derived from whatever else ran (2 when nothing can tell).
    uint8_t exists() const;
};

// The entries whose count is the largest, copied, in order (all ties kept);
// empty for an empty list.
std::vector<ValueCount> modal_entries(const std::vector<ValueCount>& entries);

// The same over any entries: `entry(e)` gives an entry's value and count
// (as something with `.value` and `.count`).
template <class Entries, class Entry>
std::vector<ValueCount> modal_of(const Entries& entries, Entry entry) {
    std::vector<ValueCount> out;
    uint64_t best = 0;
    for (const auto& e : entries) best = std::max(best, entry(e).count);
    for (const auto& e : entries) {
        if (entry(e).count == best) out.push_back(ValueCount{entry(e).value, best});
    }
    return out;
}

}  // namespace jorvane::engine
