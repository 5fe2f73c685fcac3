// StageOneProducer: the pipelined mode's stage-1 thread. One per engine,
// started with the first buffer worth pipelining, reused for every later
// buffer and source of that engine, and joined when the engine goes away.
//
// For each buffer the walking thread calls begin(), which hands the thread
// the buffer's full chunks; the thread classifies them into blocks of up to
// `block_chunks` chunks, each written in place in a slot of an 8-slot ring
// (engine/walk/spsc_ring.h) with its first chunk's index and the kernel
// carry after its last chunk. The walking thread takes the blocks with
// peek()/release() and never waits for one: when the ring is empty (the
// thread is waking up, or has no core) it classifies a few chunks itself and
// says so with note_progress(), and the thread, which checks that before every
// block, skips what was already done. A block is therefore read from the
// walking thread's position on; blocks wholly behind it are dropped. Either
// way each chunk is classified with the carry of the chunk before it, so the
// masks walked are the ones a batched scan computes.
//
// end() closes the buffer: a job still posted is taken back, a job running
// is stopped (its ring is closed, and the thread stops at its next block),
// and the call returns once the thread has left the buffer, so the caller may
// free it. A thread that failed (an exception while classifying) has closed
// its ring; the walking thread reads what was published and end() raises
// "producer thread panicked: <what>". abandon() is end() for a walking thread
// that is unwinding: it never throws. No exception crosses the thread.
//
// Between buffers the thread spins for a few microseconds and then sleeps on
// a futex (std::atomic wait) until the next begin() or the destructor: an
// engine that is not scanning costs no processor time. Each side wakes the
// other only when that side sleeps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "classification_kernel/kernel.h"
#include "engine/walk/spsc_ring.h"

namespace jorvane::engine {

// The largest block the producer classifies at once (the largest pipelined N).
inline constexpr uint32_t kMaxBlockChunks = 256;

struct MaskBlock {
    uint64_t first = 0;  // the buffer's chunk index of records[0]
    uint32_t count = 0;  // chunks in the block
    classification_kernel::KernelCarry carry;  // the carry after its last chunk
    classification_kernel::ChunkMasks records[kMaxBlockChunks];
};

// A stage-1 kernel over a run of full chunks: classifies `count` chunks from
// `chunks` into `out`, carrying `carry` from chunk to chunk.
using ClassifyChunks = void (*)(const uint8_t* chunks, size_t count, classification_kernel::ChunkMasks* out,
                                classification_kernel::KernelCarry& carry);

class StageOneProducer {
public:
    // Starts the thread; panics with "failed to spawn thread" if it cannot.
    StageOneProducer();
    // Waits for the thread to leave any buffer, tells it to exit, joins it.
    ~StageOneProducer();
    StageOneProducer(const StageOneProducer&) = delete;
    StageOneProducer& operator=(const StageOneProducer&) = delete;

    // ---- the walking thread, one buffer at a time ----

    // Hands over the `full` chunks at `buf` (which must stay readable until
    // end() or abandon() returns), to classify from `carry` in blocks of
    // `block_chunks` (1..kMaxBlockChunks).
    void begin(const uint8_t* buf, uint64_t full, uint32_t block_chunks, classification_kernel::KernelCarry carry,
               ClassifyChunks classify);
    // The oldest published block, or nullptr (never waits).
    const MaskBlock* peek() { return ring_.peek(); }
    // Frees the block peek() returned.
    void release() { ring_.release(); }
    // The ring is closed: the thread failed (end() raises its panic) and no
    // more blocks will come after those published.
    bool closed() const { return ring_.closed(); }
    // The walking thread has classified the chunks before `chunk` itself,
    // ending with `carry`: the thread goes on from there.
    void note_progress(uint64_t chunk, classification_kernel::KernelCarry carry) {
        progress_.store(pack(chunk, carry), std::memory_order_release);
    }
    // Ends the buffer (see above). Panics with "producer thread panicked:
    // <what>" when the thread failed on it.
    void end();
    // Ends the buffer without raising anything.
    void abandon() noexcept;

    // Test hook: buffers handed over since the start.
    uint64_t buffers_begun() const { return begun_; }

private:
    enum : uint32_t { kIdle = 0, kPosted = 1, kRunning = 2, kQuit = 3 };

    static uint64_t pack(uint64_t chunk, classification_kernel::KernelCarry c) {
        return chunk << 8 | uint64_t(c.in_string & 1) | uint64_t(c.prev_separator & 1) << 1 |
               uint64_t(c.backslash_run & 3) << 2;
    }
    static classification_kernel::KernelCarry unpack_carry(uint64_t p) {
        classification_kernel::KernelCarry c;
        c.in_string = uint8_t(p & 1);
        c.prev_separator = uint8_t(p >> 1 & 1);
        c.backslash_run = uint8_t(p >> 2 & 3);
        return c;
    }

    void run();      // the thread
    void run_job();  // one buffer, on the thread
    // Takes back a posted job, or stops a running one and waits until it is over.
    void stop() noexcept;

    SpscRing<MaskBlock> ring_;
    // The job, written by the walking thread before it posts it.
    const uint8_t* buf_ = nullptr;
    uint64_t full_ = 0;
    uint32_t block_chunks_ = 1;
    classification_kernel::KernelCarry carry_;
    ClassifyChunks classify_ = nullptr;
    uint64_t begun_ = 0;  // the walking thread's count
    // Written by the thread before it returns a failed job to kIdle.
    bool failed_ = false;
    std::string failure_;

    alignas(128) std::atomic<uint32_t> state_{kIdle};
    alignas(128) std::atomic<uint64_t> progress_{0};  // pack(chunk, carry) of the walking thread
    alignas(128) std::atomic<uint32_t> thread_sleeping_{0};   // the thread sleeps for a job
    alignas(128) std::atomic<uint32_t> walker_sleeping_{0};   // the walking thread sleeps for the job's end
    std::thread thread_;
};

}  // namespace jorvane::engine
