// ValueHasher: the fixed-seed streaming hasher behind every table keyed by
// JSON values. Words are folded in with a 64-bit mix, byte strings with the
// fixed-seed XXH3 of src/util/hash.h, so a hash depends only on the sequence
// of writes and never on the process, the thread or an address.
#pragma once

#include <cstdint>
#include <string_view>

#include "util/hash.h"

namespace jorvane::engine {

class ValueHasher {
public:
    void write_u8(uint8_t v) { mix(v | 0x100u); }
    void write_u64(uint64_t v) { mix(v); }
    // A string: its bytes as one write, then the byte 0xFF.
    void write_str(std::string_view s) {
        mix(hash_bytes(s.data(), s.size()));
        write_u8(0xFF);
    }
    // A raw byte string (no terminator).
    void write_bytes(std::string_view s) { mix(hash_bytes(s.data(), s.size())); }
    uint64_t finish() const { return state_; }

private:
    void mix(uint64_t v) {
        uint64_t x = (state_ ^ v) + 0x9e3779b97f4a7c15ULL;
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ULL;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebULL;
        x ^= x >> 31;
        state_ = x + (state_ << 7 | state_ >> 57);
    }
    uint64_t state_ = kFixedHashSeed;
};

}  // namespace jorvane::engine
