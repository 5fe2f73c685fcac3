// What the kernel tests run on: the kernels to run each test on,
// padded chunks, and readable mask printing.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "classification_kernel/kernel.h"

namespace jorvane::classification_kernel::testing {

inline const std::vector<KernelKind>& all_kernels() {
    static const std::vector<KernelKind> kinds{KernelKind::Scalar, KernelKind::Avx2, KernelKind::Avx512,
                                                KernelKind::Neon};
    return kinds;
}

inline std::string kernel_param_name(const ::testing::TestParamInfo<KernelKind>& info) {
    return kernel_name(info.param);
}

// `text` at the start of a 64-byte chunk filled with spaces.
inline std::array<uint8_t, 64> padded(std::string_view text) {
    std::array<uint8_t, 64> chunk;
    chunk.fill(' ');
    for (size_t i = 0; i < text.size() && i < 64; ++i) chunk[i] = uint8_t(text[i]);
    return chunk;
}

inline uint64_t bits(std::initializer_list<int> positions) {
    uint64_t m = 0;
    for (int p : positions) m |= uint64_t(1) << p;
    return m;
}

// "{0, 5, 7}" style listing of the set bits, for failure messages.
inline std::string positions(uint64_t mask) {
    std::string s = "{";
    for (int i = 0; i < 64; ++i) {
        if ((mask >> i) & 1) {
            if (s.size() > 1) s += ", ";
            s += std::to_string(i);
        }
    }
    return s + "}";
}

inline std::string describe(const KernelCarry& c) {
    return "carry{in_string=" + std::to_string(c.in_string) + ", prev_separator=" + std::to_string(c.prev_separator) +
           ", backslash_run=" + std::to_string(c.backslash_run) + "}";
}

}  // namespace jorvane::classification_kernel::testing
