// Every number logged comes back with its bits, in order: zeros of either
// sign, infinities, NaN payloads, integers at the 2^53 edge, subnormals, and
// random bit patterns. (Replaying onto running figures is tested through
// the scans in ranges, tests/cpp/run/split_scan_test.cpp.)
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
    for (int i = 0; i < 3000; ++i) {
        const uint64_t r = rng();
        numbers.push_back(i % 2 ? std::bit_cast<double>(r) : static_cast<double>(static_cast<int64_t>(r) >> (r % 64)));
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
