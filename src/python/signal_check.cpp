#include "python/signal_check.h"

#include "python/exceptions.h"
#include "python/py_class.h"

namespace jorvane::py {
namespace {
constexpr auto kPeriod = std::chrono::milliseconds(50);
}  // namespace

bool SignalCheck::requested() {
    if (raised_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kPeriod) return false;
    last_ = now;
    Gil gil;
    if (PyErr_CheckSignals() == 0) return false;
    raised_ = take_error();
    return static_cast<bool>(raised_);
}

std::nullptr_t SignalCheck::raise(JorvaneError err) {
    if (!raised_) return raise_jorvane_err(std::move(err));
    restore_error(std::move(raised_));
    return nullptr;
}

std::nullptr_t SignalCheck::raise(JorvaneError err, std::optional<JorvaneError>& held) {
    if (!raised_) return raise_or_hold(std::move(err), held);
    restore_error(std::move(raised_));
    return nullptr;
}

}  // namespace jorvane::py
