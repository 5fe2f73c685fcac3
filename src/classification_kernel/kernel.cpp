// Kernel names, support checks and run-time dispatch to the per-ISA loops.
#include "classification_kernel/kernel.h"

#include <string>

#include "classification_kernel/cpu_features.h"
#include "util/panic.h"

namespace jorvane::classification_kernel {

const char* kernel_name(KernelKind kind) {
    switch (kind) {
        case KernelKind::Scalar: return "scalar";
        case KernelKind::Avx2: return "avx2";
        case KernelKind::Avx512: return "avx512";
        case KernelKind::Neon: return "neon";
    }
    return "scalar";
}

bool kernel_supported(KernelKind kind) {
    switch (kind) {
        case KernelKind::Scalar: return true;
        case KernelKind::Avx2: return cpu_features().avx2;
        case KernelKind::Avx512: return cpu_features().avx512;
        case KernelKind::Neon: return cpu_features().neon;
    }
    return false;
}

KernelKind active_kernel() {
    static const KernelKind kind = kernel_supported(KernelKind::Avx512) ? KernelKind::Avx512
                                   : kernel_supported(KernelKind::Avx2) ? KernelKind::Avx2
                                   : kernel_supported(KernelKind::Neon) ? KernelKind::Neon
                                                                        : KernelKind::Scalar;
    return kind;
}

void require_kernel(KernelKind kind) {
    if (!kernel_supported(kind)) panic(std::string("the ") + kernel_name(kind) + " kernel is not supported by this CPU");
}

ClassifyChunksFn chunk_classifier(KernelKind kind) {
    return with_kernel(kind, [](auto k) -> ClassifyChunksFn { return &classify_batch<decltype(k)::value>; });
}

void classify_chunks(KernelKind kind, const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry) {
    chunk_classifier(kind)(data, n_chunks, out, carry);
}

}  // namespace jorvane::classification_kernel
