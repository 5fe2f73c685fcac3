// The int table is linear-probed with a power-of-two capacity kept at most
// 3/4 full. Integers are hashed with a 64-bit finaliser of their own, far
// cheaper than the value hash (which hashes a number's canonical decimal
// digits so that every spelling of it agrees); a pair's hash mixes the
// value's with the group, so the table needs no hash stored per slot.
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
    return x ^ (x >> 31);
}

uint64_t pair_hash(uint64_t value_hash, uint64_t group) {
    uint64_t x = value_hash ^ (group * 0x9E3779B97F4A7C15ULL);
    x = (x ^ (x >> 32)) * 0xD6E8FEB86659FD93ULL;
    return x ^ (x >> 32);
}

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

size_t value_heap_bytes(const engine::Value& value) {
    switch (value.type()) {
        case engine::JsonType::String: {
            const std::string& s = value.as_string();
            return s.capacity() > 15 ? s.capacity() + 1 : 0;
        }
        case engine::JsonType::Array: {
            size_t n = value.as_array().capacity() * sizeof(engine::Value);
            for (const engine::Value& v : value.as_array()) n += value_heap_bytes(v);
            return n;
        }
        case engine::JsonType::Object: {
            size_t n = value.as_object().capacity() * sizeof(engine::Member);
            for (const engine::Member& m : value.as_object())
                n += (m.key.capacity() > 15 ? m.key.capacity() + 1 : 0) + value_heap_bytes(m.value);
            return n;
        }
        default: return 0;
    }
}

DistinctKey distinct_key(const engine::Value& value) {
    DistinctKey key;
    key.as_int = exact_int64(value);
    key.hash = key.as_int ? int_hash(*key.as_int) : value.hash();
    return key;
}

void DistinctPairs::reserve(size_t pairs) {
    size_t cap = ints_.empty() ? 16 : ints_.size();
    while (pairs * 4 > cap * 3) cap *= 2;
    if (cap > ints_.size()) rehash(cap);
}

void DistinctPairs::grow_ints() { rehash(ints_.empty() ? 16 : ints_.size() * 2); }

void DistinctPairs::rehash(size_t cap) {
    std::vector<IntSlot> old(cap);
    old.swap(ints_);
    const size_t mask = cap - 1;
    for (const IntSlot& s : old) {
        if (s.group == 0) continue;
        size_t pos = pair_hash(int_hash(s.value), s.group - 1) & mask;
        while (ints_[pos].group != 0) pos = (pos + 1) & mask;
        ints_[pos] = s;
    }
}

void DistinctPairs::add_int(uint64_t group, uint64_t value_hash, int64_t value) {
    if ((int_count_ + 1) * 4 > ints_.size() * 3) grow_ints();
    const size_t mask = ints_.size() - 1;
    const uint64_t tag = group + 1;
    size_t pos = pair_hash(value_hash, group) & mask;
    for (;; pos = (pos + 1) & mask) {
        const IntSlot& s = ints_[pos];
        if (s.group == 0) break;
        if (s.group == tag && s.value == value) return;
    }
    ints_[pos] = IntSlot{value, tag};
    ++int_count_;
}

void DistinctPairs::add_other(uint64_t group, uint64_t value_hash, engine::Value&& value) {
    const uint64_t hash = pair_hash(value_hash, group);
    if (others_.find_if(hash, [&](const Other& o) { return o.group == group && o.value == value; })) return;
    others_.insert_new(Other{group, value_hash, std::move(value)}, Empty{}, hash);
}

void DistinctPairs::insert(uint64_t group, const DistinctKey& key, engine::Value&& value) {
    if (key.as_int)
        add_int(group, key.hash, *key.as_int);
    else
        add_other(group, key.hash, std::move(value));
}

void DistinctPairs::absorb(DistinctPairs&& from, const std::vector<size_t>& into) {
    // Each pair's home slot is likely a cache miss in a large table: it is
    // fetched several pairs ahead, so that the misses overlap.
    constexpr size_t kAhead = 8;
    struct Pending {
        uint64_t hash;
        uint64_t group;
        int64_t value;
    };
    Pending ahead[kAhead];
    size_t n = 0;
    for (const IntSlot& s : from.ints_) {
        if (s.group == 0) continue;
        const uint64_t group = into[s.group - 1];
        const uint64_t hash = int_hash(s.value);
        if (!ints_.empty()) __builtin_prefetch(&ints_[pair_hash(hash, group) & (ints_.size() - 1)]);
        Pending& slot = ahead[n++ % kAhead];
        if (n > kAhead) add_int(slot.group, slot.hash, slot.value);
        slot = Pending{hash, group, s.value};
    }
    for (size_t i = n > kAhead ? n - kAhead : 0; i < n; ++i) {
        const Pending& p = ahead[i % kAhead];
        add_int(p.group, p.hash, p.value);
    }
    for (auto& e : from.others_.entries()) add_other(into[e.key.group], e.key.value_hash, std::move(e.key.value));
    from = DistinctPairs();
}

void DistinctPairs::count_into(std::vector<uint64_t>& counts) const {
    for (const IntSlot& s : ints_)
        if (s.group != 0) ++counts[s.group - 1];
    for (const auto& e : others_.entries()) ++counts[e.key.group];
}

size_t DistinctPairs::bytes() const {
    using Entry = OrderedMap<Other, Empty>::Entry;
    // The map's index takes about two slots of 8 bytes an entry.
    size_t n = ints_.capacity() * sizeof(IntSlot) + others_.entries().capacity() * sizeof(Entry) + others_.size() * 16;
    for (const auto& e : others_.entries()) n += value_heap_bytes(e.key.value);
    return n;
}

}  // namespace jorvane::table
