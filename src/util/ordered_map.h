// OrderedMap: the small insertion-ordered hash map behind every table keyed
// by JSON values (value counts, mode, count-unique, values-unique).
//
// Iteration always follows first insertion, whatever the hashes, the
// capacity or the earlier life of the map: the entries live in one vector in
// insertion order, and the hash index only points into it. The index is an
// open-addressing table (power-of-two capacity, linear probing) whose slots
// hold an entry number and a 32-bit fragment of the entry's hash, so most
// mismatches are rejected without touching the entry. The full 64-bit hash is
// stored with each entry, and growing rebuilds the index from those stored
// hashes without hashing any key again. The caller supplies the hashes (the
// fixed-seed hash of util/hash.h); the map never hashes a pointer.
//
// Entry pointers and references are invalidated by any insertion (the entry
// vector may reallocate), by clear() and by take_entries(). Through
// entries() a caller may change values, never keys or hashes, and must not
// add or remove entries.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/panic.h"

namespace jorvane {

template <class K, class V>
class OrderedMap {
public:
    struct Entry {
        K key;
        V value;
        uint64_t hash;
    };

    // The entry whose key has this hash and satisfies matches(const K&), or
    // null.
    template <class Pred>
    Entry* find_if(uint64_t hash, Pred&& matches) {
        const size_t at = find_index(hash, matches);
        return at == kNotFound ? nullptr : &entries_[at];
    }
    template <class Pred>
    const Entry* find_if(uint64_t hash, Pred&& matches) const {
        const size_t at = find_index(hash, matches);
        return at == kNotFound ? nullptr : &entries_[at];
    }

    // Appends a new entry; the caller guarantees that no entry has an equal
    // key.
    Entry& insert_new(K key, V value, uint64_t hash) {
        grow_for(entries_.size() + 1);
        entries_.push_back(Entry{std::move(key), std::move(value), hash});
        place(static_cast<uint32_t>(entries_.size() - 1), hash);
        return entries_.back();
    }

    // The entry matching (hash, matches), with false; or, when there is none,
    // a new entry with key make_key() and value V{}, with true.
    template <class Pred, class MakeKey>
    std::pair<Entry*, bool> find_or_insert(uint64_t hash, Pred&& matches, MakeKey&& make_key) {
        if (Entry* e = find_if(hash, matches)) return {e, false};
        return {&insert_new(make_key(), V{}, hash), true};
    }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // The entries in insertion order.
    const std::vector<Entry>& entries() const { return entries_; }
    std::vector<Entry>& entries() { return entries_; }

    // Moves the entries out (in insertion order) and leaves the map empty.
    std::vector<Entry> take_entries() {
        std::vector<Entry> out = std::move(entries_);
        clear();
        return out;
    }

    // Empties the map and releases its storage: it is then a fresh map.
    void clear() {
        std::vector<Entry>().swap(entries_);
        std::vector<Slot>().swap(slots_);
        mask_ = 0;
        shift_ = 63;
    }

    // Makes room for n entries without further growth.
    void reserve(size_t n) {
        entries_.reserve(n);
        grow_for(n);
    }

private:
    // entry == 0 marks an empty slot; otherwise the entry number plus one.
    struct Slot {
        uint32_t entry;
        uint32_t fragment;
    };

    static constexpr size_t kNotFound = ~size_t{0};
    static constexpr size_t kMinCapacity = 8;
    static constexpr size_t kMaxEntries = UINT32_MAX - 1;

    // Fibonacci hashing spreads even a weak hash over the index, taking the
    // top bits of the product; the fragment comes from the low bits.
    size_t home(uint64_t hash) const {
        return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    static uint32_t fragment(uint64_t hash) { return static_cast<uint32_t>(hash); }

    template <class Pred>
    size_t find_index(uint64_t hash, Pred& matches) const {
        if (slots_.empty()) return kNotFound;
        const uint32_t frag = fragment(hash);
        for (size_t pos = home(hash);; pos = (pos + 1) & mask_) {
            const Slot& s = slots_[pos];
            if (s.entry == 0) return kNotFound;
            if (s.fragment == frag) {
                const Entry& e = entries_[s.entry - 1];
                if (e.hash == hash && matches(static_cast<const K&>(e.key))) return s.entry - 1;
            }
        }
    }

    void place(uint32_t entry, uint64_t hash) {
        size_t pos = home(hash);
        while (slots_[pos].entry != 0) pos = (pos + 1) & mask_;
        slots_[pos] = Slot{entry + 1, fragment(hash)};
    }

    // Keeps the load at most 3/4 for `n` entries, rebuilding the index from
    // the stored hashes when it has to grow.
    void grow_for(size_t n) {
        if (n > kMaxEntries) panic("ordered map exceeded 4294967294 entries");
        if (n * 4 <= slots_.size() * 3) return;
        size_t cap = slots_.empty() ? kMinCapacity : slots_.size();
        while (n * 4 > cap * 3) cap *= 2;
        slots_.assign(cap, Slot{0, 0});
        mask_ = cap - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(cap));
        for (size_t i = 0; i < entries_.size(); ++i) place(static_cast<uint32_t>(i), entries_[i].hash);
    }

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    unsigned shift_ = 63;  // 64 - log2(capacity); unused while the index is empty
};

}  // namespace jorvane
