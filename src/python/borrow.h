// Borrow checks for objects whose methods may run Python code while they
// use the object's state (a converter calling into pandas, a file-like read()
// during a scan): a call that would see the state half-changed is refused
// with RuntimeError instead.
#pragma once

#include "python/py.h"

namespace jorvane::py {

struct BorrowFlag {
    int borrows = 0;  // > 0: shared borrows held; -1: borrowed exclusively
};

// A borrow for the length of one call. Check ok() first: false means the
// RuntimeError ("Already borrowed" for an exclusive borrow, "Already mutably
// borrowed" for a shared one) is set and nothing is held.
class Borrow {
public:
    Borrow(BorrowFlag& flag, bool exclusive);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const { return held_; }

private:
    BorrowFlag& flag_;
    bool exclusive_;
    bool held_ = false;
};

}  // namespace jorvane::py
