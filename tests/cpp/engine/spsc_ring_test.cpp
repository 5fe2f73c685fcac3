// The pipelined scan's ring: order, no loss, that neither side can be left
// waiting for one that has gone, and that a waiting side sleeps.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
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

namespace jorvane::engine {
namespace {

// CPU time a thread has used, in seconds.
double thread_cpu_seconds(std::thread& t) {
    clockid_t clock;
    if (pthread_getcpuclockid(t.native_handle(), &clock) != 0) return 0;
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Polls `cond` for up to 20 s.
template <class Cond>
bool eventually(Cond cond) {
    for (int i = 0; i < 20000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

TEST(SpscRing, AnIdleConsumerSleepsInsteadOfSpinning) {
    SpscRing<Block> ring;
    std::atomic<uint64_t> got{~uint64_t{0}};
    std::thread consumer([&] {
        Block b;
        if (ring.pop(b)) got = b.seq;
    });
    ASSERT_TRUE(eventually([&] { return ring.consumer_asleep(); }));
    const double before = thread_cpu_seconds(consumer);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(thread_cpu_seconds(consumer) - before, 0.02);  // asleep, not spinning
    EXPECT_EQ(got.load(), ~uint64_t{0});
    ASSERT_TRUE(ring.push(make_block(7)));  // wakes it
    consumer.join();
    EXPECT_EQ(got.load(), 7u);
}

TEST(SpscRing, AProducerOnAFullRingSleepsUntilHalfIsFree) {
    SpscRing<Block> ring;
    for (uint64_t i = 0; i < SpscRing<Block>::kCapacity; ++i) ASSERT_TRUE(ring.push(make_block(i)));
    std::atomic<bool> pushed{false};
    std::thread producer([&] {
        EXPECT_TRUE(ring.push(make_block(SpscRing<Block>::kCapacity)));
        pushed = true;
    });
    ASSERT_TRUE(eventually([&] { return ring.producer_asleep(); }));
    const double before = thread_cpu_seconds(producer);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(thread_cpu_seconds(producer) - before, 0.02);
    Block b;
    // One free slot does not wake it...
    ASSERT_TRUE(ring.pop(b));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(pushed.load());
    EXPECT_TRUE(ring.producer_asleep());
    // ...half the ring does.
    for (uint64_t i = 1; i < SpscRing<Block>::kWakeFree; ++i) ASSERT_TRUE(ring.pop(b));
    producer.join();
    EXPECT_TRUE(pushed.load());
    for (uint64_t i = SpscRing<Block>::kWakeFree; i <= SpscRing<Block>::kCapacity; ++i) {
        ASSERT_TRUE(ring.pop(b));
        EXPECT_EQ(b.seq, i);
        EXPECT_TRUE(intact(b));
    }
}

TEST(SpscRing, ClosingWakesASleepingSide) {
    {
        SpscRing<Block> ring;
        std::thread consumer([&] {
            Block b;
            EXPECT_FALSE(ring.pop(b));
        });
        ASSERT_TRUE(eventually([&] { return ring.consumer_asleep(); }));
        ring.close();
        consumer.join();
    }
    {
        SpscRing<Block> ring;
        for (uint64_t i = 0; i < SpscRing<Block>::kCapacity; ++i) ASSERT_TRUE(ring.push(make_block(i)));
        std::thread producer([&] { EXPECT_EQ(ring.claim(), nullptr); });
        ASSERT_TRUE(eventually([&] { return ring.producer_asleep(); }));
        ring.close();
        producer.join();
    }
}

TEST(SpscRing, RoundsAfterRearmPassEveryBlockInPlace) {
    SpscRing<Block> ring;
    uint64_t seq = 0;
    for (int round = 0; round < 50; ++round) {
        const uint64_t n = 1 + uint64_t(round) * 37 % 200;
        const uint64_t first = seq;
        std::thread producer([&, first, n] {
            for (uint64_t i = 0; i < n; ++i) {
                Block* slot = ring.claim();
                if (!slot) break;  // the consumer left early
                *slot = make_block(first + i);
                ring.publish();
            }
            ring.finish();
        });
        uint64_t received = 0;
        // Some rounds leave early: the rest is dropped and the producer released.
        const uint64_t keep = round % 5 == 4 ? n / 2 : n;
        {
            SpscRing<Block>::CloseGuard guard(ring);
            while (received < keep) {
                const Block* b = ring.front();
                ASSERT_NE(b, nullptr);
                EXPECT_EQ(b->seq, first + received);
                EXPECT_TRUE(intact(*b));
                ring.release();
                ++received;
            }
            if (keep == n) {
                EXPECT_EQ(ring.front(), nullptr);
            }
        }
        producer.join();
        seq += n;
        ring.rearm();
        EXPECT_EQ(ring.peek(), nullptr);
        EXPECT_FALSE(ring.closed());
        EXPECT_FALSE(ring.producer_done());
    }
}

}  // namespace
}  // namespace jorvane::engine
