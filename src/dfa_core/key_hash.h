// The hash of an object key's raw bytes, as the automaton's field map keys
// its names. The walk computes it once per key event, so it is cheap: a key
// of at most 16 bytes is read as two overlapping words (`key_words`) that
// together hold every byte, and the two words are mixed by one wide multiply;
// longer keys take the fixed-seed hash of util/hash.h over all their bytes
// (out of line: they are rare, and the walk's per-ISA files need not inline
// the hash's long-input loops).
// Two keys of at most 16 bytes and the same length are equal exactly when
// their words are.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/hash.h"

namespace jorvane::dfa_core {

inline constexpr size_t kShortKey = 16;

// The words of a key of at most 16 bytes: 8..16 bytes, the first and last
// eight; 4..7, the first and last four; 1..3, the first, middle and last byte.
[[gnu::always_inline]] inline void key_words(std::string_view key, uint64_t& a, uint64_t& b) {
    const char* p = key.data();
    const size_t n = key.size();
    if (n >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
    } else if (n >= 4) {
        uint32_t x, y;
        std::memcpy(&x, p, 4);
        std::memcpy(&y, p + n - 4, 4);
        a = x;
        b = y;
    } else if (n > 0) {
        a = uint64_t{static_cast<uint8_t>(p[0])} | uint64_t{static_cast<uint8_t>(p[n >> 1])} << 8 |
            uint64_t{static_cast<uint8_t>(p[n - 1])} << 16;
        b = 0;
    } else {
        a = 0;
        b = 0;
    }
}

[[gnu::always_inline]] inline uint64_t key_hash(std::string_view key) {
    if (key.size() > kShortKey) [[unlikely]]
        return hash_bytes(key);
    uint64_t a, b;
    key_words(key, a, b);
    const unsigned __int128 m = static_cast<unsigned __int128>(a ^ 0x9e3779b97f4a7c15ULL ^ kFixedHashSeed) *
                                (b ^ 0xc2b2ae3d27d4eb4fULL ^ (uint64_t{key.size()} << 56));
    return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
}

}  // namespace jorvane::dfa_core
