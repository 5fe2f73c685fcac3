// DfaDriver: the run-time state of one query automaton over one source.
//
// A driver serves one query or up to 64 fused queries, told apart by label
// bits. The event walk asks it for the automaton state of each value
// (`transition_on_field`, `transition_array_index`), pushes and pops one
// state per open container, feeds captures of matched containers and hands
// every match to `dispatch_to_accumulators`.
//
// Keys are looked up in the automaton's own field map (dfa_core/field_map.h):
// a key of at most 16 bytes is compared with the names of its length without
// hashing; the hash of a longer key is computed once per key event by the walk
// and shared by every driver's field lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dfa_core/dfa.h"
#include "dfa_core/key_hash.h"
#include "engine/drivers/accumulator.h"
#include "engine/drivers/capture.h"
#include "engine/values/value.h"

namespace jorvane::engine {

using StateId = uint32_t;
inline constexpr StateId kDeadState = dfa_core::QueryDFA::kNoState;

// A match handed to the accumulators: an atom's trimmed literal, a string's
// raw bytes between the quotes, or a closed container's captured value.
using MatchEvent = accumulator::Match;

// A new value for a match: atoms by their first byte, strings decoded,
// containers copied.
Value match_to_value(const MatchEvent& event);

// One query of a fused automaton as installed.
struct FusedQuery {
    std::vector<accumulator::Accumulator> accumulators;
    std::optional<uint64_t> limit;
};

struct alignas(128) DfaDriver {
    // Written for every value: alone on its own cache line.
    alignas(128) StateId state = 0;
    dfa_core::QueryDFA dfa;
    std::vector<StateId> state_stack;
    std::vector<accumulator::Accumulator> accumulators;
    std::vector<uint64_t> label_masks;
    std::vector<ActiveCapture> captures;
    std::vector<accumulator::ItemQueue> queues;
    std::vector<std::optional<uint64_t>> limits;
    std::vector<uint64_t> counters;
    uint64_t limited_mask = 0;
    uint64_t done_mask = 0;
    // Labels without a limit, kept only by Exists accumulators, that have not
    // settled yet: their first match settles them. (A limited label settles
    // at its limit-th match, which apply_limits reports; every other label
    // takes matches for as long as the source lasts.)
    uint64_t settle_watch = 0;
    uint64_t capture_mask = 0;  // labels of the accumulators that keep values
    // Labels of the accumulators that keep a match without a member key
    // (every kind that keeps values but KeyedValues).
    uint64_t keyless_keep_mask = 0;
    // Labels of the accumulators that read what an object member holds
    // (every kind but Count and Exists), and of those that read a match
    // without a member key (the same but KeyedValues).
    uint64_t read_mask = 0;
    uint64_t keyless_read_mask = 0;
    // Labels of the accumulators that decode a member's key (KeyedValues).
    uint64_t key_read_mask = 0;
    // Labels whose matches are kept as document text (raw capture). Such a
    // match is re-emitted as JSON, so, like a value that is read, it must be
    // strict JSON; the containers skipped inside it are checked all the same
    // (engine/walk/skip_check.h).
    uint64_t text_keep_mask = 0;
    size_t label_count = 0;
    bool stopped = false;
    bool stream_items = true;

    // One query; every accumulator carries label 1.
    static DfaDriver make(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators);
    // Panics when the accumulator and mask lists differ in length.
    static DfaDriver with_labels(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators,
                                 std::vector<uint64_t> label_masks, size_t label_count);

    // The state for the value of the member with this raw key (`hash` is
    // key_hash(key)).
    [[gnu::always_inline]] void transition_on_field(std::string_view key, uint64_t hash) {
        if (state_stack.empty()) return;
        const StateId s = state_stack.back();
        if (s == kDeadState) {
            state = kDeadState;
            return;
        }
        if (dfa.case_insensitive) [[unlikely]] {
            transition_on_folded_field(s, key);
            return;
        }
        state = dfa.next_state(s, dfa.field_symbol(key, hash));
    }
    // Whether the field lookup of a key of `n` bytes reads its hash (else the
    // hash argument of transition_on_field may be anything).
    bool hashes_key(size_t n) const { return dfa.field_map.hashes_key(n); }
    void transition_on_field(std::string_view key) { transition_on_field(key, key_hash(key)); }
    // The state for the array element at `index`.
    [[gnu::always_inline]] void transition_array_index(uint64_t index) {
        if (state_stack.empty()) return;
        const StateId s = state_stack.back();
        state = s == kDeadState ? kDeadState : dfa.next_state(s, dfa.index_symbol(index));
    }

    // The accept mask of a state (0 when it does not accept or is dead).
    uint64_t accept_mask_of(StateId s) const {
        return s < dfa.num_states && dfa.accepting[s] ? dfa.accept_masks[s] : 0;
    }
    uint64_t accept_mask() const { return accept_mask_of(state); }
    // Whether a key event looks the key up (the innermost container is live).
    bool looks_up_fields() const { return !state_stack.empty() && state_stack.back() != kDeadState; }
    // A container opened in state `s` while `s` accepts or captures are
    // active (`member`: it is an object member): starts a capture when `s`
    // accepts labels not yet captured, then feeds the open to every capture.
    struct CapturesOpened {
        // The new capture is read with its member key (whose escapes must
        // then be valid).
        bool keyed = false;
        // The open nests a captured value past kMaxCapturedNesting.
        bool too_deep = false;
    };
    CapturesOpened open_captures(StateId s, uint8_t is_object, bool member);
    // `labels` without those that take no more matches: stopped by the
    // caller, or at their limit.
    uint64_t open_labels(uint64_t labels) const;
    StateId start_state() const { return dfa.start; }
    // Any capture that keeps events.
    bool has_recording_capture() const {
        for (const auto& c : captures)
            if (c.recording) return true;
        return false;
    }
    // Any capture that reads its scalars and keys (see ActiveCapture).
    bool has_checking_capture() const {
        for (const auto& c : captures)
            if (c.checks_values) return true;
        return false;
    }
    // Any capture that records or reads what it holds.
    bool has_reading_capture() const {
        for (const auto& c : captures)
            if (c.recording || c.checks_values) return true;
        return false;
    }
    uint64_t captured_labels() const {
        uint64_t m = 0;
        for (const auto& c : captures) m |= c.labels;
        return m;
    }

    // What became of one match: the labels it was delivered to, or the
    // fault for which the labels that read values refused it (then it
    // reached none).
    struct Delivery {
        uint64_t labels = 0;
        std::optional<MalformedValue> malformed;
        // This delivery settled the last of the driver's labels still open.
        bool settled = false;
    };
    // Folds one match into the accumulators of the labels in `mask` (after
    // `done_mask` and the limits). `key` is the raw key of an object member,
    // whose opening quote is at the match's `key_offset`.
    Delivery dispatch_to_accumulators(const MatchEvent& event, std::optional<std::string_view> key, uint64_t mask);

    // Whether label `i` can take nothing more: stopped, at its limit, or kept
    // only by Exists accumulators that have found their match.
    bool label_settled(size_t i) const;
    // Whether every label is settled.
    bool all_settled() const;
    // After a match was folded: `settled` holds the labels it may have
    // settled (those whose limit it reached, the watched Exists labels it
    // reached). Drops the settled ones from `settle_watch`; true when the
    // driver's last open label settled.
    bool settled_by(uint64_t settled);
    // Sets `settle_watch` from the limits, the accumulators and `done_mask`
    // (after the limits are installed, and for every new source).
    void watch_settling();

    // Back to the state of a new source (limits, masks and stream_items kept).
    void reset_for_next_source();

    static uint64_t key_hash(std::string_view key) { return dfa_core::key_hash(key); }

private:
    void transition_on_folded_field(StateId s, std::string_view key);
};

}  // namespace jorvane::engine
