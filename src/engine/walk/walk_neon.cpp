// The buffer loops with the neon stage-1 kernel inlined.
#include "classification_kernel/neon_kernel.h"
#include "engine/walk/buffer_loops.h"
#include "engine/walk/walk_loop.h"

namespace jorvane::engine::walk {

namespace {
struct Classify {
    [[gnu::always_inline]] void operator()(const uint8_t* chunk, classification_kernel::ChunkMasks& out,
                                           classification_kernel::KernelCarry& carry) const {
        classification_kernel::neon::classify_full_chunk(chunk, out, carry);
    }
};
}  // namespace

template <>
void walk_buffer_batched<KernelKind::Neon>(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks) {
    scan_batched_any(e, buf, len, chunks, Classify{});
}

template <>
void walk_buffer_pipelined<KernelKind::Neon>(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks) {
    scan_pipelined(e, buf, len, chunks, Classify{});
}

}  // namespace jorvane::engine::walk
