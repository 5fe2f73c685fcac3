#include "source/map_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>

namespace jorvane {
namespace {

constexpr size_t kSlots = 256;

struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};  // 0 = free
    std::atomic<bool> lost{false};
    std::atomic<bool> taken{false};
};

// The process-wide state the handler reads (see the header): the slots, the
// page size and the handler that was installed before ours.
struct GuardTable {
    std::array<Slot, kSlots> slots;
    uintptr_t page = 4096;
    struct sigaction previous {};
    std::once_flag installed;
};

GuardTable& table() {
    static GuardTable t;
    return t;
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
    GuardTable& t = table();
    const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Slot& s : t.slots) {
        const uintptr_t end = s.end.load(std::memory_order_acquire);
        if (end == 0 || at >= end || at < s.begin.load(std::memory_order_acquire)) continue;
        void* page = reinterpret_cast<void*>(at & ~(t.page - 1));
        if (mmap(page, t.page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) break;
        s.lost.store(true, std::memory_order_release);
        return;
    }
    // Not ours: whoever was there before decides.
    const struct sigaction& prev = t.previous;
    if ((prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction) {
        prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler) {
        prev.sa_handler(sig);
        return;
    }
    // The default action: the fault repeats once this returns.
    signal(SIGBUS, SIG_DFL);
}

void install() {
    GuardTable& t = table();
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) t.page = static_cast<uintptr_t>(page);
    struct sigaction act {};
    act.sa_sigaction = on_sigbus;
    act.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&act.sa_mask);
    sigaction(SIGBUS, &act, &t.previous);
}

}  // namespace

MapGuard::MapGuard(const void* begin, size_t len) {
    GuardTable& t = table();
    std::call_once(t.installed, install);
    const uintptr_t b = reinterpret_cast<uintptr_t>(begin);
    for (size_t i = 0; i < kSlots; ++i) {
        Slot& s = t.slots[i];
        bool expected = false;
        if (!s.taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
        s.lost.store(false, std::memory_order_relaxed);
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
    s.taken.store(false, std::memory_order_release);
    slot_ = kNoSlot;
}

}  // namespace jorvane
