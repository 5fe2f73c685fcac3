// Stage-1 loops for the benchmark: each kernel's inline form called once per
// chunk, the masks folded into a checksum (a stand-in for the walk that
// would consume them). The AVX2 and AVX-512 loops live in files compiled with
// those instruction sets; call them only when the CPU supports them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jorvane::bench {

uint64_t stage1_inline_scalar(const uint8_t* data, size_t n_chunks);
uint64_t stage1_inline_avx2(const uint8_t* data, size_t n_chunks);
uint64_t stage1_inline_avx512(const uint8_t* data, size_t n_chunks);

}  // namespace jorvane::bench
