// HeldAhead: what the outputs of ranges scanned ahead of the merge hold, and
// the walkers that wait for it to shrink. A consumer whose outputs grow with
// the input counts what each output holds as a walker keeps it, and releases
// it as the merge hands the output on or drops it; a walker waits before its
// next buffer while more is held than the bounds allow, unless its range is
// the one the merge takes next. That range never waits, so the merge always
// gets on and what is held always shrinks again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace jorvane::run {

class HeldAhead {
public:
    // Walkers wait while more than `bytes_limit` bytes are held (0: no
    // bound) or more weight than `weight_room` says is left (null: no bound;
    // the consumer may change it as it goes).
    HeldAhead(uint64_t bytes_limit, const std::atomic<uint64_t>* weight_room)
        : bytes_limit_(bytes_limit), weight_room_(weight_room) {}
    HeldAhead(const HeldAhead&) = delete;
    HeldAhead& operator=(const HeldAhead&) = delete;

    void add(uint64_t bytes, uint64_t weight);
    void release(uint64_t bytes, uint64_t weight);
    // The merge takes range `index` next.
    void next_range(size_t index);
    // Returns once the walker of range `index` may scan on.
    void wait_turn(size_t index);
    // Nobody waits any more: the walkers are being stopped.
    void close();

private:
    bool fits() const;

    const uint64_t bytes_limit_;
    const std::atomic<uint64_t>* const weight_room_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t bytes_ = 0;
    uint64_t weight_ = 0;
    size_t next_ = 0;
    size_t waiting_ = 0;
    bool closed_ = false;
};

}  // namespace jorvane::run
