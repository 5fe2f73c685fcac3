// The bytes an engine keeps for an error's context, fed an input in buffers
// of many lengths (empty, shorter than a word, across word edges, longer
// than what is kept): the last bytes before each buffer, and the bytes before
// a token cut at any position of a buffer, are the input's own, at their
// absolute offsets.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "engine/near_bytes.h"

namespace jorvane::engine {
namespace {

// An input whose every byte tells its offset apart from its neighbours'.
std::vector<uint8_t> input(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return out;
}

std::vector<uint8_t> bytes_of(const KnownBytes& k) { return {k.bytes.begin(), k.bytes.end()}; }

std::vector<uint8_t> slice(const std::vector<uint8_t>& in, uint64_t from, uint64_t to) {
    return {in.begin() + static_cast<std::ptrdiff_t>(from), in.begin() + static_cast<std::ptrdiff_t>(to)};
}

TEST(NearBytes, KeepsTheInputJustBeforeEachBufferAndEachCutToken) {
    const std::vector<std::vector<size_t>> cuts = {
        {0, 1, 7, 8, 9, 0, 63, 64, 65},
        {127, 1, 128, 129, 3},
        {300, 5, 0, 200, 1, 1, 1},
        {13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13},
    };
    for (const auto& lens : cuts) {
        size_t total = 0;
        for (size_t n : lens) total += n;
        const std::vector<uint8_t> in = input(total);
        RecentBytes recent;
        uint64_t at = 0;
        for (size_t n : lens) {
            const std::string where = "buffer of " + std::to_string(n) + " at " + std::to_string(at);
            // What an error early in this buffer reaches back to.
            const KnownBytes before = recent.before(at);
            const uint64_t kept = std::min<uint64_t>(at, RecentBytes::kKept);
            EXPECT_EQ(before.at, at - kept) << where;
            EXPECT_EQ(bytes_of(before), slice(in, at - kept, at)) << where;

            const std::span<const uint8_t> buffer(in.data() + at, n);
            for (size_t p = 0; p < n; ++p) {
                TokenLead lead;
                lead.keep(recent, at, buffer, p);
                const KnownBytes k = lead.known();
                const uint64_t from = std::max<uint64_t>(at - kept, near_begin(at + p));
                EXPECT_EQ(k.at, from) << where << ", token at " << p;
                EXPECT_EQ(bytes_of(k), slice(in, from, at + p + 1)) << where << ", token at " << p;
            }
            recent.push(buffer);
            at += n;
        }
    }
}

}  // namespace
}  // namespace jorvane::engine
