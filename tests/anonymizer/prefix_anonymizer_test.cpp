// PrefixAnonymizer against a second computation of the same bits that uses
// OpenSSL's AES-128 as the pseudo-random function, and the properties the
// mapping promises: prefix preservation and bijection.
#include "prefix_anonymizer.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

using Key = std::array<std::uint8_t, 32>;

Key randomKey(std::mt19937_64& rng) {
    Key key;
    for (auto& byte : key) byte = static_cast<std::uint8_t>(rng());
    return key;
}

// One AES-128 block through OpenSSL.
struct OpenSslAes {
    explicit OpenSslAes(const std::uint8_t* key) : ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free) {
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key, nullptr);
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    }
    std::array<std::uint8_t, 16> encrypt(const std::uint8_t* block) {
        std::array<std::uint8_t, 16> out{};
        int length = 0;
        EVP_EncryptUpdate(ctx.get(), out.data(), &length, block, 16);
        return out;
    }
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx;
};

// The mapping written out bit by bit: bit i of the result is bit i of the
// address XOR the top bit of AES(first i address bits, then the pad's bits).
std::uint32_t referenceAnonymize(const Key& key, std::uint32_t address) {
    OpenSslAes aes(key.data());
    const auto pad = aes.encrypt(key.data() + 16);
    std::uint32_t padPrefix = 0;
    for (int i = 0; i < 4; ++i) padPrefix = padPrefix << 8 | pad[static_cast<std::size_t>(i)];
    std::uint32_t result = address;
    for (int i = 0; i < 32; ++i) {
        const std::uint64_t keep = i == 0 ? 0 : (~std::uint64_t{0} << (32 - i)) & 0xFFFFFFFFu;
        const auto value = static_cast<std::uint32_t>((address & keep) | (padPrefix & ~keep));
        auto block = pad;
        for (int b = 0; b < 4; ++b) block[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(value >> (24 - 8 * b));
        if (aes.encrypt(block.data())[0] & 0x80) result ^= 1u << (31 - i);
    }
    return result;
}

int commonPrefix(std::uint32_t a, std::uint32_t b) { return a == b ? 32 : std::countl_zero(a ^ b); }

// Every block implementation the machine has, and the fused kernels that
// follow it, must give the reference's bits.
TEST(PrefixAnonymizer, MatchesOpenSslReferenceOnEveryImplementation) {
    const ipveil::AesImplementation previous = ipveil::activeAesImplementation();
    for (auto implementation : ipveil::AllAesImplementations) {
        if (!ipveil::selectAesImplementation(implementation)) continue;
        SCOPED_TRACE(ipveil::aesImplementationName(implementation));
        std::mt19937_64 rng(20261208);
        for (int k = 0; k < 8; ++k) {
            const Key key = randomKey(rng);
            const ipveil::PrefixAnonymizer anonymizer(key.data());
            std::vector<std::uint32_t> addresses = {0u, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu};
            for (int i = 0; i < 200; ++i) addresses.push_back(static_cast<std::uint32_t>(rng()));
            for (std::uint32_t address : addresses) {
                ASSERT_EQ(anonymizer.anonymize(address), referenceAnonymize(key, address)) << "address " << address;
                ASSERT_EQ(anonymizer.deanonymize(anonymizer.anonymize(address)), address);
            }
        }
    }
    ipveil::selectAesImplementation(previous);
}

TEST(PrefixAnonymizer, PreservesExactlyTheCommonPrefix) {
    std::mt19937_64 rng(7);
    const Key key = randomKey(rng);
    const ipveil::PrefixAnonymizer anonymizer(key.data());
    for (int i = 0; i < 20000; ++i) {
        const auto a = static_cast<std::uint32_t>(rng());
        // Pairs sharing a chosen prefix length, including the last bit only.
        const int shared = static_cast<int>(rng() % 32);
        const std::uint32_t flip = 0x80000000u >> shared;
        const std::uint32_t b = (a ^ flip) ^ (static_cast<std::uint32_t>(rng()) & (flip - 1));
        ASSERT_EQ(commonPrefix(anonymizer.anonymize(a), anonymizer.anonymize(b)), shared);
    }
}

TEST(PrefixAnonymizer, TopBitFlipIsTheSameForEveryAddress) {
    std::mt19937_64 rng(11);
    for (int k = 0; k < 4; ++k) {
        const Key key = randomKey(rng);
        const ipveil::PrefixAnonymizer anonymizer(key.data());
        const std::uint32_t flip = (anonymizer.anonymize(0) ^ 0u) >> 31;
        for (int i = 0; i < 1000; ++i) {
            const auto a = static_cast<std::uint32_t>(rng());
            ASSERT_EQ((anonymizer.anonymize(a) ^ a) >> 31, flip);
        }
    }
}

TEST(PrefixAnonymizer, IsABijectionOnAWhole16) {
    std::mt19937_64 rng(3);
    const Key key = randomKey(rng);
    const ipveil::PrefixAnonymizer anonymizer(key.data());
    const std::uint32_t network = 0xC0A80000u;  // 192.168.0.0/16
    std::vector<bool> seen(1u << 16);
    const std::uint32_t imageNetwork = anonymizer.anonymize(network) & 0xFFFF0000u;
    for (std::uint32_t host = 0; host < (1u << 16); ++host) {
        const std::uint32_t image = anonymizer.anonymize(network | host);
        ASSERT_EQ(image & 0xFFFF0000u, imageNetwork);  // the /16 maps onto one /16
        ASSERT_FALSE(seen[image & 0xFFFFu]) << "collision at host " << host;
        seen[image & 0xFFFFu] = true;
    }
}

TEST(PrefixAnonymizer, DependsOnlyOnKeyAndAddress) {
    std::mt19937_64 rng(5);
    const Key key = randomKey(rng);
    const ipveil::PrefixAnonymizer first(key.data());
    const ipveil::PrefixAnonymizer second(key.data());
    Key other = key;
    other[31] ^= 1;  // a different pad seed changes the mapping
    const ipveil::PrefixAnonymizer changed(other.data());
    int differing = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto a = static_cast<std::uint32_t>(rng());
        ASSERT_EQ(first.anonymize(a), second.anonymize(a));
        ASSERT_EQ(first.anonymize(a), first.anonymize(a));
        differing += first.anonymize(a) != changed.anonymize(a);
    }
    EXPECT_GT(differing, 900);
}

}  // namespace

namespace {

TEST(PrefixAnonymizer, DeanonymizeInvertsAnonymize) {
    std::mt19937_64 rng(13);
    for (int k = 0; k < 4; ++k) {
        const Key key = randomKey(rng);
        const ipveil::PrefixAnonymizer anonymizer(key.data());
        for (std::uint32_t host = 0; host < (1u << 16); ++host) {  // a whole /16
            const std::uint32_t address = 0x0A140000u | host;
            ASSERT_EQ(anonymizer.deanonymize(anonymizer.anonymize(address)), address);
        }
        for (int i = 0; i < 2000; ++i) {
            const auto a = static_cast<std::uint32_t>(rng());
            ASSERT_EQ(anonymizer.deanonymize(anonymizer.anonymize(a)), a);
            ASSERT_EQ(anonymizer.anonymize(anonymizer.deanonymize(a)), a);
        }
    }
}

}  // namespace

namespace {

// Batches of every size up to a few register groups, separate and in place,
// must give exactly the one-at-a-time results (themselves checked against
// the reference above) on every implementation; so must batch deanonymizing.
TEST(PrefixAnonymizer, BatchesEqualOneAtATimeOnEveryImplementation) {
    const ipveil::AesImplementation previous = ipveil::activeAesImplementation();
    std::mt19937_64 rng(17);
    const Key key = randomKey(rng);
    const ipveil::PrefixAnonymizer anonymizer(key.data());
    std::vector<std::uint32_t> addresses(400);  // past two of the deanonymizer's chunks
    for (auto& address : addresses) address = static_cast<std::uint32_t>(rng());
    ipveil::selectAesImplementation(ipveil::AesImplementation::Portable);
    std::vector<std::uint32_t> expected;
    for (const std::uint32_t address : addresses) expected.push_back(anonymizer.anonymize(address));

    for (auto implementation : ipveil::AllAesImplementations) {
        if (!ipveil::selectAesImplementation(implementation)) continue;
        SCOPED_TRACE(ipveil::aesImplementationName(implementation));
        for (std::size_t count = 0; count <= addresses.size(); count += count < 70 ? 1 : 79) {
            std::vector<std::uint32_t> images(count + 1, 0xDEADBEEF);  // one past the end must stay untouched
            anonymizer.anonymize(addresses.data(), count, images.data());
            ASSERT_TRUE(std::equal(images.begin(), images.begin() + static_cast<std::ptrdiff_t>(count), expected.begin()))
                << count << " addresses";
            ASSERT_EQ(images[count], 0xDEADBEEF);

            std::vector<std::uint32_t> inPlace(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(count));
            anonymizer.deanonymize(inPlace.data(), count, inPlace.data());
            ASSERT_TRUE(std::equal(inPlace.begin(), inPlace.end(), addresses.begin())) << count << " addresses back";
            anonymizer.anonymize(inPlace.data(), count, inPlace.data());
            ASSERT_TRUE(std::equal(inPlace.begin(), inPlace.end(), expected.begin())) << count << " in place";
        }
    }
    ipveil::selectAesImplementation(previous);
}

}  // namespace

namespace {

using ipveil::Ipv6Address;

Ipv6Address randomIpv6(std::mt19937_64& rng) {
    Ipv6Address address;
    for (auto& byte : address.bytes) byte = static_cast<std::uint8_t>(rng());
    return address;
}

bool bitOf(const Ipv6Address& a, int pos) { return (a.bytes[pos / 8] >> (7 - pos % 8)) & 1; }

int commonPrefix(const Ipv6Address& a, const Ipv6Address& b) {
    int k = 0;
    while (k < 128 && bitOf(a, k) == bitOf(b, k)) ++k;
    return k;
}

// The IPv6 rule written out bit by bit with OpenSSL's AES: bit pos is flipped
// by the top bit of AES(first pos address bits, then the pad's last 128 - pos).
Ipv6Address referenceAnonymize(const Key& key, const Ipv6Address& address) {
    OpenSslAes aes(key.data());
    const auto pad = aes.encrypt(key.data() + 16);
    Ipv6Address result = address;
    for (int pos = 0; pos < 128; ++pos) {
        std::array<std::uint8_t, 16> block;
        for (int bit = 0; bit < 128; ++bit) {
            const bool value = bit < pos ? bitOf(address, bit) : (pad[static_cast<std::size_t>(bit / 8)] >> (7 - bit % 8)) & 1;
            auto& byte = block[static_cast<std::size_t>(bit / 8)];
            byte = static_cast<std::uint8_t>((byte & ~(0x80 >> (bit % 8))) | (value ? 0x80 >> (bit % 8) : 0));
        }
        if (aes.encrypt(block.data())[0] & 0x80) result.bytes[pos / 8] ^= static_cast<std::uint8_t>(0x80 >> (pos % 8));
    }
    return result;
}

// Every implementation, single and batched, separate and in place, against
// the reference; round trips both ways; and the images agree with the IPv4
// mapping in their first 32 bits.
TEST(PrefixAnonymizerIpv6, MatchesOpenSslReferenceOnEveryImplementation) {
    const ipveil::AesImplementation previous = ipveil::activeAesImplementation();
    std::mt19937_64 rng(20261209);
    for (int k = 0; k < 3; ++k) {
        const Key key = randomKey(rng);
        const ipveil::PrefixAnonymizer anonymizer(key.data());
        std::vector<Ipv6Address> addresses = {Ipv6Address{}, Ipv6Address{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}};
        for (int i = 0; i < 70; ++i) addresses.push_back(randomIpv6(rng));
        std::vector<Ipv6Address> expected;
        for (const auto& address : addresses) expected.push_back(referenceAnonymize(key, address));

        for (auto implementation : ipveil::AllAesImplementations) {
            if (!ipveil::selectAesImplementation(implementation)) continue;
            SCOPED_TRACE(ipveil::aesImplementationName(implementation));
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                ASSERT_TRUE(anonymizer.anonymize(addresses[i]) == expected[i]) << "address " << i;
                ASSERT_TRUE(anonymizer.deanonymize(expected[i]) == addresses[i]) << "address " << i;
                std::uint32_t first32 = 0, image32 = 0;
                for (int b = 0; b < 4; ++b) {
                    first32 = first32 << 8 | addresses[i].bytes[b];
                    image32 = image32 << 8 | expected[i].bytes[b];
                }
                ASSERT_EQ(anonymizer.anonymize(first32), image32);
            }
            for (std::size_t count : {std::size_t{1}, std::size_t{5}, std::size_t{33}, addresses.size()}) {
                std::vector<Ipv6Address> batch(addresses.begin(), addresses.begin() + static_cast<std::ptrdiff_t>(count));
                anonymizer.anonymize(batch.data(), count, batch.data());
                ASSERT_TRUE(std::equal(batch.begin(), batch.end(), expected.begin())) << count << " in place";
                std::vector<Ipv6Address> back(count);
                anonymizer.deanonymize(batch.data(), count, back.data());
                ASSERT_TRUE(std::equal(back.begin(), back.end(), addresses.begin())) << count << " back";
            }
        }
    }
    ipveil::selectAesImplementation(previous);
}

TEST(PrefixAnonymizerIpv6, PreservesExactlyTheCommonPrefixAtEveryLength) {
    std::mt19937_64 rng(41);
    const Key key = randomKey(rng);
    const ipveil::PrefixAnonymizer anonymizer(key.data());
    for (int shared = 0; shared < 128; ++shared) {
        for (int trial = 0; trial < 20; ++trial) {
            const Ipv6Address a = randomIpv6(rng);
            Ipv6Address b = randomIpv6(rng);
            for (int bit = 0; bit <= shared; ++bit) {  // b takes a's first shared bits, then differs
                const auto mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
                const bool value = bit < shared ? bitOf(a, bit) : !bitOf(a, bit);
                b.bytes[bit / 8] = static_cast<std::uint8_t>((b.bytes[bit / 8] & ~mask) | (value ? mask : 0));
            }
            ASSERT_EQ(commonPrefix(anonymizer.anonymize(a), anonymizer.anonymize(b)), shared);
        }
    }
}

}  // namespace
