#include "util/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace jorvane {
namespace {

using namespace std::chrono_literals;

TEST(Channel, UnboundedKeepsOrderAcrossGrowth) {
    auto [tx, rx] = unbounded_channel<int>();
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(tx.send(i).ok());
    for (int i = 0; i < 500; ++i) ASSERT_EQ(*rx.recv(), i);
    for (int i = 1000; i < 1700; ++i) ASSERT_TRUE(tx.send(i).ok());
    for (int i = 500; i < 1700; ++i) ASSERT_EQ(*rx.recv(), i);
    auto empty = rx.try_recv();
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error(), RecvError::Empty);
}

TEST(Channel, DeadlineReceive) {
    auto [tx, rx] = unbounded_channel<std::string>();
    auto r = rx.recv_deadline(std::chrono::steady_clock::now() + 5ms);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), RecvError::Timeout);
    // A deadline already past still returns a queued item.
    ASSERT_TRUE(tx.send("x").ok());
    auto v = rx.recv_deadline(std::chrono::steady_clock::now() - 1s);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(*v, "x");
    {
        auto gone = std::move(tx);
    }
    auto d = rx.recv_timeout(1h);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error(), RecvError::Disconnected);
}

TEST(Channel, SendersGoneDrainsThenDisconnects) {
    auto [tx, rx] = bounded_channel<int>(4);
    auto tx2 = tx;  // copies count
    ASSERT_TRUE(tx.send(1).ok());
    ASSERT_TRUE(tx2.send(2).ok());
    { auto gone = std::move(tx); }
    EXPECT_EQ(rx.try_recv().value(), 1);
    EXPECT_EQ(rx.try_recv().value(), 2);
    EXPECT_EQ(rx.try_recv().error(), RecvError::Empty);  // tx2 still alive
    ASSERT_TRUE(tx2.send(3).ok());
    { auto gone = std::move(tx2); }
    EXPECT_EQ(*rx.recv(), 3);
    EXPECT_EQ(rx.recv().error(), RecvError::Disconnected);
    EXPECT_EQ(rx.try_recv().error(), RecvError::Disconnected);
}

TEST(Channel, BlockedReceiverWakesOnDisconnect) {
    auto [tx, rx] = unbounded_channel<int>();
    std::thread t([r = std::move(rx)]() mutable {
        auto v = r.recv();
        EXPECT_FALSE(v.ok());
        EXPECT_EQ(v.error(), RecvError::Disconnected);
    });
    { auto gone = std::move(tx); }
    t.join();
}

TEST(Channel, ReceiversGoneFailsSendsAndWakesBlockedSender) {
    auto [tx, rx] = bounded_channel<std::unique_ptr<int>>(1);
    ASSERT_TRUE(tx.send(std::make_unique<int>(1)).ok());
    // The channel is full: this send waits until the receiver is dropped and
    // then hands its value back.
    std::thread t([s = tx]() mutable {
        auto r = s.send(std::make_unique<int>(7));
        ASSERT_FALSE(r.ok());
        ASSERT_TRUE(r.error().value);
        EXPECT_EQ(*r.error().value, 7);
    });
    auto rx2 = rx;
    { auto gone = std::move(rx); }
    EXPECT_FALSE(tx.is_disconnected());  // rx2 remains
    { auto gone = std::move(rx2); }
    t.join();
    EXPECT_TRUE(tx.is_disconnected());
    EXPECT_FALSE(tx.send(std::make_unique<int>(3)).ok());
}

TEST(Channel, ManyProducersManyConsumers) {
    constexpr int kProducers = 6, kConsumers = 3, kEach = 20000;
    auto [tx, rx] = bounded_channel<std::pair<int, int>>(4);
    std::vector<std::thread> threads;
    std::atomic<long long> sum{0};
    std::atomic<int> count{0};
    std::atomic<bool> in_order{true};
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, r = rx] () mutable {
            std::vector<int> last(kProducers, -1);
            for (;;) {
                auto v = r.recv();
                if (!v) break;
                auto [p, i] = *v;
                // Items of one producer reach one consumer in send order.
                if (i <= last[p]) in_order = false;
                last[p] = i;
                sum += i;
                ++count;
            }
        });
    }
    { auto gone = std::move(rx); }
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([p, s = tx]() mutable {
            for (int i = 0; i < kEach; ++i) ASSERT_TRUE(s.send({p, i}).ok());
        });
    }
    { auto gone = std::move(tx); }
    for (auto& t : threads) t.join();
    EXPECT_EQ(count.load(), kProducers * kEach);
    EXPECT_EQ(sum.load(), static_cast<long long>(kProducers) * kEach * (kEach - 1) / 2);
    EXPECT_TRUE(in_order.load());
}

}  // namespace
}  // namespace jorvane
