// The engine's out-of-line walk entry points and the rare parts of the walk
// (captures, raw spans, table rows, settling, atoms of a checked skip that
// run on past a chunk). The walk itself lives in engine/walk_chunk.h,
// inlined into each per-ISA buffer loop; the members here run the same code
// for callers outside those loops.
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "engine/walk/walk_chunk.h"

namespace jorvane::engine {

std::optional<std::string_view> ScanState::current_key() const {
    if (!track_key_path || frames.empty() || !frames.back().is_object) return std::nullopt;
    size_t from = frames.back().key_path_len;
    if (from > key_path.size()) from = key_path.size();
    return std::string_view(key_path).substr(from);
}

void ScanState::process_chunk(ChunkCursor& c, const uint8_t* buf, size_t len) { walk::process_chunk(*this, c, buf, len); }

void ScanState::on_open_container(uint8_t is_object, uint64_t pos) {
    walk::with_drivers(*this, [&](const auto& ds) { walk::on_open_container(*this, ds, is_object, pos); });
}

bool ScanState::nested_in_capture() const {
    // A capture started by the container itself has seen one open.
    for (const auto& d : drivers)
        for (const auto& c : d.captures)
            if (c.depth > 1) return true;
    return false;
}

void ScanState::refuse_nesting_at(uint64_t offset) {
    record_corruption_at(ParseErrorKind::nesting_too_deep(), offset);
    settle();
}

void ScanState::open_raw_span(uint64_t pos) {
    // A capture of the first query that starts here is the newest one of the
    // first driver (an enclosing one would have opened the span already).
    if (!raw_spans || raw_spans->open || drivers.empty()) return;
    const DfaDriver& d = drivers[0];
    if (d.label_settled(0)) return;
    if (d.captures.empty() || !(d.captures.back().labels & 1)) return;
    raw_spans->open = true;
    raw_spans->start = pos;
    raw_spans->depth = frames.size();
    raw_spans->open_bytes.clear();
}

DfaDriver::CapturesOpened DfaDriver::open_captures(StateId s, uint8_t is_object, bool member) {
    const uint64_t accept = accept_mask_of(s);
    CapturesOpened out;
    if (accept) {
        const uint64_t labels = accept & ~captured_labels();
        if (labels) {
            ActiveCapture cap;
            cap.labels = labels;
            cap.is_object = is_object;
            cap.recording = (labels & capture_mask) != 0;
            // What it holds is read when a label that still takes matches
            // keeps its value, or keeps it as text.
            const uint64_t open = open_labels(labels);
            cap.checks_values = (open & ((member ? capture_mask : keyless_keep_mask) | text_keep_mask)) != 0;
            out.keyed = member && (open & key_read_mask) != 0;
            captures.push_back(std::move(cap));
        }
    }
    if (!captures.empty()) out.too_deep = capture_open(captures, is_object);
    return out;
}

void ScanState::on_close_container(uint8_t byte, uint64_t pos, const uint8_t* buf, size_t len) {
    walk::with_drivers(*this, [&](const auto& ds) { walk::on_close_container(*this, ds, byte, pos, buf, len); });
}

void ScanState::close_drivers(uint64_t pos, const uint8_t* buf) {
    bool anchor_was_capturing = row_anchor && *row_anchor < drivers.size() && !drivers[*row_anchor].captures.empty();
    std::optional<std::string_view> key = current_key();
    bool underflow = false, too_deep = false;
    bool first_finished = false, first_bit0 = false;
    bool settles = false;  // some delivery settled a driver's last open label
    for (size_t n = 0; n < drivers.size(); ++n) {
        DfaDriver& d = drivers[n];
        if (d.state_stack.empty()) {
            underflow = true;
            continue;
        }
        d.state = d.state_stack.back();
        d.state_stack.pop_back();
        if (d.captures.empty()) continue;
        buffer_if_capturing(d.captures, CapturedEvent::Close, 0, {});
        if (d.captures.back().depth != 0) continue;
        ActiveCapture cap = std::move(d.captures.back());
        d.captures.pop_back();
        uint64_t delivered = 0;
        if (!d.stopped) {
            Value value;  // null
            // A value holding a refused scalar is never built: the labels
            // that read values refuse it, and the others do not read it.
            const MalformedValue* malformed = cap.malformed ? &*cap.malformed : nullptr;
            if (cap.recording && !malformed) {
                std::optional<Value> built = materialize(cap);
                if (built) {
                    value = std::move(*built);
                } else {
                    too_deep = true;
                }
            }
            MatchEvent ev = MatchEvent::container(&value, cap.is_object, malformed);
            if (key) ev.key_offset = frames.back().key_offset;
            const DfaDriver::Delivery got = d.dispatch_to_accumulators(ev, key, cap.labels);
            delivered = got.labels;
            settles |= got.settled;
            if (got.malformed) record_corruption_at(got.malformed->kind, got.malformed->offset);
        }
        if (n == 0) {
            first_finished = true;
            first_bit0 = (delivered & 1) != 0;
        }
    }
    if (raw_spans && raw_spans->open && first_finished && raw_spans->depth == frames.size()) {
        RawSpans& rs = *raw_spans;
        if (first_bit0) {
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
    // Errors of this close and its row come first: they lie before the point
    // where the scan settles.
    if (settles) driver_settled();
    if (!frames.empty()) {
        auto& parent = frames.back();
        parent.state = FrameState::AfterValue;
        if (!parent.is_object) parent.array_index += 1;
    }
}

bool ScanState::all_settled() const {
    if (row_limit && rows_completed >= *row_limit) return true;
    if (drivers.empty()) return false;
    for (const auto& d : drivers)
        if (!d.all_settled()) return false;
    return true;
}

void ScanState::settle() {
    settled = true;
    for (auto& d : drivers) d.stopped = true;
}

void ScanState::complete_row(size_t anchor) {
    if (settled) return;
    size_t columns = 0;
    for (size_t n = 0; n < drivers.size(); ++n)
        if (n != anchor) columns += drivers[n].label_count;
    if (row_cells.columns.size() != columns) row_cells.columns.resize(columns);
    size_t q = 0;
    for (size_t n = 0; n < drivers.size(); ++n) {
        if (n == anchor) continue;
        DfaDriver& d = drivers[n];
        size_t accs = std::min(d.label_masks.size(), d.queues.size());
        for (size_t j = 0; j < d.label_count; ++j, ++q) {
            CellColumn& column = row_cells.columns[q];
            for (size_t k = 0; k < accs; ++k) {
                if (!((d.label_masks[k] >> j) & 1)) continue;
                auto& queue = d.queues[k];
                for (auto& item : queue) column.push_value(std::move(item.value));
                queue.clear();
            }
        }
    }
    row_cells.end_row();
    rows_completed += 1;
    if (row_limit && rows_completed >= *row_limit) settle();
}

void ScanState::scalar_value(std::string_view bytes, bool is_string, uint64_t at) {
    walk::with_drivers(*this, [&](const auto& ds) { walk::scalar_value(*this, ds, bytes, is_string, at); });
}

void ScanState::string_key(std::string_view content, uint64_t at) {
    walk::with_drivers(*this, [&](const auto& ds) { walk::string_key(*this, ds, content, at); });
}

void ScanState::on_atom(const uint8_t* buf, size_t, uint64_t start, uint64_t end) {
    walk::with_drivers(*this, [&](const auto& ds) { walk::on_atom(*this, ds, buf, start, end); });
}

void ScanState::on_string(const uint8_t* buf, size_t, uint64_t open, uint64_t close) {
    walk::with_drivers(*this, [&](const auto& ds) { walk::on_string(*this, ds, buf, open, close); });
}

void ScanState::dispatch_atom_event(std::string_view bytes) {
    if (frames.empty()) {
        // Reported where the atom began, wherever the buffers were cut.
        record_corruption_at(ParseErrorKind::atom_outside_container(), cut_token_offset);
        return;
    }
    ContainerFrame& f = frames.back();
    if (!takes(kTakesValue, f.state)) [[unlikely]]
        record_misplaced(f, static_cast<uint8_t>(bytes[0]), cut_token_offset);
    walk::with_drivers(*this, [&](const auto& ds) {
        if (!f.is_object) walk::array_element(ds, f);
        walk::scalar_value(*this, ds, walk::trim_trailing_ws(bytes), false, cut_token_offset);
    });
}

void ScanState::check_member_key() {
    const std::optional<std::string_view> key = current_key();
    if (!key) return;
    if (auto bad = scalar_fault(true, *key, frames.back().key_offset)) record_corruption_at(bad->kind, bad->offset);
}

std::optional<MalformedValue> ScanState::end_skipped_atom(std::string_view atom) {
    SkipCheck& s = skip_check;
    s.atom_open = false;
    std::string joined;
    if (!s.atom.empty()) {
        joined = std::exchange(s.atom, {});
        joined.append(atom);
        atom = joined;
    }
    std::optional<MalformedValue> fault = scalar_fault(false, walk::trim_trailing_ws(atom), s.atom_offset);
    // The atom's text from earlier buffers goes with it: keep what an error
    // at the fault shows of it.
    if (fault && !joined.empty()) [[unlikely]] {
        const std::array<KnownBytes, 3> known{
            KnownBytes::of(s.atom_offset, joined),
            token_lead.known(), recent.before(stream_offset)};
        skipped_atom_near = gather_near(fault->offset, known);
    }
    return fault;
}

void ScanState::refuse_in_captures(const MalformedValue& m) {
    for (auto& d : drivers) note_malformed(d.captures, m);
    record_corruption_at(m.kind, m.offset);
}

void ScanState::raw_scalar_hit(std::string_view bytes, bool is_string, bool delivered) {
    if (!delivered || !raw_spans) return;
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
