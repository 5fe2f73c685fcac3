// Bracket counting: how a walk passes over a container in which nothing can
// match without reading its tokens. Only the chunk masks of openers and
// closers outside strings are read, with popcounts, a whole chunk at a time:
// while a chunk holds fewer closers than containers are open, none of them
// can close the skipped one, and the depth moves by the two counts. Only a
// chunk with enough closers is looked at closer by closer, counting the
// openers before each.
//
// Forced inline into the general walk's skip (walk_chunk.h) and into the
// fast and row walks, so that the counting stays in registers there.
#pragma once

#include <bit>
#include <cstdint>

#include "classification_kernel/kernel_core.h"
#include "engine/walk/walk_state.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

// Positions strictly after bit k.
[[gnu::always_inline]] inline uint64_t after_bit(uint64_t mask, unsigned k) {
    return k >= 63 ? 0 : mask & (~uint64_t{0} << (k + 1));
}

// Counts one chunk's openers `open` and closers `close` into a skip `depth`
// containers deep. Returns the bit of the closer that closes the skipped
// container, or 64 when the skip goes on past the chunk (`depth` is then
// the depth after the chunk).
[[gnu::always_inline]] inline unsigned skip_closer(uint64_t open, uint64_t close, uint64_t& depth) {
    const uint64_t closes = static_cast<uint64_t>(std::popcount(close));
    if (closes < depth) [[likely]] {
        depth += static_cast<uint64_t>(std::popcount(open)) - closes;
        return 64;
    }
    while (close) {
        const uint64_t below = (close & (0 - close)) - 1;
        depth += static_cast<uint64_t>(std::popcount(open & below));
        open &= ~below;
        depth -= 1;
        if (depth == 0) return static_cast<unsigned>(std::countr_zero(close));
        close &= close - 1;
    }
    depth += static_cast<uint64_t>(std::popcount(open));
    return 64;
}

// Passes over the container whose opener is at `p`, in the cursor's chunk
// `chunk` (its first byte; `bits` the positions not yet walked), reading
// later chunks' masks in place (`chunks.next_masks`). Returns its closer,
// with the cursor, `chunk` and `bits` moved to the closer's chunk and
// `bits` holding the positions after the closer. Returns null when the
// buffer ends first: `bits` is then empty and `depth` the number of
// containers still open.
template <class Chunks>
[[gnu::always_inline]] inline const uint8_t* skip_container(Chunks& chunks, ChunkCursor& c, const uint8_t* buf,
                                                            const uint8_t*& chunk, uint64_t& bits, const uint8_t* p,
                                                            uint64_t& depth) {
    const uint64_t from = after_bit(~uint64_t{0}, static_cast<unsigned>(p - chunk));
    uint64_t open = c.openers & from;
    uint64_t close = c.closers & from;
    depth = 1;
    uint64_t at = static_cast<uint64_t>(chunk - buf);      // the buffer position of the chunk counted
    const classification_kernel::ChunkMasks* m = nullptr;  // its masks, once past the cursor's
    for (;;) {
        const unsigned k = skip_closer(open, close, depth);
        if (k < 64) [[unlikely]] {
            if (m != nullptr) {
                // The cursor moves to the chunk of the closer.
                c.base = at;
                c.openers = m->openers;
                c.closers = m->closers;
                bits = m->structural;
                chunk = buf + at;
            }
            bits = after_bit(bits, k);
            return chunk + k;
        }
        m = chunks.next_masks(at);
        if (m == nullptr) [[unlikely]] {
            bits = 0;
            return nullptr;
        }
        open = m->openers;
        close = m->closers;
    }
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
