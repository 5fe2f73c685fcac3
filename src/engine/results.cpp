// The end of a source: closing the scan, per-query outputs, snapshots, the
// stream drains, the settled test and the reset for the next source.
#include <bit>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "util/panic.h"

namespace jorvane::engine {

size_t Engine::query_count() const {
    size_t n = 0;
    for (const auto& d : drivers) n += d.label_count;
    return n;
}

void Engine::add_fused_queries(dfa::QueryDFA dfa, std::vector<FusedQuery> queries) {
    const size_t n = queries.size();
    if (n > 64)
        panic("cannot fuse " + std::to_string(n) + " queries into one driver (limit 64)");
    std::vector<accumulator::Accumulator> accs;
    std::vector<uint64_t> masks;
    std::vector<std::optional<uint64_t>> limits(n);
    for (size_t i = 0; i < n; ++i) {
        for (auto& acc : queries[i].accumulators) {
            if (acc.kind() == accumulator::Kind::KeyedValues) track_key_path = true;
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
    drivers.push_back(std::move(d));
}

Result<void, JorvaneError> Engine::finish(bool complete) {
    if (!complete) {
        stop_offset = stream_offset;
        pending_bytes.clear();
        pending_kind = PendingKind::None;
    } else if (stop_offset) {
        // A scan stopped early is not a truncated one.
        pending_bytes.clear();
        pending_kind = PendingKind::None;
    } else {
        const PendingKind kind = pending_kind;
        if (kind != PendingKind::None) {
            std::string token = std::move(pending_bytes);
            pending_bytes.clear();
            pending_kind = PendingKind::None;
            if (kind == PendingKind::String) {
                record_incomplete(ParseErrorKind::unterminated_string());
            } else {
                dispatch_atom_event(token);
            }
        }
        // A string inside a skipped container is never a pending token, but
        // stage 1 still knows the input ended inside it.
        if (kind == PendingKind::None && carry.in_string) record_incomplete(ParseErrorKind::unterminated_string());
        // A container being skipped has a frame; the containers opened
        // inside it are only counted by the skip depth.
        uint64_t open = frames.size() + (skip_depth > 0 ? skip_depth - 1 : 0);
        if (open > 0) {
            if (open > UINT32_MAX) open = UINT32_MAX;
            record_incomplete(ParseErrorKind::unclosed_containers(static_cast<uint32_t>(open)));
        }
    }
    if (error) {
        RecordedError e = *error;
        error.reset();
        return make_err(parse_error(stream_offset, e, {}));
    }
    return {};
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
    return collect_outputs(drivers, stop_offset,
                           [this](size_t di, size_t k) { return drivers[di].accumulators[k].take_result(); });
}

std::vector<QueryOutput> Engine::snapshot_source(uint64_t bytes) const {
    return collect_outputs(drivers, bytes,
                           [this](size_t di, size_t k) { return drivers[di].accumulators[k].snapshot_result(); });
}

std::vector<ValueBatch> Engine::drain_streams() {
    std::vector<ValueBatch> out;
    size_t base = 0;
    for (auto& d : drivers) {
        for (size_t k = 0; k < d.accumulators.size(); ++k) {
            const auto kind = d.accumulators[k].kind();
            if (kind != accumulator::Kind::Values && kind != accumulator::Kind::ValuesUnique) continue;
            auto& queue = d.queues[k];
            if (queue.empty() || d.label_masks[k] == 0) {
                queue.clear();
                continue;
            }
            ValueBatch batch;
            batch.query = base + std::countr_zero(d.label_masks[k]);
            batch.kind = kind == accumulator::Kind::Values ? StreamKind::Values : StreamKind::ValuesUnique;
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
    for (auto& d : drivers) {
        for (size_t k = 0; k < d.accumulators.size(); ++k) {
            if (d.accumulators[k].kind() != accumulator::Kind::KeyedValues) continue;
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

bool Engine::is_done() const {
    if (drivers.empty()) return false;
    for (const auto& d : drivers) {
        for (size_t i = 0; i < d.label_count; ++i) {
            const uint64_t bit = uint64_t{1} << i;
            if (d.done_mask & bit) continue;
            if (d.limits[i]) {
                if (d.counters[i] >= *d.limits[i]) continue;
                return false;
            }
            bool any = false;
            for (size_t k = 0; k < d.accumulators.size(); ++k) {
                if (!(d.label_masks[k] & bit)) continue;
                any = true;
                const auto& acc = d.accumulators[k];
                if (acc.kind() != accumulator::Kind::Exists || !acc.found()) return false;
            }
            if (!any) return false;
        }
    }
    return true;
}

void Engine::reset_for_next_source() {
    skip_depth = 0;
    frames.clear();
    stream_offset = 0;
    key_path.clear();
    cursor = ChunkCursor{};
    error.reset();
    pending_bytes.clear();
    stop_offset.reset();
    pending_kind = PendingKind::None;
    pending_token_offset = 0;
    carry = kernel::KernelCarry{};
    // A span left open by the previous source must not run into this one.
    if (raw_spans) {
        raw_spans->open = false;
        raw_spans->start = 0;
        raw_spans->open_bytes.clear();
    }
    for (auto& d : drivers) d.reset_for_next_source();
}

std::vector<std::string> Engine::take_raw_spans() {
    if (!raw_spans) return {};
    return std::exchange(raw_spans->finished, {});
}

}  // namespace jorvane::engine
