#include "util/heap_return.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace jorvane {

void HeapReturn::freed(size_t bytes) {
    size_t now = pending_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    // One of the threads that see the step reached releases; the others go on.
    if (now >= step_ && pending_.compare_exchange_strong(now, 0, std::memory_order_relaxed)) release();
}

void HeapReturn::release() {
#if defined(__GLIBC__)
    (void)malloc_trim(0);
#endif
}

}  // namespace jorvane
