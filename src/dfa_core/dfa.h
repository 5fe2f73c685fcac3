// QueryDFA: the deterministic automaton the scan engine drives, one step per
// object member or array element; DFABuilder: its construction from a query
// tree (alphabet, position automaton, subset construction); and the fusion
// of up to 64 queries into one automaton with per-query accept masks.
//
// Driving an automaton (one container level per step):
//   symbol = dfa.field_symbol(key_bytes, key_hash(key_bytes)) (a key no
//            query names gives symbol 0, Other; the hash is read only when
//            dfa.field_map.hashes_key(key size), so a caller driving several
//            automata computes it once per key, and only if one of them
//            reads it), or
//   symbol = dfa.index_symbol(i) (kNoSymbol: no transition);
//   next   = dfa.next_state(state, symbol) (kNoState: dead, nothing below
//            can match); a value in state s matches the queries whose bits
//            are set in dfa.accept_masks[s].
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "dfa_core/ast.h"
#include "dfa_core/common.h"
#include "dfa_core/field_map.h"
#include "dfa_core/key_hash.h"
#include "dfa_core/query_parse_error.h"
#include "util/result.h"

namespace jorvane::dfa_core {

// At most this many queries share one automaton.
inline constexpr size_t kMaxFusedQueries = 64;
// Bounds of one construction; a query past them fails to compile.
inline constexpr uint32_t kMaxDfaStates = uint32_t{1} << 16;
inline constexpr uint64_t kMaxTransitionCells = uint64_t{1} << 25;  // states x symbols
inline constexpr uint64_t kMaxSubsetWork = uint64_t{1} << 28;

// One elementary index interval [start, end) and its symbol.
struct RangeEntry {
    uint64_t start = 0;
    uint64_t end = 0;
    uint32_t symbol = 0;
    bool operator==(const RangeEntry&) const = default;
};

struct QueryDFA {
    static constexpr uint32_t kNoState = UINT32_MAX;
    static constexpr uint32_t kNoSymbol = UINT32_MAX;

    // Per state: whether some query matches there.
    std::vector<uint8_t> accepting;
    // Row-major, num_states rows of symbol_count entries: the target state
    // of (state, symbol), or kNoState.
    std::vector<uint32_t> transitions;
    // The alphabet: Other (symbol 0), one Field per distinct name in order of
    // first appearance, then one Range per elementary index interval in
    // ascending order. Empty for the whole-document query.
    std::vector<TransitionLabel> symbols;
    // The elementary index intervals, sorted by start, disjoint.
    std::vector<RangeEntry> range_table;
    // Per state: bit i set when query i of the automaton matches there.
    std::vector<uint64_t> accept_masks;
    // Field name -> symbol, for every Field of `symbols`.
    FieldMap field_map;
    uint32_t num_states = 0;
    uint32_t symbol_count = 0;  // symbols.size(), the width of a row
    uint32_t start = 0;
    bool case_insensitive = false;  // never set: field names compare exactly

    // The symbol of an object key (raw bytes between the quotes, escapes
    // not decoded); `hash` = key_hash(key), read only when
    // field_map.hashes_key(key.size()). A key no query names is symbol 0
    // (Other).
    [[gnu::always_inline]] uint32_t field_symbol(std::string_view key, uint64_t hash) const {
        return field_map.find(key, hash);
    }
    uint32_t field_symbol(std::string_view key) const { return field_map.find(key); }

    // The symbol of an array index, or kNoSymbol when no interval holds it.
    uint32_t index_symbol(uint64_t index) const {
        size_t size = range_table.size();
        if (size == 0) return kNoSymbol;
        size_t base = 0;
        while (size > 1) {
            const size_t half = size / 2;
            if (index >= range_table[base + half].start) base += half;
            size -= half;
        }
        const RangeEntry& e = range_table[base];
        return e.start <= index && index < e.end ? e.symbol : kNoSymbol;
    }

    // The state after reading `symbol` in `state`, or kNoState (also for a
    // state or symbol out of range, kNoState and kNoSymbol included).
    uint32_t next_state(uint32_t state, uint32_t symbol) const {
        if (state >= num_states || symbol >= symbol_count) return kNoState;
        return transitions[static_cast<size_t>(state) * symbol_count + symbol];
    }
    std::optional<uint32_t> transition(uint32_t state, uint32_t symbol) const {
        const uint32_t t = next_state(state, symbol);
        return t == kNoState ? std::nullopt : std::optional<uint32_t>(t);
    }

    // The automaton of one query: accept masks 1 (accepting) and 0, or all
    // ones for the whole-document query.
    static Result<QueryDFA, QueryParseError> from_query(const ast::Query& query);

    // One automaton for up to 64 queries: query i matches in a state whose
    // accept mask has bit i. Panics above 64 queries.
    static Result<QueryDFA, QueryParseError> from_queries(std::span<const ast::Query> queries);

    // The automaton of the whole-document query: one accepting state, all
    // mask bits set, no symbols.
    static QueryDFA whole_document();
};

struct DFABuilder {
    std::vector<TransitionLabel> symbols{TransitionLabel::other()};
    // Index ranges in walk order, repeats kept.
    std::vector<std::pair<uint64_t, uint64_t>> raw_ranges;
    std::vector<RangeEntry> range_table;
    // Per position-automaton state, the queries it accepts for (fusion);
    // absent for a one-query automaton.
    std::optional<std::vector<uint64_t>> query_masks;
    FieldMap field_map;

    DFABuilder() = default;
    explicit DFABuilder(std::vector<uint64_t> masks) : query_masks(std::move(masks)) {}

    // Adds the tree's field names (new ones only) and index ranges.
    void extract_symbols(const ast::Query& query);
    // Cuts the raw ranges into disjoint elementary intervals, one symbol each.
    void finalize_ranges();
    // The whole construction. Moves the alphabet out: one builder, one build.
    // Fails on trees nested too deep and on automata past the size bounds;
    // panics on a Regex node.
    Result<QueryDFA, QueryParseError> build_dfa(const ast::Query& query);
};

}  // namespace jorvane::dfa_core
