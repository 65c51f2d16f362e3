#include "cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace ipveil {

namespace {

CpuFeatures probe() noexcept {
    CpuFeatures features{};
#if defined(__x86_64__)
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
    features.aesNi = (ecx & bit_AES) != 0 && (ecx & bit_SSSE3) != 0 && (ecx & bit_SSE4_1) != 0;
    features.popcnt = (ecx & bit_POPCNT) != 0;
    const bool avxOnCpu = (ecx & bit_AVX) != 0;
    // A CPU's vector extensions are usable only if the OS saves their
    // registers on a context switch; without that they would fault.
    unsigned xcr0 = 0;
    if ((ecx & bit_OSXSAVE) != 0) {
        unsigned xcr0High = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    }
    const bool ymmSaved = avxOnCpu && (xcr0 & 0x06) == 0x06;
    const bool zmmSaved = ymmSaved && (xcr0 & 0xE6) == 0xE6;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return features;
    features.avx2 = ymmSaved && (ebx & bit_AVX2) != 0;
    features.vaes = (ecx & bit_VAES) != 0;
    const unsigned avx512 = bit_AVX512F | bit_AVX512BW | bit_AVX512VL;
    features.avx512 = zmmSaved && (ebx & avx512) == avx512;
    features.avx512Vbmi = features.avx512 && (ecx & bit_AVX512VBMI) != 0 && (ecx & bit_AVX512VBMI2) != 0;
    features.avx512Cd = features.avx512 && (ebx & bit_AVX512CD) != 0;
#endif
    return features;
}

}  // namespace

const CpuFeatures& cpuFeatures() noexcept {
    static const CpuFeatures features = probe();
    return features;
}

}  // namespace ipveil
