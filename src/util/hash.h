// The fixed-seed fast hash used for every table keyed by JSON values, field
// names, automaton state sets and profile paths, so numbering and iteration
// orders never depend on the process. (Tables keyed by source labels and file
// paths use random_seed() instead.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace jorvane {

inline constexpr uint64_t kFixedHashSeed = 0x6a6f7276616e6531ULL;

uint64_t hash_bytes(const void* data, size_t len, uint64_t seed = kFixedHashSeed);
inline uint64_t hash_bytes(std::string_view s, uint64_t seed = kFixedHashSeed) {
    return hash_bytes(s.data(), s.size(), seed);
}
// Mixes a 64-bit word into a running hash (order-dependent).
uint64_t hash_combine(uint64_t h, uint64_t v);
// A seed drawn once per process from the system's random source.
uint64_t random_seed();

}  // namespace jorvane
