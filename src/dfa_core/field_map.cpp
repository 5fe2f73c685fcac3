#include "dfa_core/field_map.h"

#include "util/hash.h"

namespace jorvane::dfa_core {

uint64_t FieldMap::hash_key(std::string_view key) { return hash_bytes(key); }

bool FieldMap::insert(std::shared_ptr<const std::string> name, uint32_t symbol) {
    const uint64_t h = hash_key(*name);
    if (find(*name, h) != kAbsent) return false;
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    entries_.push_back({std::move(name), symbol});
    const size_t mask = slots_.size() - 1;
    size_t i = h & mask;
    while (slots_[i].entry != 0) i = (i + 1) & mask;
    slots_[i] = {h, static_cast<uint32_t>(entries_.size())};
    return true;
}

void FieldMap::grow() {
    const size_t capacity = slots_.empty() ? 8 : slots_.size() * 2;
    std::vector<Slot> slots(capacity);
    const size_t mask = capacity - 1;
    for (const Slot& old : slots_) {
        if (old.entry == 0) continue;
        size_t i = old.hash & mask;
        while (slots[i].entry != 0) i = (i + 1) & mask;
        slots[i] = old;
    }
    slots_ = std::move(slots);
}

}  // namespace jorvane::dfa_core
