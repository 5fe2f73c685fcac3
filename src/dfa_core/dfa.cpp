// Deterministic automaton construction.
//
// The alphabet is collected from the tree: symbol 0 (Other, every name no
// query mentions), the field names, then the elementary index intervals that
// cut all index ranges into disjoint pieces. Because fields and intervals
// occupy consecutive symbol numbers, every position label reads a contiguous
// run of symbols: a name one symbol, a field wildcard symbols 0..F, an index
// range the intervals it covers.
//
// Subset construction runs breadth-first from the set {initial state}; states
// are numbered in order of discovery, the successors of a state in symbol
// order, so numbering never depends on hashing. For each state the symbol
// line is swept once: at every cut point where some edge's run starts or
// ends, the active edges give the target set of the whole segment up to the
// next cut point. Sets live in one arena and are interned through an
// open-addressing table keyed by the fixed-seed hash of their contents.
#include "dfa_core/dfa.h"

#include <algorithm>
#include <string>

#include "dfa_core/nfa.h"
#include "util/hash.h"
#include "util/panic.h"

namespace jorvane::dfa_core {

using ast::Query;
using Kind = ast::Query::Kind;

namespace {

QueryParseError too_many_states() {
    return QueryParseError::unexpected_token("query needs an automaton of more than " +
                                             std::to_string(kMaxDfaStates) +
                                             " states; simplify it or split it into several queries");
}

struct SymbolRun {
    uint32_t lo = 0;
    uint32_t hi = 0;  // exclusive; lo == hi: reads nothing
};

struct Edge {
    uint32_t lo;
    uint32_t hi;
    uint32_t target;
};

class SubsetConstruction {
public:
    SubsetConstruction(const QueryNFA& nfa, const std::vector<uint64_t>* masks, std::vector<SymbolRun> runs,
                       uint32_t symbol_count, QueryDFA& out)
        : nfa_(nfa), masks_(masks), runs_(std::move(runs)), width_(symbol_count), out_(out) {}

    Result<void, QueryParseError> run() {
        set_begin_.push_back(0);
        arena_.push_back(static_cast<uint32_t>(nfa_.initial));
        if (auto first = intern(); !first) return make_err(std::move(first).error());

        std::vector<Edge> edges;
        std::vector<uint32_t> order;
        std::vector<uint32_t> cuts;
        std::vector<uint32_t> active;
        for (uint32_t d = 0; d < out_.num_states; ++d) {
            edges.clear();
            for (size_t i = set_begin_[d]; i < set_begin_[d + 1]; ++i) {
                for (const uint32_t p : nfa_.edges[arena_[i]]) {
                    const SymbolRun& r = runs_[p];
                    if (r.lo < r.hi) edges.push_back({r.lo, r.hi, p + 1});
                }
            }
            if (!spend(edges.size() + 1)) return make_err(query_too_large());
            if (edges.empty()) continue;

            cuts.clear();
            cuts.push_back(0);
            for (const Edge& e : edges) {
                cuts.push_back(e.lo);
                cuts.push_back(e.hi);
            }
            std::sort(cuts.begin(), cuts.end());
            cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

            order.resize(edges.size());
            for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
            std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return edges[a].lo < edges[b].lo; });

            active.clear();
            size_t next = 0;
            for (size_t k = 0; k + 1 < cuts.size(); ++k) {
                const uint32_t a = cuts[k];
                const uint32_t b = cuts[k + 1];
                active.erase(std::remove_if(active.begin(), active.end(), [&](uint32_t e) { return edges[e].hi <= a; }),
                             active.end());
                while (next < order.size() && edges[order[next]].lo <= a) active.push_back(order[next++]);
                if (!spend(active.size() + 1)) return make_err(query_too_large());
                if (active.empty()) continue;

                const size_t from = arena_.size();
                for (const uint32_t e : active) arena_.push_back(edges[e].target);
                std::sort(arena_.begin() + from, arena_.end());
                arena_.erase(std::unique(arena_.begin() + from, arena_.end()), arena_.end());
                auto target = intern();
                if (!target) return make_err(std::move(target).error());
                const size_t row = static_cast<size_t>(d) * width_;
                std::fill(out_.transitions.begin() + row + a, out_.transitions.begin() + row + b, *target);
            }
        }
        return {};
    }

private:
    bool spend(uint64_t amount) {
        if (amount > kMaxSubsetWork - work_) return false;
        work_ += amount;
        return true;
    }

    uint64_t set_hash(size_t begin, size_t end) const {
        return hash_bytes(arena_.data() + begin, (end - begin) * sizeof(uint32_t));
    }

    bool same_set(uint32_t state, size_t begin, size_t end) const {
        const size_t b = set_begin_[state];
        const size_t e = set_begin_[state + 1];
        return e - b == end - begin && std::equal(arena_.begin() + b, arena_.begin() + e, arena_.begin() + begin);
    }

    // The set at the end of the arena (from set_begin_.back()) as a state:
    // an existing state with the same set (the copy is dropped), or a new one.
    Result<uint32_t, QueryParseError> intern() {
        const size_t begin = set_begin_.back();
        const size_t end = arena_.size();
        const uint64_t h = set_hash(begin, end);
        if (!slots_.empty()) {
            const size_t mask = slots_.size() - 1;
            for (size_t i = h & mask; slots_[i] != 0; i = (i + 1) & mask) {
                const uint32_t state = slots_[i] - 1;
                if (hashes_[state] == h && same_set(state, begin, end)) {
                    arena_.resize(begin);
                    return state;
                }
            }
        }

        const uint32_t state = out_.num_states;
        if (state >= kMaxDfaStates) return make_err(too_many_states());
        if (static_cast<uint64_t>(state + 1) * width_ > kMaxTransitionCells) return make_err(query_too_large());
        if (!spend(end - begin + width_)) return make_err(query_too_large());

        set_begin_.push_back(end);
        hashes_.push_back(h);
        if ((static_cast<size_t>(state) + 1) * 2 > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = state + 1;

        bool accepts = false;
        uint64_t accept_mask = 0;
        for (size_t k = begin; k < end; ++k) {
            const uint32_t s = arena_[k];
            if (!nfa_.accepting[s]) continue;
            accepts = true;
            if (masks_) accept_mask |= (*masks_)[s];
        }
        if (!masks_) accept_mask = accepts ? 1 : 0;

        out_.num_states = state + 1;
        out_.accepting.push_back(accepts ? 1 : 0);
        out_.accept_masks.push_back(accept_mask);
        out_.transitions.resize(out_.transitions.size() + width_, QueryDFA::kNoState);
        return state;
    }

    void grow() {
        const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
        std::vector<uint32_t> slots(capacity, 0);
        const size_t mask = capacity - 1;
        for (const uint32_t entry : slots_) {
            if (entry == 0) continue;
            size_t i = hashes_[entry - 1] & mask;
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = entry;
        }
        slots_ = std::move(slots);
    }

    const QueryNFA& nfa_;
    const std::vector<uint64_t>* masks_;
    std::vector<SymbolRun> runs_;  // per position
    uint32_t width_;
    QueryDFA& out_;

    std::vector<uint32_t> arena_;      // the sets, one after another
    std::vector<size_t> set_begin_;    // state d's set is arena_[set_begin_[d], set_begin_[d + 1])
    std::vector<uint64_t> hashes_;     // per state
    std::vector<uint32_t> slots_;      // state + 1; 0 = empty
    uint64_t work_ = 0;
};

}  // namespace

QueryDFA QueryDFA::whole_document() {
    QueryDFA dfa;
    dfa.accepting = {1};
    dfa.accept_masks = {~uint64_t{0}};
    dfa.num_states = 1;
    dfa.symbol_count = 0;
    dfa.start = 0;
    return dfa;
}

void DFABuilder::extract_symbols(const Query& query) {
    std::vector<const Query*> stack{&query};
    while (!stack.empty()) {
        const Query* q = stack.back();
        stack.pop_back();
        switch (q->kind) {
            case Kind::Field:
                if (field_map.insert(q->text, static_cast<uint32_t>(symbols.size())))
                    symbols.push_back(TransitionLabel::field(q->text));
                break;
            case Kind::Index:
                raw_ranges.emplace_back(q->index, q->index + 1);
                break;
            case Kind::Range:
                raw_ranges.emplace_back(q->start.value_or(0), q->end.value_or(kMaxIndex));
                break;
            case Kind::RangeFrom:
                raw_ranges.emplace_back(q->index, kMaxIndex);
                break;
            case Kind::ArrayWildcard:
                raw_ranges.emplace_back(0, kMaxIndex);
                break;
            case Kind::FieldWildcard:
                break;
            case Kind::Regex:
                panic_on_regex();
            case Kind::Optional:
            case Kind::KleeneStar:
            case Kind::Disjunction:
            case Kind::Sequence:
                for (size_t i = q->children.size(); i-- > 0;) stack.push_back(&q->children[i]);
                break;
        }
    }
}

void DFABuilder::finalize_ranges() {
    std::vector<uint64_t> points;
    for (const auto& [lo, hi] : raw_ranges) {
        if (lo < hi) {
            points.push_back(lo);
            points.push_back(hi);
        }
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    // The points are sorted and distinct, so the table comes out in start
    // order with its symbols numbered in that same order, as lookups need.
    for (size_t k = 0; k + 1 < points.size(); ++k) {
        const auto symbol = static_cast<uint32_t>(symbols.size());
        symbols.push_back(TransitionLabel::range(points[k], points[k + 1]));
        range_table.push_back({points[k], points[k + 1], symbol});
    }
}

Result<QueryDFA, QueryParseError> DFABuilder::build_dfa(const Query& query) {
    if (query.is_empty_query()) return QueryDFA::whole_document();
    if (auto depth = ast::check_tree_depth(query); !depth) return make_err(std::move(depth).error());

    extract_symbols(query);
    finalize_ranges();
    if (symbols.size() >= QueryDFA::kNoSymbol) return make_err(query_too_large());

    auto built = QueryNFA::build(query);
    if (!built) return make_err(std::move(built).error());
    const QueryNFA& nfa = built.value();
    if (query_masks && query_masks->size() != nfa.num_states) {
        panic("internal error: " + std::to_string(query_masks->size()) + " query masks for " +
              std::to_string(nfa.num_states) + " automaton states");
    }

    // Symbols: 0 = Other, 1..fields = field names, then the intervals.
    const auto width = static_cast<uint32_t>(symbols.size());
    const auto field_end = static_cast<uint32_t>(1 + field_map.size());
    if (field_end + range_table.size() != width) panic("internal error: alphabet out of order");

    std::vector<SymbolRun> runs(nfa.positions.size());
    for (size_t p = 0; p < nfa.positions.size(); ++p) {
        const TransitionLabel& label = nfa.positions[p];
        SymbolRun& run = runs[p];
        switch (label.kind) {
            case TransitionLabel::Kind::Field: {
                const uint32_t s = field_map.find(*label.name);
                if (s != FieldMap::kAbsent) run = {s, s + 1};
                break;
            }
            case TransitionLabel::Kind::FieldWildcard:
                run = {0, field_end};
                break;
            case TransitionLabel::Kind::Range:
            case TransitionLabel::Kind::RangeFrom: {
                const uint64_t lo = label.lo;
                const auto first = std::partition_point(range_table.begin(), range_table.end(),
                                                        [&](const RangeEntry& e) { return e.start < lo; });
                auto last = range_table.end();
                if (label.kind == TransitionLabel::Kind::Range) {
                    const uint64_t hi = label.hi;
                    last = std::partition_point(range_table.begin(), range_table.end(),
                                                [&](const RangeEntry& e) { return e.end <= hi; });
                }
                if (first < last) {
                    run = {field_end + static_cast<uint32_t>(first - range_table.begin()),
                           field_end + static_cast<uint32_t>(last - range_table.begin())};
                }
                break;
            }
            case TransitionLabel::Kind::Other:
                break;
        }
    }

    QueryDFA dfa;
    dfa.symbol_count = width;
    SubsetConstruction construction(nfa, query_masks ? &*query_masks : nullptr, std::move(runs), width, dfa);
    if (auto ok = construction.run(); !ok) return make_err(std::move(ok).error());

    dfa.symbols = std::move(symbols);
    dfa.range_table = std::move(range_table);
    dfa.field_map = std::move(field_map);
    dfa.start = 0;
    dfa.case_insensitive = false;
    symbols.clear();
    range_table.clear();
    field_map = FieldMap();
    return dfa;
}

Result<QueryDFA, QueryParseError> QueryDFA::from_query(const Query& query) {
    DFABuilder builder;
    return builder.build_dfa(query);
}

Result<QueryDFA, QueryParseError> QueryDFA::from_queries(std::span<const Query> queries) {
    const size_t n = queries.size();
    if (n > kMaxFusedQueries) {
        panic("cannot fuse " + std::to_string(n) + " queries into one automaton (limit " +
              std::to_string(kMaxFusedQueries) + "); split them across several");
    }
    // The disjunction adds one level above every tree.
    for (const Query& q : queries) {
        if (ast::tree_depth(q) >= kMaxTreeDepth) return make_err(ast::tree_too_deep());
    }
    Query fused = Query::disjunction(std::vector<Query>(queries.begin(), queries.end()));

    const size_t total = nfa::count_subquery_positions(fused);
    std::vector<uint64_t> masks(total + 1, 0);
    size_t offset = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        const size_t c = nfa::count_subquery_positions(queries[i]);
        for (size_t p = offset; p < offset + c; ++p) masks[p + 1] |= bit;
        if (nfa::contains_empty_word(queries[i])) masks[0] |= bit;
        offset += c;
    }
    DFABuilder builder(std::move(masks));
    return builder.build_dfa(fused);
}

}  // namespace jorvane::dfa_core
