// The engine's execution mode: how stage-1 classification and the stage-2
// walk are interleaved over a buffer.
#pragma once

#include <cstdint>

namespace jorvane::engine {

struct ScanMode {
    enum Kind : uint8_t {
        Serial = 0,     // one chunk classified, then walked
        Batched = 1,    // N chunks classified, then walked (N in 1,2,4,8,16,32)
        Pipelined = 2,  // a producer thread classifies blocks of N chunks ahead
    };
    // Pipelined mode scans a buffer shorter than this as batched mode does
    // (batched_chunks(8), no thread): below it, handing the buffer's chunks
    // to the stage-1 thread costs more than classifying them inline
    // (measured with bench/engine_bench.cpp, JORVANE_BENCH_SWEEP=1).
    static constexpr uint64_t kMinPipelinedLen = 1048576;

    Kind kind = Batched;
    uint64_t chunks = 8;
    // Pipelined mode only: the shortest buffer that may go to the stage-1
    // thread, and whether the longer ones go there only when measuring says
    // it is faster (engine/walk/pipeline_choice.h) or always (tests and
    // benchmarks).
    uint64_t min_pipelined_len = kMinPipelinedLen;
    bool adaptive = true;

    static ScanMode serial() { return {Serial, 1}; }
    static ScanMode batched(uint64_t n) { return {Batched, n}; }
    static ScanMode pipelined(uint64_t n) { return {Pipelined, n}; }
    // Every buffer of at least `min_len` bytes goes to the stage-1 thread.
    static ScanMode pipelined_always(uint64_t n, uint64_t min_len = 0) { return {Pipelined, n, min_len, false}; }

    // The instantiated chunk count a requested N maps to.
    // Batched: the largest of 1,2,4,8,16,32 not above N (below 2 gives 1).
    static uint32_t batched_chunks(uint64_t n);
    // Pipelined: N itself when it is one of 4..256 (a power of two), else 16.
    static uint32_t pipelined_chunks(uint64_t n);
};

}  // namespace jorvane::engine
