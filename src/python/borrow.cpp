#include "python/borrow.h"

namespace jorvane::py {

Borrow::Borrow(BorrowFlag& flag, bool exclusive) : flag_(flag), exclusive_(exclusive) {
    if (exclusive ? flag.borrows != 0 : flag.borrows < 0) {
        raise(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
        return;
    }
    flag.borrows = exclusive ? -1 : flag.borrows + 1;
    held_ = true;
}

Borrow::~Borrow() {
    if (!held_) return;
    flag_.borrows = exclusive_ ? 0 : flag_.borrows - 1;
}

}  // namespace jorvane::py
