// ipveil_baseline: the command written the straightforward way, as the
// yardstick for ipveil's speed and the oracle for its output on well-formed
// traces. scanf reads, one AES call per address bit on the portable tables,
// printf writes. Malformed input is not its concern beyond stopping.
#include <cstdint>
#include <cstdio>

#include "aes_cipher.h"
#include "baseline_anonymizer.h"
#include "ipveil_key.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: ipveil_baseline raw-trace-file\n", stderr);
        return -1;
    }
    std::FILE* input = std::fopen(argv[1], "r");
    if (input == nullptr) {
        std::fprintf(stderr, "Cannot open file %s\n", argv[1]);
        return -2;
    }

    // The baseline is the table code, whatever the CPU offers.
    ipveil::selectAesImplementation(ipveil::AesImplementation::Portable);
    const ipveil::bench::BaselineAnonymizer anonymizer(ipveil::BuiltInKey);

    float packet_time;
    unsigned packet_size, a1, a2, a3, a4;
    int got;
    while ((got = std::fscanf(input, "%f", &packet_time)) != EOF) {
        if (got != 1 || std::fscanf(input, "%u", &packet_size) != 1 ||
            std::fscanf(input, "%u.%u.%u.%u", &a1, &a2, &a3, &a4) != 4) {
            std::fputs("Malformed record\n", stderr);
            return -3;
        }
        const std::uint32_t address = (a1 << 24) + (a2 << 16) + (a3 << 8) + a4;
        const std::uint32_t image = anonymizer.anonymize(address);
        std::printf("%6f\t%u\t%u.%u.%u.%u\n", static_cast<double>(packet_time), packet_size, image >> 24,
                    (image >> 16) & 0xff, (image >> 8) & 0xff, image & 0xff);
    }
    return 0;
}
