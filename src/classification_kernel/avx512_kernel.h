// The AVX-512 stage-1 kernel. The whole chunk is one 64-byte register, and
// every byte test yields its 64-bit mask directly (mask registers):
// - quotes and backslashes by byte compares;
// - whitespace by looking each byte's low nibble up in a table that holds the
//   one whitespace byte with that nibble, and comparing with the byte;
// - structural characters by two nibble lookups ANDed (low nibble, high
//   nibble), then bit tests: any bit, the opener bit, the closer bit.
// The prefix XOR of the quotes is one carry-less multiply by all ones.
//
// Include only from files compiled with AVX-512 F/BW/VL and PCLMULQDQ enabled.
#pragma once

#if !defined(__AVX512F__) || !defined(__AVX512BW__) || !defined(__AVX512VL__) || !defined(__PCLMUL__)
#error "avx512_kernel.h needs a file compiled with AVX-512 F/BW/VL and PCLMULQDQ"
#endif

#include <immintrin.h>

#include <cstdint>

#include "classification_kernel/kernel_core.h"

namespace jorvane::classification_kernel::avx512 {
inline namespace JORVANE_KERNEL_ISA_NS {

JORVANE_KERNEL_INLINE __m512i table_512(const detail::LaneTable& t) { return _mm512_load_si512(t.bytes); }

JORVANE_KERNEL_INLINE uint64_t prefix_xor_clmul(uint64_t x) {
    const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(int64_t(x)), _mm_set1_epi8(-1), 0);
    return uint64_t(_mm_cvtsi128_si64(product));
}

JORVANE_KERNEL_INLINE void classify_full_chunk(const uint8_t* chunk64, ChunkMasks& out, KernelCarry& carry) {
    const __m512i ws_table = table_512(detail::kWhitespaceLanes);
    const __m512i lo_table = table_512(detail::kStructuralLowLanes);
    const __m512i hi_table = table_512(detail::kStructuralHighLanes);

    const __m512i x = _mm512_loadu_si512(chunk64);
    detail::ClassMasks m;
    m.quote = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('"'));
    m.backslash = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('\\'));
    // Bytes >= 0x80 look up zero (shuffle rule) and never equal themselves.
    m.whitespace = _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(ws_table, x), x);
    const __m512i high = _mm512_and_si512(_mm512_srli_epi16(x, 4), _mm512_set1_epi8(0x0F));
    const __m512i cls = _mm512_and_si512(_mm512_shuffle_epi8(lo_table, x), _mm512_shuffle_epi8(hi_table, high));
    m.structural = _mm512_test_epi8_mask(cls, cls);
    m.openers = _mm512_movepi8_mask(cls);  // the opener class is the top bit
    m.closers = _mm512_test_epi8_mask(cls, _mm512_set1_epi8(char(detail::kClassCloser)));
    detail::finish_chunk(m, out, carry, [](uint64_t q) { return prefix_xor_clmul(q); });
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::classification_kernel::avx512
