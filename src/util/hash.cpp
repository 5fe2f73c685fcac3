#include "util/hash.h"

#include <sys/random.h>

#include <chrono>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace jorvane {

uint64_t hash_bytes(const void* data, size_t len, uint64_t seed) {
    return XXH3_64bits_withSeed(data, len, seed);
}

uint64_t hash_combine(uint64_t h, uint64_t v) {
    // 64-bit mix (from the splitmix64 finaliser) of the pair.
    uint64_t x = h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

uint64_t random_seed() {
    static const uint64_t seed = [] {
        uint64_t s = 0;
        if (getrandom(&s, sizeof s, 0) != static_cast<ssize_t>(sizeof s)) {
            s = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        }
        return s;
    }();
    return seed;
}

}  // namespace jorvane
