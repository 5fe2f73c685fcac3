// SignalCheck: the interrupt of a scan that runs with the interpreter lock
// released for many buffers (table, group_by, the writers, the lazy
// iterators' refills). Before each buffer it reads the clock; once 50 ms
// have passed since the last look it takes the lock back and runs the
// pending signal handlers, so Ctrl-C ends a long scan within about a
// buffer and 50 ms instead of at its end. An exception raised by a handler
// (KeyboardInterrupt) is kept and stops the scan; the caller raises it in
// place of the scan's error.
#pragma once

#include <chrono>
#include <optional>

#include "python/py.h"
#include "run/interrupt.h"
#include "run/jorvane_error.h"

namespace jorvane::py {

class SignalCheck final : public run::Interrupt {
public:
    // Made with the interpreter lock held, on the thread that will scan.
    SignalCheck() : last_(std::chrono::steady_clock::now()) {}

    // With the lock released, on the scanning thread.
    bool requested() override;

    // Whether a handler raised (the scan was stopped for it).
    bool fired() const { return static_cast<bool>(raised_); }
    // Raises the scan's error `err`: the handler's exception when one was
    // taken, else `err` converted. Lock held; returns nullptr.
    std::nullptr_t raise(JorvaneError err);
    // The same for an iterator: `err` is raised by raise_or_hold, into `held`.
    std::nullptr_t raise(JorvaneError err, std::optional<JorvaneError>& held);

private:
    std::chrono::steady_clock::time_point last_;
    Ref raised_;
};

}  // namespace jorvane::py
