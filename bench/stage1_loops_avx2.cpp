// The avx2 kernel inlined into a loop over consecutive chunks.
#include "classification_kernel/avx2_kernel.h"
#include "stage1_loops.h"

namespace jorvane::bench {

template <>
uint64_t stage1_inline<classification_kernel::KernelKind::Avx2>(const uint8_t* data, size_t n_chunks) {
    classification_kernel::KernelCarry carry;
    uint64_t sum = 0;
    for (size_t i = 0; i < n_chunks; ++i) {
        classification_kernel::ChunkMasks m;
        classification_kernel::avx2::classify_full_chunk(data + 64 * i, m, carry);
        sum += m.structural ^ (m.openers << 1) ^ m.closers;
    }
    return sum + carry.in_string;
}

}  // namespace jorvane::bench
