#include "run/serial_worker.h"

#include <system_error>
#include <utility>

namespace jorvane::run {

SerialWorker::SerialWorker(size_t queue) : queue_(queue < 1 ? 1 : queue) {
    try {
        thread_.emplace([this] { loop(); });
    } catch (const std::system_error&) {
        thread_.reset();  // tasks run in place
    }
}

SerialWorker::~SerialWorker() {
    if (!thread_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_->join();
}

void SerialWorker::submit(std::function<void()> task) {
    if (!thread_) {
        if (!failed_ && !failure_.guard(task)) failed_ = true;
        return;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return tasks_.size() < queue_; });
        tasks_.push_back(std::move(task));
    }
    changed_.notify_all();
}

void SerialWorker::wait() {
    if (thread_) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return tasks_.empty() && !running_; });
    }
    failure_.raise();
}

void SerialWorker::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return closing_ || !tasks_.empty(); });
        if (closing_ || tasks_.empty()) return;  // tasks left at closing are dropped
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        running_ = true;
        lock.unlock();
        changed_.notify_all();  // room in the queue
        // After a failure the remaining tasks are dropped: what they would
        // build is not going to be used.
        if (!failed_ && !failure_.guard(task)) failed_ = true;
        task = nullptr;
        lock.lock();
        running_ = false;
        changed_.notify_all();
    }
}

}  // namespace jorvane::run
