// The neon kernel run over consecutive chunks, threading the carry.
#include "classification_kernel/neon_kernel.h"
#include "classification_kernel/kernel.h"

namespace jorvane::classification_kernel {

template <>
void classify_batch<KernelKind::Neon>(const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry) {
    KernelCarry c = carry;  // kept in registers across the loop
    for (size_t i = 0; i < n_chunks; ++i) neon::classify_full_chunk(data + 64 * i, out[i], c);
    carry = c;
}

}  // namespace jorvane::classification_kernel
