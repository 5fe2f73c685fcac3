#include "python/thread_bound.h"

#include <string>

#include "python/py_class.h"

namespace jorvane::py {

Borrow::Borrow(ThreadBound& bound, bool exclusive, const char* name) : bound_(bound), exclusive_(exclusive) {
    if (std::this_thread::get_id() != bound.owner) {
        raise(panic_exception(), std::string(name) + " is unsendable, but sent to another thread");
        return;
    }
    if (exclusive ? bound.borrows != 0 : bound.borrows < 0) {
        raise(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
        return;
    }
    bound.borrows = exclusive ? -1 : bound.borrows + 1;
    held_ = true;
}

Borrow::~Borrow() {
    if (!held_) return;
    bound_.borrows = exclusive_ ? 0 : bound_.borrows - 1;
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
