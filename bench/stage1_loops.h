// Stage-1 loops for the benchmark: each kernel's inline form called once per
// chunk, the masks folded into a checksum (a stand-in for the walk that
// would consume them). Each loop is a specialisation living in a file
// compiled with its instruction set (stage1_loops_<isa>.cpp, built only for
// that architecture); reach them through classification_kernel::with_kernel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "classification_kernel/kernel.h"

namespace jorvane::bench {

template <classification_kernel::KernelKind K>
uint64_t stage1_inline(const uint8_t* data, size_t n_chunks);
template <>
uint64_t stage1_inline<classification_kernel::KernelKind::Scalar>(const uint8_t*, size_t);
template <>
uint64_t stage1_inline<classification_kernel::KernelKind::Avx2>(const uint8_t*, size_t);
template <>
uint64_t stage1_inline<classification_kernel::KernelKind::Avx512>(const uint8_t*, size_t);
template <>
uint64_t stage1_inline<classification_kernel::KernelKind::Neon>(const uint8_t*, size_t);

}  // namespace jorvane::bench
