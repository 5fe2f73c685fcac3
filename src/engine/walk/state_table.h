// StateTable: what the fast walk (engine/walk/fast_walk.h) needs of every
// state of one driver's automaton, compiled once per engine.
//
// States are numbered as in the automaton, and the dead state (kNoState
// there) is one more state, `dead()`, that accepts nothing and leads only to
// itself, so the walk reads any state's entry without testing for it first.
//
// Keys. Most states have a live transition on only a few field names; every
// other key leads where Other leads. A state keeps just those names, each as
// its length and its bytes as two zero-padded words, and a mask of their
// lengths, so most keys are told apart by their length alone, and the others
// cost two word loads and a comparison of length and words per name; names
// longer than 16 bytes compare their bytes. A state
// with more names than kMaxStateKeys asks the automaton's field map instead.
//
// Array elements. A state whose every index leads to the same state (`[*]`,
// or no index query at all) keeps that state; others look the index up.
//
// Folding. Each accepting state has a plan: the accumulators its labels
// touch, so a match costs what its own labels cost and not a pass over every
// accumulator of the driver. When those are all Count, the plan only counts
// its matches (`hits`), and `flush` adds them to the accumulators at the end
// of every buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dfa_core/key_hash.h"
#include "engine/drivers/driver.h"

namespace jorvane::engine {

class StateTable {
public:
    // An index transition that depends on the index.
    static constexpr StateId kVaries = kDeadState - 1;
    static constexpr uint32_t kNoPlan = UINT32_MAX;
    static constexpr uint32_t kMaxStateKeys = 8;

    struct Key {
        uint64_t lo = 0;  // a name of at most 16 bytes: its bytes 0..7 and 8..15, zero-padded
        uint64_t hi = 0;
        uint32_t len = 0;
        StateId target = 0;
        uint32_t long_off = 0;  // a name longer than 16 bytes: its bytes in long_names_
    };
    struct State {
        uint64_t accept = 0;          // the labels that match here
        uint64_t key_lengths = 0;     // bit min(n, 63) for each name of n bytes in `keys`
        StateId self = 0;             // this state's number
        StateId other = 0;            // a key that none of `keys` names
        StateId index = 0;            // every array element, or kVaries
        uint32_t keys_begin = 0;
        uint32_t keys_end = 0;
        uint32_t plan = kNoPlan;      // accepting states
        bool field_map = false;       // too many names: look keys up in the automaton
    };
    struct Plan {
        uint64_t labels = 0;
        uint32_t accs_begin = 0;
        uint32_t accs_end = 0;
        bool direct = false;  // every accumulator is Count: matches only count
        bool keeps = false;   // some accumulator keeps values (the driver dispatches)
        bool reads = false;   // some accumulator reads what matches hold (each is checked first)
        uint64_t hits = 0;    // direct matches not yet added
    };

    explicit StateTable(const DfaDriver& d);

    // The dead state's number here.
    StateId dead() const { return dead_; }
    // The automaton's number of a state (kDeadState for dead()).
    StateId automaton_state(StateId s) const { return s == dead_ ? kDeadState : s; }
    // This table's number of an automaton state.
    StateId table_state(StateId s) const { return s == kDeadState ? dead_ : s; }
    const State& state(StateId s) const { return states_[s]; }
    const State* states() const { return states_.data(); }
    Plan& plan(uint32_t p) { return plans_[p]; }
    const uint32_t* plan_accumulators(const Plan& p) const { return accs_.data() + p.accs_begin; }

    // The state of the member with raw key `key` in state `st`. `room`: the
    // 16 bytes from the key's first are readable.
    [[gnu::always_inline]] StateId field(const State& st, std::string_view key, bool room,
                                         const dfa_core::QueryDFA& dfa) const {
        const uint32_t n = static_cast<uint32_t>(key.size());
        if (((st.key_lengths >> (n < 63 ? n : 63)) & 1) == 0) [[likely]]
            return st.other;
        if (st.field_map) [[unlikely]]
            return table_state(dfa.next_state(st.self, dfa.field_symbol(key)));
        const Key* k = keys_.data() + st.keys_begin;
        const Key* const end = keys_.data() + st.keys_end;
        if (n > dfa_core::kShortKey) [[unlikely]] {
            for (; k != end; ++k)
                if (k->len == n && std::memcmp(long_names_.data() + k->long_off, key.data(), n) == 0) return k->target;
            return st.other;
        }
        uint64_t lo, hi;
        if (room) [[likely]] {
            std::memcpy(&lo, key.data(), 8);
            std::memcpy(&hi, key.data() + 8, 8);
            lo &= low_bytes(n);
            hi &= low_bytes(n > 8 ? n - 8 : 0);
        } else {
            short_words(key, lo, hi);
        }
        for (; k != end; ++k)
            if (k->len == n && k->lo == lo && k->hi == hi) return k->target;
        return st.other;
    }

    // The state of array element `i` in state `st`.
    [[gnu::always_inline]] StateId element(const State& st, uint64_t i, const dfa_core::QueryDFA& dfa) const {
        if (st.index != kVaries) [[likely]]
            return st.index;
        return table_state(dfa.next_state(st.self, dfa.index_symbol(i)));
    }

    // The bytes 0..7 and 8..15 of a key of at most 16 bytes, zero-padded.
    static void short_words(std::string_view key, uint64_t& lo, uint64_t& hi) {
        char padded[16] = {};
        std::memcpy(padded, key.data(), key.size());
        std::memcpy(&lo, padded, 8);
        std::memcpy(&hi, padded + 8, 8);
    }
    // The mask of the low `n` bytes of a word (n <= 8).
    static uint64_t low_bytes(uint32_t n) { return n >= 8 ? ~uint64_t{0} : ~(~uint64_t{0} << (8 * n)); }

    // Adds the direct matches to their Count accumulators.
    void flush(DfaDriver& d);
    // Forgets the direct matches (a new source).
    void clear_hits();

private:
    StateId dead_ = 0;
    std::vector<State> states_;
    std::vector<Key> keys_;
    std::string long_names_;
    std::vector<Plan> plans_;
    std::vector<uint32_t> accs_;
    bool any_direct_ = false;  // some plan counts directly
};

}  // namespace jorvane::engine
