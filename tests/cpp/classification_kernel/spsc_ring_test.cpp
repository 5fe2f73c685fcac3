// The pipelined scan's ring: order, no loss, and that neither side can be
// left waiting for one that has gone.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/walk/spsc_ring.h"

namespace jorvane::engine {
namespace {

// Shaped like a mask block: records and a fill count.
struct Block {
    uint64_t seq = 0;
    uint64_t words[23] = {};
    uint16_t count = 0;
};

Block make_block(uint64_t seq) {
    Block b;
    b.seq = seq;
    for (int i = 0; i < 23; ++i) b.words[i] = seq * 0x9E3779B97F4A7C15ULL + uint64_t(i);
    b.count = uint16_t(seq % 24);
    return b;
}

bool intact(const Block& b) {
    for (int i = 0; i < 23; ++i)
        if (b.words[i] != b.seq * 0x9E3779B97F4A7C15ULL + uint64_t(i)) return false;
    return b.count == uint16_t(b.seq % 24);
}

TEST(SpscRing, ProducerThreadPassesEveryBlockInOrder) {
    constexpr uint64_t kBlocks = 200000;
    SpscRing<Block> ring;
    std::thread producer([&] {
        SpscRing<Block>::CloseGuard guard(ring);
        for (uint64_t i = 0; i < kBlocks; ++i) ASSERT_TRUE(ring.push(make_block(i)));
        ring.finish();
    });
    uint64_t received = 0;
    bool in_order = true, all_intact = true;
    Block b;
    while (ring.pop(b)) {
        in_order &= b.seq == received;
        all_intact &= intact(b);
        ++received;
    }
    producer.join();
    EXPECT_EQ(received, kBlocks);
    EXPECT_TRUE(in_order);
    EXPECT_TRUE(all_intact);
    EXPECT_TRUE(ring.producer_done());
    EXPECT_FALSE(ring.pop(b));
}

TEST(SpscRing, PublishedBlocksAreReadAfterTheProducerFinished) {
    SpscRing<Block> ring;
    for (uint64_t i = 0; i < SpscRing<Block>::kCapacity; ++i) ASSERT_TRUE(ring.push(make_block(i)));
    ring.finish();
    Block b;
    for (uint64_t i = 0; i < SpscRing<Block>::kCapacity; ++i) {
        ASSERT_TRUE(ring.pop(b));
        EXPECT_EQ(b.seq, i);
    }
    EXPECT_FALSE(ring.pop(b));
}

TEST(SpscRing, ProducerUnwindingReleasesTheConsumer) {
    SpscRing<Block> ring;
    std::thread producer([&] {
        try {
            SpscRing<Block>::CloseGuard guard(ring);
            for (uint64_t i = 0; i < 100; ++i) ring.push(make_block(i));
            throw std::runtime_error("producer failed");
        } catch (const std::runtime_error&) {
        }
    });
    uint64_t received = 0;
    Block b;
    while (ring.pop(b)) EXPECT_EQ(b.seq, received++);
    producer.join();
    EXPECT_EQ(received, 100u);  // closed, not done, yet nothing published was lost
    EXPECT_FALSE(ring.producer_done());
}

TEST(SpscRing, ConsumerLeavingReleasesTheProducer) {
    SpscRing<Block> ring;
    uint64_t dropped = 0;
    std::thread producer([&] {
        for (uint64_t i = 0; i < 10000; ++i)
            if (!ring.push(make_block(i))) ++dropped;
        ring.finish();
    });
    {
        SpscRing<Block>::CloseGuard guard(ring);
        Block b;
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(ring.pop(b));
            EXPECT_EQ(b.seq, uint64_t(i));
        }
    }
    producer.join();  // would hang if a full, closed ring kept the producer waiting
    EXPECT_GE(dropped, 10000u - 5 - SpscRing<Block>::kCapacity);
}

}  // namespace
}  // namespace jorvane::engine
