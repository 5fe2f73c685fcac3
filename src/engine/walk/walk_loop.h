// The buffer loops shared by every execution mode and every stage-1 kernel:
// the buffer's chunks classified in batches (or by the stage-1 thread), each
// walked as it comes, then the partial chunk and the token cut by the buffer
// end. The walk asks for chunks itself, so the fast walk can follow a value
// from batch to batch. Included by one translation unit per
// instruction set, each passing its own inline `classify_full_chunk`; the
// functions sit in a namespace named after the instruction set the file is
// compiled for, so the copies never mix at link time.
//
// The pipelined loop runs stage 1 on the engine's StageOneProducer thread
// (engine/walk/stage_one_producer.h): one thread per engine, started with the
// first buffer worth pipelining and kept for every later buffer and source.
// The thread classifies the buffer's full chunks into blocks of N and passes
// them through an 8-slot ring; the calling thread walks each block as soon
// as it is published, and when none is ready it classifies the next few
// chunks itself instead of waiting, so it is never slower than a batched
// scan by more than the ring's bookkeeping. Buffers shorter than the mode's
// `min_pipelined_len` never reach this loop (ScanState::process_buffer scans
// them as batched mode does, with no thread), nor do buffers without a full
// chunk; longer ones reach it only when the engine's PipelineChoice
// (engine/walk/pipeline_choice.h) has measured it to be the faster scan.
// The thread has left the buffer before the call returns, also when the
// walk unwinds; a thread that failed closes its ring, the published
// blocks are walked, and its panic is raised on the calling thread as
// "producer thread panicked: <what>".
#pragma once

#include <cstring>
#include <exception>
#include <string>

#include "classification_kernel/kernel_core.h"
#include "engine/walk/scan_state.h"
#include "engine/walk/fast_walk.h"
#include "engine/walk/row_walk.h"
#include "engine/walk/stage_one_producer.h"
#include "engine/walk/walk_chunk.h"
#include "util/panic.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

// The masks of the buffer's final partial chunk (`full_bytes` onwards).
inline classification_kernel::ChunkMasks partial_chunk(ScanState& e, const uint8_t* buf, size_t len, size_t full_bytes) {
    alignas(64) uint8_t block[64];
    std::memset(block, ' ', sizeof block);
    std::memcpy(block, buf + full_bytes, len - full_bytes);
    return e.structure_masks_partial(block, len - full_bytes);
}

// Points the cursor at a chunk's masks (its base already set); false for none.
JORVANE_WALK_INLINE bool load_chunk(ChunkCursor& c, const classification_kernel::ChunkMasks* m) {
    if (m == nullptr) return false;
    c.bits = m->structural;
    c.openers = m->openers;
    c.closers = m->closers;
    return true;
}

// The chunks of one buffer, classified on demand: the full chunks in
// batches of N, then the final partial chunk from a space-filled copy.
// `next_chunk` sets the cursor's masks and base; the fast walk pulls chunks
// through it too, so a value runs on across batches, and its bracket
// counting reads the masks in place with `next_masks`. Once the scan has
// settled no further batch is handed out: the walk ends with the batch it
// is in (the settle is tested once per batch, never per chunk or token, and
// what the walk meets after the settling match does not count).
template <uint32_t N, class Classify>
class BatchedChunks {
public:
    BatchedChunks(ScanState& e, const uint8_t* buf, size_t len, Classify classify)
        : e_(e), buf_(buf), len_(len), full_(len / 64), classify_(classify) {}

    // The next chunk's masks and buffer position, or null after the last.
    JORVANE_WALK_INLINE const classification_kernel::ChunkMasks* next_masks(uint64_t& base) {
        if (next_ == end_) [[unlikely]] {
            if (!refill()) return nullptr;
        }
        base = next_ * 64;
        return &masks_[next_++ - first_];
    }
    JORVANE_WALK_INLINE bool next_chunk(ChunkCursor& c) { return load_chunk(c, next_masks(c.base)); }

private:
    [[gnu::noinline]] bool refill() {
        if (e_.settled) [[unlikely]]
            return false;
        first_ = next_;
        if (next_ < full_) {
            const size_t m = full_ - next_ < N ? full_ - next_ : N;
            if (m == N) {
                for (uint32_t i = 0; i < N; ++i) classify_(buf_ + (next_ + i) * 64, masks_[i], e_.carry);
            } else {
                for (size_t i = 0; i < m; ++i) classify_(buf_ + (next_ + i) * 64, masks_[i], e_.carry);
            }
            end_ = next_ + m;
            return true;
        }
        if (partial_done_ || len_ == full_ * 64) return false;
        partial_done_ = true;
        masks_[0] = partial_chunk(e_, buf_, len_, full_ * 64);
        end_ = next_ + 1;
        return true;
    }

    ScanState& e_;
    const uint8_t* buf_;
    size_t len_;
    size_t full_;
    size_t first_ = 0;  // chunk index of masks_[0]
    size_t next_ = 0;   // the next chunk to hand out
    size_t end_ = 0;    // past the last classified chunk
    bool partial_done_ = false;
    Classify classify_;
    classification_kernel::ChunkMasks masks_[N];
};

// Walks a buffer's chunks: the general walk chunk by chunk, and the fast walk
// (engine/walk/fast_walk.h) or, for table rows, the row walk
// (engine/walk/row_walk.h) whenever a chunk begins between top-level values
// and the buffer's features allow it; it walks on through as many chunks as
// its values take and hands the rest of its last chunk back.
template <class Chunks>
void walk_chunks(ScanState& e, Chunks& chunks, const uint8_t* buf, size_t len) {
    ChunkCursor c = e.cursor;
    e.cursor = ChunkCursor{};
    StateTable* table = e.fast_walk_table();
    const bool rows = table == nullptr && e.row_walk_ready();
    bool pending = e.cut_token_kind != CutTokenKind::None;
    while (chunks.next_chunk(c)) {
        if (pending) [[unlikely]] {
            e.resume_cut_token(c, buf, len);
            pending = e.cut_token_kind != CutTokenKind::None;
        }
        if (table && e.at_top_level(c)) {
            FastWalk<Chunks>(e, *table, chunks, c, buf, len).run();
        } else if (rows && e.at_row_top_level(c)) {
            RowWalk<Chunks>(e, chunks, c, buf, len).run();
        }
        process_chunk(e, c, buf, len);
    }
    e.save_cut_token(buf, len, len, c);
    e.cursor = c;
}

// Classify N chunks, walk N chunks. `Classify` is called as
// classify(const uint8_t* chunk, ChunkMasks& out, KernelCarry& carry).
template <uint32_t N, class Classify>
void scan_batched(ScanState& e, const uint8_t* buf, size_t len, Classify classify) {
    if (len == 0) return;
    BatchedChunks<N, Classify> chunks(e, buf, len, classify);
    walk_chunks(e, chunks, buf, len);
}

template <class Classify>
void scan_batched_any(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks, Classify classify) {
    switch (chunks) {
        case 1: return scan_batched<1>(e, buf, len, classify);
        case 2: return scan_batched<2>(e, buf, len, classify);
        case 4: return scan_batched<4>(e, buf, len, classify);
        case 8: return scan_batched<8>(e, buf, len, classify);
        case 16: return scan_batched<16>(e, buf, len, classify);
        default: return scan_batched<32>(e, buf, len, classify);
    }
}

// A run of full chunks through the inlined kernel: the stage-1 thread's
// ClassifyChunks for this instruction set.
template <class Classify>
void classify_chunks(const uint8_t* chunks, size_t count, classification_kernel::ChunkMasks* out,
                     classification_kernel::KernelCarry& carry) {
    for (size_t i = 0; i < count; ++i) Classify{}(chunks + i * 64, out[i], carry);
}

// Chunks the walking thread classifies itself when no block is ready: as
// many as batched mode classifies at once.
inline constexpr uint32_t kInlineChunks = 8;

// The chunks of one buffer as the engine's stage-1 thread publishes them in
// blocks; when no block is ready, the walking thread classifies
// kInlineChunks itself instead of waiting (see
// engine/walk/stage_one_producer.h). After the full chunks the thread leaves
// the buffer, and the partial chunk is classified here. The thread has left
// the buffer when this is destroyed, also when the walk unwinds.
template <class Classify>
class PipelinedChunks {
public:
    PipelinedChunks(ScanState& e, StageOneProducer& producer, const uint8_t* buf, size_t len, uint32_t n,
                    Classify classify)
        : e_(e), producer_(producer), buf_(buf), len_(len), full_(len / 64), carry_(e.carry), classify_(classify) {
        producer_.begin(buf, full_, n, carry_, &classify_chunks<Classify>);
    }
    ~PipelinedChunks() {
        if (!ended_) producer_.abandon();
    }
    PipelinedChunks(const PipelinedChunks&) = delete;
    PipelinedChunks& operator=(const PipelinedChunks&) = delete;

    // The next chunk's masks and buffer position, or null after the last.
    JORVANE_WALK_INLINE const classification_kernel::ChunkMasks* next_masks(uint64_t& base) {
        if (next_ == end_) [[unlikely]] {
            if (!refill()) return nullptr;
        }
        base = next_ * 64;
        return &run_[next_++ - first_];
    }
    JORVANE_WALK_INLINE bool next_chunk(ChunkCursor& c) { return load_chunk(c, next_masks(c.base)); }

private:
    [[gnu::noinline]] bool refill() {
        if (holding_) {
            producer_.release();
            holding_ = false;
        }
        if (e_.settled) [[unlikely]] {
            // Nothing after the point where the scan settled is walked.
            if (!ended_) {
                ended_ = true;
                producer_.end();
            }
            return false;
        }
        while (next_ < full_) {
            if (const MaskBlock* b = producer_.peek()) {
                const uint64_t end = b->first + b->count;
                if (end > next_) {
                    if (b->first > next_) [[unlikely]]
                        panic("stage-1 block starts past the walk");
                    run_ = b->records;
                    first_ = b->first;
                    end_ = end;
                    carry_ = b->carry;
                    holding_ = true;
                    return true;
                }
                producer_.release();
                continue;
            }
            // The thread failed: what it published has been walked; end() raises it.
            if (producer_.closed()) break;
            const uint64_t m = full_ - next_ < kInlineChunks ? full_ - next_ : kInlineChunks;
            if (m == kInlineChunks) {
                for (uint32_t i = 0; i < kInlineChunks; ++i) classify_(buf_ + (next_ + i) * 64, local_[i], carry_);
            } else {
                for (uint64_t i = 0; i < m; ++i) classify_(buf_ + (next_ + i) * 64, local_[i], carry_);
            }
            run_ = local_;
            first_ = next_;
            end_ = next_ + m;
            producer_.note_progress(end_, carry_);
            return true;
        }
        if (!ended_) {
            ended_ = true;
            producer_.end();
            if (next_ < full_) panic("producer thread panicked: stopped before the end of the buffer");
            e_.carry = carry_;
        }
        if (partial_done_ || len_ == full_ * 64) return false;
        partial_done_ = true;
        local_[0] = partial_chunk(e_, buf_, len_, full_ * 64);
        run_ = local_;
        first_ = next_;
        end_ = next_ + 1;
        return true;
    }

    ScanState& e_;
    StageOneProducer& producer_;
    const uint8_t* buf_;
    size_t len_;
    uint64_t full_;
    const classification_kernel::ChunkMasks* run_ = nullptr;  // the chunks being handed out
    uint64_t first_ = 0;                                      // chunk index of run_[0]
    uint64_t next_ = 0;                                       // the next chunk to hand out
    uint64_t end_ = 0;                                        // past the last chunk of run_
    classification_kernel::KernelCarry carry_;
    bool holding_ = false;  // run_ is a published block, not yet released
    bool ended_ = false;    // the thread has left the buffer
    bool partial_done_ = false;
    Classify classify_;
    classification_kernel::ChunkMasks local_[kInlineChunks];
};

// The engine's stage-1 thread classifies the buffer's full chunks in blocks
// of N while this thread walks them.
template <class Classify>
void scan_pipelined(ScanState& e, const uint8_t* buf, size_t len, uint32_t n, Classify classify) {
    if (len == 0) return;
    if (len / 64 == 0) return scan_batched<kInlineChunks>(e, buf, len, classify);
    PipelinedChunks<Classify> chunks(e, e.stage_one_producer(), buf, len, n, classify);
    walk_chunks(e, chunks, buf, len);
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
