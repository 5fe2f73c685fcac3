#include "python/thread_bound.h"

#include <string>
#include <string_view>

#include "python/py_class.h"

namespace jorvane::py {

bool adopt_in_this_process(ThreadBound& bound, bool holds_threads, const char* name) {
    if (!holds_threads) {
        bound.process = getpid();
        return true;
    }
    std::string_view type(name);
    if (const size_t colons = type.rfind("::"); colons != std::string_view::npos) type.remove_prefix(colons + 2);
    raise(PyExc_RuntimeError, std::string(type) +
                                  " was created in another process, whose threads it uses; create it again in "
                                  "this process");
    return false;
}

void BoundBorrow::start(ThreadBound& bound, bool exclusive, const char* name) {
    if (std::this_thread::get_id() != bound.owner) {
        raise(panic_exception(), std::string(name) + " is unsendable, but sent to another thread");
        return;
    }
    borrow_.emplace(bound.flag, exclusive);
}

void note_foreign_drop(const ThreadBound& bound, const char* name) {
    if (std::this_thread::get_id() == bound.owner) return;
    Ref pending = take_error();
    raise(PyExc_RuntimeError, std::string(name) + " is unsendable, but is being dropped on another thread");
    // Not the dying object itself: the hook would take a reference to it.
    PyErr_WriteUnraisable(nullptr);
    if (pending) restore_error(std::move(pending));
}

}  // namespace jorvane::py
