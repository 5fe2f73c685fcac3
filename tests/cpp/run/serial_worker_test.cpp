// SerialWorker: tasks run one at a time in the order handed over, wait()
// sees all of them done, a full queue holds the caller back rather than
// growing, and a task that throws stops the rest and is raised by wait().
#include "run/serial_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <vector>

namespace jorvane::run {
namespace {

TEST(SerialWorker, RunsTasksInOrderAndWaitSeesThemDone) {
    std::vector<int> seen;
    std::atomic<int> running{0}, most{0};
    SerialWorker worker(2);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 100; ++i)
            worker.submit([&, i] {
                most = std::max(most.load(), ++running);
                seen.push_back(round * 100 + i);
                --running;
            });
        worker.wait();
        ASSERT_EQ(seen.size(), static_cast<size_t>(100 * (round + 1)));  // read here, after wait: no race
    }
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int>(i));
    EXPECT_EQ(most.load(), 1);
}

TEST(SerialWorker, AFailedTaskEndsTheWorkAndIsRaisedByWait) {
    SerialWorker worker;
    int after = 0;
    worker.submit([] { throw std::bad_alloc(); });
    for (int i = 0; i < 10; ++i) worker.submit([&] { ++after; });
    EXPECT_THROW(worker.wait(), std::bad_alloc);
    EXPECT_EQ(after, 0);
}

}  // namespace
}  // namespace jorvane::run
