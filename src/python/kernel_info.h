// _active_kernel(): the name of the stage-1 classification kernel this
// process runs ("avx512", "avx2", "neon" or "scalar").
#pragma once

#include "python/py.h"

namespace jorvane::py {

// The method table entry of _active_kernel (no arguments).
PyMethodDef* active_kernel_def();

}  // namespace jorvane::py
