// FieldMap: field name to alphabet symbol, the automaton's per-key lookup.
//
// Names of at most 16 bytes are grouped by length and kept as their two key
// words (key_hash.h): such a key is compared by its words with the few names
// of its own length, without hashing, and a length no name has answers at
// once. Longer keys go through an open-addressing table keyed by key_hash,
// whose slots hold a short name's words and a long name's length and the
// offset of its bytes, so one probe touches one slot and, for a long name,
// its bytes. When some length has more than kMaxShortRun names, comparing
// them one by one would cost more than a probe, and every key goes through
// the table instead.
//
// A caller that looks one key up in several automata hashes it once, and
// only when some map's `hashes_key` says its lookup reads the hash. The map
// is filled while the automaton is built and only read afterwards; a copy
// shares nothing with the original.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dfa_core/key_hash.h"

namespace jorvane::dfa_core {

class FieldMap {
public:
    // What a key no name matches: symbol 0, Other, which is never a name's.
    static constexpr uint32_t kAbsent = 0;

    // Maps `name` to `symbol` unless the name is already present (then the
    // first mapping stays). Returns whether it was added. Panics when
    // `symbol` is kAbsent.
    bool insert(std::string_view name, uint32_t symbol);

    // Whether `find` reads the hash of a key of `n` bytes.
    bool hashes_key(size_t n) const { return n > kShortKey || hashed_short_keys_; }

    // The symbol of `key` (raw bytes), or kAbsent. `hash` must be
    // key_hash(key) when hashes_key(key.size()), and may be anything else.
    [[gnu::always_inline]] uint32_t find(std::string_view key, uint64_t hash) const {
        const size_t n = key.size();
        if (n > kShortKey || hashed_short_keys_) [[unlikely]]
            return find_hashed(key, hash);
        const uint32_t from = short_begin_[n], to = short_begin_[n + 1];
        if (from == to) return kAbsent;
        uint64_t a, b;
        key_words(key, a, b);
        const ShortName* names = short_names_.data();
        for (uint32_t i = from; i < to; ++i)
            if (names[i].word_a == a && names[i].word_b == b) return names[i].symbol;
        return kAbsent;
    }
    uint32_t find(std::string_view key) const { return find(key, key_hash(key)); }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Every name with its symbol, in insertion order (for inspection; the
    // lookups never read it).
    struct Entry {
        std::string name;
        uint32_t symbol = kAbsent;
    };
    const std::vector<Entry>& entries() const { return entries_; }

private:
    struct Slot {
        uint64_t hash = 0;
        uint64_t word_a = 0;  // key_words of a name of at most 16 bytes
        uint64_t word_b = 0;
        uint32_t symbol = kAbsent;  // kAbsent = empty slot
        uint32_t name_len = 0;
        uint64_t name_off = 0;  // a longer name's bytes in long_names_
    };
    struct ShortName {
        uint64_t word_a = 0;
        uint64_t word_b = 0;
        uint32_t symbol = kAbsent;
    };
    static constexpr uint32_t kMaxShortRun = 4;
    static constexpr size_t kMinSlots = 8;

    [[gnu::always_inline]] uint32_t find_hashed(std::string_view key, uint64_t hash) const {
        const size_t mask = slots_.size() - 1;
        const Slot* slots = slots_.data();
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots[i];
            if (slot.symbol == kAbsent) return kAbsent;
            if (slot.hash == hash && slot.name_len == key.size() && same_name(slot, key)) return slot.symbol;
        }
    }
    [[gnu::always_inline]] bool same_name(const Slot& slot, std::string_view key) const {
        if (key.size() <= kShortKey) {
            uint64_t a, b;
            key_words(key, a, b);
            return a == slot.word_a && b == slot.word_b;
        }
        return std::memcmp(long_names_.data() + slot.name_off, key.data(), key.size()) == 0;
    }
    void place(const Slot& slot);
    void grow();
    void add_short_name(std::string_view name, uint32_t symbol);

    // Power-of-two size, at least kMinSlots (so a probe never meets an empty
    // table), at most half full.
    std::vector<Slot> slots_ = std::vector<Slot>(kMinSlots);
    std::string long_names_;
    std::vector<Entry> entries_;  // the bytes of the names longer than 16 bytes
    std::vector<ShortName> short_names_;
    // Names of length n: short_names_[short_begin_[n], short_begin_[n + 1]).
    std::array<uint32_t, kShortKey + 2> short_begin_{};
    bool hashed_short_keys_ = false;
    size_t size_ = 0;
};

}  // namespace jorvane::dfa_core
