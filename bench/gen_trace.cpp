// gen_trace: writes a synthetic trace of N records to standard output.
//
//   gen_trace N [seed [ipv6-percent]]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "trace_gen.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fputs("usage: gen_trace records [seed [ipv6-percent]]\n", stderr);
        return 1;
    }
    const unsigned long long records = std::strtoull(argv[1], nullptr, 10);
    const std::uint64_t seed = argc >= 3 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const auto ipv6Percent = static_cast<unsigned>(argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 0);
    ipveil::bench::TraceGenerator generator(seed, ipv6Percent);

    // Lines are gathered into large writes; stdio's per-call cost would
    // otherwise dominate.
    std::vector<char> buffer(1 << 20);
    std::size_t used = 0;
    for (unsigned long long i = 0; i < records; ++i) {
        if (buffer.size() - used < ipveil::bench::TraceGenerator::MaxLineChars) {
            if (std::fwrite(buffer.data(), 1, used, stdout) != used) return 1;
            used = 0;
        }
        used += static_cast<std::size_t>(generator.nextLine(buffer.data() + used));
    }
    if (std::fwrite(buffer.data(), 1, used, stdout) != used || std::fflush(stdout) != 0) return 1;
    return 0;
}
