// Compiling a driver's automaton into the fast walk's per-state tables.
#include "engine/walk/state_table.h"

#include <algorithm>

namespace jorvane::engine {

namespace {

// The one state every index leads to from `s`, or StateTable::kVaries.
StateId uniform_index_target(const dfa_core::QueryDFA& dfa, StateId s) {
    // Indices outside every interval have no symbol: they lead nowhere.
    StateId target = kDeadState;
    bool first = true;
    auto see = [&](StateId t) {
        if (first) {
            target = t;
            first = false;
            return true;
        }
        return t == target;
    };
    uint64_t covered = 0;
    for (const dfa_core::RangeEntry& r : dfa.range_table) {
        if (r.start > covered && !see(kDeadState)) return StateTable::kVaries;
        if (!see(dfa.next_state(s, r.symbol))) return StateTable::kVaries;
        covered = r.end;
    }
    if (covered < dfa_core::kMaxIndex && !see(kDeadState)) return StateTable::kVaries;
    return target;
}

}  // namespace

StateTable::StateTable(const DfaDriver& d) {
    const dfa_core::QueryDFA& dfa = d.dfa;
    // The field symbols as the automaton's own map resolves their names.
    struct Name {
        std::string_view text;
        uint32_t symbol;
    };
    std::vector<Name> names;
    for (const auto& label : dfa.symbols) {
        if (label.kind != dfa_core::TransitionLabel::Kind::Field || !label.name) continue;
        const uint32_t symbol = dfa.field_symbol(*label.name);
        if (symbol != dfa_core::FieldMap::kAbsent) names.push_back({*label.name, symbol});
    }
    dead_ = dfa.num_states;
    states_.resize(size_t{dfa.num_states} + 1);
    State& dead = states_[dead_];
    dead.self = dead_;
    dead.other = dead_;
    dead.index = dead_;
    for (StateId s = 0; s < dfa.num_states; ++s) {
        State& st = states_[s];
        st.self = s;
        st.accept = d.accept_mask_of(s);
        st.other = table_state(dfa.next_state(s, 0));
        const StateId index = uniform_index_target(dfa, s);
        st.index = index == kVaries ? kVaries : table_state(index);
        st.keys_begin = static_cast<uint32_t>(keys_.size());
        for (const Name& n : names) {
            const StateId t = table_state(dfa.next_state(s, n.symbol));
            if (t == st.other) continue;
            Key k;
            k.len = static_cast<uint32_t>(n.text.size());
            k.target = t;
            if (n.text.size() <= dfa_core::kShortKey) {
                short_words(n.text, k.lo, k.hi);
            } else {
                k.long_off = static_cast<uint32_t>(long_names_.size());
                long_names_.append(n.text);
            }
            keys_.push_back(k);
            st.key_lengths |= uint64_t{1} << std::min<size_t>(n.text.size(), 63);
        }
        st.keys_end = static_cast<uint32_t>(keys_.size());
        if (st.keys_end - st.keys_begin > kMaxStateKeys) {
            keys_.resize(st.keys_begin);
            st.keys_end = st.keys_begin;
            st.field_map = true;
            st.key_lengths = ~uint64_t{0};
        }
        if (st.accept != 0) {
            Plan p;
            p.labels = st.accept;
            p.accs_begin = static_cast<uint32_t>(accs_.size());
            p.direct = true;
            for (size_t j = 0; j < d.accumulators.size(); ++j) {
                if ((d.label_masks[j] & st.accept) == 0) continue;
                accs_.push_back(static_cast<uint32_t>(j));
                if (d.accumulators[j].kind() != AccumulatorKind::Count) p.direct = false;
                if (d.accumulators[j].keeps(false)) p.keeps = true;
                if (d.accumulators[j].reads(false)) p.reads = true;
            }
            p.accs_end = static_cast<uint32_t>(accs_.size());
            any_direct_ |= p.direct;
            st.plan = static_cast<uint32_t>(plans_.size());
            plans_.push_back(p);
        }
    }
}

void StateTable::flush(DfaDriver& d) {
    if (!any_direct_) return;
    for (Plan& p : plans_) {
        if (p.hits == 0) continue;
        for (uint32_t i = p.accs_begin; i < p.accs_end; ++i) d.accumulators[accs_[i]].add_count(p.hits);
        p.hits = 0;
    }
}

void StateTable::clear_hits() {
    for (Plan& p : plans_) p.hits = 0;
}

}  // namespace jorvane::engine
