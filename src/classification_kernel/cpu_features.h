// Run-time detection of the instruction sets the vector kernels need,
// including whether the operating system saves the wide register state.
#pragma once

namespace jorvane::classification_kernel {

// Only the features of the architecture the build targets are ever set.
struct CpuFeatures {
    bool avx2 = false;    // x86-64: AVX2, PCLMULQDQ, BMI1/2, LZCNT, POPCNT, YMM state enabled
    bool avx512 = false;  // x86-64: the above plus AVX-512 F/BW/VL/DQ, ZMM and opmask state enabled
    bool neon = false;    // 64-bit Arm: Advanced SIMD and the 64-bit carry-less multiply (PMULL)
};

// Queried once per process; later calls return the same answer.
const CpuFeatures& cpu_features();

}  // namespace jorvane::classification_kernel
