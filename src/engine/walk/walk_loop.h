// The buffer loop shared by every execution mode and every stage-1 kernel:
// classify a batch of full chunks, walk their masks, then the partial chunk
// and the token cut by the buffer end. Included by one translation unit per
// instruction set, each passing its own inline `classify_full_chunk`; the
// functions sit in a namespace named after the instruction set the file is
// compiled for, so the copies never mix at link time.
//
// The pipelined loop runs stage 1 on a producer thread started for the call:
// it classifies the buffer's full chunks into blocks of N records and passes
// them through an 8-slot lock-free ring, while the calling thread walks each
// block as soon as it is taken. The thread is always joined before the call
// returns, also when the walk unwinds; a producer that panics closes the ring
// and its panic is raised again on the calling thread after the join.
#pragma once

#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "classification_kernel/kernel_core.h"
#include "engine/walk/scan_state.h"
#include "engine/walk/spsc_ring.h"
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

template <uint32_t N>
struct MaskBlock {
    classification_kernel::ChunkMasks records[N];
    uint16_t count = 0;
};

template <uint32_t N, class Classify>
void scan_pipelined(ScanState& e, const uint8_t* buf, size_t len, Classify classify) {
    if (len == 0) return;
    ChunkCursor c = e.cursor;
    e.cursor = ChunkCursor{};
    classification_kernel::KernelCarry carry = e.carry;
    e.carry = classification_kernel::KernelCarry{};
    const size_t full = len / 64;

    SpscRing<MaskBlock<N>> ring;
    std::exception_ptr producer_failure;
    auto producer = [&]() {
        try {
            // The carry lives on the producer's own stack while it runs: the
            // consumer's locals share cache lines with `carry`.
            classification_kernel::KernelCarry own = carry;
            MaskBlock<N> block;
            bool open = true;
            for (size_t i = 0; i < full; ++i) {
                classify(buf + i * 64, block.records[block.count], own);
                if (++block.count == N) {
                    if (open) open = ring.push(block);
                    block.count = 0;
                }
            }
            carry = own;
            if (block.count > 0 && open) ring.push(block);
            ring.finish();
        } catch (...) {
            producer_failure = std::current_exception();
            ring.close();
        }
    };
    std::thread thread;
    try {
        thread = std::thread(producer);
    } catch (const std::system_error&) {
        panic("failed to spawn thread");
    }
    struct Joiner {
        std::thread& t;
        ~Joiner() {
            if (t.joinable()) t.join();
        }
    } joiner{thread};
    {
        typename SpscRing<MaskBlock<N>>::CloseGuard guard(ring);
        bool pending = e.cut_token_kind != CutTokenKind::None;
        MaskBlock<N> block;
        uint64_t base = 0;
        while (ring.pop(block)) {
            for (uint16_t i = 0; i < block.count; ++i, base += 64)
                step_chunk(e, c, block.records[i], base, pending, buf, len);
        }
    }
    thread.join();
    if (producer_failure) {
        std::string what = "unknown panic";
        try {
            std::rethrow_exception(producer_failure);
        } catch (const std::exception& ex) {
            what = ex.what();
        } catch (...) {
        }
        panic("producer thread panicked: " + what);
    }
    e.carry = carry;
    finish_buffer(e, c, buf, len, full * 64);
    e.cursor = c;
}

template <class Classify>
void scan_pipelined_any(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks, Classify classify) {
    switch (chunks) {
        case 4: return scan_pipelined<4>(e, buf, len, classify);
        case 8: return scan_pipelined<8>(e, buf, len, classify);
        case 32: return scan_pipelined<32>(e, buf, len, classify);
        case 64: return scan_pipelined<64>(e, buf, len, classify);
        case 128: return scan_pipelined<128>(e, buf, len, classify);
        case 256: return scan_pipelined<256>(e, buf, len, classify);
        default: return scan_pipelined<16>(e, buf, len, classify);
    }
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
