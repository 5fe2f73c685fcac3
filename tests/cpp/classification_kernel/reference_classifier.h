// A byte-at-a-time stage-1 classifier written straight from the definition:
// it walks the bytes keeping the in-string flag, the parity of the current
// backslash run and whether the previous byte was a separator. The kernels
// are checked against it.
#pragma once

#include <cstdint>

#include "classification_kernel/kernel.h"

namespace jorvane::classification_kernel::testing {

// Classifies one 64-byte chunk, updating `carry` like the kernels do.
ChunkMasks reference_classify(const uint8_t* chunk64, KernelCarry& carry);

}  // namespace jorvane::classification_kernel::testing
