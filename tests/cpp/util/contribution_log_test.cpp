// The contribution log against a running figure that took the same numbers:
// every number comes back with its bits (zeros of either sign, infinities,
// NaN, integers at the 2^53 edge, subnormals), and replaying onto any start
// takes the same rounding steps.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "util/contribution_log.h"

namespace jorvane {
namespace {

std::vector<double> edge_numbers() {
    const double inf = std::numeric_limits<double>::infinity();
    return {0.0, -0.0, 1.0, -1.0, 63.0, -64.0, 64.0, 8191.0, 9007199254740991.0, -9007199254740991.0,
            9007199254740992.0, -9007199254740992.0, 1e300, -1e-300, 4.9e-324, 0.1, -2.5, 1e22, inf, -inf,
            std::numeric_limits<double>::quiet_NaN(), std::bit_cast<double>(uint64_t{0x7ff8000000000123})};
}

TEST(ContributionLog, NumbersComeBackBitForBitInOrder) {
    std::vector<double> numbers = edge_numbers();
    std::mt19937_64 rng(7);
    for (int i = 0; i < 5000; ++i) {
        const uint64_t r = rng();
        switch (r % 3) {
            case 0: numbers.push_back(static_cast<double>(static_cast<int64_t>(rng() >> (r % 60)) * (r & 8 ? -1 : 1))); break;
            case 1: numbers.push_back(static_cast<double>(static_cast<int64_t>(rng() % 200000) - 100000) / 1000.0); break;
            default: numbers.push_back(std::bit_cast<double>(rng())); break;
        }
    }
    ContributionLog log;
    for (int round = 0; round < 2; ++round) {  // the second after clear(), in kept memory
        log.clear();
        for (double x : numbers) log.add(x);
        ASSERT_EQ(log.size(), numbers.size());
        std::vector<uint64_t> back;
        log.for_each([&](double x) { back.push_back(std::bit_cast<uint64_t>(x)); });
        ASSERT_EQ(back.size(), numbers.size());
        for (size_t i = 0; i < numbers.size(); ++i)
            ASSERT_EQ(back[i], std::bit_cast<uint64_t>(numbers[i])) << i << ": " << numbers[i];
    }
}

TEST(ContributionLog, ReplayTakesTheRunningFiguresSteps) {
    // Terms mixing integers and fractions, factors near 1, and starts other
    // than the identity (the figure of the ranges before).
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 50; ++trial) {
        ContributionLog terms, factors;
        const double start_sum = 0.1 * trial;
        const double start_product = 1.0 + trial / 7.0;
        double sum = start_sum, product = start_product;
        for (int i = 0; i < 300; ++i) {
            const double x = rng() % 4 == 0 ? static_cast<double>(rng() % 100000)
                                            : static_cast<double>(rng() % 2000000) / 999.0 - 1000.0;
            const double f = 1.0 + static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000) / 1e4;
            sum += x;
            product *= f;
            terms.add(x);
            factors.add(f);
        }
        EXPECT_EQ(std::bit_cast<uint64_t>(terms.add_onto(start_sum)), std::bit_cast<uint64_t>(sum)) << trial;
        EXPECT_EQ(std::bit_cast<uint64_t>(factors.multiply_onto(start_product)), std::bit_cast<uint64_t>(product))
            << trial;
    }
}

TEST(ContributionLog, SmallIntegersTakeAByteEach) {
    ContributionLog log;
    for (int i = -32; i < 32; ++i) log.add(i);
    EXPECT_EQ(log.bytes(), 64u);
    log.add(0.5);
    log.add(-0.0);
    EXPECT_EQ(log.bytes(), 64u + 18u);
}

}  // namespace
}  // namespace jorvane
