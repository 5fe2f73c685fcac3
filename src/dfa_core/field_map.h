// FieldMap: field name to alphabet symbol, for the automaton's per-key
// lookup. Open addressing keyed by the fixed-seed hash of the name's bytes,
// so a caller can hash a key once and look it up in many automata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace jorvane::dfa_core {

class FieldMap {
public:
    static constexpr uint32_t kAbsent = UINT32_MAX;

    // The hash every lookup is keyed with (util/hash.h, fixed seed).
    static uint64_t hash_key(std::string_view key);

    // Maps `name` to `symbol` unless the name is already present (then the
    // first mapping stays). Returns whether it was added.
    bool insert(std::shared_ptr<const std::string> name, uint32_t symbol);

    // The symbol of `key`, or kAbsent. `key_hash` must be hash_key(key).
    uint32_t find(std::string_view key, uint64_t key_hash) const {
        if (slots_.empty()) return kAbsent;
        const size_t mask = slots_.size() - 1;
        for (size_t i = key_hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.entry == 0) return kAbsent;
            if (slot.hash == key_hash) {
                const Entry& e = entries_[slot.entry - 1];
                if (*e.name == key) return e.symbol;
            }
        }
    }
    uint32_t find(std::string_view key) const { return find(key, hash_key(key)); }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    struct Entry {
        std::shared_ptr<const std::string> name;
        uint32_t symbol;
    };
    // The mappings in insertion order.
    const std::vector<Entry>& entries() const { return entries_; }

private:
    struct Slot {
        uint64_t hash = 0;
        uint32_t entry = 0;  // index into entries_ plus one; 0 = empty slot
    };

    void grow();

    std::vector<Slot> slots_;  // power-of-two size, at most half full
    std::vector<Entry> entries_;
};

}  // namespace jorvane::dfa_core
