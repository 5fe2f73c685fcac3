// The automaton driver: flattened transition tables, the two transitions,
// match dispatch, settling and the per-source reset.
#include "engine/drivers/driver.h"

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

DfaDriver DfaDriver::make(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators) {
    std::vector<uint64_t> masks(accumulators.size(), 1);
    return with_labels(std::move(dfa), std::move(accumulators), std::move(masks), 1);
}

DfaDriver DfaDriver::with_labels(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators,
                                 std::vector<uint64_t> label_masks, size_t label_count) {
    if (accumulators.size() != label_masks.size())
        panic("assertion failed: every accumulator needs exactly one label mask");
    DfaDriver d;
    for (size_t i = 0; i < accumulators.size(); ++i) {
        if (accumulators[i].keeps(true)) d.capture_mask |= label_masks[i];
        if (accumulators[i].keeps(false)) d.keyless_keep_mask |= label_masks[i];
        if (accumulators[i].reads(true)) d.read_mask |= label_masks[i];
        if (accumulators[i].reads(false)) d.keyless_read_mask |= label_masks[i];
        if (accumulators[i].info().keyed) d.key_read_mask |= label_masks[i];
    }
    d.queues.resize(accumulators.size());
    d.limits.assign(label_count, std::nullopt);
    d.counters.assign(label_count, 0);
    d.label_count = label_count;
    d.dfa = std::move(dfa);
    d.accumulators = std::move(accumulators);
    d.label_masks = std::move(label_masks);
    d.state = d.dfa.start;
    d.watch_settling();
    return d;
}

void DfaDriver::transition_on_folded_field(StateId s, std::string_view key) {
    // Names were folded when collected; a key that is not UTF-8 names nothing.
    uint32_t symbol;
    if (!is_valid_utf8(key)) {
        symbol = 0;
    } else {
        std::string lowered(key);
        for (char& ch : lowered)
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        symbol = dfa.field_symbol(lowered);
    }
    state = dfa.next_state(s, symbol);
}

DfaDriver::Delivery DfaDriver::dispatch_to_accumulators(const MatchEvent& event, std::optional<std::string_view> key,
                                                        uint64_t mask) {
    if (stopped) return {};
    uint64_t reached = 0;
    mask = accumulator::apply_limits(mask, done_mask, limited_mask, limits, counters, &reached);
    if (mask == 0) return {};
    if (key && (mask & key_read_mask) != 0) [[unlikely]] {
        if (auto why = scalar_fault(true, *key, event.key_offset)) return {0, why, false};
    }
    const uint64_t read = (key ? read_mask : keyless_read_mask) | text_keep_mask;
    if (auto why = accumulator::fold_match(accumulators, label_masks, queues, mask, read, event, key, stream_items))
        return {0, why, false};
    const uint64_t settling = reached | (mask & settle_watch);
    return {mask, std::nullopt, settling != 0 && settled_by(settling)};
}

uint64_t DfaDriver::open_labels(uint64_t labels) const {
    labels &= ~done_mask;
    for (uint64_t w = labels & limited_mask; w != 0; w &= w - 1) {
        const unsigned i = static_cast<unsigned>(std::countr_zero(w));
        if (limits[i] && counters[i] >= *limits[i]) labels &= ~(uint64_t{1} << i);
    }
    return labels;
}

bool DfaDriver::label_settled(size_t i) const {
    const uint64_t bit = uint64_t{1} << i;
    if (done_mask & bit) return true;
    if (limits[i]) return counters[i] >= *limits[i];
    bool any = false;
    for (size_t k = 0; k < accumulators.size(); ++k) {
        if (!(label_masks[k] & bit)) continue;
        any = true;
        if (accumulators[k].kind() != AccumulatorKind::Exists || !accumulators[k].found()) return false;
    }
    return any;
}

bool DfaDriver::all_settled() const {
    for (size_t i = 0; i < label_count; ++i)
        if (!label_settled(i)) return false;
    return label_count > 0;
}

bool DfaDriver::settled_by(uint64_t settled) {
    uint64_t newly = 0;
    for (uint64_t w = settled; w != 0; w &= w - 1) {
        const unsigned i = static_cast<unsigned>(std::countr_zero(w));
        if (label_settled(i)) newly |= uint64_t{1} << i;
    }
    settle_watch &= ~newly;
    return newly != 0 && all_settled();
}

void DfaDriver::watch_settling() {
    settle_watch = 0;
    for (size_t i = 0; i < label_count; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        if (done_mask & bit) continue;
        bool any = false, only_exists = true;
        for (size_t k = 0; k < accumulators.size(); ++k) {
            if (!(label_masks[k] & bit)) continue;
            any = true;
            if (accumulators[k].kind() != AccumulatorKind::Exists) only_exists = false;
        }
        if (!limits[i] && any && only_exists) settle_watch |= bit;
    }
}

void DfaDriver::reset_for_next_source() {
    state = dfa.start;
    state_stack.clear();
    for (auto& acc : accumulators) acc.reset();
    captures.clear();
    stopped = false;
    for (auto& q : queues) q.clear();
    std::fill(counters.begin(), counters.end(), 0);
    done_mask = 0;
    watch_settling();
}

}  // namespace jorvane::engine
