// The buffer loops compiled once per instruction set, each with its stage-1
// kernel inlined; the engine picks one by its `kernel` field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jorvane::engine {
struct ScanState;
}

namespace jorvane::engine::walk {

void scan_batched_scalar(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);
void scan_pipelined_scalar(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);
void scan_batched_avx2(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);
void scan_pipelined_avx2(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);
void scan_batched_avx512(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);
void scan_pipelined_avx512(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);

}  // namespace jorvane::engine::walk
