// Objects that belong to the Python thread that created them (lazy
// iterators, batch streams): every method checks the calling process and
// thread first, then borrows the object (python/borrow.h).
//
// A forked child holds a copy of every such object but none of the threads
// the parent had started for them (a walker, a decoder reading ahead, a
// stage-1 thread): waiting for one of those would never end, and joining
// one is undefined. So in a process other than its own, an object that
// holds such threads is refused with RuntimeError at every call, and one
// that holds none becomes the new process's (the threads it may start from
// then on are that process's own).
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "python/borrow.h"
#include "python/py.h"
#include "python/py_class.h"

namespace jorvane::py {

struct ThreadBound {
    std::thread::id owner = std::this_thread::get_id();
    // The process whose object this is: the one that created it, or the
    // forked child that took it over while it held no thread.
    pid_t process = getpid();
    BorrowFlag flag;
};

// Called in a process other than `bound.process`: takes the object over
// when it holds no thread (true), else raises "{Type} was created in
// another process, whose threads it uses; create it again in this process"
// (false), the type named by the last part of `name`.
bool adopt_in_this_process(ThreadBound& bound, bool holds_threads, const char* name);

// The process check, the owner thread check and the borrow of one call, on
// a `Data` that holds a ThreadBound `bound`, names itself in
// `Data::kBoundName` and answers `holds_threads()` (asked only in another
// process). `reaches_state`: the call may reach the object's engine and
// threads; a call that only hands out what is made already skips the
// process check (a system call, which would cost more than handing out a
// value). The thread check's panic exception says "{name} is unsendable,
// but sent to another thread". Check ok() first: false means the exception
// is set.
class BoundBorrow {
public:
    template <class Data>
    BoundBorrow(Data& d, bool exclusive, bool reaches_state = true) {
        if (reaches_state && d.bound.process != getpid() &&
            !adopt_in_this_process(d.bound, d.holds_threads(), Data::kBoundName))
            return;
        start(d.bound, exclusive, Data::kBoundName);
    }
    bool ok() const { return borrow_ && borrow_->ok(); }

private:
    void start(ThreadBound& bound, bool exclusive, const char* name);

    std::optional<Borrow> borrow_;
};

// Called from tp_dealloc: when the object dies on a thread other than its
// own, reports "{name} is unsendable, but is being dropped on another thread"
// to the unraisable-exception hook (the object is still freed).
void note_foreign_drop(const ThreadBound& bound, const char* name);

// The slots a lazy iterator bound to its thread shares with the others:
// tp_iter, tp_iternext and tp_dealloc of a boxed `Data` as BoundBorrow
// takes it, which also answers `has_ready()`: an item is made already, so
// the next call hands it out without reaching the engine. `Next` makes the
// next item with the call's exclusive borrow held; it returns null at the
// end, or with the exception set.
template <class Data, PyObject* (*Next)(Data&)>
struct BoundIterator {
    static PyObject* iter(PyObject* self) {
        BoundBorrow borrow(unbox<Data>(self), false);
        if (!borrow.ok()) return nullptr;
        return Ref::borrow(self).release();
    }
    static PyObject* next(PyObject* self) {
        return guarded(
            [&]() -> PyObject* {
                Data& d = unbox<Data>(self);
                BoundBorrow borrow(d, true, !d.has_ready());
                if (!borrow.ok()) return nullptr;
                return Next(d);
            },
            static_cast<PyObject*>(nullptr));
    }
    static void dealloc(PyObject* self) {
        const Data& d = unbox<Data>(self);
        if (d.bound.process != getpid() && d.holds_threads()) {
            // A forked child's copy of an object whose threads live in the
            // parent: destroying it would join threads this process does
            // not have and take locks they may have held at the fork. Its
            // state is left as it is, a leak of one object's buffers that
            // lasts only as long as this process.
            boxed_abandon(self);
            return;
        }
        note_foreign_drop(d.bound, Data::kBoundName);
        boxed_dealloc<Data>(self);
    }
};

}  // namespace jorvane::py
