// The NEON stage-1 kernel for 64-bit Arm. The chunk is loaded once, as four
// 16-byte lanes. Each byte's classes come from two nibble lookups ANDed (low
// nibble, high nibble), one pair of tables for the quote, backslash and
// whitespace family and one for the structural characters; the class bits
// are those of the byte-class table shared by every kernel:
//   family one:  space 0x01, tab 0x02, line feed 0x04, carriage return 0x08,
//                quote 0x10, backslash 0x20;
//   structural:  '{' 0x01, '}' 0x02, '[' 0x04, ']' 0x08, ',' 0x10, ':' 0x20.
// Bytes from 0x80 up have a high nibble whose entries are all zero, so they
// belong to no class.
//
// NEON has no instruction that gathers one bit per byte, so each class test
// (0xFF or 0x00 per byte) keeps only its byte's weight 1, 2, 4, ..., 128
// (repeating every eight bytes); unzipping even and odd bytes and ORing them
// halves the bytes per mask while keeping the bits apart, and three such
// rounds over the four lanes leave one byte per eight bytes of text: the
// 64-bit mask with bit i = byte i. The last round packs two masks side by
// side in one register.
//
// The prefix XOR of the quotes is one carry-less multiply (PMULL) by all ones.
//
// Include only from files compiled with NEON and the crypto extension (whose
// AES part carries PMULL) enabled.
#pragma once

#if !defined(__aarch64__) || !defined(__ARM_NEON) || !defined(__ARM_FEATURE_AES)
#error "neon_kernel.h needs a 64-bit Arm file compiled with NEON and the crypto extension (PMULL)"
#endif

#include <arm_neon.h>

#include <cstdint>

#include "classification_kernel/kernel_core.h"

namespace jorvane::classification_kernel::neon {

// Entries for nibble values 0..15.
inline constexpr uint8_t kQuoteFamilyLow[16] = {0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                0x00, 0x02, 0x04, 0x00, 0x20, 0x08, 0x00, 0x00};
inline constexpr uint8_t kQuoteFamilyHigh[16] = {0x0E, 0x00, 0x11, 0x00, 0x00, 0x20, 0x00, 0x00,
                                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr uint8_t kStructuralHigh[16] = {0x00, 0x00, 0x10, 0x20, 0x00, 0x0C, 0x00, 0x03,
                                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr uint8_t kStructuralLow[16] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                               0x00, 0x00, 0x20, 0x05, 0x10, 0x0A, 0x00, 0x00};

inline constexpr uint8_t kWhitespaceBits = 0x0F;
inline constexpr uint8_t kQuoteBit = 0x10;
inline constexpr uint8_t kBackslashBit = 0x20;
inline constexpr uint8_t kOpenerBits = 0x05;
inline constexpr uint8_t kCloserBits = 0x0A;

inline constexpr uint8_t kByteWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};

inline namespace JORVANE_KERNEL_ISA_NS {

// One class test over the four lanes, each byte reduced to its weight.
struct Weighted {
    uint8x16_t lane[4];
};

JORVANE_KERNEL_INLINE uint8x16_t unzip_or(uint8x16_t a, uint8x16_t b) {
    return vorrq_u8(vuzp1q_u8(a, b), vuzp2q_u8(a, b));
}

// The first two rounds: 64 weighted bytes become 16, byte k holding bytes
// 4k..4k+3 of the chunk.
JORVANE_KERNEL_INLINE uint8x16_t fold_twice(const Weighted& w) {
    return unzip_or(unzip_or(w.lane[0], w.lane[1]), unzip_or(w.lane[2], w.lane[3]));
}

// The third round over two folded masks: the low 64 bits are the mask of
// `a`, the high 64 bits the mask of `b`.
JORVANE_KERNEL_INLINE uint64x2_t fold_pair(const Weighted& a, const Weighted& b) {
    return vreinterpretq_u64_u8(unzip_or(fold_twice(a), fold_twice(b)));
}

JORVANE_KERNEL_INLINE uint64_t prefix_xor_pmull(uint64_t x) {
    return vgetq_lane_u64(vreinterpretq_u64_p128(vmull_p64(poly64_t(x), poly64_t(~uint64_t(0)))), 0);
}

JORVANE_KERNEL_INLINE void classify_full_chunk(const uint8_t* chunk64, ChunkMasks& out, KernelCarry& carry) {
    const uint8x16x4_t text = vld1q_u8_x4(chunk64);
    const uint8x16_t quote_low = vld1q_u8(kQuoteFamilyLow);
    const uint8x16_t quote_high = vld1q_u8(kQuoteFamilyHigh);
    const uint8x16_t structural_low = vld1q_u8(kStructuralLow);
    const uint8x16_t structural_high = vld1q_u8(kStructuralHigh);
    const uint8x16_t weights = vld1q_u8(kByteWeights);
    const uint8x16_t low_nibble = vdupq_n_u8(0x0F);

    Weighted quote, backslash, whitespace, structural, openers, closers;
    for (int i = 0; i < 4; ++i) {
        const uint8x16_t x = text.val[i];
        const uint8x16_t low = vandq_u8(x, low_nibble);
        const uint8x16_t high = vshrq_n_u8(x, 4);
        const uint8x16_t family = vandq_u8(vqtbl1q_u8(quote_low, low), vqtbl1q_u8(quote_high, high));
        const uint8x16_t cls = vandq_u8(vqtbl1q_u8(structural_low, low), vqtbl1q_u8(structural_high, high));
        quote.lane[i] = vandq_u8(vtstq_u8(family, vdupq_n_u8(kQuoteBit)), weights);
        backslash.lane[i] = vandq_u8(vtstq_u8(family, vdupq_n_u8(kBackslashBit)), weights);
        whitespace.lane[i] = vandq_u8(vtstq_u8(family, vdupq_n_u8(kWhitespaceBits)), weights);
        structural.lane[i] = vandq_u8(vtstq_u8(cls, cls), weights);
        openers.lane[i] = vandq_u8(vtstq_u8(cls, vdupq_n_u8(kOpenerBits)), weights);
        closers.lane[i] = vandq_u8(vtstq_u8(cls, vdupq_n_u8(kCloserBits)), weights);
    }
    const uint64x2_t quote_backslash = fold_pair(quote, backslash);
    const uint64x2_t whitespace_structural = fold_pair(whitespace, structural);
    const uint64x2_t openers_closers = fold_pair(openers, closers);
    const detail::ClassMasks m{vgetq_lane_u64(quote_backslash, 0),       vgetq_lane_u64(quote_backslash, 1),
                               vgetq_lane_u64(whitespace_structural, 0), vgetq_lane_u64(whitespace_structural, 1),
                               vgetq_lane_u64(openers_closers, 0),       vgetq_lane_u64(openers_closers, 1)};
    detail::finish_chunk(m, out, carry, [](uint64_t q) { return prefix_xor_pmull(q); });
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::classification_kernel::neon
