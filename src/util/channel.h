// Multi-producer, multi-consumer channels: bounded (a sender waits while the
// channel holds `capacity` items) and unbounded.
//
// A channel is one shared state behind two kinds of handle. Handles are
// copyable; every copy counts. When the last Sender is gone, receivers drain
// what is queued and then see the channel disconnected; when the last Receiver
// is gone, every send (waiting or not) fails at once and hands its value back.
// Items leave in the order they were sent.
//
// Storage is a ring of slots: a bounded channel allocates its `capacity`
// slots once, so sending and receiving never allocate; an unbounded one
// doubles its ring when full.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "util/panic.h"
#include "util/result.h"

namespace jorvane {

// Why a receive gave no value.
enum class RecvError {
    Empty,         // try_recv only: nothing queued right now, senders remain
    Timeout,       // recv_deadline only: the deadline passed first
    Disconnected,  // nothing queued and every sender is gone
};

// A send that failed because every receiver is gone; the value comes back.
template <class T>
struct SendError {
    T value;
};

namespace channel_detail {

template <class T>
struct State {
    explicit State(size_t cap) : capacity(cap), slots(cap == 0 ? 16 : cap) {}

    std::mutex mu;
    std::condition_variable not_empty;
    std::condition_variable not_full;
    size_t capacity;  // 0: unbounded
    std::vector<std::optional<T>> slots;
    size_t head = 0;
    size_t count = 0;
    size_t senders = 1;
    size_t receivers = 1;

    bool full() const { return capacity != 0 && count >= capacity; }

    void push(T&& value) {
        if (count == slots.size()) grow();
        slots[(head + count) % slots.size()].emplace(std::move(value));
        ++count;
    }
    T pop() {
        std::optional<T>& slot = slots[head];
        T value = std::move(*slot);
        slot.reset();
        head = (head + 1) % slots.size();
        --count;
        return value;
    }
    void grow() {
        std::vector<std::optional<T>> bigger(slots.size() * 2);
        for (size_t i = 0; i < count; ++i) {
            bigger[i] = std::move(slots[(head + i) % slots.size()]);
        }
        slots = std::move(bigger);
        head = 0;
    }
};

}  // namespace channel_detail

template <class T>
class Sender;
template <class T>
class Receiver;

template <class T>
std::pair<Sender<T>, Receiver<T>> bounded_channel(size_t capacity);
template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel();

template <class T>
class Sender {
public:
    Sender(const Sender& other) : st_(other.st_) { retain(); }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(const Sender& other) {
        if (this != &other) {
            release();
            st_ = other.st_;
            retain();
        }
        return *this;
    }
    Sender& operator=(Sender&& other) noexcept {
        if (this != &other) {
            release();
            st_ = std::move(other.st_);
        }
        return *this;
    }
    ~Sender() { release(); }

    // Queues `value`, waiting for room in a full bounded channel. Fails, giving
    // the value back, when every receiver is gone (also while waiting).
    Result<void, SendError<T>> send(T value) {
        std::unique_lock lock(st_->mu);
        st_->not_full.wait(lock, [&] { return st_->receivers == 0 || !st_->full(); });
        if (st_->receivers == 0) return make_err(SendError<T>{std::move(value)});
        st_->push(std::move(value));
        lock.unlock();
        st_->not_empty.notify_one();
        return {};
    }

    // True when every receiver is gone.
    bool is_disconnected() const {
        std::lock_guard lock(st_->mu);
        return st_->receivers == 0;
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> bounded_channel<T>(size_t);
    friend std::pair<Sender<T>, Receiver<T>> unbounded_channel<T>();
    explicit Sender(std::shared_ptr<channel_detail::State<T>> st) : st_(std::move(st)) {}

    void retain() {
        if (!st_) return;
        std::lock_guard lock(st_->mu);
        ++st_->senders;
    }
    void release() {
        if (!st_) return;
        bool last;
        {
            std::lock_guard lock(st_->mu);
            last = --st_->senders == 0;
        }
        if (last) st_->not_empty.notify_all();
        st_.reset();
    }

    std::shared_ptr<channel_detail::State<T>> st_;
};

template <class T>
class Receiver {
public:
    Receiver(const Receiver& other) : st_(other.st_) { retain(); }
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(const Receiver& other) {
        if (this != &other) {
            release();
            st_ = other.st_;
            retain();
        }
        return *this;
    }
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            release();
            st_ = std::move(other.st_);
        }
        return *this;
    }
    ~Receiver() { release(); }

    // Waits for an item; Disconnected once the channel is empty and every
    // sender is gone.
    Result<T, RecvError> recv() {
        std::unique_lock lock(st_->mu);
        st_->not_empty.wait(lock, [&] { return st_->count > 0 || st_->senders == 0; });
        return take(lock);
    }

    // Never waits: an item, Empty, or Disconnected.
    Result<T, RecvError> try_recv() {
        std::unique_lock lock(st_->mu);
        if (st_->count == 0 && st_->senders != 0) return make_err(RecvError::Empty);
        return take(lock);
    }

    // Waits until `deadline` at most: an item, Timeout, or Disconnected.
    Result<T, RecvError> recv_deadline(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(st_->mu);
        if (!st_->not_empty.wait_until(lock, deadline,
                                       [&] { return st_->count > 0 || st_->senders == 0; })) {
            return make_err(RecvError::Timeout);
        }
        return take(lock);
    }

    Result<T, RecvError> recv_timeout(std::chrono::steady_clock::duration timeout) {
        return recv_deadline(std::chrono::steady_clock::now() + timeout);
    }

private:
    friend std::pair<Sender<T>, Receiver<T>> bounded_channel<T>(size_t);
    friend std::pair<Sender<T>, Receiver<T>> unbounded_channel<T>();
    explicit Receiver(std::shared_ptr<channel_detail::State<T>> st) : st_(std::move(st)) {}

    // With the lock held and either an item queued or no sender left.
    Result<T, RecvError> take(std::unique_lock<std::mutex>& lock) {
        if (st_->count == 0) return make_err(RecvError::Disconnected);
        T value = st_->pop();
        lock.unlock();
        st_->not_full.notify_one();
        return value;
    }

    void retain() {
        if (!st_) return;
        std::lock_guard lock(st_->mu);
        ++st_->receivers;
    }
    void release() {
        if (!st_) return;
        bool last;
        {
            std::lock_guard lock(st_->mu);
            last = --st_->receivers == 0;
        }
        if (last) st_->not_full.notify_all();
        st_.reset();
    }

    std::shared_ptr<channel_detail::State<T>> st_;
};

// A channel holding at most `capacity` (at least 1) items.
template <class T>
std::pair<Sender<T>, Receiver<T>> bounded_channel(size_t capacity) {
    if (capacity == 0) panic("channel capacity must be at least 1");
    auto st = std::make_shared<channel_detail::State<T>>(capacity);
    return {Sender<T>(st), Receiver<T>(st)};
}

// A channel without a limit on queued items.
template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel() {
    auto st = std::make_shared<channel_detail::State<T>>(0);
    return {Sender<T>(st), Receiver<T>(st)};
}

}  // namespace jorvane
