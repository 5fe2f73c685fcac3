// ThreadFailure: what went wrong on the threads a run starts (its workers or
// walkers), raised on the calling thread once they are joined. Nothing
// thrown on such a thread leaves it: the thread records what it was and ends
// its work, and the run stops.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include "util/panic.h"

namespace jorvane::run {

class ThreadFailure {
public:
    // Runs `work` on the calling thread; what it throws is recorded. False
    // when it threw.
    template <class Work>
    bool guard(Work&& work) noexcept {
        try {
            std::forward<Work>(work)();
            return true;
        } catch (const std::bad_alloc&) {
            out_of_memory_.store(true);
        } catch (...) {
            panicked_.store(true);
        }
        return false;
    }
    // A thread could not be started (the run went on with fewer).
    void spawn_failed() { spawn_failed_.store(true); }

    // Raises what was recorded, a fault before a lack of memory; nothing
    // when all went well. Called once the threads are joined.
    void raise() const {
        if (panicked_.load()) panic("a scoped thread panicked");
        if (spawn_failed_.load()) panic("failed to spawn thread");
        if (out_of_memory_.load()) throw std::bad_alloc();
    }

private:
    std::atomic<bool> out_of_memory_{false};
    std::atomic<bool> panicked_{false};
    std::atomic<bool> spawn_failed_{false};
};

}  // namespace jorvane::run
