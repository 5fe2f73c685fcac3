// The engine's public operations over its scan state: installation, the
// per-buffer step, the end of a source, outputs and drains, the settled test
// and the reset for the next source.
#include "engine/engine.h"

#include <bit>
#include <string>
#include <utility>

#include "engine/walk/stage_one_producer.h"
#include "util/panic.h"
#include "util/saturating.h"

namespace jorvane::engine {

Engine::Engine(ScanMode mode) : s_(mode) {}

uint64_t Engine::stage_one_buffers() const { return s_.producer ? s_.producer->buffers_begun() : 0; }

size_t Engine::query_count() const {
    size_t n = 0;
    for (const auto& d : s_.drivers) n += d.label_count;
    return n;
}

void Engine::add_query(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators,
                       std::optional<uint64_t> limit) {
    for (const auto& acc : accumulators)
        if (acc.info().keyed) s_.track_key_path = true;
    DfaDriver d = DfaDriver::make(std::move(dfa), std::move(accumulators));
    d.limits[0] = limit;
    if (limit) d.limited_mask |= 1;
    d.watch_settling();
    s_.drivers.push_back(std::move(d));
    s_.state_table.reset();
    s_.anchor_table.reset();
}

void Engine::set_stream_items(bool on) {
    for (auto& d : s_.drivers) d.stream_items = on;
}

void Engine::keep_contributions() {
    for (auto& d : s_.drivers)
        for (auto& a : d.accumulators) a.keep_contributions();
}

void Engine::enable_raw_capture() {
    if (!s_.raw_spans) s_.raw_spans.emplace();
    if (!s_.drivers.empty()) s_.drivers[0].text_keep_mask |= 1;
}

void Engine::add_row_anchor(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators) {
    add_query(std::move(dfa), std::move(accumulators), std::nullopt);
    s_.row_anchor = s_.drivers.size() - 1;
}

void Engine::set_row_limit(std::optional<uint64_t> rows) { s_.row_limit = rows; }

void Engine::set_kernel(classification_kernel::KernelKind kind) { s_.kernel = kind; }

void Engine::set_fast_walk(bool on) { s_.fast_walk = on; }

void Engine::attach_describer(Describer describer) { s_.describer = std::make_unique<Describer>(std::move(describer)); }

std::optional<Describer> Engine::take_describer() {
    if (!s_.describer) return std::nullopt;
    std::optional<Describer> out(std::move(*s_.describer));
    s_.describer.reset();
    return out;
}

bool Engine::has_output() const {
    for (const auto& d : s_.drivers)
        for (const auto& q : d.queues)
            if (!q.empty()) return true;
    return (s_.raw_spans && !s_.raw_spans->finished.empty()) || s_.row_cells.rows > 0;
}

BufferScan Engine::scan_buffer(std::span<const uint8_t> buffer) {
    if (held_) {
        // Nothing after the error is scanned: the buffer only shows more of
        // what may be a byte-order mark or a compressed format's magic.
        ParseError e = std::move(*held_);
        held_.reset();
        show_bytes_after(e, s_.stream_offset, buffer);
        return report(std::move(e), saturating_add(s_.stream_offset, buffer.size()));
    }
    // Queries stopped or limited to nothing settle between buffers; the walk
    // settles the others at the match that settles them.
    if (!s_.settled && s_.all_settled()) s_.settle();
    s_.process_buffer(buffer);
    if (s_.error) {
        const RecordedError e = *s_.error;
        s_.error.reset();
        const uint64_t end = saturating_add(s_.stream_offset, buffer.size());
        return report(near_parse_error(e.kind, e.offset, std::exchange(s_.error_near, {}), end), end);
    }
    BufferScan out;
    s_.stream_offset = saturating_add(s_.stream_offset, buffer.size());
    out.output_ready = has_output();
    out.settled = s_.settled;
    return out;
}

BufferScan Engine::report(ParseError error, uint64_t buffer_end) {
    BufferScan out;
    const OpeningMark mark = inside_source_ ? OpeningMark::None : opening_mark(error);
    if (mark == OpeningMark::Undecided) {
        // The buffer counts as scanned: the next one shows the bytes after it.
        s_.stream_offset = buffer_end;
        held_ = std::move(error);
        return out;
    }
    error.kind = opening_kind(error.kind, mark);
    // The scan ends here: the offset stays at the start of this buffer.
    out.error = std::move(error);
    out.output_ready = has_output();
    return out;
}

void Engine::stop_query(size_t q) {
    size_t base = 0;
    for (auto& d : s_.drivers) {
        if (q < base + d.label_count) {
            d.done_mask |= uint64_t{1} << (q - base);
            return;
        }
        base += d.label_count;
    }
}

CellStore Engine::take_row_batch() { return s_.row_cells.take_completed(); }

void Engine::add_fused_queries(dfa_core::QueryDFA dfa, std::vector<FusedQuery> queries) {
    const size_t n = queries.size();
    if (n > 64)
        panic("cannot fuse " + std::to_string(n) + " queries into one driver (limit 64)");
    std::vector<accumulator::Accumulator> accs;
    std::vector<uint64_t> masks;
    std::vector<std::optional<uint64_t>> limits(n);
    for (size_t i = 0; i < n; ++i) {
        for (auto& acc : queries[i].accumulators) {
            if (acc.info().keyed) s_.track_key_path = true;
            accs.push_back(std::move(acc));
            masks.push_back(uint64_t{1} << i);
        }
        limits[i] = queries[i].limit;
    }
    DfaDriver d = DfaDriver::with_labels(std::move(dfa), std::move(accs), std::move(masks), n);
    for (size_t i = 0; i < n; ++i) {
        d.limits[i] = limits[i];
        if (limits[i]) d.limited_mask |= uint64_t{1} << i;
    }
    d.watch_settling();
    s_.drivers.push_back(std::move(d));
    s_.state_table.reset();
    s_.anchor_table.reset();
}

std::optional<ParseError> Engine::finish(bool complete) {
    ScanState& s = s_;
    if (held_) {
        // The input ended, or its reading stopped, inside what began like a
        // byte-order mark or a magic: the error as found, showing what was
        // seen.
        std::optional<ParseError> e = std::move(held_);
        held_.reset();
        e->near_open = false;
        return e;
    }
    if (!complete) {
        s.stop_offset = s.stream_offset;
        s.cut_token.clear();
        s.cut_token_kind = CutTokenKind::None;
    } else if (s.stop_offset || s.settled) {
        // A scan stopped early is not a truncated one, nor is one whose
        // queries all settled before the input ended.
        s.cut_token.clear();
        s.cut_token_kind = CutTokenKind::None;
    } else {
        const CutTokenKind kind = s.cut_token_kind;
        if (kind != CutTokenKind::None) {
            std::string token = std::move(s.cut_token);
            s.cut_token.clear();
            s.cut_token_kind = CutTokenKind::None;
            if (kind == CutTokenKind::String) {
                s.check_open_string(s.cut_token_offset, token);
                s.record_incomplete(ParseErrorKind::unterminated_string());
            } else {
                s.dispatch_atom_event(token);
            }
        }
        // An atom in a skipped container kept as text that the input ends
        // in is read as the walk reads a pending atom.
        if (s.skip_check.on && s.skip_check.atom_open) [[unlikely]] {
            if (const auto bad = s.end_skipped_atom({})) s.refuse_in_captures(*bad);
        }
        // A string inside a skipped container is never a pending token, but
        // stage 1 still knows the input ended inside it.
        if (kind == CutTokenKind::None && s.carry.in_string) s.record_incomplete(ParseErrorKind::unterminated_string());
        // A container being skipped has a frame; the containers opened
        // inside it are only counted by the skip depth.
        uint64_t open = s.frames.size() + (s.skip_depth > 0 ? s.skip_depth - 1 : 0);
        if (open > 0) {
            if (open > UINT32_MAX) open = UINT32_MAX;
            s.record_incomplete(ParseErrorKind::unclosed_containers(static_cast<uint32_t>(open)));
        }
    }
    if (!s.error) return std::nullopt;
    const RecordedError e = *s.error;
    s.error.reset();
    s.error_near = {};
    // Found after the last buffer: no context.
    return ParseError{e.kind, e.offset, NearBytes{e.offset, {}}, false};
}

namespace {

template <class TakeResult>
std::vector<QueryOutput> collect_outputs(const std::vector<DfaDriver>& drivers, std::optional<uint64_t> covered,
                                         TakeResult take) {
    size_t n = 0;
    for (const auto& d : drivers) n += d.label_count;
    std::vector<QueryOutput> outputs(n);
    for (auto& o : outputs) o.bytes_covered = covered;
    size_t base = 0;
    for (size_t di = 0; di < drivers.size(); ++di) {
        const DfaDriver& d = drivers[di];
        for (size_t k = 0; k < d.accumulators.size(); ++k) {
            const uint64_t mask = d.label_masks[k];
            if (mask == 0) continue;
            const size_t q = base + std::countr_zero(mask);
            if (q >= outputs.size()) panic("accumulator label beyond the queries of its engine");
            fold_output(outputs[q], take(di, k));
        }
        base += d.label_count;
    }
    return outputs;
}

}  // namespace

std::vector<QueryOutput> Engine::finalize_source() {
    return collect_outputs(s_.drivers, s_.stop_offset,
                           [this](size_t di, size_t k) { return s_.drivers[di].accumulators[k].take_result(); });
}

std::vector<QueryOutput> Engine::snapshot_source(uint64_t bytes) const {
    return collect_outputs(s_.drivers, bytes,
                           [this](size_t di, size_t k) { return s_.drivers[di].accumulators[k].snapshot_result(); });
}

std::vector<ValueBatch> Engine::drain_streams() {
    std::vector<ValueBatch> out;
    size_t base = 0;
    for (auto& d : s_.drivers) {
        for (size_t k = 0; k < d.accumulators.size(); ++k) {
            const std::optional<StreamKind> stream = d.accumulators[k].info().stream;
            if (!stream) continue;
            auto& queue = d.queues[k];
            if (queue.empty() || d.label_masks[k] == 0) {
                queue.clear();
                continue;
            }
            ValueBatch batch;
            batch.query = base + std::countr_zero(d.label_masks[k]);
            batch.kind = *stream;
            batch.values.reserve(queue.size());
            for (auto& item : queue)
                if (!item.key) batch.values.push_back(std::move(item.value));
            queue.clear();
            out.push_back(std::move(batch));
        }
        base += d.label_count;
    }
    return out;
}

std::vector<KeyedBatch> Engine::drain_keyed_streams() {
    std::vector<KeyedBatch> out;
    size_t base = 0;
    for (auto& d : s_.drivers) {
        for (size_t k = 0; k < d.accumulators.size(); ++k) {
            if (!d.accumulators[k].info().keyed) continue;
            auto& queue = d.queues[k];
            KeyedBatch batch;
            batch.query = base + (d.label_masks[k] ? std::countr_zero(d.label_masks[k]) : 0);
            for (auto& item : queue)
                if (item.key) batch.items.emplace_back(std::move(*item.key), std::move(item.value));
            queue.clear();
            if (!batch.items.empty()) out.push_back(std::move(batch));
        }
        base += d.label_count;
    }
    return out;
}

bool Engine::at_top_level() const {
    if (!s_.frames.empty() || s_.skip_depth != 0 || s_.error || held_) return false;
    if (s_.cut_token_kind != CutTokenKind::None || !s_.cut_token.empty()) return false;
    const classification_kernel::KernelCarry fresh{};
    if (!(s_.carry == fresh)) return false;
    for (const auto& d : s_.drivers)
        if (d.state != d.dfa.start || !d.state_stack.empty() || !d.captures.empty()) return false;
    return true;
}

namespace {

// Calls `f(query, accumulator)` for every accumulator that serves a query,
// in install order.
template <class Drivers, class F>
void for_each_installed(Drivers& drivers, F f) {
    size_t base = 0;
    for (auto& d : drivers) {
        for (size_t k = 0; k < d.accumulators.size(); ++k) {
            const uint64_t mask = d.label_masks[k];
            if (mask != 0) f(base + static_cast<size_t>(std::countr_zero(mask)), d.accumulators[k]);
        }
        base += d.label_count;
    }
}

}  // namespace

std::vector<InstalledAccumulator> Engine::accumulators() const {
    std::vector<InstalledAccumulator> out;
    for_each_installed(s_.drivers, [&](size_t query, const accumulator::Accumulator& a) {
        out.push_back(InstalledAccumulator{query, &a});
    });
    return out;
}

std::vector<accumulator::Accumulator*> Engine::mutable_accumulators() {
    std::vector<accumulator::Accumulator*> out;
    for_each_installed(s_.drivers, [&](size_t, accumulator::Accumulator& a) { out.push_back(&a); });
    return out;
}

bool Engine::has_match_limit() const {
    for (const auto& d : s_.drivers) {
        if (d.limited_mask != 0) return true;
        for (size_t i = 0; i < d.label_count; ++i)
            if (d.limits[i]) return true;
    }
    return false;
}

bool Engine::settled() const { return s_.all_settled(); }

void Engine::reset_for_next_source() {
    ScanState& s = s_;
    held_.reset();
    inside_source_ = false;
    s.skip_depth = 0;
    s.skip_check.clear();
    s.frames.clear();
    s.stream_offset = 0;
    s.key_path.clear();
    s.cursor = ChunkCursor{};
    s.error.reset();
    s.error_near = {};
    s.cut_token.clear();
    s.stop_offset.reset();
    s.settled = false;
    s.rows_completed = 0;
    s.cut_token_kind = CutTokenKind::None;
    s.cut_token_offset = 0;
    s.recent.clear();
    s.token_lead.clear();
    s.token_read = {};
    s.skipped_atom_near = {};
    s.key_lead = {};
    s.key_trail = {};
    s.carry = classification_kernel::KernelCarry{};
    // A span left open by the previous source must not run into this one.
    if (s.raw_spans) {
        s.raw_spans->open = false;
        s.raw_spans->start = 0;
        s.raw_spans->open_bytes.clear();
    }
    for (auto& d : s.drivers) d.reset_for_next_source();
    if (s.state_table) s.state_table->clear_hits();
    if (s.anchor_table) s.anchor_table->clear_hits();
}

std::vector<std::string> Engine::take_raw_spans() {
    if (!s_.raw_spans) return {};
    return std::exchange(s_.raw_spans->finished, {});
}

}  // namespace jorvane::engine
