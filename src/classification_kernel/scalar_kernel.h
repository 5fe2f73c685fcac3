// The portable stage-1 kernel: no vector instructions. Each byte's classes
// come from one 256-entry table (one bit per class); eight class bytes at a
// time are packed into one byte per class with a multiply that gathers bit k
// of each of the eight bytes into one byte, and the prefix XOR is done by
// shift-and-XOR. Compiles for any target.
#pragma once

#include <array>
#include <cstdint>

#include "classification_kernel/kernel_core.h"

namespace jorvane::classification_kernel::scalar {

namespace table {
inline constexpr uint8_t kQuote = 0x01;
inline constexpr uint8_t kBackslash = 0x02;
inline constexpr uint8_t kWhitespace = 0x04;
inline constexpr uint8_t kStructural = 0x08;
inline constexpr uint8_t kOpener = 0x10;
inline constexpr uint8_t kCloser = 0x20;

inline constexpr std::array<uint8_t, 256> kByteClasses = [] {
    std::array<uint8_t, 256> t{};
    t[' '] = t['\t'] = t['\n'] = t['\r'] = kWhitespace;
    t['"'] = kQuote;
    t['\\'] = kBackslash;
    t[','] = t[':'] = kStructural;
    t['{'] = t['['] = kStructural | kOpener;
    t['}'] = t[']'] = kStructural | kCloser;
    return t;
}();
}  // namespace table

inline namespace JORVANE_KERNEL_ISA_NS {

// Bit k of each byte of `w` (byte j of the word = byte j of the text),
// gathered into bit j of the result.
JORVANE_KERNEL_INLINE uint64_t gather_bit(uint64_t w, int k) {
    return (((w >> k) & 0x0101010101010101ULL) * 0x0102040810204080ULL) >> 56;
}

JORVANE_KERNEL_INLINE void classify_full_chunk(const uint8_t* chunk64, ChunkMasks& out, KernelCarry& carry) {
    detail::ClassMasks m{0, 0, 0, 0, 0, 0};
    for (int g = 0; g < 8; ++g) {
        const uint8_t* p = chunk64 + 8 * g;
        uint64_t w = 0;
        for (int j = 0; j < 8; ++j) w |= uint64_t(table::kByteClasses[p[j]]) << (8 * j);
        const int shift = 8 * g;
        m.quote |= gather_bit(w, 0) << shift;
        m.backslash |= gather_bit(w, 1) << shift;
        m.whitespace |= gather_bit(w, 2) << shift;
        m.structural |= gather_bit(w, 3) << shift;
        m.openers |= gather_bit(w, 4) << shift;
        m.closers |= gather_bit(w, 5) << shift;
    }
    detail::finish_chunk(m, out, carry, [](uint64_t q) { return detail::prefix_xor_portable(q); });
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::classification_kernel::scalar
