// python_batch_reference: the C++ batch anonymizer timed on the IPv4 addresses
// that bench/python_bench.py maps through the Python module in the same run.
//
//   python_batch_reference KEY_DIGITS ADDRESSES IMAGES REPETITIONS
//
// ADDRESSES holds native-order uint32 addresses; IMAGES receives their images
// (for the script to compare with the module's). Prints the best of
// REPETITIONS runs of PrefixAnonymizer::anonymize(addresses, count, images),
// in seconds, into an output buffer written once before the first run.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "prefix_anonymizer.h"

namespace {

bool readKey(const char* digits, std::uint8_t* key) {
    if (std::strlen(digits) != 2 * ipveil::PrefixAnonymizer::KeyBytes) return false;
    for (int i = 0; i < ipveil::PrefixAnonymizer::KeyBytes; ++i) {
        unsigned value;
        if (std::sscanf(digits + 2 * i, "%2x", &value) != 1) return false;
        key[i] = static_cast<std::uint8_t>(value);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint8_t key[ipveil::PrefixAnonymizer::KeyBytes];
    if (argc != 5 || !readKey(argv[1], key)) {
        std::fputs("usage: python_batch_reference KEY_DIGITS ADDRESSES IMAGES REPETITIONS\n", stderr);
        return 1;
    }
    std::FILE* in = std::fopen(argv[2], "rb");
    if (in == nullptr) return 1;
    std::vector<std::uint32_t> addresses;
    std::uint32_t chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, sizeof chunk[0], 4096, in)) > 0;) {
        addresses.insert(addresses.end(), chunk, chunk + got);
    }
    std::fclose(in);

    const ipveil::PrefixAnonymizer anonymizer(key);
    std::vector<std::uint32_t> images(addresses.size(), 1);
    double best = 1e30;
    for (int run = 0, runs = std::atoi(argv[4]); run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        anonymizer.anonymize(addresses.data(), addresses.size(), images.data());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) best = took.count();
    }

    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr || std::fwrite(images.data(), sizeof images[0], images.size(), out) != images.size() ||
        std::fclose(out) != 0) {
        return 1;
    }
    std::printf("%.6f\n", best);
    return 0;
}
