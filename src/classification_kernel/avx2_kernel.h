// The AVX2 stage-1 kernel. The chunk is loaded once as two 32-byte halves;
// per half:
// - quotes and backslashes by byte compares;
// - whitespace by looking each byte's low nibble up in a table that holds the
//   one whitespace byte with that nibble, and comparing with the byte;
// - structural characters by two nibble lookups ANDed (low nibble, high
//   nibble): openers land on the top bit, closers on the next one, commas and
//   colons on low bits, anything else on zero;
// - each byte test becomes one bit per byte by a sign-bit extraction.
// The prefix XOR of the quotes is one carry-less multiply by all ones.
//
// Include only from files compiled with AVX2 and PCLMULQDQ enabled.
#pragma once

#if !defined(__AVX2__) || !defined(__PCLMUL__)
#error "avx2_kernel.h needs a file compiled with AVX2 and PCLMULQDQ"
#endif

#include <immintrin.h>

#include <cstdint>

#include "classification_kernel/kernel_core.h"

namespace jorvane::classification_kernel::avx2 {
inline namespace JORVANE_KERNEL_ISA_NS {

JORVANE_KERNEL_INLINE __m256i table_256(const detail::LaneTable& t) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(t.bytes));
}

JORVANE_KERNEL_INLINE uint64_t prefix_xor_clmul(uint64_t x) {
    const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(int64_t(x)), _mm_set1_epi8(-1), 0);
    return uint64_t(_mm_cvtsi128_si64(product));
}

struct HalfMasks {
    uint32_t quote, backslash, whitespace, structural, openers, closers;
};

JORVANE_KERNEL_INLINE HalfMasks classify_half(__m256i x) {
    const __m256i ws_table = table_256(detail::kWhitespaceLanes);
    const __m256i lo_table = table_256(detail::kStructuralLowLanes);
    const __m256i hi_table = table_256(detail::kStructuralHighLanes);
    const __m256i low_nibble = _mm256_set1_epi8(0x0F);

    HalfMasks h;
    h.quote = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, _mm256_set1_epi8('"'))));
    h.backslash = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, _mm256_set1_epi8('\\'))));
    // Bytes >= 0x80 look up zero (shuffle rule) and never equal themselves.
    h.whitespace = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(ws_table, x), x)));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), low_nibble);
    const __m256i cls = _mm256_and_si256(_mm256_shuffle_epi8(lo_table, x), _mm256_shuffle_epi8(hi_table, high));
    // cls is 0 or a single bit no higher than 0x80: adding 0x7F sets the top
    // bit exactly when cls is non-zero.
    h.structural = uint32_t(_mm256_movemask_epi8(_mm256_add_epi8(cls, _mm256_set1_epi8(0x7F))));
    h.openers = uint32_t(_mm256_movemask_epi8(cls));
    h.closers = uint32_t(_mm256_movemask_epi8(_mm256_add_epi8(cls, cls)));
    return h;
}

JORVANE_KERNEL_INLINE uint64_t join(uint32_t lo, uint32_t hi) { return uint64_t(lo) | (uint64_t(hi) << 32); }

JORVANE_KERNEL_INLINE void classify_full_chunk(const uint8_t* chunk64, ChunkMasks& out, KernelCarry& carry) {
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk64));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk64 + 32));
    const HalfMasks a = classify_half(x0);
    const HalfMasks b = classify_half(x1);
    const detail::ClassMasks m{join(a.quote, b.quote),           join(a.backslash, b.backslash),
                               join(a.whitespace, b.whitespace), join(a.structural, b.structural),
                               join(a.openers, b.openers),       join(a.closers, b.closers)};
    detail::finish_chunk(m, out, carry, [](uint64_t q) { return prefix_xor_clmul(q); });
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::classification_kernel::avx2
