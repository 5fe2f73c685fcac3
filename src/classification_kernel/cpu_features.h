// Run-time detection of the instruction sets the vector kernels need,
// including whether the operating system saves the wide register state.
#pragma once

namespace jorvane::classification_kernel {

struct CpuFeatures {
    bool avx2 = false;    // AVX2, PCLMULQDQ, BMI1/2, LZCNT, POPCNT, YMM state enabled
    bool avx512 = false;  // the above plus AVX-512 F/BW/VL/DQ, ZMM and opmask state enabled
};

// Queried once per process; later calls return the same answer.
const CpuFeatures& cpu_features();

}  // namespace jorvane::classification_kernel
