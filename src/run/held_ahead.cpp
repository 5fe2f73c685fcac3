#include "run/held_ahead.h"

namespace jorvane::run {

void HeldAhead::add(uint64_t bytes, uint64_t weight) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += bytes;
    weight_ += weight;
}

void HeldAhead::release(uint64_t bytes, uint64_t weight) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_ -= bytes;
        weight_ -= weight;
        if (waiting_ == 0) return;
    }
    changed_.notify_all();
}

void HeldAhead::next_range(size_t index) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        next_ = index;
        if (waiting_ == 0) return;
    }
    changed_.notify_all();
}

void HeldAhead::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool HeldAhead::fits() const {
    if (bytes_limit_ && bytes_ > bytes_limit_) return false;
    return !weight_room_ || weight_ <= weight_room_->load(std::memory_order_relaxed);
}

void HeldAhead::wait_turn(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_ || index <= next_ || fits()) return;
    ++waiting_;
    changed_.wait(lock, [&] { return closed_ || index <= next_ || fits(); });
    --waiting_;
}

}  // namespace jorvane::run
