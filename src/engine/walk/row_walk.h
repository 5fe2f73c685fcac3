// The row walk: the fast walk's sibling for table rows, forced inline into
// each buffer loop (engine/walk/walk_loop.h).
//
// A table scan has two drivers, the row anchor and one fused automaton of
// column queries. Through the general walk every matched cell becomes a
// Value, waits in a queue until its row closes and is then turned into a
// cell of the row store (engine/cell_store.h). This walk writes the cells
// straight from the matched bytes instead: a matched scalar becomes its cell
// at once (a number read once, a string decoded into the column's arena),
// and a matched container is recorded in the general walk's capture form
// and turned into its cell when it closes (a flat array into item cells, any
// other container into a Value). When the anchor's match closes, the row
// ends in every column.
//
// Like the fast walk (engine/walk/fast_walk.h) it starts between top-level
// values, keeps the grammar position in the program counter and both
// automata's states in `levels_`, skips containers in which neither
// automaton can match by counting brackets, and accepts only what the
// general walk takes without an error: objects of `"key": value` members and arrays
// of values, with closers of the right kind. On anything else it hands over
// with the general walk's state written for the tokens it has walked: the
// frames, both drivers' state stacks and states, the anchor's counting
// capture of the open row, the capture of a matched container being recorded
// (the events so far), a skip in progress. The general walk goes on from
// there and reports errors, kinds and offsets as it would have alone. It
// hands over the same way at a token the buffer end cuts, a container nested
// deeper than kMaxFastDepth, a scalar or key that a strict reader refuses in
// a matched value (before it, so the general walk records or notes it), and
// at a match it does not serve: a
// match nested in a recorded container, or a column match outside a row.
// The cells it wrote for a row the general walk completes stay first in
// their columns, before those the general walk adds.
//
// A row that reaches the row limit settles the scan as the general walk
// would; the walk then hands over after that row's closer, and nothing after
// it counts.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#include "engine/walk/bracket_skip.h"
#include "engine/walk/fast_walk.h"
#include "engine/walk/scan_state.h"
#include "engine/walk/state_table.h"
#include "engine/walk/walk_chunk.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

template <class Chunks>
class RowWalk {
public:
    RowWalk(ScanState& e, Chunks& chunks, ChunkCursor& c, const uint8_t* buf, size_t len)
        : e_(e),
          cd_(e.drivers[e.row_columns]),
          ad_(e.drivers[*e.row_anchor]),
          ct_(*e.state_table),
          at_(*e.anchor_table),
          store_(e.row_cells),
          cap_(e.row_capture),
          chunks_(chunks),
          c_(c),
          buf_(buf),
          end_(buf + len) {}

    [[gnu::noinline]] void run() {
        uint64_t bits = c_.bits;
        const uint8_t* chunk = buf_ + c_.base;
        const StateTable::State* const cstates = ct_.states();
        const StateTable::State* const astates = at_.states();
        const StateId cdead = ct_.dead();
        const StateId adead = at_.dead();
        uint32_t depth = 0;
        const StateTable::State* cst = nullptr;  // the innermost container's column state
        const StateTable::State* ast = nullptr;  // and anchor state
        uint8_t is_object = 0;
        StateId cchild = cdead, achild = adead;  // the states of the innermost container's last key or element
        StateId cs = cdead, as = adead;          // the states of the value at hand
        uint64_t i = 0;
        const uint8_t* p = nullptr;
        const uint8_t* q = nullptr;
        uint8_t b = 0;
        ValueStart kind = ValueStart::None;
        FrameState before_key = FrameState::ObjectStart;  // the frame state a key at hand follows

        auto advance = [&]() JORVANE_LAMBDA_INLINE {
            c_.bits = 0;
            if (!chunks_.next_chunk(c_)) return false;
            bits = c_.bits;
            chunk = buf_ + c_.base;
            return true;
        };
        auto next = [&](const uint8_t*& out) JORVANE_LAMBDA_INLINE {
            while (bits == 0) [[unlikely]] {
                if (!advance()) return false;
            }
            out = chunk + std::countr_zero(bits);
            bits &= bits - 1;
            return true;
        };
        // Gives back the last position taken (it lies in the cursor's chunk).
        auto unread = [&](const uint8_t* at) JORVANE_LAMBDA_INLINE { bits |= uint64_t{1} << (at - chunk); };
        auto bail = [&](const uint8_t* at, FrameState frame, uint64_t index, StateId c_state, StateId a_state,
                        uint64_t skip = 0) {
            c_.bits = bits;
            hand_over(at, depth, frame, index, c_state, a_state, skip);
        };
        // A scalar from `p` to `q` (a string's closing quote, or the
        // position after an atom) in states `sc` and `sa`; false when the
        // general walk must take it.
        auto scalar = [&](StateId sc, StateId sa, bool is_string) JORVANE_LAMBDA_INLINE {
            const uint64_t labels = cstates[sc].accept;
            const uint64_t rows = astates[sa].accept;
            if (capturing()) [[unlikely]] {
                if ((labels | rows) != 0) return false;
                return record_scalar(p, q, is_string);
            }
            if (labels != 0) {
                if (!cell(labels, p, q, is_string)) return false;
            }
            if (rows != 0) [[unlikely]]
                ++at_.plan(astates[sa].plan).hits;
            return true;
        };

    top:
        if (!next(p)) {
            c_.bits = bits;
            return;
        }
        b = *p;
        if (b == ',') goto top;
        if (b != '{' && b != '[') [[unlikely]] {
            c_.bits = bits;
            put_back(c_, buf_, p);
            return;
        }
        cs = ct_.table_state(cd_.state);
        as = at_.table_state(ad_.state);

    open:
        // A container opens at `p` (opener `b`) in states `cs` and `as`.
        {
            if (depth >= kMaxFastDepth) [[unlikely]]
                goto refuse;
            if (depth > 0 && !is_object) levels_[depth - 1].array_index = i;
            const uint64_t labels = cstates[cs].accept;
            const uint64_t rows = astates[as].accept;
            if (capturing()) {
                if ((labels | rows) != 0) [[unlikely]]
                    goto refuse;
                record(CapturedEvent::Open, b == '{');
            } else {
                if (labels != 0) {
                    if (row_level_ == kNone) [[unlikely]]
                        goto refuse;
                    start_capture(labels, b == '{', depth);
                } else if (cs == cdead && as == adead) {
                    goto skip;
                }
                if (rows != 0 && row_level_ == kNone) {
                    row_level_ = depth;
                    row_labels_ = rows;
                }
            }
            RowLevel& level = levels_[depth];
            level.cs = cs;
            level.as = as;
            level.is_object = b == '{';
            level.array_index = 0;
            ++depth;
            cst = &cstates[cs];
            ast = &astates[as];
            cchild = cs;
            achild = as;
            is_object = b == '{';
            if (!is_object) goto array_open;
        }

        // ---- objects ----
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::ObjectStart, 0, cchild, achild);
        b = *p;
        if (b == '}') goto close;
        if (b != '"') [[unlikely]]
            return bail(p, FrameState::ObjectStart, 0, cchild, achild);
        if (!next(q)) [[unlikely]]
            return bail(p, FrameState::ObjectStart, 0, cchild, achild);
        before_key = FrameState::ObjectStart;
        goto object_member;
    object_key:
        if (b != '"') [[unlikely]]
            return bail(p, FrameState::KeyExpected, 0, cchild, achild);
        if (!next(q)) [[unlikely]]
            return bail(p, FrameState::KeyExpected, 0, cchild, achild);
        before_key = FrameState::KeyExpected;
    object_member:
        {
            const std::string_view key(reinterpret_cast<const char*>(p) + 1, static_cast<size_t>(q - p - 1));
            if (capturing()) [[unlikely]] {
                // A key the recorded value would hold: one that is refused
                // is left to the general walk, which notes it.
                if (value::escape_fault(key)) [[unlikely]] {
                    unread(q);
                    return bail(p, before_key, 0, cchild, achild);
                }
                record(CapturedEvent::Key, 0, key);
            }
            const bool room = p + 17 <= end_;
            cchild = ct_.field(*cst, key, room, cd_.dfa);
            achild = at_.field(*ast, key, room, ad_.dfa);
        }
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::AfterKey, 0, cchild, achild);
        if (*p != ':') [[unlikely]]
            return bail(p, FrameState::AfterKey, 0, cchild, achild);
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::ValueExpected, 0, cchild, achild);
        b = *p;
        kind = kValueStarts[b];
        if (kind == ValueStart::String || kind == ValueStart::Atom) {
            if (!next(q)) [[unlikely]]
                return bail(p, FrameState::ValueExpected, 0, cchild, achild);
            if (!scalar(cchild, achild, kind == ValueStart::String)) [[unlikely]] {
                unread(q);
                return bail(p, FrameState::ValueExpected, 0, cchild, achild);
            }
            if (kind == ValueStart::String) {
                if (!next(p)) [[unlikely]]
                    return bail(nullptr, FrameState::AfterValue, 0, cchild, achild);
            } else {
                p = q;
            }
        } else if (kind == ValueStart::Container) {
            cs = cchild;
            as = achild;
            goto open;
        } else {
            return bail(p, FrameState::ValueExpected, 0, cchild, achild);
        }
    object_after_value:
        b = *p;
        if (b == ',') [[likely]] {
            if (!next(p)) [[unlikely]]
                return bail(nullptr, FrameState::KeyExpected, 0, cchild, achild);
            b = *p;
            goto object_key;
        }
        if (b == '}') [[likely]]
            goto close;
        return bail(p, FrameState::AfterValue, 0, cchild, achild);

        // ---- arrays ----
    array_open:
        i = 0;
        if (!next(p)) [[unlikely]]
            return bail(nullptr, FrameState::ArrayStart, 0, cchild, achild);
        b = *p;
        if (b == ']') goto close;
    array_value:
        cs = ct_.element(*cst, i, cd_.dfa);
        as = at_.element(*ast, i, ad_.dfa);
        kind = kValueStarts[b];
        if (kind == ValueStart::String || kind == ValueStart::Atom) {
            if (!next(q)) [[unlikely]]
                return bail(p, element_state(i), i, cchild, achild);
            if (!scalar(cs, as, kind == ValueStart::String)) [[unlikely]] {
                unread(q);
                return bail(p, element_state(i), i, cchild, achild);
            }
            cchild = cs;
            achild = as;
            ++i;
            if (kind == ValueStart::String) {
                if (!next(p)) [[unlikely]]
                    return bail(nullptr, FrameState::AfterValue, i, cchild, achild);
            } else {
                p = q;
            }
        } else if (kind == ValueStart::Container) {
            goto open;
        } else {
            return bail(p, element_state(i), i, cchild, achild);
        }
    array_after_value:
        b = *p;
        if (b == ',') [[likely]] {
            if (!next(p)) [[unlikely]]
                return bail(nullptr, FrameState::ValueExpected, i, cchild, achild);
            b = *p;
            goto array_value;
        }
        if (b == ']') [[likely]]
            goto close;
        return bail(p, FrameState::AfterValue, i, cchild, achild);

    close:
        // The innermost container's closer was just read.
        {
            const RowLevel& level = levels_[depth - 1];
            cchild = level.cs;
            achild = level.as;
            if (capturing()) {
                record(CapturedEvent::Close, 0);
                if (cap_level_ == depth - 1) end_capture();
            }
            --depth;
            if (row_level_ == depth) [[unlikely]] {
                if (end_row(level.as)) {
                    // The row limit is reached: nothing after this row counts.
                    if (depth == 0) {
                        c_.bits = bits;
                        return;
                    }
                    const RowLevel& parent = levels_[depth - 1];
                    return bail(nullptr, FrameState::AfterValue, parent.is_object ? 0 : parent.array_index + 1,
                                cchild, achild);
                }
            }
            if (depth == 0) goto top;
        }
    closed:
        // The value at hand, a container, closed; back in its parent.
        {
            const RowLevel& parent = levels_[depth - 1];
            cst = &cstates[parent.cs];
            ast = &astates[parent.as];
            is_object = parent.is_object;
            if (is_object) {
                if (!next(p)) [[unlikely]]
                    return bail(nullptr, FrameState::AfterValue, 0, cchild, achild);
                goto object_after_value;
            }
            i = parent.array_index + 1;
            if (!next(p)) [[unlikely]]
                return bail(nullptr, FrameState::AfterValue, i, cchild, achild);
            goto array_after_value;
        }

    skip:
        // A container in which neither automaton can match: its brackets are
        // counted, a chunk at a time, to its closer.
        {
            const uint8_t skipped_object = b == '{';
            uint64_t open_count = 0;
            p = skip_container(chunks_, c_, buf_, chunk, bits, p, open_count);
            if (p == nullptr) [[unlikely]] {
                push_skipped(depth, skipped_object);
                ++depth;
                return bail(nullptr, skipped_object ? FrameState::ObjectStart : FrameState::ArrayStart, 0, cdead,
                            adead, open_count);
            }
            if ((*p == '}') != (skipped_object != 0)) [[unlikely]] {
                push_skipped(depth, skipped_object);
                ++depth;
                return bail(p, skipped_object ? FrameState::ObjectStart : FrameState::ArrayStart, 0, cdead, adead);
            }
            cchild = cdead;
            achild = adead;
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
        if (is_object) return bail(p, FrameState::ValueExpected, 0, cchild, achild);
        return bail(p, element_state(i), i, cchild, achild);
    }

private:
    static constexpr uint32_t kNone = UINT32_MAX;

    bool capturing() const { return cap_level_ != kNone; }

    [[gnu::noinline]] void hand_over(const uint8_t* at, uint32_t count, FrameState fs, uint64_t index, StateId c_state,
                                     StateId a_state, uint64_t skip) {
        for (uint32_t l = 0; l < count; ++l) {
            RowLevel& level = levels_[l];
            level.cs = ct_.automaton_state(level.cs);
            level.as = at_.automaton_state(level.as);
            level.frame_state = level.is_object || level.array_index > 0 ? FrameState::ValueExpected
                                                                         : FrameState::ArrayStart;
        }
        levels_[count - 1].frame_state = fs;
        levels_[count - 1].array_index = index;
        if (at != nullptr) put_back(c_, buf_, at);
        RowWalkHandOver h;
        h.levels = levels_;
        h.count = count;
        h.column_state = ct_.automaton_state(c_state);
        h.anchor_state = at_.automaton_state(a_state);
        h.skip = skip;
        h.row_level = row_level_;
        h.row_labels = row_labels_;
        h.capture_level = cap_level_;
        e_.adopt_row_walk(h);
    }

    void push_skipped(uint32_t depth, uint8_t is_object) {
        RowLevel& level = levels_[depth];
        level.cs = ct_.dead();
        level.as = at_.dead();
        level.is_object = is_object;
        level.array_index = 0;
    }

    // Pushes one cell per label for a matched scalar; false for one a
    // strict reader refuses (the general walk records it).
    [[gnu::always_inline]] bool cell(uint64_t labels, const uint8_t* from, const uint8_t* to, bool is_string) {
        Cell c;
        CellColumn& first = store_.columns[std::countr_zero(labels)];
        if (is_string) {
            const std::string_view raw = text(from + 1, to);
            if (value::escape_fault(raw)) [[unlikely]]
                return false;
            c = first.raw_string_cell(raw);
        } else {
            const std::string_view atom = trim_trailing_ws(text(from, to));
            const uint8_t b = *from;
            if (b == '-' || static_cast<uint8_t>(b - '0') < 10) {
                const NumberReading n = number::read_json(atom);
                if (n.malformed) [[unlikely]]
                    return false;
                c = first.number_cell(n.view);
            } else {
                if (value::atom_fault(atom)) [[unlikely]]
                    return false;
                c = first.atom_cell(atom);
            }
        }
        first.cells.push_back(c);
        for (uint64_t rest = labels & (labels - 1); rest != 0; rest &= rest - 1) [[unlikely]]
            store_.columns[std::countr_zero(rest)].copy_cell(first, c);
        return true;
    }

    void start_capture(uint64_t labels, uint8_t is_object, uint32_t level) {
        cap_.events.clear();
        cap_.bytes.clear();
        cap_.labels = labels;
        cap_.is_object = is_object;
        cap_.malformed.reset();
        cap_level_ = level;
        record(CapturedEvent::Open, is_object);
    }

    [[gnu::always_inline]] void record(CapturedEvent::Kind kind, uint8_t is_object, std::string_view bytes = {}) {
        cap_.push(kind, is_object, bytes);
    }

    // A scalar inside the recorded container, as capture_scalar records it;
    // false for one a strict reader refuses.
    bool record_scalar(const uint8_t* from, const uint8_t* to, bool is_string) {
        if (is_string) {
            const std::string_view raw = text(from + 1, to);
            if (value::escape_fault(raw)) [[unlikely]]
                return false;
            record(CapturedEvent::String, 0, raw);
            return true;
        }
        const std::string_view atom = trim_trailing_ws(text(from, to));
        if (atom_json_type(atom) != JsonType::Number) {
            if (value::atom_fault(atom)) [[unlikely]]
                return false;
            record(CapturedEvent::Atom, 0, atom);
            return true;
        }
        const NumberReading n = number::read_json(atom);
        if (n.malformed) [[unlikely]]
            return false;
        cap_.push_number(n.view, atom);
        return true;
    }

    [[gnu::noinline]] void end_capture() {
        const uint64_t labels = cap_.labels;
        CellColumn& first = store_.columns[std::countr_zero(labels)];
        first.push_captured(cap_);
        for (uint64_t rest = labels & (labels - 1); rest != 0; rest &= rest - 1)
            store_.columns[std::countr_zero(rest)].copy_cell(first, first.cells.back());
        cap_level_ = kNone;
    }

    // The row's container closed in anchor state `as`; true when the scan
    // settled at the row limit.
    bool end_row(StateId as) {
        ++at_.plan(at_.state(as).plan).hits;
        row_level_ = kNone;
        store_.end_row();
        e_.rows_completed += 1;
        if (e_.row_limit && e_.rows_completed >= *e_.row_limit) {
            e_.settle();
            return true;
        }
        return false;
    }

    static std::string_view text(const uint8_t* from, const uint8_t* to) {
        return {reinterpret_cast<const char*>(from), static_cast<size_t>(to - from)};
    }

    ScanState& e_;
    DfaDriver& cd_;
    DfaDriver& ad_;
    StateTable& ct_;
    StateTable& at_;
    CellStore& store_;
    ActiveCapture& cap_;
    Chunks& chunks_;
    ChunkCursor& c_;
    const uint8_t* const buf_;
    const uint8_t* const end_;
    uint32_t row_level_ = kNone;  // the level of the open row's container
    uint64_t row_labels_ = 0;
    uint32_t cap_level_ = kNone;  // the level of the container being recorded
    RowLevel levels_[kMaxFastDepth];
};

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
