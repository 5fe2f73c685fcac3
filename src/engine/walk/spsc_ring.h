// A fixed ring of 8 slots passing items from one producer thread to one
// consumer thread without locks (the pipelined scan passes mask blocks
// through it, see engine/walk/stage_one_producer.h). The slots are written
// and read in place (claim/publish, peek/front/release); push and pop copy.
//
// `head` counts the items ever published and is written only by the
// producer; `tail` counts the items ever taken and is written only by the
// consumer; neither wraps back, and both keep counting from round to round.
// An item's slot is its count modulo 8. The ring is empty when head == tail
// and full when head - tail >= 8. Each side loads its own counter plainly and
// the other's with acquire (or stronger) ordering and stores its own with
// sequentially consistent ordering (a release and more), so an item's
// contents are visible before the count that publishes it. Two flags,
// `producer_done` (everything is published) and `closed` (a side has gone
// away, normally or by unwinding), are stored and loaded the same way. The
// shared words sit on separate 128-byte lines so the two threads never write
// to the same line; each side also keeps a private copy of the other's
// counter on its own line and reloads it only when the copy says full (or
// empty).
//
// Waiting: a side that cannot go on spins for a short bounded time (about
// kSpinNanos, with the processor's spin-wait hint) and then sleeps on its own
// `sleeping` word (a futex on Linux, std::atomic wait elsewhere). The other side wakes
// it only when that word says it sleeps, so a side that never sleeps never
// costs the other a system call. The lost-wake-up race is closed by the
// sleeper storing its word and then re-checking its condition, and the waker
// storing its counter or flag and then loading the word, all four with
// sequentially consistent ordering: one of the two always sees the other. A
// producer asleep on a full ring is woken only once half the slots are free,
// so that one wake-up buys it kCapacity / 2 items of work; a consumer asleep
// on an empty ring is woken by the next item. close() and finish() wake
// whoever sleeps. On Linux a sleep also ends after kSleepBackstopNanos and
// the condition is looked at again: a wake-up lost to a memory model that
// does not keep the store-then-load order (user-mode emulators have been
// seen to) then costs a few milliseconds instead of a hung scan.
//
// A producer that finds the ring closed stops: claim() returns nullptr and
// push() drops the item. A consumer facing an empty ring returns once the
// producer is done or the ring is closed and a last look finds it still
// empty, so no published item is ever left unread. rearm() clears both flags
// for another round once neither side is inside the ring.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace jorvane::engine {

// The processor's spin-wait hint.
inline void spin_wait_hint() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();  // PAUSE, without the intrinsics header
#elif defined(__aarch64__)
    __asm__ __volatile__("isb" ::: "memory");
#endif
}

// The bounded spin before a thread sleeps: returns true as soon as `ready()`
// holds, false once about `nanos` have passed without it.
template <class Ready>
bool spin_until(Ready&& ready, int64_t nanos) {
    using clock = std::chrono::steady_clock;
    if (ready()) return true;
    const clock::time_point until = clock::now() + std::chrono::nanoseconds(nanos);
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            spin_wait_hint();
            if (ready()) return true;
        }
        if (clock::now() >= until) return false;
    }
}

// Sleeps on `sleeping` until `ready()` holds (after no spin: callers spin
// first). `ready` must load what it tests with sequentially consistent
// ordering; the side that makes it true stores with that ordering and then
// calls wake_sleeper on the same word.
inline constexpr int64_t kSleepBackstopNanos = 20'000'000;

// Blocks while `word` holds `expected`, until woken (or, on Linux, for at
// most kSleepBackstopNanos); may return early.
inline void wait_on_word(std::atomic<uint32_t>& word, uint32_t expected) {
#if defined(__linux__)
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    const timespec backstop{0, kSleepBackstopNanos};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, &backstop, nullptr, 0);
#else
    word.wait(expected, std::memory_order_seq_cst);
#endif
}

inline void wake_word(std::atomic<uint32_t>& word) {
#if defined(__linux__)
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
    word.notify_one();
#endif
}

template <class Ready>
void sleep_until(std::atomic<uint32_t>& sleeping, Ready&& ready) {
    for (;;) {
        sleeping.store(1, std::memory_order_seq_cst);
        if (ready()) {
            sleeping.store(0, std::memory_order_relaxed);
            return;
        }
        wait_on_word(sleeping, 1);
    }
}

// Wakes the thread asleep on `sleeping`, if one is: a load, and a system call
// only when it sleeps.
inline void wake_sleeper(std::atomic<uint32_t>& sleeping) {
    if (sleeping.load(std::memory_order_seq_cst) != 0 && sleeping.exchange(0, std::memory_order_seq_cst) != 0)
        wake_word(sleeping);
}

template <class T>
class SpscRing {
public:
    static constexpr uint64_t kCapacity = 8;
    static constexpr uint64_t kMask = kCapacity - 1;
    // A producer asleep on a full ring wakes once this many slots are free.
    static constexpr uint64_t kWakeFree = kCapacity / 2;
    // How long a side spins before it sleeps.
    static constexpr int64_t kSpinNanos = 4000;

    // Allocates the 8 slots; head and tail 0, both flags clear.
    SpscRing() : slots_(std::make_unique<T[]>(kCapacity)) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    // ---- producer side ----

    // The next free slot, to fill and then publish(); waits while the ring is
    // full. nullptr once the ring is closed (nothing more will be read).
    T* claim() {
        const uint64_t head = head_.load(std::memory_order_relaxed);
        if (head - producer_tail_ >= kCapacity) {
            auto has_room = [&] {
                producer_tail_ = tail_.load(std::memory_order_seq_cst);
                return head - producer_tail_ < kCapacity || closed_.load(std::memory_order_seq_cst) != 0;
            };
            if (!spin_until(has_room, kSpinNanos)) {
                sleep_until(producer_sleeping_, [&] {
                    producer_tail_ = tail_.load(std::memory_order_seq_cst);
                    return head - producer_tail_ <= kCapacity - kWakeFree ||
                           closed_.load(std::memory_order_seq_cst) != 0;
                });
            }
        }
        if (closed_.load(std::memory_order_acquire) != 0) return nullptr;
        return &slots_[head & kMask];
    }

    // Publishes the slot claim() returned.
    void publish() {
        head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
        wake_sleeper(consumer_sleeping_);
    }

    // Copies `item` into the next slot and publishes it, waiting while the
    // ring is full. Returns false, dropping the item, once the ring is closed.
    bool push(const T& item) {
        T* slot = claim();
        if (!slot) return false;
        *slot = item;
        publish();
        return true;
    }

    // Everything has been published.
    void finish() {
        producer_done_.store(1, std::memory_order_seq_cst);
        wake_sleeper(consumer_sleeping_);
    }

    // ---- consumer side ----

    // The oldest unread item, or nullptr when none is published. Never waits.
    const T* peek() {
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (consumer_head_ == tail) {
            consumer_head_ = head_.load(std::memory_order_acquire);
            if (consumer_head_ == tail) return nullptr;
        }
        return &slots_[tail & kMask];
    }

    // The oldest unread item, waiting while the ring is empty and the
    // producer is neither done nor gone; nullptr once it is and a last look
    // finds the ring still empty.
    const T* front() {
        if (const T* item = peek()) return item;
        auto settled = [&] {
            return head_.load(std::memory_order_seq_cst) != tail_.load(std::memory_order_relaxed) ||
                   producer_done_.load(std::memory_order_seq_cst) != 0 || closed_.load(std::memory_order_seq_cst) != 0;
        };
        if (!spin_until(settled, kSpinNanos)) sleep_until(consumer_sleeping_, settled);
        return peek();
    }

    // Frees the slot of the item peek() or front() returned.
    void release() {
        const uint64_t tail = tail_.load(std::memory_order_relaxed) + 1;
        tail_.store(tail, std::memory_order_seq_cst);
        // A producer asleep on a full ring waits for half the slots: it is
        // not publishing, so a fresh look at head is exact.
        if (producer_sleeping_.load(std::memory_order_seq_cst) != 0 &&
            head_.load(std::memory_order_acquire) - tail <= kCapacity - kWakeFree)
            wake_sleeper(producer_sleeping_);
    }

    // Copies the oldest unread item into `out` and frees its slot, waiting as
    // front() does. Returns false when front() finds nothing.
    bool pop(T& out) {
        const T* item = front();
        if (!item) return false;
        out = *item;
        release();
        return true;
    }

    // ---- either side ----

    // Going away: a producer stops at its next claim from now on, and a
    // waiting side is woken.
    void close() {
        closed_.store(1, std::memory_order_seq_cst);
        wake_sleeper(producer_sleeping_);
        wake_sleeper(consumer_sleeping_);
    }

    bool producer_done() const { return producer_done_.load(std::memory_order_acquire) != 0; }
    bool closed() const { return closed_.load(std::memory_order_acquire) != 0; }
    // Whether a side is asleep (tests).
    bool producer_asleep() const { return producer_sleeping_.load(std::memory_order_acquire) != 0; }
    bool consumer_asleep() const { return consumer_sleeping_.load(std::memory_order_acquire) != 0; }
    // Items published and not yet released (a consumer-side look).
    uint64_t unread() const {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
    }

    // Drops every unread item and clears both flags for another round. Only
    // while neither side is inside the ring (the producer has left its round
    // and the consumer has stopped reading).
    void rearm() {
        const uint64_t head = head_.load(std::memory_order_acquire);
        tail_.store(head, std::memory_order_seq_cst);
        consumer_head_ = head;
        producer_tail_ = head;
        producer_done_.store(0, std::memory_order_seq_cst);
        closed_.store(0, std::memory_order_seq_cst);
    }

    // Closes the ring when it goes out of scope, so that the other side never
    // waits for a side that has left, by return or by unwinding.
    class CloseGuard {
    public:
        explicit CloseGuard(SpscRing& ring) : ring_(ring) {}
        CloseGuard(const CloseGuard&) = delete;
        CloseGuard& operator=(const CloseGuard&) = delete;
        ~CloseGuard() { ring_.close(); }

    private:
        SpscRing& ring_;
    };

private:
    alignas(128) std::atomic<uint64_t> head_{0};
    uint64_t producer_tail_ = 0;  // the producer's last look at tail
    alignas(128) std::atomic<uint64_t> tail_{0};
    uint64_t consumer_head_ = 0;  // the consumer's last look at head
    alignas(128) std::atomic<uint32_t> producer_done_{0};
    alignas(128) std::atomic<uint32_t> closed_{0};
    alignas(128) std::atomic<uint32_t> producer_sleeping_{0};
    alignas(128) std::atomic<uint32_t> consumer_sleeping_{0};
    alignas(128) const std::unique_ptr<T[]> slots_;
};

}  // namespace jorvane::engine
