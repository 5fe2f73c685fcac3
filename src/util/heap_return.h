// HeapReturn: memory freed block by block handed back to the system as it
// is freed. The C library's allocator keeps small freed blocks inside its
// heaps for later use, so a large structure made of many small blocks (a
// table's cells, gathered buffer by buffer on several threads) stays
// resident after it is freed, and what is allocated while it is being freed
// comes on top of it. Asking the allocator to release its free pages once
// every so many freed bytes keeps the resident size near what is in use, at
// the cost of one release per step. Where the allocator has no such request
// this does nothing.
#pragma once

#include <atomic>
#include <cstddef>

namespace jorvane {

class HeapReturn {
public:
    // Releases once `step` bytes have been reported freed since the last
    // release.
    explicit HeapReturn(size_t step) : step_(step) {}
    HeapReturn(const HeapReturn&) = delete;
    HeapReturn& operator=(const HeapReturn&) = delete;

    // Reports `bytes` freed (from any thread).
    void freed(size_t bytes);

private:
    static void release();

    size_t step_;
    std::atomic<size_t> pending_{0};
};

}  // namespace jorvane
