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
//   anonymize6_batch/<impl>, deanonymize6_batch/<impl>, aes_limit6/<impl>,
//   anonymize6/evp               the same for IPv6 addresses, 128 blocks each
//   anonymize_batch_special/<impl>, anonymize6_batch_special/<impl>
//                                the batch cases with the `special` policy
// Every case first checks its results against the plain mapping of
// baseline_anonymizer.h and refuses to run if they differ; the policy cases
// check that their images go back to the addresses.
#include "anonymizer_bench.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aes_cipher.h"
#include "address_policy.h"
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

const std::vector<Ipv6Address>& randomIpv6Addresses() {
    static const std::vector<Ipv6Address> addresses = [] {
        std::mt19937 rng(20261209);
        std::vector<Ipv6Address> values(AddressCount);
        for (auto& value : values) {
            for (auto& byte : value.bytes) byte = static_cast<std::uint8_t>(rng());
        }
        return values;
    }();
    return addresses;
}

// The first pos bits of a 16-byte block, as the mask of byte b.
std::uint8_t keepByte(int pos, int b) {
    const int bits = pos - 8 * b;
    return static_cast<std::uint8_t>(bits >= 8 ? 0xFF : bits <= 0 ? 0 : 0xFF00 >> bits);
}

// The IPv6 rule written the plain way with the portable cipher, for the
// checks: bit pos is flipped by the top bit of AES(first pos address bits,
// then the pad's last 128 - pos).
Ipv6Address plainAnonymize6(const Ipv6Address& address) {
    const BaselineAnonymizer reference(ipveil::BuiltInKey);
    AesCipher cipher;
    cipher.setup(ipveil::ECB, ipveil::Encrypt, ipveil::BuiltInKey, ipveil::Bits128);
    Ipv6Address image = address;
    for (int pos = 0; pos < 128; ++pos) {
        std::uint8_t block[16];
        for (int b = 0; b < 16; ++b) {
            block[b] = static_cast<std::uint8_t>((address.bytes[b] & keepByte(pos, b)) |
                                                 (reference.padBytes()[b] & ~keepByte(pos, b)));
        }
        cipher.encryptBlocks(block, 128, block);
        if (block[0] & 0x80) image.bytes[pos / 8] ^= static_cast<std::uint8_t>(0x80 >> (pos % 8));
    }
    return image;
}

bool matchesPlain6(const std::vector<Ipv6Address>& images) {
    const auto& addresses = randomIpv6Addresses();
    for (std::size_t i = 0; i < 16; ++i) {
        if (!(images[i] == plainAnonymize6(addresses[i]))) return false;
    }
    return true;
}

void anonymize6Batch(benchmark::State& state, AesImplementation implementation) {
    if (!select(state, implementation)) return;
    const PrefixAnonymizer anonymizer(ipveil::BuiltInKey);
    const auto& addresses = randomIpv6Addresses();
    std::vector<Ipv6Address> images(AddressCount);
    anonymizer.anonymize(addresses.data(), AddressCount, images.data());
    if (!matchesPlain6(images)) return state.SkipWithError("anonymizer differs from the plain IPv6 mapping");
    for (auto _ : state) {
        anonymizer.anonymize(addresses.data(), AddressCount, images.data());
        benchmark::ClobberMemory();
    }
    setAddresses(state);
}

void deanonymize6Batch(benchmark::State& state, AesImplementation implementation) {
    if (!select(state, implementation)) return;
    const PrefixAnonymizer anonymizer(ipveil::BuiltInKey);
    const auto& addresses = randomIpv6Addresses();
    std::vector<Ipv6Address> images(AddressCount);
    std::vector<Ipv6Address> originals(AddressCount);
    anonymizer.anonymize(addresses.data(), AddressCount, images.data());
    anonymizer.deanonymize(images.data(), AddressCount, originals.data());
    if (!matchesPlain6(images) || originals != addresses) return state.SkipWithError("round trip failed");
    for (auto _ : state) {
        anonymizer.deanonymize(images.data(), AddressCount, originals.data());
        benchmark::ClobberMemory();
    }
    setAddresses(state);
}

const AddressPolicy& specialPolicy() {
    static const AddressPolicy policy = [] {
        PolicyError error;
        return AddressPolicy::parse("special", error).value_or(AddressPolicy{});
    }();
    return policy;
}

// The batch cases with the special table's ~50 rules in force, beside the
// ones without a policy.
template <typename Address>
void anonymizeBatchSpecial(benchmark::State& state, AesImplementation implementation,
                           const std::vector<Address>& addresses) {
    if (!select(state, implementation)) return;
    const PrefixAnonymizer anonymizer(ipveil::BuiltInKey, specialPolicy());
    std::vector<Address> images(AddressCount);
    std::vector<Address> originals(AddressCount);
    anonymizer.anonymize(addresses.data(), AddressCount, images.data());
    anonymizer.deanonymize(images.data(), AddressCount, originals.data());
    if (originals != addresses) return state.SkipWithError("round trip failed");
    for (auto _ : state) {
        anonymizer.anonymize(addresses.data(), AddressCount, images.data());
        benchmark::ClobberMemory();
    }
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

// The same 128 blocks per IPv6 address through OpenSSL, in one 2 KiB ECB call.
void anonymize6Evp(benchmark::State& state) {
    ipveil::selectAesImplementation(AesImplementation::Portable);  // only for the pad, computed once
    const BaselineAnonymizer reference(ipveil::BuiltInKey);
    const std::uint8_t* pad = reference.padBytes();
    std::unique_ptr<EVP_CIPHER_CTX, EvpContextDeleter> context(EVP_CIPHER_CTX_new());
    if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, ipveil::BuiltInKey, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return state.SkipWithError("EVP setup failed");
    }
    // The blocks are built eight bytes at a time from masks made once, so
    // that the comparison is with OpenSSL's AES, not with byte loops.
    alignas(64) std::uint64_t keep[128][2];
    for (int pos = 0; pos < 128; ++pos) {
        std::uint8_t bytes[16];
        for (int b = 0; b < 16; ++b) bytes[b] = keepByte(pos, b);
        std::memcpy(keep[pos], bytes, 16);
    }
    std::uint64_t padWords[2];
    std::memcpy(padWords, pad, 16);
    auto anonymize = [&](const Ipv6Address& address) {
        alignas(64) std::uint64_t blocks[128][2];
        std::uint64_t words[2];
        std::memcpy(words, address.bytes, 16);
        for (int pos = 0; pos < 128; ++pos) {
            for (int w = 0; w < 2; ++w) blocks[pos][w] = (words[w] & keep[pos][w]) | (padWords[w] & ~keep[pos][w]);
        }
        int written = 0;
        auto* bytes = reinterpret_cast<std::uint8_t*>(blocks[0]);
        EVP_EncryptUpdate(context.get(), bytes, &written, bytes, sizeof blocks);
        Ipv6Address image = address;
        for (int pos = 0; pos < 128; ++pos) {
            image.bytes[pos / 8] ^= static_cast<std::uint8_t>((bytes[16 * pos] >> 7) << (7 - pos % 8));
        }
        return image;
    };
    const auto& addresses = randomIpv6Addresses();
    std::vector<Ipv6Address> images(AddressCount);
    for (std::size_t i = 0; i < AddressCount; ++i) images[i] = anonymize(addresses[i]);
    if (!matchesPlain6(images)) return state.SkipWithError("OpenSSL mapping differs from the plain IPv6 mapping");
    for (auto _ : state) {
        for (std::size_t i = 0; i < AddressCount; ++i) benchmark::DoNotOptimize(anonymize(addresses[i]));
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
        benchmark::RegisterBenchmark(("anonymize_batch_special/" + name).c_str(),
                                     anonymizeBatchSpecial<std::uint32_t>, implementation, randomAddresses());
        benchmark::RegisterBenchmark(("anonymize6_batch/" + name).c_str(), anonymize6Batch, implementation);
        benchmark::RegisterBenchmark(("anonymize6_batch_special/" + name).c_str(),
                                     anonymizeBatchSpecial<Ipv6Address>, implementation, randomIpv6Addresses());
        benchmark::RegisterBenchmark(("deanonymize6_batch/" + name).c_str(), deanonymize6Batch, implementation);
        if (aesLimitAvailable(implementation)) {
            benchmark::RegisterBenchmark(("aes_limit6/" + name).c_str(), aesLimit, implementation, std::size_t{128});
        }
    }
    benchmark::RegisterBenchmark("anonymize/evp", anonymizeEvp);
    benchmark::RegisterBenchmark("anonymize6/evp", anonymize6Evp);
}

}  // namespace ipveil::bench
