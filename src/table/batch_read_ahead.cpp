// The read-ahead thread of a table stream (see batch_read_ahead.h).
#include "table/batch_read_ahead.h"

#include <system_error>
#include <utility>

namespace jorvane::table {

BatchRead read_batch(TableStream& stream, run::Interrupt* interrupt) {
    auto ready = stream.advance(interrupt);
    if (!ready) return make_err(std::move(ready.error()));
    if (!*ready) return std::optional<Table>();
    auto batch = stream.emit();
    if (!batch) return make_err(std::move(batch.error()));
    return std::optional<Table>(std::move(batch.value()));
}

BatchReadAhead::BatchReadAhead(TableStream& stream) : stream_(stream) {
    try {
        thread_ = std::thread([this] { run(); });
        started_ = true;
    } catch (const std::system_error&) {
        started_ = false;  // the caller reads in place
    }
}

BatchReadAhead::~BatchReadAhead() { stop(); }

void BatchReadAhead::run() {
    StopAsked interrupt(stop_);
    (void)failure_.guard([&] {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                room_.wait(lock, [&] { return stop_.load() || !slot_; });
                if (stop_.load()) return;
            }
            BatchRead read = read_batch(stream_, &interrupt);
            const bool last = !read || !*read;
            {
                std::lock_guard lock(mutex_);
                slot_.emplace(std::move(read));
            }
            ready_.notify_one();
            if (last) return;
        }
    });
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    ready_.notify_one();
}

std::optional<BatchRead> BatchReadAhead::take(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, wait, [&] { return slot_.has_value() || finished_; })) return std::nullopt;
    if (slot_) {
        BatchRead read = std::move(*slot_);
        slot_.reset();
        lock.unlock();
        room_.notify_one();
        return read;
    }
    // The reader ended without a batch: it threw, or it was stopped.
    lock.unlock();
    stop();
    failure_.raise();
    return BatchRead(make_err(run::interrupted_read()));
}

void BatchReadAhead::stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
    }
    room_.notify_one();
    if (thread_.joinable()) thread_.join();
}

}  // namespace jorvane::table
