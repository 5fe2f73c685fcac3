// The int table is linear-probed with a power-of-two capacity kept at most
// 3/4 full; growing re-places the stored hashes without hashing again.
#include "table/distinct_values.h"

#include <utility>

namespace jorvane::table {
namespace {

size_t home(uint64_t hash, size_t mask) { return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ULL) >> 20) & mask; }

bool is_int(const engine::Value& v) { return v.is_number() && v.as_number().is_int(); }

}  // namespace

bool DistinctValues::contains_int(uint64_t hash, int64_t value) const {
    if (ints_.empty()) return false;
    const uint64_t h = slot_hash(hash);
    const size_t mask = ints_.size() - 1;
    for (size_t pos = home(h, mask);; pos = (pos + 1) & mask) {
        const IntSlot& s = ints_[pos];
        if (s.hash == 0) return false;
        if (s.hash == h && s.value == value) return true;
    }
}

bool DistinctValues::contains_equal_int(uint64_t hash, const engine::Value& value) const {
    if (ints_.empty() || !value.is_number()) return false;
    const uint64_t h = slot_hash(hash);
    const size_t mask = ints_.size() - 1;
    for (size_t pos = home(h, mask);; pos = (pos + 1) & mask) {
        const IntSlot& s = ints_[pos];
        if (s.hash == 0) return false;
        if (s.hash == h && engine::Value::number(engine::JsonNumber::from_int(s.value)) == value) return true;
    }
}

void DistinctValues::grow_ints() {
    const size_t cap = ints_.empty() ? 16 : ints_.size() * 2;
    std::vector<IntSlot> old(cap);
    old.swap(ints_);
    const size_t mask = cap - 1;
    for (const IntSlot& s : old) {
        if (s.hash == 0) continue;
        size_t pos = home(s.hash, mask);
        while (ints_[pos].hash != 0) pos = (pos + 1) & mask;
        ints_[pos] = s;
    }
}

void DistinctValues::add_int(uint64_t hash, int64_t value) {
    if ((int_count_ + 1) * 4 > ints_.size() * 3) grow_ints();
    const uint64_t h = slot_hash(hash);
    const size_t mask = ints_.size() - 1;
    size_t pos = home(h, mask);
    while (ints_[pos].hash != 0) pos = (pos + 1) & mask;
    ints_[pos] = IntSlot{h, value};
    ++int_count_;
}

void DistinctValues::insert(engine::Value&& value) {
    const uint64_t hash = value.hash();
    if (is_int(value)) {
        const int64_t v = value.as_number().int_value();
        if (contains_int(hash, v)) return;
        if (!others_.empty() && others_.find_if(hash, [&](const engine::Value& o) { return o == value; })) return;
        add_int(hash, v);
        return;
    }
    if (others_.find_if(hash, [&](const engine::Value& o) { return o == value; })) return;
    if (contains_equal_int(hash, value)) return;
    others_.insert_new(std::move(value), Empty{}, hash);
}

}  // namespace jorvane::table
