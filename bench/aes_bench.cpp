// Throughput of AesCipher (every mode and direction, AES-128) and of
// PrefixAnonymizer (anonymizer_bench.cpp), for each block implementation this
// CPU can run, each beside OpenSSL's EVP doing the same work in the same run
// so that the ratio does not depend on the machine's mood. Before timing,
// every ipveil case checks its output against OpenSSL's and refuses to run if
// they differ.
//
// Names: aes128/<mode_dir>/<impl>/<bytes>, and the anonymizer's (see
// anonymizer_bench.cpp). <impl> is portable, aes-ni, vaes, vaes512, or evp.
// Run with OPENSSL_ia32cap="~0x200000200000000" to compare against OpenSSL
// without its AES-NI code (see aes_ratios.sh).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aes_cipher.h"
#include "anonymizer_bench.h"

namespace {

using ipveil::AesCipher;
using ipveil::AesImplementation;

constexpr const auto& Implementations = ipveil::AllAesImplementations;

struct ModeCase {
    const char* name;
    int mode;
    int direction;
    const EVP_CIPHER* (*evpCipher)();
};

const ModeCase ModeCases[] = {
    {"ecb_enc", ipveil::ECB, ipveil::Encrypt, EVP_aes_128_ecb},
    {"ecb_dec", ipveil::ECB, ipveil::Decrypt, EVP_aes_128_ecb},
    {"cbc_enc", ipveil::CBC, ipveil::Encrypt, EVP_aes_128_cbc},
    {"cbc_dec", ipveil::CBC, ipveil::Decrypt, EVP_aes_128_cbc},
    {"cfb1_enc", ipveil::CFB1, ipveil::Encrypt, EVP_aes_128_cfb1},
    {"cfb1_dec", ipveil::CFB1, ipveil::Decrypt, EVP_aes_128_cfb1},
};

constexpr std::uint8_t Key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                  0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
constexpr std::uint8_t Iv[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    return bytes;
}

struct EvpContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using EvpContext = std::unique_ptr<EVP_CIPHER_CTX, EvpContextDeleter>;

// A context set up like the ipveil one: same key and vector, padding off.
EvpContext makeEvpContext(const EVP_CIPHER* cipher, int direction, const std::uint8_t* iv) {
    EvpContext context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_CipherInit_ex(context.get(), cipher, nullptr, Key, iv, direction == ipveil::Encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1)
        return nullptr;
    return context;
}

void aesIpveil(benchmark::State& state, const ModeCase& mode, AesImplementation implementation) {
    if (!ipveil::selectAesImplementation(implementation)) {
        state.SkipWithError("implementation not available");
        return;
    }
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const int bits = static_cast<int>(bytes * 8);
    const std::vector<std::uint8_t> input = randomBytes(bytes, bytes);
    std::vector<std::uint8_t> output(bytes);
    std::vector<std::uint8_t> expected(bytes);

    AesCipher cipher;
    if (cipher.setup(mode.mode, mode.direction, Key, ipveil::Bits128, Iv) != ipveil::Ok) {
        state.SkipWithError("setup failed");
        return;
    }
    // CFB-1 decryption runs the forward cipher, but through decryptBlocks.
    const bool decrypt = mode.direction == ipveil::Decrypt;
    auto run = [&] {
        return decrypt ? cipher.decryptBlocks(input.data(), bits, output.data())
                       : cipher.encryptBlocks(input.data(), bits, output.data());
    };

    EvpContext reference = makeEvpContext(mode.evpCipher(), mode.direction, Iv);
    int written = 0;
    if (!reference ||
        EVP_CipherUpdate(reference.get(), expected.data(), &written, input.data(), static_cast<int>(bytes)) != 1 ||
        run() != bits || output != expected) {
        state.SkipWithError("output differs from OpenSSL");
        return;
    }

    for (auto _ : state) {
        benchmark::DoNotOptimize(run());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

void aesEvp(benchmark::State& state, const ModeCase& mode) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> input = randomBytes(bytes, bytes);
    std::vector<std::uint8_t> output(bytes);
    EvpContext context = makeEvpContext(mode.evpCipher(), mode.direction, Iv);
    if (!context) {
        state.SkipWithError("EVP setup failed");
        return;
    }
    // The chain carries on from call to call instead of restarting from the
    // vector as ipveil's does; the work per byte is the same.
    int written = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_CipherUpdate(context.get(), output.data(), &written, input.data(), static_cast<int>(bytes)));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

void registerAll() {
    for (const ModeCase& mode : ModeCases) {
        const std::string prefix = std::string("aes128/") + mode.name + "/";
        // Only what this build and CPU can run is registered: a placeholder
        // hardware path simply does not appear.
        for (const AesImplementation implementation : Implementations) {
            if (!ipveil::aesImplementationAvailable(implementation)) continue;
            benchmark::RegisterBenchmark((prefix + ipveil::aesImplementationName(implementation)).c_str(), aesIpveil,
                                         mode, implementation)
                ->RangeMultiplier(4)
                ->Range(16, 64 << 10);
        }
        benchmark::RegisterBenchmark((prefix + "evp").c_str(), aesEvp, mode)->RangeMultiplier(4)->Range(16, 64 << 10);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerAll();
    ipveil::bench::registerAnonymizerBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
