// describe() and the Description it returns: the structural profile of one
// source.
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The module function describe (its method table entry).
PyMethodDef* describe_function();

}  // namespace jorvane::py
