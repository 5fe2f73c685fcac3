// A fixed ring of 8 slots passing items from one producer thread to one
// consumer thread without locks (the pipelined scan passes mask blocks
// through it).
//
// `head` counts the items ever published and is written only by the
// producer; `tail` counts the items ever taken and is written only by the
// consumer; neither wraps back. An item's slot is its count modulo 8. The ring
// is empty when head == tail and full when head - tail >= 8. Each side loads
// its own counter plainly and the other's with acquire ordering, and stores
// its own with release ordering, so an item's contents are visible before
// the count that publishes it. Two flags, `producer_done` (everything is
// published) and `closed` (a side has gone away, normally or by unwinding),
// are stored with release and loaded with acquire ordering. The four shared
// words sit on separate 128-byte lines so the two threads never write to the
// same line; each side also keeps a private copy of the other's counter on
// its own line and reloads it only when the copy says full (or empty).
//
// Both sides wait by spinning with the processor's spin-wait hint, never by
// sleeping or yielding. A producer facing a full ring that has been closed
// drops the item instead of waiting; a consumer facing an empty ring returns
// once the producer is done or the ring is closed and a last look finds it
// still empty, so no published item is ever left unread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace jorvane::engine {

// The processor's spin-wait hint.
inline void spin_wait_hint() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("isb" ::: "memory");
#endif
}

template <class T>
class SpscRing {
public:
    static constexpr uint64_t kCapacity = 8;
    static constexpr uint64_t kMask = kCapacity - 1;

    // Allocates the 8 slots; head and tail 0, both flags clear.
    SpscRing() : slots_(std::make_unique<T[]>(kCapacity)) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    // Producer side: copies `item` into the next slot and publishes it,
    // spinning while the ring is full. Returns false, dropping the item, when
    // the ring is full and closed (the consumer has gone away).
    bool push(const T& item) {
        const uint64_t head = head_.load(std::memory_order_relaxed);
        while (head - producer_tail_ >= kCapacity) {
            producer_tail_ = tail_.load(std::memory_order_acquire);
            if (head - producer_tail_ < kCapacity) break;
            if (closed_.load(std::memory_order_acquire)) return false;
            spin_wait_hint();
        }
        slots_[head & kMask] = item;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Producer side: everything has been published. Sets `producer_done`,
    // then `closed`.
    void finish() {
        producer_done_.store(1, std::memory_order_release);
        closed_.store(1, std::memory_order_release);
    }

    // Consumer side: copies the oldest unread item into `out` and frees its
    // slot. Spins while the ring is empty and the producer is neither done
    // nor gone; returns false once it is and the ring is still empty.
    bool pop(T& out) {
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        for (;;) {
            if (consumer_head_ == tail) consumer_head_ = head_.load(std::memory_order_acquire);
            if (consumer_head_ != tail) {
                out = slots_[tail & kMask];
                tail_.store(tail + 1, std::memory_order_release);
                return true;
            }
            if (producer_done_.load(std::memory_order_acquire) || closed_.load(std::memory_order_acquire)) {
                consumer_head_ = head_.load(std::memory_order_acquire);
                if (consumer_head_ == tail) return false;
                continue;
            }
            spin_wait_hint();
        }
    }

    // Either side: going away. A producer that finds the ring full from now on
    // drops its items instead of waiting.
    void close() { closed_.store(1, std::memory_order_release); }

    bool producer_done() const { return producer_done_.load(std::memory_order_acquire) != 0; }
    bool closed() const { return closed_.load(std::memory_order_acquire) != 0; }

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
    alignas(128) std::atomic<uint8_t> producer_done_{0};
    alignas(128) std::atomic<uint8_t> closed_{0};
    alignas(128) const std::unique_ptr<T[]> slots_;
};

}  // namespace jorvane::engine
