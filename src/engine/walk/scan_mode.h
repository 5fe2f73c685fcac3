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
    Kind kind = Batched;
    uint64_t chunks = 8;

    static ScanMode serial() { return {Serial, 1}; }
    static ScanMode batched(uint64_t n) { return {Batched, n}; }
    static ScanMode pipelined(uint64_t n) { return {Pipelined, n}; }

    // The instantiated chunk count a requested N maps to.
    // Batched: the largest of 1,2,4,8,16,32 not above N (below 2 gives 1).
    static uint32_t batched_chunks(uint64_t n);
    // Pipelined: N itself when it is one of 4..256 (a power of two), else 16.
    static uint32_t pipelined_chunks(uint64_t n);
};

}  // namespace jorvane::engine
