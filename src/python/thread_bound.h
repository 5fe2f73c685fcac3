// Objects that belong to the Python thread that created them (lazy
// iterators, batch streams): every method checks the calling thread first,
// then borrows the object (python/borrow.h).
#pragma once

#include <optional>
#include <thread>

#include "python/borrow.h"
#include "python/py.h"
#include "python/py_class.h"

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

// The slots a lazy iterator bound to its thread shares with the others:
// tp_iter, tp_iternext and tp_dealloc of a boxed `Data` that holds a
// ThreadBound `bound` and names itself in `Data::kBoundName`. `Next` makes
// the next item with the call's exclusive borrow held; it returns null at
// the end, or with the exception set.
template <class Data, PyObject* (*Next)(Data&)>
struct BoundIterator {
    static PyObject* iter(PyObject* self) {
        BoundBorrow borrow(unbox<Data>(self).bound, false, Data::kBoundName);
        if (!borrow.ok()) return nullptr;
        return Ref::borrow(self).release();
    }
    static PyObject* next(PyObject* self) {
        return guarded(
            [&]() -> PyObject* {
                Data& d = unbox<Data>(self);
                BoundBorrow borrow(d.bound, true, Data::kBoundName);
                if (!borrow.ok()) return nullptr;
                return Next(d);
            },
            static_cast<PyObject*>(nullptr));
    }
    static void dealloc(PyObject* self) {
        note_foreign_drop(unbox<Data>(self).bound, Data::kBoundName);
        boxed_dealloc<Data>(self);
    }
};

}  // namespace jorvane::py
