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
// It accepts only what the general walk treats plainly: objects of
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
// Matches fold through the state's plan: Count-only plans just count, plans
// of other kinds that keep no values fold into their own accumulators, and
// plans with limits, stopped labels or kept values go through the driver's
// dispatch. A malformed number that a kept match holds is recorded as the
// general walk records it, and the walk hands over after that value.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "engine/walk/scan_state.h"
#include "engine/walk/state_table.h"
#include "engine/walk/walk_chunk.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

template <class Chunks>
class FastWalk {
public:
    FastWalk(ScanState& e, StateTable& t, Chunks& chunks, ChunkCursor& c, const uint8_t* buf)
        : e_(e),
          d_(e.drivers[0]),
          t_(t),
          dfa_(e.drivers[0].dfa),
          chunks_(chunks),
          c_(c),
          buf_(buf),
          blocked_(e.drivers[0].done_mask | e.drivers[0].limited_mask),
          capture_mask_(e.drivers[0].capture_mask) {}

    // Walks top-level values until the buffer ends or the general walk must
    // go on. Starts and ends with no container open.
    JORVANE_WALK_INLINE void run() {
        uint64_t p;
        while (next(p)) {
            const uint8_t b = buf_[p];
            // The general walk passes over a comma between top-level values.
            if (b == ',') continue;
            if (b != '{' && b != '[') [[unlikely]] {
                put_back(p);
                return;
            }
            const Step r = open_container(p, b, d_.state, 0, 0);
            if (r == Step::Done) [[likely]]
                continue;
            if (r == Step::Refuse) {
                put_back(p);
            } else {
                e_.adopt_fast_walk(levels_, bail_depth_ + 1, bail_state_, bail_skip_);
            }
            return;
        }
    }

private:
    // Done: the container closed. Bail: the general walk goes on (levels up
    // to bail_depth_ written). Refuse: nothing consumed, the general walk
    // takes the container from its opener.
    enum class Step : uint8_t { Done, Bail, Refuse };

    // The next structural position of the buffer, classifying on demand.
    [[gnu::always_inline]] bool next(uint64_t& p) {
        while (c_.bits == 0) [[unlikely]] {
            if (!chunks_.next_chunk(c_)) return false;
        }
        p = c_.base + static_cast<unsigned>(std::countr_zero(c_.bits));
        c_.bits &= c_.bits - 1;
        return true;
    }

    // Hands position `p` back to the general walk: into the cursor's bits,
    // or, for a token that began in an earlier chunk and whose end the buffer
    // does not hold, as the cursor's open token.
    void put_back(uint64_t p) {
        if (p >= c_.base) {
            c_.bits |= uint64_t{1} << (p - c_.base);
        } else {
            c_.open_token_start = p;
        }
    }

    // The innermost container hands over: its frame state and index, the
    // driver's current state, and the position the general walk starts at
    // (kNoPosition: after the last one walked).
    Step bail_here(uint64_t p, uint32_t depth, FrameState fs, uint64_t index, StateId state) {
        levels_[depth].frame_state = fs;
        levels_[depth].array_index = index;
        bail_depth_ = depth;
        bail_state_ = state;
        bail_skip_ = 0;
        if (p != kNoPosition) put_back(p);
        return Step::Bail;
    }
    // An outer container of one that handed over: its state while that
    // child is open.
    Step bail_outer(uint32_t depth, FrameState fs, uint64_t index) {
        levels_[depth].frame_state = fs;
        levels_[depth].array_index = index;
        return Step::Bail;
    }

    [[gnu::always_inline]] bool accepting(StateId s) const { return s != kDeadState && t_.state(s).accept != 0; }

    // The plan of an accepting state when its matches only count, else null.
    [[gnu::always_inline]] StateTable::Plan* direct_plan(const StateTable::State& st) {
        if ((st.accept & blocked_) != 0) return nullptr;
        StateTable::Plan& plan = t_.plan(st.plan);
        return plan.direct ? &plan : nullptr;
    }

    // Folds a match of the labels `labels` (those of state `st`, or fewer
    // for a container inside a capture of some of them). False when a
    // malformed number was recorded.
    bool fold(const StateTable::State& st, uint64_t labels, const MatchEvent& m) {
        if ((labels & blocked_) == 0 && labels == st.accept) [[likely]] {
            StateTable::Plan& plan = t_.plan(st.plan);
            if (plan.direct) {
                ++plan.hits;
                return true;
            }
            if (!plan.keeps) {
                const uint32_t* acc = t_.plan_accumulators(plan);
                for (uint32_t i = plan.accs_begin; i < plan.accs_end; ++i, ++acc)
                    (void)d_.accumulators[*acc].fold(m, std::nullopt, d_.stream_items, d_.queues[*acc]);
                return true;
            }
        }
        const DfaDriver::Delivery got = d_.dispatch_to_accumulators(m, std::nullopt, labels);
        if (got.malformed) [[unlikely]] {
            e_.record_corruption_at(got.malformed->kind, got.malformed->offset);
            return false;
        }
        return true;
    }

    [[gnu::always_inline]] void fold_string(StateId s, uint64_t open, uint64_t close) {
        const StateTable::State& st = t_.state(s);
        if (StateTable::Plan* plan = direct_plan(st)) {
            ++plan->hits;
            return;
        }
        (void)fold(st, st.accept, MatchEvent::string(view(buf_, open + 1, close)));
    }

    [[gnu::always_inline]] bool fold_atom(StateId s, uint64_t start, uint64_t end) {
        const StateTable::State& st = t_.state(s);
        if (StateTable::Plan* plan = direct_plan(st)) {
            ++plan->hits;
            return true;
        }
        return fold(st, st.accept, MatchEvent::atom(trim_trailing_ws(view(buf_, start, end)), e_.stream_offset + start));
    }

    // A container whose opener `b` at `p` was just read, in state `s`, at
    // nesting `depth` inside the counting captures of labels `caps`.
    Step open_container(uint64_t p, uint8_t b, StateId s, uint32_t depth, uint64_t caps) {
        if (depth >= kMaxFastDepth) [[unlikely]]
            return Step::Refuse;
        const uint8_t is_object = b == '{';
        if (s == kDeadState) return skip(p, is_object, depth);
        const StateTable::State& st = t_.state(s);
        const uint64_t fresh = st.accept & ~caps;
        // A container some accumulator keeps is recorded by the general walk.
        if ((fresh & capture_mask_) != 0) [[unlikely]]
            return Step::Refuse;
        FastLevel& level = levels_[depth];
        level.state = s;
        level.is_object = is_object;
        level.new_labels = fresh;
        const Step r = is_object ? object(s, st, depth, caps | fresh) : array(s, st, depth, caps | fresh);
        if (r != Step::Done) [[unlikely]]
            return r;
        if (fresh != 0) [[unlikely]] {
            const Value none;
            (void)fold(st, fresh, MatchEvent::container(&none, is_object));
        }
        return Step::Done;
    }

    // Passes over a container in the dead state, opened at `p`: counts its
    // brackets, from chunk to chunk, to its closer.
    Step skip(uint64_t p, uint8_t is_object, uint32_t depth) {
        uint64_t from = after_bit(~uint64_t{0}, static_cast<unsigned>(p - c_.base));
        uint64_t open_count = 1;
        for (;;) {
            uint64_t open = c_.openers & from;
            uint64_t close = c_.closers & from;
            const uint64_t closes = static_cast<uint64_t>(std::popcount(close));
            if (closes < open_count) [[likely]] {
                open_count += static_cast<uint64_t>(std::popcount(open)) - closes;
            } else {
                while (close) {
                    const uint64_t below = (close & (0 - close)) - 1;
                    open_count += static_cast<uint64_t>(std::popcount(open & below));
                    open &= ~below;
                    open_count -= 1;
                    if (open_count == 0) {
                        const unsigned k = static_cast<unsigned>(std::countr_zero(close));
                        c_.bits = after_bit(c_.bits, k);
                        const uint64_t pos = c_.base + k;
                        if ((buf_[pos] == '}') == (is_object != 0)) [[likely]]
                            return Step::Done;
                        // A closer of the other kind: the general walk reports it.
                        skipped_level(depth, is_object);
                        return bail_here(pos, depth, is_object ? FrameState::ObjectStart : FrameState::ArrayStart, 0,
                                         kDeadState);
                    }
                    close &= close - 1;
                }
                open_count += static_cast<uint64_t>(std::popcount(open));
            }
            if (!chunks_.next_chunk(c_)) {
                // The buffer ends inside: the general walk goes on skipping.
                c_.bits = 0;
                skipped_level(depth, is_object);
                bail_here(kNoPosition, depth, is_object ? FrameState::ObjectStart : FrameState::ArrayStart, 0,
                          kDeadState);
                bail_skip_ = open_count;
                return Step::Bail;
            }
            from = ~uint64_t{0};
        }
    }

    void skipped_level(uint32_t depth, uint8_t is_object) {
        FastLevel& level = levels_[depth];
        level.state = kDeadState;
        level.is_object = is_object;
        level.new_labels = 0;
    }

    // The members of the object in (live) state `s` whose '{' was just read.
    Step object(StateId s, const StateTable::State& st, uint32_t depth, uint64_t caps) {
        uint64_t p, q;
        if (!next(p)) return bail_here(kNoPosition, depth, FrameState::ObjectStart, 0, s);
        uint8_t b = buf_[p];
        if (b == '}') return Step::Done;
        StateId child = s;
        FrameState fs = FrameState::ObjectStart;
        for (;;) {
            if (b != '"') [[unlikely]]
                return bail_here(p, depth, fs, 0, child);
            if (!next(q)) [[unlikely]]
                return bail_here(p, depth, fs, 0, child);
            child = t_.field(s, st, view(buf_, p + 1, q), dfa_);
            if (!next(p)) [[unlikely]]
                return bail_here(kNoPosition, depth, FrameState::AfterKey, 0, child);
            if (buf_[p] != ':') [[unlikely]]
                return bail_here(p, depth, FrameState::AfterKey, 0, child);
            if (!next(p)) [[unlikely]]
                return bail_here(kNoPosition, depth, FrameState::ValueExpected, 0, child);
            b = buf_[p];
            if (b == '"') {
                if (!next(q)) [[unlikely]]
                    return bail_here(p, depth, FrameState::ValueExpected, 0, child);
                if (accepting(child)) [[unlikely]]
                    fold_string(child, p, q);
                if (!next(p)) [[unlikely]]
                    return bail_here(kNoPosition, depth, FrameState::AfterValue, 0, child);
            } else if (b == '{' || b == '[') {
                const Step r = open_container(p, b, child, depth + 1, caps);
                if (r != Step::Done) [[unlikely]] {
                    if (r == Step::Refuse) return bail_here(p, depth, FrameState::ValueExpected, 0, child);
                    return bail_outer(depth, FrameState::ValueExpected, 0);
                }
                if (!next(p)) [[unlikely]]
                    return bail_here(kNoPosition, depth, FrameState::AfterValue, 0, child);
            } else if (is_atom_start(b)) [[likely]] {
                if (!next(q)) [[unlikely]]
                    return bail_here(p, depth, FrameState::ValueExpected, 0, child);
                if (accepting(child)) [[unlikely]] {
                    if (!fold_atom(child, p, q)) return bail_here(q, depth, FrameState::AfterValue, 0, child);
                }
                p = q;
            } else {
                return bail_here(p, depth, FrameState::ValueExpected, 0, child);
            }
            b = buf_[p];
            if (b == ',') [[likely]] {
                fs = FrameState::KeyExpected;
                if (!next(p)) [[unlikely]]
                    return bail_here(kNoPosition, depth, FrameState::KeyExpected, 0, child);
                b = buf_[p];
                continue;
            }
            if (b == '}') [[likely]]
                return Step::Done;
            return bail_here(p, depth, FrameState::AfterValue, 0, child);
        }
    }

    // The elements of the array in (live) state `s` whose '[' was just read.
    Step array(StateId s, const StateTable::State& st, uint32_t depth, uint64_t caps) {
        uint64_t p, q;
        if (!next(p)) return bail_here(kNoPosition, depth, FrameState::ArrayStart, 0, s);
        uint8_t b = buf_[p];
        if (b == ']') return Step::Done;
        StateId child = s;
        FrameState fs = FrameState::ArrayStart;
        uint64_t i = 0;
        for (;;) {
            const StateId cs = t_.element(s, st, i, dfa_);
            if (b == '"') {
                if (!next(q)) [[unlikely]]
                    return bail_here(p, depth, fs, i, child);
                child = cs;
                ++i;
                if (accepting(cs)) [[unlikely]]
                    fold_string(cs, p, q);
                if (!next(p)) [[unlikely]]
                    return bail_here(kNoPosition, depth, FrameState::AfterValue, i, child);
            } else if (b == '{' || b == '[') {
                const Step r = open_container(p, b, cs, depth + 1, caps);
                if (r != Step::Done) [[unlikely]] {
                    if (r == Step::Refuse) return bail_here(p, depth, fs, i, child);
                    return bail_outer(depth, fs, i);
                }
                child = cs;
                ++i;
                if (!next(p)) [[unlikely]]
                    return bail_here(kNoPosition, depth, FrameState::AfterValue, i, child);
            } else if (is_atom_start(b)) [[likely]] {
                if (!next(q)) [[unlikely]]
                    return bail_here(p, depth, fs, i, child);
                child = cs;
                ++i;
                if (accepting(cs)) [[unlikely]] {
                    if (!fold_atom(cs, p, q)) return bail_here(q, depth, FrameState::AfterValue, i, child);
                }
                p = q;
            } else {
                return bail_here(p, depth, fs, i, child);
            }
            b = buf_[p];
            if (b == ',') [[likely]] {
                fs = FrameState::ValueExpected;
                if (!next(p)) [[unlikely]]
                    return bail_here(kNoPosition, depth, FrameState::ValueExpected, i, child);
                b = buf_[p];
                continue;
            }
            if (b == ']') [[likely]]
                return Step::Done;
            return bail_here(p, depth, FrameState::AfterValue, i, child);
        }
    }

    ScanState& e_;
    DfaDriver& d_;
    StateTable& t_;
    const dfa_core::QueryDFA& dfa_;
    Chunks& chunks_;
    ChunkCursor& c_;
    const uint8_t* buf_;
    // Labels whose matches go through the driver's dispatch (limits, stopped queries).
    const uint64_t blocked_;
    // Labels whose accumulators keep values (their containers are recorded).
    const uint64_t capture_mask_;
    uint32_t bail_depth_ = 0;
    StateId bail_state_ = kDeadState;
    uint64_t bail_skip_ = 0;
    FastLevel levels_[kMaxFastDepth];
};

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
