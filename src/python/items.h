// items() and kvitems(), and the Items iterator they return.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The Items type object (created on first use, kept for the process).
PyObject* items_type();
// The module functions items and kvitems, terminated by an empty entry.
PyMethodDef* items_functions();

}  // namespace jorvane::py
