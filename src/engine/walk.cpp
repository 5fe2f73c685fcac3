// The stage-2 event walk.
//
// Each chunk arrives as a mask of structural positions (unescaped quotes,
// structural characters outside strings, first bytes of scalars) plus the
// bracket masks. The walk visits the positions in order with count-trailing-
// zeros and turns them into container, key, string and atom events: a string
// runs from its opening quote to the next structural position (its closing
// quote), an atom from its first byte to the next structural position. A token
// whose end lies in a later chunk of the buffer is carried in the cursor's
// `pending_start`; one cut by the buffer end is saved by the cut-token code.
//
// Containers in which no automaton can match anything are skipped by counting
// brackets, a whole chunk at a time, across chunks and buffers.
#include <bit>
#include <cstring>

#include "engine/engine.h"

namespace jorvane::engine {

namespace {

inline bool is_atom_start(uint8_t b) {
    return (b >= '0' && b <= '9') || b == '-' || b == 'f' || b == 'n' || b == 't';
}

inline std::string_view view(const uint8_t* buf, uint64_t from, uint64_t to) {
    return {reinterpret_cast<const char*>(buf) + from, static_cast<size_t>(to - from)};
}

inline std::string_view trim_trailing_ws(std::string_view s) {
    size_t n = s.size();
    while (n > 0) {
        char c = s[n - 1];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        --n;
    }
    return s.substr(0, n);
}

// Bit count without relying on the popcount instruction (this file is built
// for every x86-64), which would otherwise be a library call.
inline uint64_t count_bits(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ULL);
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return (x * 0x0101010101010101ULL) >> 56;
}

// Positions strictly after bit k.
inline uint64_t after_bit(uint64_t mask, unsigned k) { return k >= 63 ? 0 : mask & (~uint64_t{0} << (k + 1)); }

}  // namespace

std::optional<std::string_view> Engine::current_key() const {
    if (!track_key_path || frames.empty() || !frames.back().is_object) return std::nullopt;
    size_t from = frames.back().key_path_len;
    if (from > key_path.size()) from = key_path.size();
    return std::string_view(key_path).substr(from);
}

bool Engine::skip_test() const {
    for (const auto& d : drivers) {
        if (d.state_stack.empty() || d.state_stack.back() != kDeadState) return false;
        if (d.has_recording_capture()) return false;
    }
    return true;
}

// Walks openers and closers (restricted by from_mask) while skip_depth > 0.
bool Engine::continue_skip(ChunkCursor& c, uint64_t& bits, uint64_t from_mask, const uint8_t* buf, size_t len) {
    uint64_t open = c.openers & from_mask;
    uint64_t close = c.closers & from_mask;
    uint64_t depth = skip_depth;
    while (close) {
        uint64_t cbit = close & (0 - close);
        depth += count_bits(open & (cbit - 1));
        open &= ~(cbit - 1);
        depth -= 1;
        if (depth == 0) {
            unsigned k = std::countr_zero(cbit);
            skip_depth = 0;
            uint64_t pos = c.base + k;
            bits = after_bit(bits, k);
            on_close_container(buf[pos], pos, buf, len);
            return true;
        }
        close ^= cbit;
    }
    depth += count_bits(open);
    skip_depth = depth;
    bits = 0;
    return false;
}

void Engine::process_chunk(ChunkCursor& c, const uint8_t* buf, size_t len) {
    uint64_t bits = c.bits;
    const uint64_t base = c.base;

    // 1. A skipped container still open from an earlier chunk.
    if (skip_depth > 0) {
        uint64_t from_mask = bits ? ~((bits & (0 - bits)) - 1) : 0;
        if (!continue_skip(c, bits, from_mask, buf, len)) {
            c.bits = 0;
            return;
        }
    }

    // 2. A token begun in an earlier chunk of this buffer.
    if (c.pending_start != kNoPosition) {
        uint64_t p = c.pending_start;
        c.pending_start = kNoPosition;
        if (bits == 0) {
            c.pending_start = p;
            c.bits = 0;
            return;
        }
        if (buf[p] == '"') {
            uint64_t close = base + std::countr_zero(bits);
            bits &= bits - 1;
            on_string(buf, len, p, close);
        } else {
            on_atom(buf, len, p, base + std::countr_zero(bits));
        }
    }

    // 3. The chunk's structural positions.
    while (bits) {
        unsigned k = std::countr_zero(bits);
        bits &= bits - 1;
        uint64_t i = base + k;
        uint8_t b = buf[i];
        switch (b) {
            case '"': {
                if (bits == 0) {
                    c.pending_start = i;
                    c.bits = 0;
                    return;
                }
                uint64_t j = base + std::countr_zero(bits);
                bits &= bits - 1;
                on_string(buf, len, i, j);
                break;
            }
            case ',':
                if (!frames.empty()) {
                    auto& f = frames.back();
                    f.state = f.is_object ? FrameState::KeyExpected : FrameState::ValueExpected;
                }
                break;
            case ':':
                if (frames.empty()) {
                    record_corruption(ParseErrorKind::colon_outside_container(), i);
                } else if (frames.back().is_object) {
                    frames.back().state = FrameState::ValueExpected;
                }
                break;
            case '[':
            case '{': {
                on_open_container(b == '{', i);
                if (skip_test()) {
                    skip_depth = 1;
                    if (!continue_skip(c, bits, after_bit(~uint64_t{0}, k), buf, len)) {
                        c.bits = 0;
                        return;
                    }
                }
                break;
            }
            case ']':
            case '}':
                on_close_container(b, i, buf, len);
                break;
            default:
                if (is_atom_start(b)) {
                    if (bits == 0) {
                        c.pending_start = i;
                        c.bits = 0;
                        return;
                    }
                    on_atom(buf, len, i, base + std::countr_zero(bits));
                } else {
                    record_corruption(ParseErrorKind::unexpected_structural_byte(b), i);
                    c.bits = 0;
                    return;
                }
                break;
        }
    }
    c.bits = 0;
}

void Engine::on_open_container(uint8_t is_object, uint64_t pos) {
    if (!frames.empty() && !frames.back().is_object) {
        uint64_t index = frames.back().array_index;
        for (auto& d : drivers) d.transition_array_index(index);
    }
    for (auto& d : drivers) {
        StateId s = d.pending_state;
        d.state_stack.push_back(s);
        uint64_t accept = d.accept_mask_of(s);
        if (accept) {
            uint64_t labels = accept & ~d.captured_labels();
            if (labels) {
                ActiveCapture cap;
                cap.labels = labels;
                cap.is_object = is_object;
                cap.recording = (labels & d.capture_mask) != 0;
                d.captures.push_back(std::move(cap));
            }
        }
        if (!d.captures.empty()) buffer_if_capturing(d.captures, CapturedEvent::Open, is_object, {});
    }
    if (raw_spans && !raw_spans->open && !drivers.empty() && !drivers[0].captures.empty()) {
        raw_spans->open = true;
        raw_spans->start = pos;
        raw_spans->open_bytes.clear();
    }
    ContainerFrame f;
    f.array_index = 0;
    f.key_path_len = static_cast<uint32_t>(key_path.size());
    f.state = is_object ? FrameState::ObjectStart : FrameState::ArrayStart;
    f.is_object = is_object;
    frames.push_back(f);
}

void Engine::on_close_container(uint8_t byte, uint64_t pos, const uint8_t* buf, size_t len) {
    if (frames.empty()) {
        record_corruption(ParseErrorKind::unmatched_close(), pos);
        return;
    }
    ContainerFrame f = frames.back();
    frames.pop_back();
    if (track_key_path && f.key_path_len <= key_path.size()) key_path.resize(f.key_path_len);
    if ((byte == ']') == (f.is_object != 0)) {
        record_corruption(ParseErrorKind::mismatched_close(byte), pos);
        return;
    }
    bool anchor_was_capturing = row_anchor && *row_anchor < drivers.size() && !drivers[*row_anchor].captures.empty();
    std::optional<std::string_view> key = current_key();
    bool underflow = false, too_deep = false;
    bool first_finished = false, first_bit0 = false;
    for (size_t n = 0; n < drivers.size(); ++n) {
        DfaDriver& d = drivers[n];
        if (d.state_stack.empty()) {
            underflow = true;
            continue;
        }
        d.pending_state = d.state_stack.back();
        d.state_stack.pop_back();
        if (d.captures.empty()) continue;
        buffer_if_capturing(d.captures, CapturedEvent::Close, 0, {});
        if (d.captures.back().depth != 0) continue;
        ActiveCapture cap = std::move(d.captures.back());
        d.captures.pop_back();
        uint64_t delivered = 0;
        if (!d.stopped) {
            Value value;  // null
            if (cap.recording) {
                std::optional<Value> built = materialize(cap);
                if (built) {
                    value = std::move(*built);
                } else {
                    too_deep = true;
                }
            }
            delivered = d.dispatch_to_accumulators(MatchEvent::container(&value, cap.is_object), key, cap.labels);
        }
        if (n == 0) {
            first_finished = true;
            first_bit0 = (delivered & 1) != 0;
        }
    }
    if (raw_spans && first_finished) {
        RawSpans& rs = *raw_spans;
        if (first_bit0 && rs.open) {
            std::string span = std::move(rs.open_bytes);
            span.append(reinterpret_cast<const char*>(buf) + rs.start, static_cast<size_t>(pos + 1 - rs.start));
            rs.finished.push_back(std::move(span));
        }
        rs.open_bytes.clear();
        rs.open = false;
    }
    if (underflow) {
        record_corruption(ParseErrorKind::frame_stack_underflow(), pos);
        return;
    }
    if (too_deep) record_corruption(ParseErrorKind::nesting_too_deep(), pos);
    if (anchor_was_capturing && drivers[*row_anchor].captures.empty()) complete_row(*row_anchor);
    if (!frames.empty()) {
        auto& parent = frames.back();
        parent.state = FrameState::AfterValue;
        if (!parent.is_object) parent.array_index += 1;
    }
}

void Engine::complete_row(size_t anchor) {
    size_t columns = 0;
    for (size_t n = 0; n < drivers.size(); ++n)
        if (n != anchor) columns += drivers[n].label_count;
    if (row_batch.rows == 0 && row_batch.values.size() != columns) row_batch = RowBatch::make(columns);
    size_t q = 0;
    for (size_t n = 0; n < drivers.size(); ++n) {
        if (n == anchor) continue;
        DfaDriver& d = drivers[n];
        size_t accs = std::min(d.label_masks.size(), d.queues.size());
        for (size_t j = 0; j < d.label_count; ++j, ++q) {
            if (q >= row_batch.values.size()) continue;
            auto& column = row_batch.values[q];
            for (size_t k = 0; k < accs; ++k) {
                if (!((d.label_masks[k] >> j) & 1)) continue;
                auto& queue = d.queues[k];
                for (auto& item : queue) column.push_back(std::move(item.value));
                queue.clear();
            }
            row_batch.offsets[q].push_back(static_cast<uint32_t>(column.size()));
        }
    }
    row_batch.rows += 1;
}

void Engine::scalar_value(std::string_view bytes, bool is_string) {
    std::optional<std::string_view> key = current_key();
    uint64_t delivered = 0;
    const MatchEvent ev = is_string ? MatchEvent::string(bytes) : MatchEvent::atom(bytes);
    const CapturedEvent::Kind kind = is_string ? CapturedEvent::String : CapturedEvent::Atom;
    for (auto& d : drivers) {
        if (!d.captures.empty() && d.has_recording_capture()) buffer_if_capturing(d.captures, kind, 0, bytes);
        uint64_t accept = d.pending_accept_mask();
        if (accept) delivered |= d.dispatch_to_accumulators(ev, key, accept);
    }
    frames.back().state = FrameState::AfterValue;
    if (raw_spans) raw_scalar_hit(bytes, is_string, delivered & 1);
}

void Engine::string_key(std::string_view content) {
    ContainerFrame& f = frames.back();
    if (track_key_path) {
        if (key_path.size() > f.key_path_len) key_path.resize(f.key_path_len);
        key_path.append(content);
    }
    uint64_t h = DfaDriver::key_hash(content);
    for (auto& d : drivers) {
        d.transition_on_field(content, h);
        if (!d.captures.empty() && d.has_recording_capture())
            buffer_if_capturing(d.captures, CapturedEvent::Key, 0, content);
    }
    f.state = FrameState::AfterKey;
}

void Engine::on_atom(const uint8_t* buf, size_t len, uint64_t start, uint64_t end) {
    if (frames.empty()) {
        record_corruption(ParseErrorKind::atom_outside_container(), start);
        return;
    }
    ContainerFrame& f = frames.back();
    if (!f.is_object) {
        for (auto& d : drivers) d.transition_array_index(f.array_index);
        f.array_index += 1;
    }
    scalar_value(trim_trailing_ws(view(buf, start, end)), false);
}

void Engine::on_string(const uint8_t* buf, size_t len, uint64_t open, uint64_t close) {
    if (frames.empty()) {
        record_corruption(ParseErrorKind::string_outside_container(), open);
        return;
    }
    std::string_view content = view(buf, open + 1, close);
    ContainerFrame& f = frames.back();
    if (!f.is_object) {
        for (auto& d : drivers) d.transition_array_index(f.array_index);
        f.array_index += 1;
    } else if (f.state == FrameState::KeyExpected || f.state == FrameState::ObjectStart) {
        string_key(content);
        return;
    }
    scalar_value(content, true);
}

void Engine::dispatch_atom_event(std::string_view bytes) {
    if (frames.empty()) {
        // Reported where the atom began, wherever the buffers were cut.
        record_corruption_at(ParseErrorKind::atom_outside_container(), pending_token_offset);
        return;
    }
    ContainerFrame& f = frames.back();
    if (!f.is_object) {
        for (auto& d : drivers) d.transition_array_index(f.array_index);
        f.array_index += 1;
    }
    scalar_value(trim_trailing_ws(bytes), false);
}

void Engine::raw_scalar_hit(std::string_view bytes, bool is_string, bool delivered) {
    if (!delivered || !raw_spans || drivers.empty()) return;
    if (!drivers[0].captures.empty()) return;
    std::string text;
    if (is_string) {
        text.reserve(bytes.size() + 2);
        text.push_back('"');
        text.append(bytes);
        text.push_back('"');
    } else {
        text.assign(bytes);
    }
    raw_spans->finished.push_back(std::move(text));
}

}  // namespace jorvane::engine
