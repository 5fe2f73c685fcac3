// The pipelined mode's stage-1 thread (see stage_one_producer.h).
#include "engine/walk/stage_one_producer.h"

#include <exception>
#include <system_error>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "util/panic.h"

namespace jorvane::engine {

namespace {
// How long the idle thread spins for the next buffer before it sleeps.
constexpr int64_t kIdleSpinNanos = 4000;
// How long the walking thread spins for a stopped job before it sleeps.
constexpr int64_t kEndSpinNanos = 20000;
}  // namespace

StageOneProducer::StageOneProducer() {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        panic("failed to spawn thread");
    }
}

StageOneProducer::~StageOneProducer() {
    stop();
    state_.store(kQuit, std::memory_order_seq_cst);
    wake_sleeper(thread_sleeping_);
    if (thread_.joinable()) thread_.join();
}

void StageOneProducer::begin(const uint8_t* buf, uint64_t full, uint32_t block_chunks,
                             classification_kernel::KernelCarry carry, ClassifyChunks classify) {
    // The thread is idle (every buffer ends with end() or abandon()): the
    // ring and the job are the walking thread's until the job is posted.
    ring_.rearm();
    buf_ = buf;
    full_ = full;
    block_chunks_ = block_chunks == 0 ? 1 : block_chunks > kMaxBlockChunks ? kMaxBlockChunks : block_chunks;
    carry_ = carry;
    classify_ = classify;
    failed_ = false;
    failure_.clear();
    ++begun_;
    progress_.store(pack(0, carry), std::memory_order_relaxed);
    state_.store(kPosted, std::memory_order_seq_cst);
    wake_sleeper(thread_sleeping_);
}

void StageOneProducer::stop() noexcept {
    uint32_t s = kPosted;
    // Not taken up yet: take it back, nothing to wait for.
    if (state_.compare_exchange_strong(s, kIdle, std::memory_order_seq_cst)) return;
    if (s == kIdle || s == kQuit) return;
    // Running: the thread stops at its next block and returns to idle.
    ring_.close();
    auto idle = [&] { return state_.load(std::memory_order_seq_cst) == kIdle; };
    if (!spin_until(idle, kEndSpinNanos)) sleep_until(walker_sleeping_, idle);
}

void StageOneProducer::end() {
    stop();
    if (failed_) panic("producer thread panicked: " + failure_);
}

void StageOneProducer::abandon() noexcept { stop(); }

void StageOneProducer::run() {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), "jorvane-stage1");
#endif
    for (;;) {
        auto has_work = [&] {
            const uint32_t s = state_.load(std::memory_order_seq_cst);
            return s == kPosted || s == kQuit;
        };
        if (!spin_until(has_work, kIdleSpinNanos)) sleep_until(thread_sleeping_, has_work);
        uint32_t s = kPosted;
        if (state_.compare_exchange_strong(s, kRunning, std::memory_order_seq_cst)) {
            run_job();
            state_.store(kIdle, std::memory_order_seq_cst);
            wake_sleeper(walker_sleeping_);
        } else if (s == kQuit) {
            return;
        }
        // Else the job was taken back before this thread took it up.
    }
}

void StageOneProducer::run_job() {
    try {
        const uint8_t* const buf = buf_;
        const uint64_t full = full_;
        const uint32_t n = block_chunks_;
        const ClassifyChunks classify = classify_;
        classification_kernel::KernelCarry carry = carry_;
        uint64_t pos = 0;
        while (pos < full) {
            // The walking thread may have classified ahead: go on from there.
            const uint64_t p = progress_.load(std::memory_order_acquire);
            if ((p >> 8) > pos) {
                pos = p >> 8;
                carry = unpack_carry(p);
                continue;
            }
            MaskBlock* block = ring_.claim();
            if (!block) break;  // closed: the walking thread has what it needs
            const uint32_t count = full - pos < n ? static_cast<uint32_t>(full - pos) : n;
            block->first = pos;
            block->count = count;
            classify(buf + pos * 64, count, block->records, carry);
            block->carry = carry;
            ring_.publish();
            pos += count;
        }
        ring_.finish();
    } catch (const std::exception& ex) {
        failed_ = true;
        try {
            failure_ = ex.what();
        } catch (...) {
        }
        ring_.close();
    } catch (...) {
        failed_ = true;
        try {
            failure_ = "unknown panic";
        } catch (...) {
        }
        ring_.close();
    }
}

}  // namespace jorvane::engine
