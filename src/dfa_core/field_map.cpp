// Filling the field map one name at a time, as the automaton builder meets
// them. A name goes into the hash table (doubled and rehashed from the stored
// hashes when it would pass half full) and, while short keys are still
// compared without hashing, at the end of its length's run in the short
// names; the runs after it move up by one entry. The first run to pass
// kMaxShortRun names ends that scheme: the short names are dropped, since
// from then on every key is looked up through the table, which holds them all.
#include "dfa_core/field_map.h"

#include "util/panic.h"

namespace jorvane::dfa_core {

bool FieldMap::insert(std::string_view name, uint32_t symbol) {
    if (symbol == kAbsent) panic("assertion failed: a field name cannot map to symbol 0 (Other)");
    const uint64_t hash = key_hash(name);
    if (find(name, hash) != kAbsent) return false;
    if ((size_ + 1) * 2 > slots_.size()) grow();

    Slot slot;
    slot.hash = hash;
    slot.symbol = symbol;
    slot.name_len = static_cast<uint32_t>(name.size());
    if (name.size() <= kShortKey) {
        key_words(name, slot.word_a, slot.word_b);
        if (!hashed_short_keys_) add_short_name(name, symbol);
    } else {
        slot.name_off = long_names_.size();
        long_names_.append(name);
    }
    place(slot);
    ++size_;
    entries_.push_back(Entry{std::string(name), symbol});
    return true;
}

void FieldMap::place(const Slot& slot) {
    const size_t mask = slots_.size() - 1;
    size_t i = slot.hash & mask;
    while (slots_[i].symbol != kAbsent) i = (i + 1) & mask;
    slots_[i] = slot;
}

void FieldMap::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() < kMinSlots ? kMinSlots : old.size() * 2, Slot{});
    for (const Slot& slot : old)
        if (slot.symbol != kAbsent) place(slot);
}

void FieldMap::add_short_name(std::string_view name, uint32_t symbol) {
    const size_t n = name.size();
    if (short_begin_[n + 1] - short_begin_[n] == kMaxShortRun) {
        hashed_short_keys_ = true;
        short_names_ = {};
        short_begin_.fill(0);
        return;
    }
    ShortName entry;
    key_words(name, entry.word_a, entry.word_b);
    entry.symbol = symbol;
    short_names_.insert(short_names_.begin() + short_begin_[n + 1], entry);
    for (size_t m = n + 1; m < short_begin_.size(); ++m) short_begin_[m] += 1;
}

}  // namespace jorvane::dfa_core
