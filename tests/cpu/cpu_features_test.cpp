// The one CPU probe against the compiler's own (libgcc's
// __builtin_cpu_supports, which reads CPUID and XGETBV by its own code): on
// whatever machine runs the tests, every feature must agree.
#include "cpu_features.h"

#include <gtest/gtest.h>

namespace {

TEST(CpuFeatures, AgreeWithTheCompilersProbe) {
    const ipveil::CpuFeatures& cpu = ipveil::cpuFeatures();
    EXPECT_EQ(&cpu, &ipveil::cpuFeatures()) << "probed more than once";
#if defined(__x86_64__)
    __builtin_cpu_init();
    EXPECT_EQ(cpu.aesNi, __builtin_cpu_supports("aes") && __builtin_cpu_supports("ssse3") &&
                             __builtin_cpu_supports("sse4.1"));
    EXPECT_EQ(cpu.popcnt, __builtin_cpu_supports("popcnt") != 0);
    EXPECT_EQ(cpu.avx2, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(cpu.vaes, __builtin_cpu_supports("vaes") != 0);
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl");
    EXPECT_EQ(cpu.avx512, avx512);
    EXPECT_EQ(cpu.avx512Vbmi,
              avx512 && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2"));
    EXPECT_EQ(cpu.avx512Cd, avx512 && __builtin_cpu_supports("avx512cd"));
#else
    EXPECT_FALSE(cpu.aesNi || cpu.popcnt || cpu.avx2 || cpu.vaes || cpu.avx512 || cpu.avx512Vbmi || cpu.avx512Cd);
#endif
}

}  // namespace
