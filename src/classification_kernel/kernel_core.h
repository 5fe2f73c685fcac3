// The part of stage-1 classification that every kernel shares: given the
// per-class masks of one 64-byte chunk (quotes, backslashes, whitespace,
// structural characters, openers, closers), compute the three output masks
// and advance the carry.
//
// Escapes. A byte is escaped when it follows a run of backslashes of odd
// length (runs may start in earlier chunks; `backslash_run` says whether the
// carried run is odd, even, or absent). For the runs starting in this chunk,
// adding the run-start bits to the backslash mask carries each start to the
// first byte after its run; the parity of that end position against the
// parity of the start tells whether the run is odd. Runs starting at odd and
// at even positions are handled by two additions so that a run's parity is a
// fixed-position test. A run continued from the previous chunk is handled
// apart by counting the backslashes at the start of the chunk. The whole
// backslash computation is skipped when the chunk holds no backslash.
//
// Strings. The bytes inside strings are the prefix XOR of the unescaped
// quotes (bit i = XOR of bits 0..i), flipped when the previous chunk ended
// inside a string: an opening quote and the string body are set, the closing
// quote is clear. Each kernel supplies its own prefix XOR (a carry-less
// multiply by all ones, or shift-and-XOR).
//
// Scalar starts are bytes outside strings that are not whitespace and whose
// previous byte is whitespace, an unescaped quote or a structural character
// outside a string; the carried `prev_separator` stands for the byte before
// the first.
//
// Every function here is forced inline and lives in an inline namespace named
// after the instruction set the including file is compiled for, so that
// copies compiled with different flags never merge at link time.
#pragma once

#include <bit>
#include <cstdint>

#include "classification_kernel/kernel.h"
#include "util/force_inline.h"

#if defined(__AVX512BW__) && defined(__AVX512VL__)
#define JORVANE_KERNEL_ISA_NS isa_avx512
#elif defined(__AVX2__)
#define JORVANE_KERNEL_ISA_NS isa_avx2
#elif defined(__aarch64__) && defined(__ARM_FEATURE_AES)
#define JORVANE_KERNEL_ISA_NS isa_neon
#else
#define JORVANE_KERNEL_ISA_NS isa_base
#endif

#define JORVANE_KERNEL_INLINE JORVANE_FORCE_INLINE

namespace jorvane::classification_kernel::detail {

// Class tables shared by the x86 vector kernels (entries for nibble values
// 0..15; the Arm kernel has tables of its own).
//
// Whitespace: the entry at a byte's low nibble equals the byte exactly when it
// is one of the four whitespace bytes (0x20 at 0, 0x09, 0x0A, 0x0D); bytes
// >= 0x80 look up 0 and never match.
inline constexpr uint8_t kWhitespaceTable[16] = {0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0x09, 0x0A, 0, 0, 0x0D, 0, 0};
// Structural characters: class = low-nibble entry AND high-nibble entry.
// The bits are chosen so that '{' and '[' share one bit (the top one, read
// directly by a sign-bit extraction) and '}' and ']' another.
inline constexpr uint8_t kClassOpener = 0x80;
inline constexpr uint8_t kClassCloser = 0x40;
inline constexpr uint8_t kClassComma = 0x02;
inline constexpr uint8_t kClassColon = 0x01;
inline constexpr uint8_t kStructuralLowTable[16] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, kClassColon, kClassOpener, kClassComma, kClassCloser, 0, 0};
inline constexpr uint8_t kStructuralHighTable[16] = {
    0, 0, kClassComma, kClassColon, 0, kClassOpener | kClassCloser, 0, kClassOpener | kClassCloser,
    0, 0, 0, 0, 0, 0, 0, 0};

// A 16-entry table repeated over a 64-byte vector (one copy per 128-bit lane).
struct LaneTable {
    alignas(64) uint8_t bytes[64];
};
constexpr LaneTable repeat_lanes(const uint8_t (&t)[16]) {
    LaneTable r{};
    for (int i = 0; i < 64; ++i) r.bytes[i] = t[i % 16];
    return r;
}
inline constexpr LaneTable kWhitespaceLanes = repeat_lanes(kWhitespaceTable);
inline constexpr LaneTable kStructuralLowLanes = repeat_lanes(kStructuralLowTable);
inline constexpr LaneTable kStructuralHighLanes = repeat_lanes(kStructuralHighTable);

// The per-class masks of one chunk (bit i = byte i).
struct ClassMasks {
    uint64_t quote;
    uint64_t backslash;
    uint64_t whitespace;
    uint64_t structural;  // all six structural characters
    uint64_t openers;     // '{' and '['
    uint64_t closers;     // '}' and ']'
};

inline constexpr uint64_t kEvenBits = 0x5555555555555555ULL;
inline constexpr uint64_t kOddBits = 0xAAAAAAAAAAAAAAAAULL;

inline namespace JORVANE_KERNEL_ISA_NS {

// Bit i = XOR of bits 0..i, by shift-and-XOR.
JORVANE_KERNEL_INLINE uint64_t prefix_xor_portable(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// Escaped positions of a chunk that holds at least one backslash; updates
// `run` (the carried `backslash_run`).
JORVANE_KERNEL_INLINE uint64_t escaped_with_backslashes(uint64_t bs, uint8_t& run) {
    const uint8_t r0 = run;
    const bool continues = r0 != 2;
    const uint64_t starts = bs & ~((bs << 1) | uint64_t(continues));
    uint64_t escaped = ((((starts & kOddBits) + bs) & ~bs) & kEvenBits) |
                       ((((starts & kEvenBits) + bs) & ~bs) & kOddBits);
    if (continues) {
        const int n = std::countr_one(bs);
        if (n < 64 && ((n & 1) == 0) == (r0 == 0)) escaped |= uint64_t(1) << n;
    }
    const int t = std::countl_one(bs);
    if (t == 0) {
        run = 2;
    } else if (t == 64) {
        if (r0 == 2) run = 1;
    } else {
        run = (t & 1) ? 0 : 1;
    }
    return escaped;
}

// Completes one chunk from its class masks. `PrefixXor` maps a quote mask to
// its prefix XOR.
template <class PrefixXor>
JORVANE_KERNEL_INLINE void finish_chunk(const ClassMasks& m, ChunkMasks& out, KernelCarry& carry,
                                        PrefixXor prefix_xor) {
    uint64_t escaped;
    if (__builtin_expect(m.backslash == 0, 1)) {
        escaped = carry.backslash_run == 0 ? 1 : 0;
        carry.backslash_run = 2;
    } else {
        escaped = escaped_with_backslashes(m.backslash, carry.backslash_run);
    }
    const uint64_t quotes = m.quote & ~escaped;
    const uint64_t in_string = prefix_xor(quotes) ^ (uint64_t(0) - uint64_t(carry.in_string));
    carry.in_string = uint8_t(in_string >> 63);
    const uint64_t separators = (m.structural & ~in_string) | quotes;
    const uint64_t before_scalar = separators | m.whitespace;
    const uint64_t scalar_starts = (uint64_t(carry.prev_separator) | (before_scalar << 1)) & ~(in_string | m.whitespace);
    carry.prev_separator = uint8_t(before_scalar >> 63);
    out.structural = scalar_starts | separators;
    out.openers = m.openers & ~in_string;
    out.closers = m.closers & ~in_string;
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::classification_kernel::detail
