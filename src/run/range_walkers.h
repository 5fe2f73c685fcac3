// RangeWalkers: the threads that scan the ranges of one input at once. The
// calling thread hands ranges out in order and takes each range's result
// back by its number, so it can fold them in input order however the
// walkers finish. A walker thread is started with each range handed out
// while fewer than `n` run, so a short input starts few. What the merge is
// done with goes back to a walker to be destroyed (freeing an engine's
// tables is work the merging thread need not do). Cancelling stops every
// range still queued or being scanned; the walkers are joined when the
// object is destroyed.
//
// In order, no thread is started: the calling thread scans each range
// itself, as a walker would, when it takes it, and destroys what it is done
// with at once. The same ranges are scanned by the same code with the same
// results, but in a fixed order, so what runs depends on the input alone
// and never on how threads are scheduled.
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
    // its range comes back as a default Outcome. `in_order`: the calling
    // thread scans the ranges as it takes them (above).
    RangeWalkers(size_t n, Scan scan, ThreadFailure& failure, bool in_order = false)
        : n_(std::max<size_t>(n, 1)), scan_(std::move(scan)), failure_(failure), in_order_(in_order) {
        if (!in_order_) threads_.reserve(n_);
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
        if (in_order_) return;
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
        if (in_order_) return scan_in_order(index);
        std::unique_lock<std::mutex> lock(mu_);
        done_cv_.wait(lock, [&] { return done_.count(index) != 0; });
        auto node = done_.extract(index);
        return std::move(node.mapped());
    }

    // An outcome the merge is done with, destroyed by a walker.
    void retire(Outcome outcome) {
        if (in_order_) return;
        std::lock_guard<std::mutex> lock(mu_);
        retired_.push_back(std::move(outcome));
    }

    // Every range still queued or being scanned stops.
    void cancel() { cancel_.store(true); }
    // Whether a walker thread was started (they are joined with this object).
    bool holds_threads() const { return !threads_.empty(); }
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
            retired.clear();
            Outcome outcome = scan_one(std::move(r), spare);
            {
                std::lock_guard<std::mutex> lock(mu_);
                done_.emplace(index, std::move(outcome));
            }
            done_cv_.notify_all();
        }
    }

    // One range's scan, on whichever thread scans it.
    Outcome scan_one(Range r, std::vector<uint8_t>& spare) {
        Outcome outcome;
        if (!failure_.guard([&] { outcome = scan_(std::move(r), spare, cancel_); })) {
            cancel_.store(true);
            outcome = Outcome();
        }
        return outcome;
    }

    // Ranges are handed out and taken in the same order, so the range taken
    // is the first one waiting.
    Outcome scan_in_order(size_t index) {
        if (jobs_.empty() || jobs_.front().index != index) panic("a range was taken before it was handed out");
        Range r = std::move(jobs_.front());
        jobs_.pop_front();
        return scan_one(std::move(r), in_order_spare_);
    }

    size_t n_;
    Scan scan_;
    ThreadFailure& failure_;
    const bool in_order_;
    std::vector<uint8_t> in_order_spare_;  // the calling thread's scratch space, in order
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
