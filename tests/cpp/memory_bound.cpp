// Linked into every C++ test binary: a bound on the memory a test process may
// use, so that a fault making a scan hold more and more (a split that keeps
// every range, a profile that follows the nesting) fails its test with an
// allocation failure instead of exhausting the machine.
//
// A plain build caps the process's private writable memory (RLIMIT_DATA:
// what allocations, thread stacks and arenas actually claim; read-only file
// mappings and reserved but inaccessible address space are not counted). A
// sanitized build reserves terabytes of shadow memory in the same kind of
// mapping, so it cannot take that cap: the sanitizer's own resident-memory
// watch stops it instead, at a higher figure that leaves room for shadow
// memory and quarantine. User-mode emulators ignore the cap (their own
// address space would fall under it), as they should.
#include <sys/resource.h>

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define JORVANE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define JORVANE_TEST_SANITIZED 1
#endif
#endif

#ifdef JORVANE_TEST_SANITIZED

// Read by the sanitizer runtime before main; its environment variables
// (ASAN_OPTIONS, TSAN_OPTIONS) still override these.
extern "C" const char* __asan_default_options() { return "hard_rss_limit_mb=4096"; }
extern "C" const char* __tsan_default_options() { return "hard_rss_limit_mb=4096"; }

#else

namespace {

// Far above what any test needs (a few hundred MiB at most), far below what
// a runaway scan reaches before it is noticed.
constexpr uint64_t kTestMemoryBound = uint64_t{2} << 30;

struct MemoryBound {
    MemoryBound() {
        rlimit limit{};
        if (getrlimit(RLIMIT_DATA, &limit) != 0) return;
        if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= kTestMemoryBound) return;
        limit.rlim_cur = kTestMemoryBound;
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < limit.rlim_cur) limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_DATA, &limit);
    }
};

const MemoryBound bound;

}  // namespace

#endif
