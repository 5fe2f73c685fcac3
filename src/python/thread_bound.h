// Objects that belong to the Python thread that created them (lazy
// iterators, batch streams): every method checks the calling thread first,
// then borrows the object (python/borrow.h).
#pragma once

#include <optional>
#include <thread>

#include "python/borrow.h"
#include "python/py.h"

namespace jorvane::py {

struct ThreadBound {
    std::thread::id owner = std::this_thread::get_id();
    BorrowFlag flag;
};

// The owner thread check and the borrow of one call. `name` is the type's
// name in the panic exception's message "{name} is unsendable, but sent to
// another thread". Check ok() first: false means the exception is set.
class BoundBorrow {
public:
    BoundBorrow(ThreadBound& bound, bool exclusive, const char* name);
    bool ok() const { return borrow_ && borrow_->ok(); }

private:
    std::optional<Borrow> borrow_;
};

// Called from tp_dealloc: when the object dies on a thread other than its
// own, reports "{name} is unsendable, but is being dropped on another thread"
// to the unraisable-exception hook (the object is still freed).
void note_foreign_drop(const ThreadBound& bound, const char* name);

}  // namespace jorvane::py
