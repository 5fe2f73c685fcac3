// RangeWalkers: the threads that scan the ranges of one input at once. The
// calling thread hands ranges out in order and takes each range's result
// back by its number, so it can fold them in input order however the
// walkers finish. A walker thread is started with each range handed out
// while fewer than `n` run, so a short input starts few. What the merge is
// done with goes back to a walker to be destroyed (freeing an engine's
// tables is work the merging thread need not do). Cancelling stops every
// range still queued or being scanned; the walkers are joined when the
// object is destroyed.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "run/range_cutter.h"
#include "run/thread_failure.h"
#include "util/panic.h"

namespace jorvane::run {

// `Outcome` is what a walker makes of one range; default-constructed, it
// stands for a range whose scan failed.
template <class Outcome>
class RangeWalkers {
public:
    // Scans one range on a walker thread: `spare` is the walker's scratch
    // space, kept across its ranges; `cancel` rises when the run stops.
    using Scan = std::function<Outcome(Range range, std::vector<uint8_t>& spare, const std::atomic<bool>& cancel)>;

    // A scan that throws is recorded in `failure`, cancels every range, and
    // its range comes back as a default Outcome.
    RangeWalkers(size_t n, Scan scan, ThreadFailure& failure)
        : n_(std::max<size_t>(n, 1)), scan_(std::move(scan)), failure_(failure) {
        threads_.reserve(n_);
    }
    RangeWalkers(const RangeWalkers&) = delete;
    RangeWalkers& operator=(const RangeWalkers&) = delete;
    ~RangeWalkers() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            closing_ = true;
        }
        cancel_.store(true);
        work_cv_.notify_all();
        for (auto& t : threads_) t.join();
    }

    void start(Range r) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            jobs_.push_back(std::move(r));
        }
        if (threads_.size() < n_) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                // Fewer walkers; none at all is a failure of the run.
                if (threads_.empty()) panic("failed to spawn thread");
            }
        }
        work_cv_.notify_one();
    }

    // The outcome of range `index` once it is done.
    Outcome take(size_t index) {
        std::unique_lock<std::mutex> lock(mu_);
        done_cv_.wait(lock, [&] { return done_.count(index) != 0; });
        auto node = done_.extract(index);
        return std::move(node.mapped());
    }

    // An outcome the merge is done with, destroyed by a walker.
    void retire(Outcome outcome) {
        std::lock_guard<std::mutex> lock(mu_);
        retired_.push_back(std::move(outcome));
    }

    // Every range still queued or being scanned stops.
    void cancel() { cancel_.store(true); }
    const std::atomic<bool>& cancelled() const { return cancel_; }

private:
    void work() {
        std::vector<uint8_t> spare;
        for (;;) {
            Range r;
            std::vector<Outcome> retired;
            {
                std::unique_lock<std::mutex> lock(mu_);
                work_cv_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
                if (closing_) return;
                r = std::move(jobs_.front());
                jobs_.pop_front();
                retired.swap(retired_);
            }
            const size_t index = r.index;
            Outcome outcome;
            const bool scanned = failure_.guard([&] {
                retired.clear();
                outcome = scan_(std::move(r), spare, cancel_);
            });
            if (!scanned) {
                cancel_.store(true);
                outcome = Outcome();
            }
            {
                std::lock_guard<std::mutex> lock(mu_);
                done_.emplace(index, std::move(outcome));
            }
            done_cv_.notify_all();
        }
    }

    size_t n_;
    Scan scan_;
    ThreadFailure& failure_;
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::deque<Range> jobs_;
    std::map<size_t, Outcome> done_;
    std::vector<Outcome> retired_;
    bool closing_ = false;
    std::atomic<bool> cancel_{false};
    std::vector<std::thread> threads_;  // started and joined by the merging thread only
};

}  // namespace jorvane::run
