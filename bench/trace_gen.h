// Synthetic traces for the benchmarks: uniformly random addresses, sizes 40
// to 1500, times with six decimals that start at 12345.678901 and grow by up
// to a tenth of a millisecond per record, like a busy capture.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>

namespace ipveil::bench {

class TraceGenerator {
public:
    explicit TraceGenerator(std::uint64_t seed) : rng(seed) {}

    // Writes one record line at out (room for 64 chars); returns its length.
    int nextLine(char* out) {
        // Whole microseconds, so that the text has exactly six decimals.
        micros += rng() % 101;
        const std::uint32_t address = static_cast<std::uint32_t>(rng());
        const unsigned size = 40 + static_cast<unsigned>(rng() % 1461);
        return std::snprintf(out, 64, "%llu.%06llu %u %u.%u.%u.%u\n",
                             static_cast<unsigned long long>(micros / 1000000),
                             static_cast<unsigned long long>(micros % 1000000), size, address >> 24,
                             (address >> 16) & 0xff, (address >> 8) & 0xff, address & 0xff);
    }

private:
    std::mt19937_64 rng;
    std::uint64_t micros = 12345678901;
};

}  // namespace ipveil::bench
