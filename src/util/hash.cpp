// XXH3 (64-bit) for byte strings, a splitmix64-style finaliser for combining
// words, and the per-process random seed.
#include "util/hash.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace jorvane {

uint64_t hash_bytes(const void* data, size_t len, uint64_t seed) {
    return XXH3_64bits_withSeed(data, len, seed);
}

uint64_t hash_combine(uint64_t h, uint64_t v) {
    // For a fixed h the pre-mix is a bijection of v, and the finaliser is a
    // bijection, so distinct words never collide under one running hash.
    uint64_t x = h ^ (v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

uint64_t random_seed() {
    // Drawn on first use (thread-safe static initialisation) and kept for
    // the life of the process.
    static const uint64_t seed = [] {
        // getentropy, unlike getrandom, exists on every POSIX system the
        // build targets (Linux, the BSDs, macOS).
        uint64_t s = 0;
        if (getentropy(&s, sizeof s) != 0) {
            // No system random source: the clock and the process id still
            // differ from run to run.
            const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
            s = hash_combine(hash_combine(0, static_cast<uint64_t>(now)), static_cast<uint64_t>(getpid()));
        }
        return s;
    }();
    return seed;
}

}  // namespace jorvane
