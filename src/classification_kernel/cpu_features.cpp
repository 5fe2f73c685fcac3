// CPU feature detection.
//
// x86-64, with cpuid and xgetbv: a vector kernel needs both the instructions
// (cpuid leaves 1, 7 and 0x80000001) and the operating system's support for
// saving the wider registers: XCR0 must enable the SSE and AVX state for
// AVX2, and additionally the opmask and both ZMM state components for
// AVX-512. The flags the kernel files are compiled with (BMI, LZCNT, POPCNT,
// PCLMULQDQ; DQ for AVX-512) are checked as well, since the compiler is free
// to use them anywhere in those files.
//
// 64-bit Arm: user code cannot read the ID registers portably, so the
// operating system is asked: the auxiliary vector's hardware capabilities on
// Linux, sysctl on Apple systems; anywhere else the vector kernel is not
// used. PMULL belongs to the AES part of the crypto extension, which the
// kernel files are compiled with; they use no other crypto instruction.
#include "classification_kernel/cpu_features.h"

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#elif defined(__aarch64__) && defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace jorvane::classification_kernel {
namespace {

#if defined(__x86_64__)

struct Regs {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

bool cpuid(uint32_t leaf, uint32_t subleaf, Regs& r) {
    return __get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx) != 0;
}

uint64_t read_xcr0() {
    uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (uint64_t(edx) << 32) | eax;
}

bool bit(uint32_t reg, int n) { return (reg >> n) & 1u; }

CpuFeatures detect() {
    CpuFeatures f;
    Regs l1, l7, lx;
    if (!cpuid(1, 0, l1)) return f;
    const bool osxsave = bit(l1.ecx, 27);
    const bool avx = bit(l1.ecx, 28);
    const bool pclmul = bit(l1.ecx, 1);
    const bool popcnt = bit(l1.ecx, 23);
    if (!osxsave || !avx) return f;
    const uint64_t xcr0 = read_xcr0();
    const bool ymm_state = (xcr0 & 0x6) == 0x6;            // SSE + AVX
    const bool zmm_state = (xcr0 & 0xE6) == 0xE6;          // + opmask, ZMM_Hi256, Hi16_ZMM
    if (!cpuid(7, 0, l7)) return f;
    const bool lzcnt = cpuid(0x80000001, 0, lx) && bit(lx.ecx, 5);
    const bool avx2 = bit(l7.ebx, 5), bmi1 = bit(l7.ebx, 3), bmi2 = bit(l7.ebx, 8);
    const bool avx512f = bit(l7.ebx, 16), avx512dq = bit(l7.ebx, 17);
    const bool avx512bw = bit(l7.ebx, 30), avx512vl = bit(l7.ebx, 31);
    f.avx2 = ymm_state && avx2 && pclmul && popcnt && lzcnt && bmi1 && bmi2;
    f.avx512 = f.avx2 && zmm_state && avx512f && avx512dq && avx512bw && avx512vl;
    return f;
}

#elif defined(__aarch64__) && defined(__linux__)

CpuFeatures detect() {
    const unsigned long hwcap = getauxval(AT_HWCAP);
    CpuFeatures f;
    f.neon = (hwcap & HWCAP_ASIMD) != 0 && (hwcap & HWCAP_PMULL) != 0;
    return f;
}

#elif defined(__aarch64__) && defined(__APPLE__)

// An unknown name (an older system) counts as absent.
bool sysctl_flag(const char* name) {
    int value = 0;
    size_t size = sizeof value;
    return sysctlbyname(name, &value, &size, nullptr, 0) == 0 && value != 0;
}

// Advanced SIMD is part of the platform's ABI (every file may use it).
CpuFeatures detect() {
    CpuFeatures f;
    f.neon = sysctl_flag("hw.optional.arm.FEAT_PMULL");
    return f;
}

#else

CpuFeatures detect() { return {}; }

#endif

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace jorvane::classification_kernel
