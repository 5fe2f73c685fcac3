// The buffer loops with the scalar stage-1 kernel inlined.
#include "classification_kernel/scalar_kernel.h"
#include "engine/walk_dispatch.h"
#include "engine/walk_loop.h"

namespace jorvane::engine::walk {

namespace {
struct Classify {
    [[gnu::always_inline]] void operator()(const uint8_t* chunk, kernel::ChunkMasks& out,
                                           kernel::KernelCarry& carry) const {
        kernel::scalar::classify_full_chunk(chunk, out, carry);
    }
};
}  // namespace

void scan_batched_scalar(Engine& e, const uint8_t* buf, size_t len, uint32_t chunks) {
    scan_batched_any(e, buf, len, chunks, Classify{});
}

void scan_pipelined_scalar(Engine& e, const uint8_t* buf, size_t len, uint32_t chunks) {
    scan_pipelined_any(e, buf, len, chunks, Classify{});
}

}  // namespace jorvane::engine::walk
