// Saturating arithmetic on byte counts: a count that would pass the largest
// u64 stays there.
#pragma once

#include <cstdint>
#include <limits>

namespace jorvane {

constexpr uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

}  // namespace jorvane
