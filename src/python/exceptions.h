// The one place where a JorvaneError becomes a Python exception: the class,
// the message, the partial results of the two input errors (as QueryResult
// objects) and the KeyboardInterrupt / SystemExit carried out of a
// file-like's read(), which escapes as itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/drivers/accumulator.h"
#include "run/jorvane_error.h"
#include "python/py.h"

namespace jorvane::py {

// The exception instance for `err` (consumed). Takes the interpreter lock for
// its own work when the calling thread does not hold it.
Ref jorvane_err_to_py(JorvaneError err);
// Sets the exception for `err` as the raised one; returns nullptr.
std::nullptr_t raise_jorvane_err(JorvaneError err);

// The KeyboardInterrupt or SystemExit (subclasses included) carried by a read
// failure, else null (no exception set). Interpreter lock held.
Ref carried_interrupt(const JorvaneError& err);

// Whether `exc` (an exception or its type) is an interrupt: KeyboardInterrupt,
// SystemExit or anything else that is not an Exception, which the caller
// raised to stop, not a fault of what was called.
bool is_interrupt(PyObject* exc);

// Whether a read failure carries an exception that is not an Exception
// (KeyboardInterrupt, SystemExit or the like): the caller's interrupt, raised
// inside a file-like's read(), not a fault of the source. Interpreter lock
// held.
bool read_was_interrupted(const JorvaneError& err);

// New partial QueryResult objects (bytes_covered = offset, use_float as
// given), one per output, in a list. Null with an exception set on failure.
Ref wrap_partials(std::vector<engine::QueryOutput> outputs, uint64_t offset, bool use_float = false);

// jorvane._errors.<class_name>(message, offset, a new list holding the
// QueryResult objects of `results`): the exception to
// raise. When the import, the lookup or the call fails, that exception is
// returned instead (a call returning a non-exception gives TypeError).
Ref partial_error(const char* class_name, const std::string& message, uint64_t offset, Ref results);

// Raises `exc`, an exception instance, keeping its traceback; returns nullptr.
std::nullptr_t raise_exception_object(Ref exc);

// Raises `err` for an iterator that stops at it, as `make` turns it into an
// exception (jorvane_err_to_py when null). The class of a structural error is
// written in Python, so a Ctrl-C pending when it is made may be raised in its
// place: `err` is then left in `held`, for the iterator to raise at its next
// call instead of ending as if the input were whole; else `held` is emptied.
// Interpreter lock held; returns nullptr.
using MakeException = Ref (*)(JorvaneError, bool use_float);
std::nullptr_t raise_or_hold(JorvaneError err, std::optional<JorvaneError>& held, MakeException make = nullptr,
                             bool use_float = false);
// Raises the error `held` holds, by raise_or_hold.
std::nullptr_t raise_held(std::optional<JorvaneError>& held, MakeException make = nullptr, bool use_float = false);

}  // namespace jorvane::py
