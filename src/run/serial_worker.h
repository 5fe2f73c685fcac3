// SerialWorker: runs tasks on a thread of its own, one at a time, in the
// order they were handed over, so that a consumer can pass on work whose
// order matters only among its own steps and go on with the next input
// meanwhile. At most a few tasks wait: handing over blocks while the queue
// is full, so memory stays bounded by what the waiting tasks hold. When no
// thread can be started, tasks run on the caller's thread as they are handed
// over. What a task throws ends the worker's work and is raised by wait().
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "run/thread_failure.h"

namespace jorvane::run {

class SerialWorker {
public:
    explicit SerialWorker(size_t queue = 8);
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Queues `task` after the ones handed over before it.
    void submit(std::function<void()> task);
    // Returns once every task handed over so far has run; what one of them
    // threw is raised here. After it, the caller may touch what the tasks
    // touch until it submits again.
    void wait();

private:
    void loop();

    const size_t queue_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> tasks_;
    bool running_ = false;  // a task taken off the queue has not finished
    bool closing_ = false;
    bool failed_ = false;
    ThreadFailure failure_;
    std::optional<std::thread> thread_;
};

}  // namespace jorvane::run
