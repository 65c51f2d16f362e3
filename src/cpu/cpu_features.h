// What the CPU and the operating system offer the instruction-set paths of
// every room: AES's block paths, the anonymizer's fused kernels and policy
// pass, the trace reader's index. Read once per process, from CPUID and
// XGETBV; each room then chooses among its own paths from these flags, and
// none asks the CPU itself.
//
// Read from a file built without instruction-set flags, so that the question
// runs on any CPU. Everything is false where the build is not for x86-64.
#pragma once

namespace ipveil {

struct CpuFeatures {
    bool aesNi;      // AES-NI with SSSE3 and SSE4.1, the AES-NI path's instructions
    bool popcnt;     // POPCNT
    bool avx2;       // AVX2, with the ymm registers saved by the OS (XCR0 bits 1 and 2)
    bool vaes;       // VAES (its 256-bit form needs avx2 too)
    bool avx512;     // AVX-512 F, BW and VL, with the opmask and zmm registers saved (XCR0 bits 5 to 7)
    bool avx512Vbmi; // AVX-512 VBMI and VBMI2 (on top of avx512)
    bool avx512Cd;   // AVX-512 CD (on top of avx512)
};

// The features, probed on first use; the same object for the whole process.
const CpuFeatures& cpuFeatures() noexcept;

}  // namespace ipveil
