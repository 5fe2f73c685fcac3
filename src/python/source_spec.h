// The Python class `Source`: per-source options attached to one source
// argument (a progress callback and its interval, a result label, a
// compression codec). It only checks its options; classification unwraps it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "python/py.h"
#include "source/compression.h"

namespace jorvane::py {

// The value held by a `Source` object; fixed at construction.
struct PySourceSpec {
    Ref obj;                                   // the wrapped source, never another Source
    Ref progress;                              // null when absent
    std::optional<uint64_t> progress_interval; // at least 1 when present
    std::optional<std::string> name;
    Compression compression = Compression::Unset;
};

// The `Source` type object (borrowed, created on first use and kept for the
// process); null with an exception set when it cannot be created.
PyObject* source_spec_type();
// Makes `type` (the `Source` class of an already loaded module built from this
// same code) the `Source` type of this copy of the code, so that a second
// extension module recognises the first one's objects. False when a type was
// already in place.
bool adopt_source_spec_type(PyObject* type);

// The options of `o` when it is a `Source` (or a subclass), else null. Never
// raises.
const PySourceSpec* as_source_spec(PyObject* o);

}  // namespace jorvane::py
