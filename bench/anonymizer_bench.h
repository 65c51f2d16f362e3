// The anonymizer's benchmarks, registered into aes_bench beside the cipher's.
#pragma once

namespace ipveil::bench {

void registerAnonymizerBenchmarks();

}  // namespace ipveil::bench
