// The buffer loops, compiled once per instruction set with that set's
// stage-1 kernel inlined (engine/walk/walk_loop.h), one specialisation per
// kernel in walk_<isa>.cpp. The engine reaches them through
// classification_kernel::with_kernel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "classification_kernel/kernel.h"

namespace jorvane::engine {
struct ScanState;
}

namespace jorvane::engine::walk {

using classification_kernel::KernelKind;

// Serial and batched modes: `chunks` classified, then walked.
template <KernelKind K>
void walk_buffer_batched(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);
// Pipelined mode: a producer thread classifies blocks of `chunks` ahead.
template <KernelKind K>
void walk_buffer_pipelined(ScanState& e, const uint8_t* buf, size_t len, uint32_t chunks);

#define JORVANE_DECLARE_BUFFER_LOOPS(K)                                                      \
    template <>                                                                             \
    void walk_buffer_batched<K>(ScanState & e, const uint8_t* buf, size_t len, uint32_t chunks); \
    template <>                                                                             \
    void walk_buffer_pipelined<K>(ScanState & e, const uint8_t* buf, size_t len, uint32_t chunks);
JORVANE_DECLARE_BUFFER_LOOPS(KernelKind::Scalar)
JORVANE_DECLARE_BUFFER_LOOPS(KernelKind::Avx2)
JORVANE_DECLARE_BUFFER_LOOPS(KernelKind::Avx512)
JORVANE_DECLARE_BUFFER_LOOPS(KernelKind::Neon)
#undef JORVANE_DECLARE_BUFFER_LOOPS

}  // namespace jorvane::engine::walk
