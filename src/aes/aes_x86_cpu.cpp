// What the x86 CPU and the operating system offer the hardware paths. Kept
// apart from the path files, which are compiled with instruction-set flags:
// code that decides whether those instructions may run must not use them.
#include <cpuid.h>

#include "aes_block_paths.h"

namespace ipveil::aes_detail {

bool cpuHasVaes512() noexcept {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) return false;
    // The OS must save the opmask and all 512 bits of the 32 vector registers
    // on a context switch (XCR0 bits 5 to 7), besides the SSE and AVX state
    // (bits 1 and 2); a CPU with AVX-512 under an OS that does not would fault.
    unsigned xcr0 = 0;
    unsigned xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 0xE6) != 0xE6) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    const unsigned needed = bit_AVX512F | bit_AVX512BW | bit_AVX512VL;
    return (ebx & needed) == needed && (ecx & bit_VAES) != 0;
}

}  // namespace ipveil::aes_detail
