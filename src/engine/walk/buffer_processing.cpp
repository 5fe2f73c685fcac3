// Buffer processing: the mode dispatch (pipelined mode scans short buffers as
// batched mode does) and the raw-span carry-over that follows every buffer;
// the scan state's special members, which own the stage-1 thread.
#include "engine/walk/scan_state.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "engine/walk/buffer_loops.h"
#include "engine/walk/stage_one_producer.h"
#include "util/panic.h"

namespace jorvane::engine {

uint32_t ScanMode::batched_chunks(uint64_t n) {
    if (n >= 32) return 32;
    if (n >= 16) return 16;
    if (n >= 8) return 8;
    if (n >= 4) return 4;
    if (n >= 2) return 2;
    return 1;
}

uint32_t ScanMode::pipelined_chunks(uint64_t n) {
    switch (n) {
        case 4: case 8: case 16: case 32: case 64: case 128: case 256:
            return static_cast<uint32_t>(n);
        default:
            return 16;
    }
}

ScanState::ScanState(ScanMode mode) : mode(mode) {}
ScanState::ScanState(ScanState&&) noexcept = default;
ScanState& ScanState::operator=(ScanState&&) noexcept = default;
ScanState::~ScanState() = default;

StageOneProducer& ScanState::stage_one_producer() {
    if (!producer) producer = std::make_unique<StageOneProducer>();
    return *producer;
}

void ScanState::process_buffer(std::span<const uint8_t> buffer) {
    // Nothing after the point where the scan settled is walked.
    if (settled) return;
    buffer_now = buffer;
    const uint8_t* buf = buffer.data();
    const size_t len = buffer.size();
    if (len > 0) {
        switch (mode.kind) {
            case ScanMode::Serial:
                process_buffer_batched(buf, len, 1);
                break;
            case ScanMode::Batched:
                process_buffer_batched(buf, len, ScanMode::batched_chunks(mode.chunks));
                break;
            case ScanMode::Pipelined:
                process_buffer_pipelined_mode(buf, len);
                break;
        }
        flush_fast_counts();
    }
    if (raw_spans && raw_spans->open) {
        raw_spans->open_bytes.append(reinterpret_cast<const char*>(buf) + raw_spans->start,
                                     len - static_cast<size_t>(raw_spans->start));
        raw_spans->start = 0;
    }
    // A key whose value begins in a later buffer: an error about the key is
    // found there, and shows the bytes around it.
    if (track_key_path && !frames.empty() && frames.back().is_object) [[unlikely]]
        keep_key_margins();
    recent.push(buffer);
    buffer_now = {};
}

namespace {

// Buffers being scanned in pipelined mode by this process's engines.
std::atomic<uint32_t> g_pipelined_scans{0};

// Whether a stage-1 thread would find a core: the pipelined-mode scans of
// this process need at most the online processors, two threads each, and
// the machine's 1-minute load average is below their number (looked up at
// most every 100 ms).
bool spare_core(uint32_t scans) {
    static const uint32_t cpus = std::max(1u, std::thread::hardware_concurrency());
    if (2 * uint64_t(scans) > cpus) return false;
    static std::atomic<int64_t> checked_at{INT64_MIN};
    static std::atomic<bool> loaded{false};
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    int64_t last = checked_at.load(std::memory_order_relaxed);
    // The first look has no earlier one to be 100 ms after (and now - INT64_MIN would overflow).
    if ((last == INT64_MIN || now - last >= 100) &&
        checked_at.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        double load = 0;
        loaded.store(getloadavg(&load, 1) == 1 && load >= double(cpus), std::memory_order_relaxed);
    }
    return !loaded.load(std::memory_order_relaxed);
}

struct CountScan {
    uint32_t scans;
    CountScan() : scans(g_pipelined_scans.fetch_add(1, std::memory_order_relaxed) + 1) {}
    ~CountScan() { g_pipelined_scans.fetch_sub(1, std::memory_order_relaxed); }
};

}  // namespace

void ScanState::process_buffer_pipelined_mode(const uint8_t* buf, size_t len) {
    // A short buffer costs less to classify inline than to hand over.
    if (len < mode.min_pipelined_len) return process_buffer_batched(buf, len, ScanMode::batched_chunks(8));
    const uint32_t chunks = ScanMode::pipelined_chunks(mode.chunks);
    if (!mode.adaptive) return process_buffer_pipelined(buf, len, chunks);
    const CountScan counted;
    bool pipelined = pipeline_choice.pipeline_next();
    if (pipelined && !spare_core(counted.scans)) {
        pipeline_choice.no_spare_core();
        pipelined = false;
    }
    const auto start = std::chrono::steady_clock::now();
    if (pipelined)
        process_buffer_pipelined(buf, len, chunks);
    else
        process_buffer_batched(buf, len, ScanMode::batched_chunks(8));
    const auto nanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    pipeline_choice.record(pipelined, len, nanos > 0 ? static_cast<uint64_t>(nanos) : 0);
}

void ScanState::process_buffer_batched(const uint8_t* buf, size_t len, uint32_t chunks) {
    classification_kernel::with_kernel(
        kernel, [&](auto k) { walk::walk_buffer_batched<decltype(k)::value>(*this, buf, len, chunks); });
}

void ScanState::process_buffer_pipelined(const uint8_t* buf, size_t len, uint32_t chunks) {
    classification_kernel::with_kernel(
        kernel, [&](auto k) { walk::walk_buffer_pipelined<decltype(k)::value>(*this, buf, len, chunks); });
}

}  // namespace jorvane::engine
