// The per-instruction-set batch entry points behind `classify_chunks`, each
// defined in a file compiled with that instruction set's flags. Call one only
// when the CPU supports its kernel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "classification_kernel/kernel.h"

namespace jorvane::classification_kernel::detail {

void classify_chunks_scalar(const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry);
void classify_chunks_avx2(const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry);
void classify_chunks_avx512(const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry);

}  // namespace jorvane::classification_kernel::detail
