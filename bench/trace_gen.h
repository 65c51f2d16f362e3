// Synthetic traces for the benchmarks: uniformly random addresses (IPv4, or
// IPv6 for the given share of records, printed in RFC 5952 form), sizes 40
// to 1500, times with six decimals that start at 12345.678901 and grow by up
// to a tenth of a millisecond per record, like a busy capture.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>

#include "ipv6_address.h"

namespace ipveil::bench {

class TraceGenerator {
public:
    static constexpr int MaxLineChars = 96;

    explicit TraceGenerator(std::uint64_t seed, unsigned ipv6Percent = 0) : rng(seed), ipv6Percent(ipv6Percent) {}

    // Writes one record line at out (room for MaxLineChars); returns its length.
    int nextLine(char* out) {
        // Whole microseconds, so that the text has exactly six decimals.
        micros += rng() % 101;
        const unsigned size = 40 + static_cast<unsigned>(rng() % 1461);
        const int prefix = std::snprintf(out, MaxLineChars, "%llu.%06llu %u ",
                                         static_cast<unsigned long long>(micros / 1000000),
                                         static_cast<unsigned long long>(micros % 1000000), size);
        if (rng() % 100 < ipv6Percent) {
            Ipv6Address address;
            for (auto& byte : address.bytes) byte = static_cast<std::uint8_t>(rng());
            char* end = formatIpv6Address(out + prefix, address);
            *end++ = '\n';
            return static_cast<int>(end - out);
        }
        const auto address = static_cast<std::uint32_t>(rng());
        return prefix + std::snprintf(out + prefix, MaxLineChars - static_cast<std::size_t>(prefix), "%u.%u.%u.%u\n",
                                      address >> 24, (address >> 16) & 0xff, (address >> 8) & 0xff, address & 0xff);
    }

private:
    std::mt19937_64 rng;
    unsigned ipv6Percent;
    std::uint64_t micros = 12345678901;
};

}  // namespace ipveil::bench
