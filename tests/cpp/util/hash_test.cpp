#include "util/hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace jorvane {
namespace {

TEST(Hash, FixedSeedIsStableAcrossProcessesAndAddresses) {
    // Pinned values: tables keyed by JSON values must number and order
    // their entries the same way in every process and on every machine.
    EXPECT_EQ(hash_bytes(std::string_view("")), 0x2f0f8fb9ef8c5b1ull);
    EXPECT_EQ(hash_bytes(std::string_view("jorvane")), 0xc406eff4e76c8606ull);

    const std::string text = "a somewhat longer key, past the sixteen-byte short path";
    alignas(16) char buf[80];
    for (size_t offset = 0; offset < 16; ++offset) {
        std::memcpy(buf + offset, text.data(), text.size());
        EXPECT_EQ(hash_bytes(buf + offset, text.size()), hash_bytes(text));
    }
    EXPECT_NE(hash_bytes(text), hash_bytes(text, kFixedHashSeed + 1));
}

TEST(Hash, CombineIsOrderDependentAndInjectivePerState) {
    EXPECT_NE(hash_combine(hash_combine(1, 2), 3), hash_combine(hash_combine(1, 3), 2));
    std::set<uint64_t> seen;
    for (uint64_t v = 0; v < 4096; ++v) seen.insert(hash_combine(0x1234, v));
    EXPECT_EQ(seen.size(), 4096u);
}

TEST(Hash, RandomSeedIsDrawnOnce) {
    EXPECT_EQ(random_seed(), random_seed());
}

}  // namespace
}  // namespace jorvane
