// The int table is linear-probed with a power-of-two capacity kept at most
// 3/4 full; growing re-places the stored hashes without hashing again.
// Integers are hashed with a 64-bit finaliser of their own, far cheaper than
// the value hash (which hashes a number's canonical decimal digits so that
// every spelling of it agrees).
#include "table/distinct_values.h"

#include <limits>
#include <utility>

#include "table/text_forms.h"

namespace jorvane::table {
namespace {

uint64_t int_hash(int64_t v) {
    uint64_t x = static_cast<uint64_t>(v) + 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return x == 0 ? 1 : x;
}

size_t home(uint64_t hash, size_t mask) { return static_cast<size_t>(hash) & mask; }

}  // namespace

std::optional<int64_t> exact_int64(const engine::Value& value) {
    if (!value.is_number()) return std::nullopt;
    const engine::JsonNumber& n = value.as_number();
    if (n.is_int()) return n.int_value();
    // Every int64 has at most 19 digits.
    const std::optional<__int128> v = decimal_unscaled(n, 19, 0);
    if (!v || *v > std::numeric_limits<int64_t>::max() || *v < std::numeric_limits<int64_t>::min())
        return std::nullopt;
    return static_cast<int64_t>(*v);
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

void DistinctValues::add_int(int64_t value) { add_hashed_int(int_hash(value), value); }

void DistinctValues::add_hashed_int(uint64_t h, int64_t value) {
    if ((int_count_ + 1) * 4 > ints_.size() * 3) grow_ints();
    const size_t mask = ints_.size() - 1;
    size_t pos = home(h, mask);
    for (;; pos = (pos + 1) & mask) {
        const IntSlot& s = ints_[pos];
        if (s.hash == 0) break;
        if (s.hash == h && s.value == value) return;
    }
    ints_[pos] = IntSlot{h, value};
    ++int_count_;
}

void DistinctLog::add(engine::Value&& value) {
    if (const std::optional<int64_t> i = exact_int64(value)) {
        ints_.push_back(HashedInt{int_hash(*i), *i});
        return;
    }
    others_.push_back(std::move(value));
}

void DistinctValues::absorb(DistinctLog&& log) {
    // Each integer's home slot is likely a cache miss in a large set: it is
    // fetched several entries ahead, so that the misses overlap.
    constexpr size_t kAhead = 16;
    const std::vector<DistinctLog::HashedInt>& ints = log.ints_;
    for (size_t i = 0; i < ints.size(); ++i) {
        if (i + kAhead < ints.size() && !ints_.empty())
            __builtin_prefetch(&ints_[home(ints[i + kAhead].hash, ints_.size() - 1)]);
        add_hashed_int(ints[i].hash, ints[i].value);
    }
    for (engine::Value& v : log.others_) insert(std::move(v));
    log = DistinctLog();
}

void DistinctValues::insert(engine::Value&& value) {
    if (const std::optional<int64_t> i = exact_int64(value)) {
        add_int(*i);
        return;
    }
    const uint64_t hash = value.hash();
    if (others_.find_if(hash, [&](const engine::Value& o) { return o == value; })) return;
    others_.insert_new(std::move(value), Empty{}, hash);
}

}  // namespace jorvane::table
