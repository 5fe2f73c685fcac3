// The hash of an object key's raw bytes: the fixed-seed XXH3 of util/hash.h,
// inlined here because the walk computes it once per key event.
#pragma once

#include <cstdint>
#include <string_view>

#include "util/hash.h"

#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

namespace jorvane::engine {

inline uint64_t key_hash(std::string_view key) { return XXH3_64bits_withSeed(key.data(), key.size(), kFixedHashSeed); }

}  // namespace jorvane::engine
