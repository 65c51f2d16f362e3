// PrefixAnonymizer's throughput, in addresses per second, for each block
// implementation this CPU can run:
//   anonymize/<impl>             one address per call
//   anonymize_batch/<impl>       AddressCount addresses in one call
//   deanonymize_batch/<impl>     the same, back
//   aes_limit/<impl>             the AES units' limit: 32 blocks' worth of
//                                rounds per address on idle registers
//   anonymize/evp                OpenSSL EVP encrypting the same 32 blocks per
//                                address in one ECB call
//   anonymize_one_block_calls/<impl>  32 one-block cipher calls per address,
//                                as the straightforward program does
// Every case first checks its results against the plain mapping of
// baseline_anonymizer.h and refuses to run if they differ.
#include "anonymizer_bench.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aes_cipher.h"
#include "aes_limit.h"
#include "baseline_anonymizer.h"
#include "ipveil_key.h"
#include "prefix_anonymizer.h"

namespace ipveil::bench {

namespace {

// Enough addresses that the branch predictor cannot learn them, few enough to
// stay in L1 beside the round keys.
constexpr std::size_t AddressCount = 4096;

const std::vector<std::uint32_t>& randomAddresses() {
    static const std::vector<std::uint32_t> addresses = [] {
        std::mt19937 rng(20240611);
        std::vector<std::uint32_t> values(AddressCount);
        for (auto& value : values) value = rng();
        return values;
    }();
    return addresses;
}

bool select(benchmark::State& state, AesImplementation implementation) {
    if (ipveil::selectAesImplementation(implementation)) return true;
    state.SkipWithError("implementation not available");
    return false;
}

void setAddresses(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * AddressCount));
}

// True when `images` are the plain mapping's images of the addresses.
bool matchesBaseline(const std::vector<std::uint32_t>& images) {
    const BaselineAnonymizer reference(ipveil::BuiltInKey);
    const auto& addresses = randomAddresses();
    for (std::size_t i = 0; i < 256; ++i) {
        if (images[i] != reference.anonymize(addresses[i])) return false;
    }
    return true;
}

void anonymizeOne(benchmark::State& state, AesImplementation implementation) {
    if (!select(state, implementation)) return;
    const PrefixAnonymizer anonymizer(ipveil::BuiltInKey);
    const auto& addresses = randomAddresses();
    std::vector<std::uint32_t> images(AddressCount);
    for (std::size_t i = 0; i < AddressCount; ++i) images[i] = anonymizer.anonymize(addresses[i]);
    if (!matchesBaseline(images)) return state.SkipWithError("anonymizer differs from the baseline mapping");
    for (auto _ : state) {
        std::uint32_t sink = 0;
        for (const std::uint32_t address : addresses) sink ^= anonymizer.anonymize(address);
        benchmark::DoNotOptimize(sink);
    }
    setAddresses(state);
}

void anonymizeBatch(benchmark::State& state, AesImplementation implementation) {
    if (!select(state, implementation)) return;
    const PrefixAnonymizer anonymizer(ipveil::BuiltInKey);
    const auto& addresses = randomAddresses();
    std::vector<std::uint32_t> images(AddressCount);
    anonymizer.anonymize(addresses.data(), AddressCount, images.data());
    if (!matchesBaseline(images)) return state.SkipWithError("anonymizer differs from the baseline mapping");
    for (auto _ : state) {
        anonymizer.anonymize(addresses.data(), AddressCount, images.data());
        benchmark::ClobberMemory();
    }
    setAddresses(state);
}

void deanonymizeBatch(benchmark::State& state, AesImplementation implementation) {
    if (!select(state, implementation)) return;
    const PrefixAnonymizer anonymizer(ipveil::BuiltInKey);
    const auto& addresses = randomAddresses();
    std::vector<std::uint32_t> images(AddressCount);
    std::vector<std::uint32_t> originals(AddressCount);
    anonymizer.anonymize(addresses.data(), AddressCount, images.data());
    anonymizer.deanonymize(images.data(), AddressCount, originals.data());
    if (!matchesBaseline(images) || originals != addresses) return state.SkipWithError("round trip failed");
    for (auto _ : state) {
        anonymizer.deanonymize(images.data(), AddressCount, originals.data());
        benchmark::ClobberMemory();
    }
    setAddresses(state);
}

void aesLimit(benchmark::State& state, AesImplementation implementation, std::size_t blocksPerAddress) {
    AesCipher cipher;
    cipher.setup(ipveil::ECB, ipveil::Encrypt, ipveil::BuiltInKey, ipveil::Bits128);
    for (auto _ : state) benchmark::DoNotOptimize(aesRounds(implementation, cipher.roundKey(0), AddressCount * blocksPerAddress));
    setAddresses(state);
}

struct EvpContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// The same 32 blocks per address through OpenSSL: build them, one 512-byte
// ECB update, gather the top bits.
void anonymizeEvp(benchmark::State& state) {
    ipveil::selectAesImplementation(AesImplementation::Portable);  // only for the pad, computed once
    const BaselineAnonymizer reference(ipveil::BuiltInKey);
    const std::uint8_t* pad = reference.padBytes();
    std::unique_ptr<EVP_CIPHER_CTX, EvpContextDeleter> context(EVP_CIPHER_CTX_new());
    if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, ipveil::BuiltInKey, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return state.SkipWithError("EVP setup failed");
    }
    auto anonymize = [&](std::uint32_t address) {
        alignas(64) std::uint8_t blocks[32][16];
        alignas(64) std::uint8_t encrypted[32][16];
        for (int pos = 0; pos < 32; ++pos) buildPrefixBlock(pad, address, pos, blocks[pos]);
        int written = 0;
        EVP_EncryptUpdate(context.get(), encrypted[0], &written, blocks[0], sizeof blocks);
        std::uint32_t flips = 0;
        for (int pos = 0; pos < 32; ++pos) flips |= static_cast<std::uint32_t>(encrypted[pos][0] >> 7) << (31 - pos);
        return address ^ flips;
    };
    const auto& addresses = randomAddresses();
    std::vector<std::uint32_t> images(AddressCount);
    for (std::size_t i = 0; i < AddressCount; ++i) images[i] = anonymize(addresses[i]);
    if (!matchesBaseline(images)) return state.SkipWithError("OpenSSL mapping differs from the baseline mapping");
    for (auto _ : state) {
        std::uint32_t sink = 0;
        for (const std::uint32_t address : addresses) sink ^= anonymize(address);
        benchmark::DoNotOptimize(sink);
    }
    setAddresses(state);
}

// The baseline program's loop: 32 one-block calls per address.
void anonymizeOneBlockCalls(benchmark::State& state, AesImplementation implementation) {
    if (!select(state, implementation)) return;
    const BaselineAnonymizer anonymizer(ipveil::BuiltInKey);
    const auto& addresses = randomAddresses();
    for (auto _ : state) {
        std::uint32_t sink = 0;
        for (const std::uint32_t address : addresses) sink ^= anonymizer.anonymize(address);
        benchmark::DoNotOptimize(sink);
    }
    setAddresses(state);
}

}  // namespace

void registerAnonymizerBenchmarks() {
    for (const AesImplementation implementation : ipveil::AllAesImplementations) {
        if (!ipveil::aesImplementationAvailable(implementation)) continue;
        const std::string name = ipveil::aesImplementationName(implementation);
        benchmark::RegisterBenchmark(("anonymize/" + name).c_str(), anonymizeOne, implementation);
        benchmark::RegisterBenchmark(("anonymize_batch/" + name).c_str(), anonymizeBatch, implementation);
        benchmark::RegisterBenchmark(("deanonymize_batch/" + name).c_str(), deanonymizeBatch, implementation);
        if (aesLimitAvailable(implementation)) {
            benchmark::RegisterBenchmark(("aes_limit/" + name).c_str(), aesLimit, implementation, std::size_t{32});
        }
        benchmark::RegisterBenchmark(("anonymize_one_block_calls/" + name).c_str(), anonymizeOneBlockCalls,
                                     implementation);
    }
    benchmark::RegisterBenchmark("anonymize/evp", anonymizeEvp);
}

}  // namespace ipveil::bench
