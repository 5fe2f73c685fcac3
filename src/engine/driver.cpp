// The automaton driver: flattened transition tables, the two transitions,
// match dispatch and the per-source reset.
#include "engine/driver.h"

#include <algorithm>
#include <bit>
#include <string>

#include "util/hash.h"
#include "util/panic.h"
#include "util/text.h"

namespace jorvane::engine {

Value match_to_value(const MatchEvent& event) {
    switch (event.kind) {
        case MatchEvent::Atom:
            return value::from_atom(event.bytes);
        case MatchEvent::String:
            return value::from_raw_string(event.bytes);
        case MatchEvent::Container:
            return event.value ? *event.value : Value();
    }
    return Value();
}

uint64_t DfaDriver::key_hash(std::string_view key) { return hash_bytes(key.data(), key.size()); }

DfaDriver DfaDriver::make(dfa::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators) {
    std::vector<uint64_t> masks(accumulators.size(), 1);
    return with_labels(std::move(dfa), std::move(accumulators), std::move(masks), 1);
}

DfaDriver DfaDriver::with_labels(dfa::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators,
                                 std::vector<uint64_t> label_masks, size_t label_count) {
    if (accumulators.size() != label_masks.size())
        panic("assertion failed: every accumulator needs exactly one label mask");
    DfaDriver d;
    d.capture_mask = 0;
    for (size_t i = 0; i < accumulators.size(); ++i)
        if (accumulators[i].needs_whole_value()) d.capture_mask |= label_masks[i];
    d.queues.resize(accumulators.size());
    d.limits.assign(label_count, std::nullopt);
    d.counters.assign(label_count, 0);
    d.label_count = label_count;
    d.dfa = std::move(dfa);
    d.accumulators = std::move(accumulators);
    d.label_masks = std::move(label_masks);
    d.build_tables();
    d.pending_state = d.start_;
    return d;
}

void DfaDriver::build_tables() {
    const auto& a = dfa;
    num_states_ = static_cast<uint32_t>(a.num_states);
    num_symbols_ = static_cast<uint32_t>(a.symbols.size());
    start_ = static_cast<StateId>(a.start);
    case_insensitive_ = a.case_insensitive;
    trans_.assign(size_t{num_states_} * num_symbols_, kDeadState);
    for (size_t s = 0; s < num_states_ && s < a.transitions.size(); ++s) {
        const auto& row = a.transitions[s];
        for (size_t sym = 0; sym < num_symbols_ && sym < row.size(); ++sym)
            if (row[sym]) trans_[s * num_symbols_ + sym] = static_cast<StateId>(*row[sym]);
    }
    accept_masks_.assign(num_states_, 0);
    for (size_t s = 0; s < num_states_; ++s) {
        bool acc = s < a.accepting.size() && a.accepting[s];
        if (acc && s < a.accept_masks.size()) accept_masks_[s] = a.accept_masks[s];
    }
    // Field names: open addressing on the key hash, load factor at most 1/2.
    size_t names = 0;
    for (const auto& entry : a.field_map) (void)entry, ++names;
    size_t cap = 4;
    while (cap < names * 2) cap <<= 1;
    field_slots_.assign(cap, FieldSlot{});
    field_names_.clear();
    for (const auto& [name, symbol] : a.field_map) {
        std::string_view n(name);
        FieldSlot slot;
        slot.hash = key_hash(n);
        slot.symbol = static_cast<uint32_t>(symbol);
        slot.name_off = static_cast<uint32_t>(field_names_.size());
        slot.name_len = static_cast<uint32_t>(n.size());
        field_names_.append(n);
        size_t i = slot.hash & (cap - 1);
        while (field_slots_[i].symbol != 0) i = (i + 1) & (cap - 1);
        field_slots_[i] = slot;
    }
    range_starts_.clear();
    range_ends_.clear();
    range_symbols_.clear();
    for (const auto& r : a.range_table) {
        range_starts_.push_back(r.start);
        range_ends_.push_back(r.end);
        range_symbols_.push_back(static_cast<uint32_t>(r.symbol));
    }
}

uint32_t DfaDriver::field_symbol(std::string_view key, uint64_t hash) const {
    const size_t mask = field_slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const FieldSlot& slot = field_slots_[i];
        if (slot.symbol == 0) return 0;
        if (slot.hash == hash && slot.name_len == key.size() &&
            std::string_view(field_names_.data() + slot.name_off, slot.name_len) == key)
            return slot.symbol;
    }
}

void DfaDriver::transition_on_field(std::string_view key, uint64_t hash) {
    if (state_stack.empty()) return;
    const StateId s = state_stack.back();
    if (s >= num_states_) {
        pending_state = kDeadState;
        return;
    }
    uint32_t symbol;
    if (case_insensitive_) {
        // Names are folded when collected; a key that is not UTF-8 names nothing.
        if (!is_valid_utf8(key)) {
            symbol = 0;
        } else {
            std::string lowered(key);
            for (char& ch : lowered)
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
            symbol = field_symbol(lowered, key_hash(lowered));
        }
    } else {
        symbol = field_symbol(key, hash);
    }
    pending_state = symbol < num_symbols_ ? trans_[size_t{s} * num_symbols_ + symbol] : kDeadState;
}

void DfaDriver::transition_array_index(uint64_t index) {
    if (state_stack.empty()) return;
    const StateId s = state_stack.back();
    if (s >= num_states_ || range_starts_.empty()) {
        pending_state = kDeadState;
        return;
    }
    size_t base = 0, size = range_starts_.size();
    while (size > 1) {
        size_t half = size / 2;
        if (index >= range_starts_[base + half]) base += half;
        size -= half;
    }
    const uint32_t symbol = range_symbols_[base];
    if (range_starts_[base] <= index && index < range_ends_[base] && symbol < num_symbols_) {
        pending_state = trans_[size_t{s} * num_symbols_ + symbol];
    } else {
        pending_state = kDeadState;
    }
}

uint64_t DfaDriver::dispatch_to_accumulators(const MatchEvent& event, std::optional<std::string_view> key,
                                             uint64_t mask) {
    if (stopped) return 0;
    mask = accumulator::apply_limits(mask, done_mask, limited_mask, limits, counters);
    if (mask == 0) return 0;
    accumulator::fold_match(accumulators, label_masks, queues, mask, event, key, stream_items);
    return mask;
}

void DfaDriver::reset_for_next_source() {
    pending_state = start_;
    state_stack.clear();
    for (auto& acc : accumulators) acc.reset();
    captures.clear();
    stopped = false;
    for (auto& q : queues) q.clear();
    std::fill(counters.begin(), counters.end(), 0);
    done_mask = 0;
}

}  // namespace jorvane::engine
