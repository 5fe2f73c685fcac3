// CarriedPyErr: a Python exception travelling through the engine's byte
// sources as the payload of an I/O error (a file-like's read() raised). It
// holds the exception object itself; its text is the exception's rendering,
// "TypeName: str(exc)", computed when it is made.
#pragma once

#include <string>

#include "python/py.h"
#include "source/io_error.h"

namespace jorvane::py {

class CarriedPyErr : public IoPayload {
public:
    // Takes the exception being raised (the interpreter lock must be held);
    // the error indicator is cleared.
    static std::shared_ptr<const CarriedPyErr> take_current();
    // Wraps `exc`, an exception instance (interpreter lock held).
    explicit CarriedPyErr(Ref exc);
    // Takes the interpreter lock to drop the exception: the payload may die
    // on any thread.
    ~CarriedPyErr() override;

    std::string message() const override { return text_; }
    // A read() that raised has taken nothing from the object, or was undone
    // (python/read_rewind.h): asking it again reads on from where it was.
    bool retryable() const override { return true; }
    // A new reference to the exception (interpreter lock held).
    Ref exception() const { return exc_; }

private:
    Ref exc_;
    std::string text_;
};

// An I/O error of kind "other" carrying the exception being raised.
IoError carry_current_exception();

}  // namespace jorvane::py
