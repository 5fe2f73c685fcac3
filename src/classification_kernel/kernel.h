// Stage-1 structural classification: one 64-byte chunk of JSON text becomes
// three bit masks (bit i = byte i) telling stage 2 which positions to visit.
//
// Four kernels produce the same masks and carry bit for bit: a portable
// scalar one, AVX2 (with PCLMULQDQ) and AVX-512 (BW/VL) on x86-64, and NEON
// (with PMULL) on 64-bit Arm. The best one the CPU supports is chosen once at
// run time. Each kernel's inline form lives in its own header
// (scalar_kernel.h, avx2_kernel.h, avx512_kernel.h, neon_kernel.h, namespaces
// classification_kernel::scalar / ::avx2 / ::avx512 / ::neon, each exposing
// `classify_full_chunk`) so that hot loops compiled for one ISA inline it;
// the ISA headers may only be included from files compiled with that ISA's
// flags (*_avx2.cpp, *_avx512.cpp, *_neon.cpp), and those files are built
// only for their own architecture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace jorvane::classification_kernel {

struct ChunkMasks {
    uint64_t structural = 0;  // unescaped quotes, structurals outside strings, scalar starts
    uint64_t openers = 0;     // '{' and '[' outside strings
    uint64_t closers = 0;     // '}' and ']' outside strings
};

// State carried from chunk to chunk (and buffer to buffer) of one source.
struct KernelCarry {
    uint8_t in_string = 0;       // 1 when the chunk ended inside a string
    uint8_t prev_separator = 1;  // 1 when the last byte was whitespace, a quote or a structural
    uint8_t backslash_run = 2;   // 0 odd run at the end, 1 even run, 2 no backslash at the end
    bool operator==(const KernelCarry&) const = default;
};

enum class KernelKind : uint8_t { Scalar, Avx2, Avx512, Neon };

// "scalar", "avx2", "avx512", "neon".
const char* kernel_name(KernelKind kind);
// Whether this CPU can run the kernel (never for another architecture's).
bool kernel_supported(KernelKind kind);
// The best supported kernel, detected once per process.
KernelKind active_kernel();

// Panics when the CPU does not support the kernel.
void require_kernel(KernelKind kind);

template <KernelKind K>
using KernelTag = std::integral_constant<KernelKind, K>;

// The one place where a kernel kind becomes per-instruction-set code: calls
// `f(KernelTag<K>{})` for the kernel `kind`, after checking that the CPU
// supports it (panics otherwise). Every per-ISA entry point of the system
// (the batch classifier here, the engine's buffer loops) is a template over
// K, specialised in a file compiled for that instruction set. Only the kinds
// built for the target architecture are instantiated: the others have no
// specialisations to link against, and require_kernel rejects them.
template <class F>
decltype(auto) with_kernel(KernelKind kind, F&& f) {
    require_kernel(kind);
    switch (kind) {
#if defined(__x86_64__)
        case KernelKind::Avx512: return f(KernelTag<KernelKind::Avx512>{});
        case KernelKind::Avx2: return f(KernelTag<KernelKind::Avx2>{});
#elif defined(__aarch64__)
        case KernelKind::Neon: return f(KernelTag<KernelKind::Neon>{});
#endif
        default: break;
    }
    return f(KernelTag<KernelKind::Scalar>{});
}

// Classifies `n_chunks` consecutive 64-byte chunks starting at `data` with
// kernel K, writing one record per chunk and threading `carry` through them.
// Never allocates. Call only when the CPU supports K (through with_kernel).
template <KernelKind K>
void classify_batch(const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry);
template <>
void classify_batch<KernelKind::Scalar>(const uint8_t*, size_t, ChunkMasks*, KernelCarry&);
template <>
void classify_batch<KernelKind::Avx2>(const uint8_t*, size_t, ChunkMasks*, KernelCarry&);
template <>
void classify_batch<KernelKind::Avx512>(const uint8_t*, size_t, ChunkMasks*, KernelCarry&);
template <>
void classify_batch<KernelKind::Neon>(const uint8_t*, size_t, ChunkMasks*, KernelCarry&);

// The same with the kernel chosen at run time. Panics when the CPU does not
// support the kernel.
void classify_chunks(KernelKind kind, const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry);

// The batch loop of one kernel, resolved once, for callers that classify
// many small batches. Panics when the CPU does not support the kernel.
using ClassifyChunksFn = void (*)(const uint8_t* data, size_t n_chunks, ChunkMasks* out, KernelCarry& carry);
ClassifyChunksFn chunk_classifier(KernelKind kind);

}  // namespace jorvane::classification_kernel
