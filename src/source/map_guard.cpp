#include "source/map_guard.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>

namespace jorvane {
namespace {

constexpr size_t kSlots = 256;
// The handlers ours replaced, a ring of the latest ones. A fault goes back
// through at most kReplaced - 1 of them, so the entry being written is never
// one being read.
constexpr size_t kReplaced = 16;
constexpr size_t kPassing = 64;

struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};  // 0 = free
    std::atomic<uint64_t> file_offset{0};
    std::atomic<int> fd{-1};
    std::atomic<pid_t> thread{0};
    std::atomic<bool> lost{false};
    std::atomic<bool> taken{false};
};

// A thread inside a replaced handler it passed a fault to, and how far back
// among the replaced handlers that one is: a signal the thread meets while
// there goes further back, never round again.
struct Passing {
    std::atomic<pid_t> thread{0};  // 0 = free
    std::atomic<size_t> depth{0};
};

// The process-wide state the handler reads (see the header).
struct GuardTable {
    GuardTable() {
        const long p = sysconf(_SC_PAGESIZE);
        if (p > 0) page = static_cast<uintptr_t>(p);
    }
    std::array<Slot, kSlots> slots;
    std::array<Passing, kPassing> passing;
    std::array<struct sigaction, kReplaced> replaced{};
    std::atomic<size_t> n_replaced{0};
    uintptr_t page = 4096;
    std::mutex installing;
};

GuardTable& table() {
    static GuardTable t;
    return t;
}

pid_t current_thread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool map_zeros(uintptr_t from, uintptr_t to) {
    return mmap(reinterpret_cast<void*>(from), to - from, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
           MAP_FAILED;
}

// A fault at `at`: the lost page of one of our windows gets zeros.
bool cure_fault(GuardTable& t, uintptr_t at) {
    for (Slot& s : t.slots) {
        const uintptr_t end = s.end.load(std::memory_order_acquire);
        if (end == 0 || at >= end || at < s.begin.load(std::memory_order_acquire)) continue;
        const uintptr_t page = at & ~(t.page - 1);
        if (!map_zeros(page, page + t.page)) return false;
        s.lost.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

// A fault raised again by a handler that saw it first carries no address:
// every page of the calling thread's windows that its file no longer
// reaches gets zeros. (Only the thread's own windows: another thread may be
// unmapping its window at this very moment.)
bool cure_own_windows(GuardTable& t) {
    const pid_t self = current_thread();
    bool cured = false;
    for (Slot& s : t.slots) {
        const uintptr_t end = s.end.load(std::memory_order_acquire);
        if (end == 0 || s.thread.load(std::memory_order_acquire) != self) continue;
        const uintptr_t begin = s.begin.load(std::memory_order_acquire);
        struct stat st {};
        if (fstat(s.fd.load(std::memory_order_acquire), &st) != 0) continue;
        const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
        const uint64_t offset = s.file_offset.load(std::memory_order_acquire);
        const uint64_t held = size > offset ? size - offset : 0;
        if (held >= end - begin) continue;
        // The page holding the file's last bytes still reads them.
        const uintptr_t from = begin + static_cast<uintptr_t>((held + t.page - 1) & ~uint64_t{t.page - 1});
        if (from >= end || !map_zeros(from, end)) continue;
        s.lost.store(true, std::memory_order_release);
        cured = true;
    }
    return cured;
}

// Whether the byte at `at` reads now, asked of the kernel (which fails the
// copy instead of raising a signal). A probe the system refuses proves
// nothing and counts as readable.
bool readable(uintptr_t at) {
    char byte = 0;
    struct iovec local {&byte, 1};
    struct iovec remote {reinterpret_cast<void*>(at), 1};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1 || errno != EFAULT;
}

// The thread's entry among those passing a fault on (`nested`: it was there
// already), or a new one; null when every entry is taken.
Passing* passing_entry(GuardTable& t, pid_t self, bool& nested) {
    for (Passing& p : t.passing) {
        if (p.thread.load(std::memory_order_acquire) == self) {
            nested = true;
            return &p;
        }
    }
    nested = false;
    for (Passing& p : t.passing) {
        pid_t expected = 0;
        if (p.thread.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) return &p;
    }
    return nullptr;
}

void default_action(int sig, const siginfo_t* info) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    // A fault comes back by itself once the handler returns; a sent signal
    // has to be sent again.
    if (info->si_code <= 0) raise(sig);
}

// Not ours: the replaced handlers decide, newest first.
void pass_on(GuardTable& t, int sig, siginfo_t* info, void* context) {
    const pid_t self = current_thread();
    bool nested = false;
    Passing* entry = passing_entry(t, self, nested);
    const bool fault = info->si_code > 0;
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    for (size_t depth = nested ? entry->depth.load(std::memory_order_relaxed) + 1 : 0;; ++depth) {
        const size_t n = t.n_replaced.load(std::memory_order_acquire);
        struct sigaction prev {};
        prev.sa_handler = SIG_DFL;
        if (depth < n && depth + 1 < kReplaced) prev = t.replaced[(n - 1 - depth) % kReplaced];
        if (prev.sa_handler == SIG_DFL || prev.sa_handler == SIG_IGN) {
            // A fault cannot be ignored: it would only come back.
            if (prev.sa_handler == SIG_DFL || fault) default_action(sig, info);
            break;
        }
        if (entry) entry->depth.store(depth, std::memory_order_relaxed);
        if (prev.sa_flags & SA_SIGINFO) prev.sa_sigaction(sig, info, context);
        else prev.sa_handler(sig);
        // A handler that returned without curing the fault (one whose owner
        // has switched it off, say) would only get it again.
        if (!fault || readable(at)) break;
    }
    if (entry && !nested) entry->thread.store(0, std::memory_order_release);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    // A handler passing the signal on may have no details to give.
    siginfo_t none {};
    if (!info) {
        none.si_code = SI_USER;
        info = &none;
    }
    GuardTable& t = table();
    const bool cured = info->si_code > 0 ? cure_fault(t, reinterpret_cast<uintptr_t>(info->si_addr))
                                         : info->si_pid == getpid() && cure_own_windows(t);
    if (!cured) pass_on(t, sig, info, context);
    errno = saved_errno;
}

bool is_ours(const struct sigaction& a) { return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == on_sigbus; }

// Makes ours the installed handler again if something replaced it, keeping
// the one it replaces; false when it cannot be installed.
bool hold_handler(GuardTable& t) {
    struct sigaction now {};
    if (sigaction(SIGBUS, nullptr, &now) == 0 && is_ours(now)) return true;
    std::lock_guard<std::mutex> lock(t.installing);
    struct sigaction act {};
    act.sa_sigaction = on_sigbus;
    act.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&act.sa_mask);
    struct sigaction old {};
    if (sigaction(SIGBUS, &act, &old) != 0) return false;
    if (is_ours(old)) return true;
    const size_t n = t.n_replaced.load(std::memory_order_relaxed);
    t.replaced[n % kReplaced] = old;
    t.n_replaced.store(n + 1, std::memory_order_release);
    return true;
}

}  // namespace

MapGuard::MapGuard(const void* begin, size_t len, int fd, uint64_t file_offset) {
    GuardTable& t = table();
    if (!hold_handler(t)) return;
    const uintptr_t b = reinterpret_cast<uintptr_t>(begin);
    const pid_t self = current_thread();
    for (size_t i = 0; i < kSlots; ++i) {
        Slot& s = t.slots[i];
        bool expected = false;
        if (!s.taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
        // Nothing of the slot's last window may carry over to this one.
        s.lost.store(false, std::memory_order_relaxed);
        s.thread.store(self, std::memory_order_relaxed);
        s.fd.store(fd, std::memory_order_relaxed);
        s.file_offset.store(file_offset, std::memory_order_relaxed);
        s.begin.store(b, std::memory_order_release);
        s.end.store(b + len, std::memory_order_release);
        slot_ = i;
        return;
    }
}

MapGuard& MapGuard::operator=(MapGuard&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = other.slot_;
        other.slot_ = kNoSlot;
    }
    return *this;
}

MapGuard::~MapGuard() { release(); }

bool MapGuard::lost() const { return active() && table().slots[slot_].lost.load(std::memory_order_acquire); }

void MapGuard::release() {
    if (!active()) return;
    Slot& s = table().slots[slot_];
    s.end.store(0, std::memory_order_release);
    s.begin.store(0, std::memory_order_release);
    s.thread.store(0, std::memory_order_release);
    s.fd.store(-1, std::memory_order_release);
    s.taken.store(false, std::memory_order_release);
    slot_ = kNoSlot;
}

}  // namespace jorvane
