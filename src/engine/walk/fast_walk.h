// The fast walk: top-level values walked by recursive descent over the
// stage-1 masks, forced inline into each buffer loop (engine/walk/walk_loop.h).
//
// The general walk (walk_chunk.h) keeps its grammar position in frames and
// serves every feature, so every token costs it a frame update and tests for
// captures, raw spans, key paths and rows. The fast walk serves the plain
// case, one driver without key paths, raw spans, table rows or a profile,
// and keeps the grammar position in the program counter and the automaton
// state in locals. Keys are looked up in the state's compiled key table
// (engine/walk/state_table.h); a value in a dead state is passed over at
// once, a scalar by its one or two positions, a container by counting its
// brackets a chunk at a time with popcounts, as the general walk's skip does.
//
// It accepts only what the general walk takes without an error: objects of
// `"key": value` members and arrays of values, separated by commas, with
// closers of the right kind. Anything else is a surprise: the fast walk then
// hands over, writing the general walk's state for exactly the tokens it has
// walked (the frames with their states and indices, the driver's state stack,
// its current state and open counting captures, a skip in progress), and puts
// the surprising position back into the cursor; the general walk goes on from
// there and reports errors, kinds and offsets as it would have alone. A value
// that the buffer end cuts is handed over the same way, before its first
// token when that token is cut. So is a container that some accumulator keeps
// whole (the general walk records it), and a container nested deeper than
// kMaxFastDepth.
//
// Matches fold through the state's plan, into the accumulators of its own
// labels only: Count-only plans just count, plans of kinds that do not read
// what matches hold fold without the per-match cache, plans that read it
// check and fold the match once for their accumulators; labels with limits
// or stopped queries go through the driver's dispatch. A match that a strict
// reader refuses is recorded as the general walk records it, and the walk
// hands over after that value. A match
// that settles the scan settles it here as the general walk would; the walk
// then runs on only to the end of the batch of chunks it holds, where the
// buffer loop stops, and nothing it meets there counts.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/walk/bracket_skip.h"
#include "engine/walk/scan_state.h"
#include "engine/walk/state_table.h"
#include "engine/walk/walk_chunk.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

// What a value's first byte makes it: one table load instead of a chain of
// comparisons.
enum class ValueStart : uint8_t { None = 0, String = 1, Atom = 2, Container = 3 };
inline constexpr std::array<ValueStart, 256> kValueStarts = [] {
    std::array<ValueStart, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const auto b = static_cast<uint8_t>(c);
        if (b == '"') t[b] = ValueStart::String;
        if (b == '{' || b == '[') t[b] = ValueStart::Container;
        // The first bytes the general walk takes for an atom's.
        if ((b >= '0' && b <= '9') || b == '-' || b == 'f' || b == 'n' || b == 't') t[b] = ValueStart::Atom;
    }
    return t;
}();

// Hands position `at` of `buf` back to the general walk: into the cursor's
// bits, or, for a token that began in an earlier chunk and whose end the
// buffer does not hold, as the cursor's open token.
inline void put_back(ChunkCursor& c, const uint8_t* buf, const uint8_t* at) {
    const auto p = static_cast<uint64_t>(at - buf);
    if (p >= c.base) {
        c.bits |= uint64_t{1} << (p - c.base);
    } else {
        c.open_token_start = p;
    }
}

// The frame state of an array before its element `i`.
inline FrameState element_state(uint64_t i) { return i == 0 ? FrameState::ArrayStart : FrameState::ValueExpected; }

template <class Chunks>
class FastWalk {
public:
    FastWalk(ScanState& e, StateTable& t, Chunks& chunks, ChunkCursor& c, const uint8_t* buf, size_t len)
        : e_(e),
          d_(e.drivers[0]),
          t_(t),
          dfa_(e.drivers[0].dfa),
          chunks_(chunks),
          c_(c),
          buf_(buf),
          end_(buf + len),
          blocked_(e.drivers[0].done_mask | e.drivers[0].limited_mask),
          capture_mask_(e.drivers[0].capture_mask) {}

    // Walks top-level values until the buffer ends or the general walk must
    // go on. Starts with no container open; hands over with the general
    // walk's state written.
    //
    // One function of its own, so that the chunk's bits, the states and the
    // indices stay in registers: the grammar position is the label the code
    // is at, and the containers open are `levels_` (what a hand-over needs of
    // them, written once per container). Positions are pointers into the
    // buffer.
    [[gnu::noinline]] void run() {
        uint64_t bits = c_.bits;
        const uint8_t* chunk = buf_ + c_.base;  // the first byte of the cursor's chunk
        const StateTable::State* const states = t_.states();
        const StateId dead = t_.dead();
        uint32_t depth = 0;           // containers open; the innermost is levels_[depth - 1]
        const StateTable::State* st = nullptr;  // the innermost container's state
        uint8_t is_object = 0;        // the innermost container's kind
        StateId child = dead;         // the state of the innermost container's last key or element
        StateId cs = dead;            // the state of the value at hand
        uint64_t i = 0;               // the innermost array's index of the value at hand
        const uint8_t* p = nullptr;
        const uint8_t* q = nullptr;
        uint8_t b = 0;
        ValueStart kind = ValueStart::None;

        // Moves to the next chunk; false after the last.
        auto advance = [&]() JORVANE_LAMBDA_INLINE {
            c_.bits = 0;
            if (!chunks_.next_chunk(c_)) return false;
            bits = c_.bits;
            chunk = buf_ + c_.base;
            return true;
        };
        // The next structural position; false at the end of the buffer.
        auto next = [&](const uint8_t*& out) JORVANE_LAMBDA_INLINE {
            while (bits == 0) [[unlikely]] {
                if (!advance()) return false;
            }
            out = chunk + std::countr_zero(bits);
            bits &= bits - 1;
            return true;
        };
        // Consumes the next structural position, a string's closing quote.
        auto pass = [&]() JORVANE_LAMBDA_INLINE {
            while (bits == 0) [[unlikely]] {
                if (!advance()) return false;
            }
            bits &= bits - 1;
            return true;
        };
        auto accepting = [&](StateId x) JORVANE_LAMBDA_INLINE { return states[x].accept != 0; };
        // Hands over: the innermost container's frame state and index, the
        // driver's state, the position the general walk starts at (null:
        // after the last one walked), the depth of a skip.
        auto bail = [&](const uint8_t* at, FrameState frame, uint64_t index, StateId state, uint64_t skip = 0) {
            c_.bits = bits;
            hand_over(at, depth, frame, index, state, skip);
        };

    top:
        if (!next(p)) {
            c_.bits = bits;
            return;
        }
        b = *p;
        // The general walk passes over a comma between top-level values.
        if (b == ',') goto top;
        if (b != '{' && b != '[') [[unlikely]] {
            c_.bits = bits;
            put_back(c_, buf_, p);
            return;
        }
        cs = t_.table_state(d_.state);

    open:
        // A container opens at `p` (opener `b`) in state `cs`.
        {
            if (depth >= kMaxFastDepth) [[unlikely]]
                goto refuse;
            if (depth > 0 && !is_object) levels_[depth - 1].array_index = i;
            if (cs == dead) goto skip;
            const StateTable::State& cst = states[cs];
            const uint64_t fresh = cst.accept & ~caps_;
            // A container some accumulator keeps is recorded by the general walk.
            if ((fresh & capture_mask_) != 0) [[unlikely]]
                goto refuse;
            FastLevel& level = levels_[depth];
            level.state = cs;
            level.is_object = b == '{';
            level.new_labels = fresh;
            level.array_index = 0;
            ++depth;
            st = &cst;
            caps_ |= fresh;
            child = cs;
            is_object = b == '{';
            if (!is_object) goto array_open;
        }

        // ---- objects ----
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::ObjectStart, 0, child);
        b = *p;
        if (b == '}') goto close;
        // The first key (after '{').
        if (b != '"') [[unlikely]]
            return bail(p, FrameState::ObjectStart, 0, child);
        if (!next(q)) [[unlikely]]
            return bail(p, FrameState::ObjectStart, 0, child);
        goto object_member;
    object_key:
        // A later key (after ',').
        if (b != '"') [[unlikely]]
            return bail(p, FrameState::KeyExpected, 0, child);
        if (!next(q)) [[unlikely]]
            return bail(p, FrameState::KeyExpected, 0, child);
    object_member:
        child = t_.field(*st,
                         std::string_view(reinterpret_cast<const char*>(p) + 1, static_cast<size_t>(q - p - 1)),
                         p + 17 <= end_, dfa_);
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::AfterKey, 0, child);
        if (*p != ':') [[unlikely]]
            return bail(p, FrameState::AfterKey, 0, child);
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::ValueExpected, 0, child);
        b = *p;
        kind = kValueStarts[b];
        if (kind == ValueStart::String) {
            bool folded = true;
            if (accepting(child)) [[unlikely]] {
                if (!next(q)) [[unlikely]]
                    return bail(p, FrameState::ValueExpected, 0, child);
                folded = fold_string(child, p, q);
            } else if (!pass()) [[unlikely]] {
                return bail(p, FrameState::ValueExpected, 0, child);
            }
            // A refused string ends the walk after it, as the buffer's end does.
            if (!folded || !next(p)) [[unlikely]]
                return bail(nullptr, FrameState::AfterValue, 0, child);
        } else if (kind == ValueStart::Atom) {
            if (!next(q)) [[unlikely]]
                return bail(p, FrameState::ValueExpected, 0, child);
            if (accepting(child)) [[unlikely]] {
                if (!fold_atom(child, p, q)) return bail(q, FrameState::AfterValue, 0, child);
            }
            p = q;
        } else if (kind == ValueStart::Container) {
            cs = child;
            goto open;
        } else {
            return bail(p, FrameState::ValueExpected, 0, child);
        }
    object_after_value:
        b = *p;
        if (b == ',') [[likely]] {
            if (!next(p)) [[unlikely]]
                return bail(nullptr, FrameState::KeyExpected, 0, child);
            b = *p;
            goto object_key;
        }
        if (b == '}') [[likely]]
            goto close;
        return bail(p, FrameState::AfterValue, 0, child);

        // ---- arrays ----
        // A value at hand follows '[' when its index is 0 and ',' otherwise.
    array_open:
        i = 0;
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::ArrayStart, 0, child);
        b = *p;
        if (b == ']') goto close;
    array_value:
        cs = t_.element(*st, i, dfa_);
        kind = kValueStarts[b];
        if (kind == ValueStart::String) {
            bool folded = true;
            if (accepting(cs)) [[unlikely]] {
                if (!next(q)) [[unlikely]]
                    return bail(p, element_state(i), i, child);
                folded = fold_string(cs, p, q);
            } else if (!pass()) [[unlikely]] {
                return bail(p, element_state(i), i, child);
            }
            child = cs;
            ++i;
            if (!folded || !next(p)) [[unlikely]]
                return bail(nullptr, FrameState::AfterValue, i, child);
        } else if (kind == ValueStart::Atom) {
            if (!next(q)) [[unlikely]]
                return bail(p, element_state(i), i, child);
            child = cs;
            ++i;
            if (accepting(cs)) [[unlikely]] {
                if (!fold_atom(cs, p, q)) return bail(q, FrameState::AfterValue, i, child);
            }
            p = q;
        } else if (kind == ValueStart::Container) {
            goto open;
        } else {
            return bail(p, element_state(i), i, child);
        }
    array_after_value:
        b = *p;
        if (b == ',') [[likely]] {
            if (!next(p)) [[unlikely]]
                return bail(nullptr, FrameState::ValueExpected, i, child);
            b = *p;
            goto array_value;
        }
        if (b == ']') [[likely]]
            goto close;
        return bail(p, FrameState::AfterValue, i, child);

    close:
        // The innermost container's closer was just read.
        {
            const FastLevel& level = levels_[depth - 1];
            const uint64_t fresh = level.new_labels;
            if (fresh != 0) [[unlikely]] {
                fold_container(states[level.state], fresh, level.is_object);
                caps_ &= ~fresh;
            }
            child = level.state;
            --depth;
            if (depth == 0) goto top;
        }
    closed:
        // The value at hand, a container, closed; back in its parent.
        {
            const FastLevel& parent = levels_[depth - 1];
            st = &states[parent.state];
            is_object = parent.is_object;
            if (is_object) {
                if (!next(p)) [[unlikely]]
                    return bail(nullptr, FrameState::AfterValue, 0, child);
                goto object_after_value;
            }
            i = parent.array_index + 1;
            if (!next(p)) [[unlikely]]
                return bail(nullptr, FrameState::AfterValue, i, child);
            goto array_after_value;
        }

    skip:
        // A container in the dead state: its brackets are counted, a chunk
        // at a time, to its closer; nothing inside is walked.
        {
            const uint8_t skipped_object = b == '{';
            uint64_t open_count = 0;
            p = skip_container(chunks_, c_, buf_, chunk, bits, p, open_count);
            if (p == nullptr) [[unlikely]] {
                // The buffer ends inside: the general walk goes on skipping.
                push_skipped(depth, skipped_object);
                ++depth;
                return bail(nullptr, skipped_object ? FrameState::ObjectStart : FrameState::ArrayStart, 0, dead,
                            open_count);
            }
            if ((*p == '}') != (skipped_object != 0)) [[unlikely]] {
                // A closer of the other kind: the general walk reports it.
                push_skipped(depth, skipped_object);
                ++depth;
                return bail(p, skipped_object ? FrameState::ObjectStart : FrameState::ArrayStart, 0, dead);
            }
            child = dead;
            if (depth == 0) goto top;
            goto closed;
        }

    refuse:
        // The general walk takes the container from its opener.
        if (depth == 0) {
            c_.bits = bits;
            put_back(c_, buf_, p);
            return;
        }
        if (is_object) return bail(p, FrameState::ValueExpected, 0, child);
        return bail(p, element_state(i), i, child);
    }

private:
    // Writes the general walk's state for `count` open containers; the
    // innermost has frame state `fs` and index `index`, each outer one the
    // state it has while a value is open in it.
    [[gnu::noinline]] void hand_over(const uint8_t* at, uint32_t count, FrameState fs, uint64_t index, StateId state,
                                     uint64_t skip) {
        for (uint32_t l = 0; l < count; ++l) {
            FastLevel& level = levels_[l];
            level.state = t_.automaton_state(level.state);
            level.frame_state = level.is_object || level.array_index > 0 ? FrameState::ValueExpected
                                                                         : FrameState::ArrayStart;
        }
        levels_[count - 1].frame_state = fs;
        levels_[count - 1].array_index = index;
        if (at != nullptr) put_back(c_, buf_, at);
        e_.adopt_fast_walk(levels_, count, t_.automaton_state(state), skip);
    }

    void push_skipped(uint32_t depth, uint8_t is_object) {
        FastLevel& level = levels_[depth];
        level.state = t_.dead();
        level.is_object = is_object;
        level.new_labels = 0;
        level.array_index = 0;
    }

    // The plan of an accepting state when its matches only count, else null.
    [[gnu::always_inline]] StateTable::Plan* direct_plan(const StateTable::State& st) {
        if ((st.accept & blocked_) != 0) return nullptr;
        StateTable::Plan& plan = t_.plan(st.plan);
        return plan.direct ? &plan : nullptr;
    }

    // Folds a match of the labels `labels` (those of state `st`, or fewer
    // for a container inside a capture of some of them). False when a
    // refused match was recorded.
    [[gnu::noinline]] bool fold(const StateTable::State& st, uint64_t labels, const MatchEvent& m) {
        if ((labels & blocked_) == 0 && labels == st.accept) [[likely]] {
            StateTable::Plan& plan = t_.plan(st.plan);
            if (plan.direct) {
                ++plan.hits;
                return true;
            }
            const std::span<const uint32_t> which(t_.plan_accumulators(plan), plan.accs_end - plan.accs_begin);
            if (!plan.keeps) {
                // Kinds that build no value: a match they read is checked
                // alone, then folded from its bytes.
                if (plan.reads) {
                    if (auto why = accumulator::match_fault(m)) [[unlikely]] {
                        e_.record_corruption_at(why->kind, why->offset);
                        return false;
                    }
                }
                for (const uint32_t j : which) d_.accumulators[j].fold_plain(m);
            } else if (auto why = accumulator::fold_match_into(d_.accumulators, d_.queues, which, true, m,
                                                               d_.stream_items)) [[unlikely]] {
                e_.record_corruption_at(why->kind, why->offset);
                return false;
            }
            // An Exists label settles at its first match.
            if ((labels & d_.settle_watch) != 0 && d_.settled_by(labels & d_.settle_watch)) [[unlikely]]
                e_.driver_settled();
            return true;
        }
        const DfaDriver::Delivery got = d_.dispatch_to_accumulators(m, std::nullopt, labels);
        if (got.malformed) [[unlikely]] {
            e_.record_corruption_at(got.malformed->kind, got.malformed->offset);
            return false;
        }
        if (got.settled) [[unlikely]]
            e_.driver_settled();
        return true;
    }

    static std::string_view text(const uint8_t* from, const uint8_t* to) {
        return {reinterpret_cast<const char*>(from), static_cast<size_t>(to - from)};
    }

    // False when the string was refused (recorded).
    [[gnu::always_inline]] bool fold_string(StateId s, const uint8_t* open, const uint8_t* close) {
        const StateTable::State& st = t_.state(s);
        if (StateTable::Plan* plan = direct_plan(st)) {
            ++plan->hits;
            return true;
        }
        return fold(st, st.accept,
                    MatchEvent::string(text(open + 1, close), e_.stream_offset + static_cast<uint64_t>(open - buf_)));
    }

    [[gnu::always_inline]] bool fold_atom(StateId s, const uint8_t* start, const uint8_t* end) {
        const StateTable::State& st = t_.state(s);
        if (StateTable::Plan* plan = direct_plan(st)) {
            ++plan->hits;
            return true;
        }
        return fold(st, st.accept,
                    MatchEvent::atom(trim_trailing_ws(text(start, end)), e_.stream_offset + static_cast<uint64_t>(start - buf_)));
    }

    [[gnu::noinline]] void fold_container(const StateTable::State& st, uint64_t labels, uint8_t is_object) {
        const Value none;
        (void)fold(st, labels, MatchEvent::container(&none, is_object));
    }

    ScanState& e_;
    DfaDriver& d_;
    StateTable& t_;
    const dfa_core::QueryDFA& dfa_;
    Chunks& chunks_;
    ChunkCursor& c_;
    const uint8_t* const buf_;
    const uint8_t* const end_;
    // Labels whose matches go through the driver's dispatch (limits, stopped queries).
    const uint64_t blocked_;
    // Labels whose accumulators keep values (their containers are recorded).
    const uint64_t capture_mask_;
    uint64_t caps_ = 0;  // labels of the counting captures open
    FastLevel levels_[kMaxFastDepth];
};

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
