// Objects that belong to the Python thread that created them (lazy
// iterators, batch streams): every method checks the calling thread first,
// then borrows the object, shared or exclusively, so that a call made while
// another call on the same object is still running (a file-like read() that
// calls back into its own iterator) is refused instead of disturbing it.
#pragma once

#include <thread>

#include "python/py.h"

namespace jorvane::py {

struct ThreadBound {
    std::thread::id owner = std::this_thread::get_id();
    int borrows = 0;  // > 0: shared borrows held; -1: borrowed exclusively
};

// A borrow of a thread-bound object for the length of one call. `name` is
// the type's name in the messages ("... is unsendable, but sent to another
// thread" as the panic exception; "Already borrowed" / "Already mutably
// borrowed" as RuntimeError). Check ok() first: false means the exception is
// set and nothing is held.
class Borrow {
public:
    Borrow(ThreadBound& bound, bool exclusive, const char* name);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const { return held_; }

private:
    ThreadBound& bound_;
    bool exclusive_;
    bool held_ = false;
};

// Called from tp_dealloc: when the object dies on a thread other than its
// own, reports "{name} is unsendable, but is being dropped on another thread"
// to the unraisable-exception hook (the object is still freed).
void note_foreign_drop(const ThreadBound& bound, const char* name);

}  // namespace jorvane::py
