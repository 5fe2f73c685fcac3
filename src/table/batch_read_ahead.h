// BatchReadAhead: reads a table stream's batches on a thread of its own, one
// batch ahead of the consumer. A consumer that spends as long on a batch as
// the scan took to make it (a file writer encoding and compressing it) would
// otherwise leave the scan idle while it works and itself idle while the scan
// runs; with the next batch read while the current one is consumed, the two
// overlap. The reader waits for the consumer to take a batch before it starts
// on the next, so at most one batch is held beyond the one being consumed and
// memory stays flat however long the input. The batches, their boundaries and
// the error that ends the stream are exactly those the stream gives when read
// in place; stopping asks the reader to end between buffers and joins it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "run/interrupt.h"
#include "run/jorvane_error.h"
#include "run/thread_failure.h"
#include "table/column.h"
#include "table/table_stream.h"
#include "util/result.h"

namespace jorvane::table {

using BatchRead = Result<std::optional<Table>, JorvaneError>;

// The stream's next batch read in place: advance (asking `interrupt` between
// buffers), then emit; nothing when the scan is over.
BatchRead read_batch(TableStream& stream, run::Interrupt* interrupt);

class BatchReadAhead {
public:
    // Starts reading `stream`, which must outlive this and is the reader's
    // alone until stop(). When no thread could be started, started() is
    // false and the stream is untouched.
    explicit BatchReadAhead(TableStream& stream);
    ~BatchReadAhead();
    BatchReadAhead(const BatchReadAhead&) = delete;
    BatchReadAhead& operator=(const BatchReadAhead&) = delete;

    bool started() const { return started_; }

    // The next batch as read_batch gives it, once ready within `wait`;
    // nothing when it is not ready yet. After an error or the end of the
    // scan nothing more is read. What the reader threw is thrown here.
    std::optional<BatchRead> take(std::chrono::milliseconds wait);

    // Asks the reader to stop between buffers and joins it; a batch it held
    // is dropped. Safe to call more than once.
    void stop() noexcept;

private:
    class StopAsked final : public run::Interrupt {
    public:
        explicit StopAsked(const std::atomic<bool>& stop) : stop_(stop) {}
        bool requested() override { return stop_.load(std::memory_order_relaxed); }

    private:
        const std::atomic<bool>& stop_;
    };

    void run();

    TableStream& stream_;
    std::mutex mutex_;
    std::condition_variable ready_;  // a batch was put or the reader ended
    std::condition_variable room_;   // the batch was taken or stop was asked
    std::optional<BatchRead> slot_;
    bool finished_ = false;  // the reader ended (under mutex_)
    bool started_ = false;
    std::atomic<bool> stop_{false};
    run::ThreadFailure failure_;
    std::thread thread_;
};

}  // namespace jorvane::table
