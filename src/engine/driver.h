// DfaDriver: the run-time state of one query automaton over one source.
//
// A driver serves one query or up to 64 fused queries, told apart by label
// bits. The event walk asks it for the automaton state of each value
// (`transition_on_field`, `transition_array_index`), pushes and pops one
// state per open container, feeds captures of matched containers and hands
// every match to `dispatch_to_accumulators`.
//
// For speed the automaton is flattened at construction: one transition array
// (states x symbols), one accept mask per state (0 = not accepting), an
// open-addressing table of field names keyed by the key's hash (computed once
// per key by the walk and shared by every driver), and the index intervals as
// sorted arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dfa_core/dfa.h"
#include "engine/accumulator.h"
#include "engine/capture.h"
#include "engine/value.h"

namespace jorvane::engine {

using StateId = uint32_t;
inline constexpr StateId kDeadState = ~StateId{0};

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
    alignas(128) StateId pending_state = 0;
    dfa::QueryDFA dfa;
    std::vector<StateId> state_stack;
    std::vector<accumulator::Accumulator> accumulators;
    std::vector<uint64_t> label_masks;
    std::vector<ActiveCapture> captures;
    std::vector<accumulator::ItemQueue> queues;
    std::vector<std::optional<uint64_t>> limits;
    std::vector<uint64_t> counters;
    uint64_t limited_mask = 0;
    uint64_t done_mask = 0;
    uint64_t capture_mask = 0;
    size_t label_count = 0;
    bool stopped = false;
    bool stream_items = true;

    // One query; every accumulator carries label 1.
    static DfaDriver make(dfa::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators);
    // Panics when the accumulator and mask lists differ in length.
    static DfaDriver with_labels(dfa::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators,
                                 std::vector<uint64_t> label_masks, size_t label_count);

    // The state for the value of the member with this raw key (`hash` is
    // key_hash(key)).
    void transition_on_field(std::string_view key, uint64_t hash);
    void transition_on_field(std::string_view key) { transition_on_field(key, key_hash(key)); }
    // The state for the array element at `index`.
    void transition_array_index(uint64_t index);

    // The accept mask of `pending_state` (0 when it does not accept).
    uint64_t pending_accept_mask() const {
        return pending_state < accept_masks_.size() ? accept_masks_[pending_state] : 0;
    }
    uint64_t accept_mask_of(StateId s) const { return s < accept_masks_.size() ? accept_masks_[s] : 0; }
    StateId start_state() const { return start_; }
    // Any capture that keeps events.
    bool has_recording_capture() const {
        for (const auto& c : captures)
            if (c.recording) return true;
        return false;
    }
    uint64_t captured_labels() const {
        uint64_t m = 0;
        for (const auto& c : captures) m |= c.labels;
        return m;
    }

    // Folds one match into the accumulators of the labels in `mask` (after
    // `done_mask` and the limits); returns the labels actually delivered.
    uint64_t dispatch_to_accumulators(const MatchEvent& event, std::optional<std::string_view> key, uint64_t mask);

    // Back to the state of a new source (limits, masks and stream_items kept).
    void reset_for_next_source();

    static uint64_t key_hash(std::string_view key);

private:
    void build_tables();
    uint32_t field_symbol(std::string_view key, uint64_t hash) const;

    struct FieldSlot {
        uint64_t hash = 0;
        uint32_t symbol = 0;  // 0 = empty slot (symbol 0 is never a field)
        uint32_t name_off = 0;
        uint32_t name_len = 0;
    };
    StateId start_ = 0;
    uint32_t num_states_ = 0;
    uint32_t num_symbols_ = 0;
    bool case_insensitive_ = false;
    std::vector<StateId> trans_;          // num_states_ x num_symbols_
    std::vector<uint64_t> accept_masks_;  // 0 for states that do not accept
    std::vector<FieldSlot> field_slots_;  // power-of-two size, linear probing
    std::string field_names_;
    std::vector<uint64_t> range_starts_, range_ends_;
    std::vector<uint32_t> range_symbols_;
};

}  // namespace jorvane::engine
