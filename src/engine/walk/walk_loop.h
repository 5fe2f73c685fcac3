// The buffer loops shared by every execution mode and every stage-1 kernel:
// classify a batch of full chunks, walk their masks, then the partial chunk
// and the token cut by the buffer end. Included by one translation unit per
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
// (engine/walk/pipeline_choice.h) has measured it to be the faster scan. The thread has left the buffer before the call returns, also when
// the walk unwinds; a thread that failed closes its ring, the published
// blocks are walked, and its panic is raised on the calling thread as
// "producer thread panicked: <what>".
#pragma once

#include <cstring>
#include <exception>
#include <string>

#include "classification_kernel/kernel_core.h"
#include "engine/walk/scan_state.h"
#include "engine/walk/stage_one_producer.h"
#include "engine/walk/walk_chunk.h"
#include "util/panic.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

// Walks one classified chunk at buffer position `base`.
[[gnu::always_inline]] inline void step_chunk(ScanState& e, ChunkCursor& c, const classification_kernel::ChunkMasks& m, uint64_t base,
                                              bool& pending, const uint8_t* buf, size_t len) {
    c.bits = m.structural;
    c.openers = m.openers;
    c.closers = m.closers;
    c.base = base;
    if (pending) [[unlikely]] {
        e.resume_cut_token(c, buf, len);
        pending = e.cut_token_kind != CutTokenKind::None;
    }
    process_chunk(e, c, buf, len);
}

// The final partial chunk (if any) and the end-of-buffer token.
inline void finish_buffer(ScanState& e, ChunkCursor& c, const uint8_t* buf, size_t len, size_t full_bytes) {
    size_t rest = len - full_bytes;
    if (rest > 0) {
        alignas(64) uint8_t block[64];
        std::memset(block, ' ', sizeof block);
        std::memcpy(block, buf + full_bytes, rest);
        classification_kernel::ChunkMasks m = e.structure_masks_partial(block, rest);
        bool pending = e.cut_token_kind != CutTokenKind::None;
        step_chunk(e, c, m, full_bytes, pending, buf, len);
    }
    e.save_cut_token(buf, len, len, c);
}

// Classify N chunks, walk N chunks. `Classify` is called as
// classify(const uint8_t* chunk, ChunkMasks& out, KernelCarry& carry).
template <uint32_t N, class Classify>
void scan_batched(ScanState& e, const uint8_t* buf, size_t len, Classify classify) {
    if (len == 0) return;
    ChunkCursor c = e.cursor;
    e.cursor = ChunkCursor{};
    bool pending = e.cut_token_kind != CutTokenKind::None;
    const size_t full = len / 64;
    classification_kernel::ChunkMasks masks[N];
    size_t chunk = 0;
    while (chunk < full) {
        const size_t m = full - chunk < N ? full - chunk : N;
        if (m == N) {
            for (uint32_t i = 0; i < N; ++i) classify(buf + (chunk + i) * 64, masks[i], e.carry);
        } else {
            for (size_t i = 0; i < m; ++i) classify(buf + (chunk + i) * 64, masks[i], e.carry);
        }
        for (size_t i = 0; i < m; ++i) step_chunk(e, c, masks[i], (chunk + i) * 64, pending, buf, len);
        chunk += m;
    }
    finish_buffer(e, c, buf, len, full * 64);
    e.cursor = c;
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

// The engine's stage-1 thread classifies the buffer's full chunks in blocks
// of N while this thread walks them; when no block is ready this thread
// classifies kInlineChunks itself instead of waiting (see
// engine/walk/stage_one_producer.h). The thread has left the buffer when the
// call returns, also when the walk unwinds.
template <class Classify>
void scan_pipelined(ScanState& e, const uint8_t* buf, size_t len, uint32_t n, Classify classify) {
    if (len == 0) return;
    const uint64_t full = len / 64;
    if (full == 0) return scan_batched<kInlineChunks>(e, buf, len, classify);
    StageOneProducer& producer = e.stage_one_producer();
    ChunkCursor c = e.cursor;
    e.cursor = ChunkCursor{};
    classification_kernel::KernelCarry carry = e.carry;
    producer.begin(buf, full, n, carry, &classify_chunks<Classify>);
    struct Abandon {
        StageOneProducer& p;
        bool armed = true;
        ~Abandon() {
            if (armed) p.abandon();
        }
    } abandon{producer};
    bool pending = e.cut_token_kind != CutTokenKind::None;
    classification_kernel::ChunkMasks local[kInlineChunks];
    uint64_t pos = 0;
    while (pos < full) {
        if (const MaskBlock* b = producer.peek()) {
            const uint64_t end = b->first + b->count;
            if (end > pos) {
                if (b->first > pos) [[unlikely]]
                    panic("stage-1 block starts past the walk");
                for (uint64_t i = pos; i < end; ++i)
                    step_chunk(e, c, b->records[i - b->first], i * 64, pending, buf, len);
                pos = end;
                carry = b->carry;
            }
            producer.release();
            continue;
        }
        // The thread failed: what it published has been walked; end() raises it.
        if (producer.closed()) break;
        const uint64_t m = full - pos < kInlineChunks ? full - pos : kInlineChunks;
        if (m == kInlineChunks) {
            for (uint32_t i = 0; i < kInlineChunks; ++i) classify(buf + (pos + i) * 64, local[i], carry);
        } else {
            for (uint64_t i = 0; i < m; ++i) classify(buf + (pos + i) * 64, local[i], carry);
        }
        for (uint64_t i = 0; i < m; ++i) step_chunk(e, c, local[i], (pos + i) * 64, pending, buf, len);
        pos += m;
        producer.note_progress(pos, carry);
    }
    abandon.armed = false;
    producer.end();
    if (pos < full) panic("producer thread panicked: stopped before the end of the buffer");
    e.carry = carry;
    finish_buffer(e, c, buf, len, full * 64);
    e.cursor = c;
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
