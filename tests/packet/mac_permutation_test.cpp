// MacPermutation: the Feistel network against a plain rewrite of it with
// OpenSSL's AES; a bijection that keeps the group and local bits and the
// broadcast, scatters vendors, and has nothing to do with the IPv4 images of
// the same bits; MACs cut short mapped reversibly at their length.
#include "mac_permutation.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

namespace ipveil::packet {
namespace {

const std::uint8_t Key[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::vector<std::uint64_t> sample() {
    std::mt19937_64 rng(3);
    std::vector<std::uint64_t> macs = {0,
                                       1,
                                       MacPermutation::Broadcast,
                                       0x01005E000001,
                                       0x333300000001,
                                       0x020000000001,
                                       0xFFFFFFFFFFFE,
                                       0xFEFFFFFFFFFF,
                                       0xFDFFFFFFFFFF};
    for (int i = 0; i < 4000; ++i) macs.push_back(rng() & MacPermutation::Broadcast);
    // One vendor prefix, many devices.
    for (int i = 0; i < 200; ++i) macs.push_back(0x3C22FB000000 | (rng() & 0xFFFFFF));
    return macs;
}

// The construction written out plainly, with OpenSSL's AES: 8 Feistel rounds
// over the two 23-bit halves of the 46 bits other than the flags, each round
// the top 23 bits of AES of (pad ^ [round, flags, half]); broadcast kept.
struct ReferenceFeistel {
    std::array<std::uint8_t, 16> roundKey{}, pad{};
    explicit ReferenceFeistel(const std::uint8_t* key) {
        const char* constants = "ipveil mac key 0ipveil mac pad 1ipveil mac rnd 2ipveil mac pad 3";
        std::uint8_t in[64], out[64];
        for (int i = 0; i < 64; ++i)
            in[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(constants[i]) ^ key[16 + i % 16]);
        aesEcb(key, in, out, 64);
        std::copy(out + 32, out + 48, roundKey.begin());
        std::copy(out + 48, out + 64, pad.begin());
    }
    static void aesEcb(const std::uint8_t* key, const std::uint8_t* in, std::uint8_t* out, int n) {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int length = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_EncryptUpdate(ctx, out, &length, in, n);
        EVP_CIPHER_CTX_free(ctx);
    }
    std::uint32_t f(int round, unsigned flags, std::uint32_t half) const {
        std::array<std::uint8_t, 16> block = pad, out{};
        block[0] ^= static_cast<std::uint8_t>(round);
        block[1] ^= static_cast<std::uint8_t>(flags);
        block[2] ^= static_cast<std::uint8_t>(half >> 16);
        block[3] ^= static_cast<std::uint8_t>(half >> 8);
        block[4] ^= static_cast<std::uint8_t>(half);
        aesEcb(roundKey.data(), block.data(), out.data(), 16);
        return (std::uint32_t(out[0]) << 15 | std::uint32_t(out[1]) << 7 | out[2] >> 1) & 0x7FFFFF;
    }
    // The plain network, no cycle walking.
    std::uint64_t network(std::uint64_t mac, bool back) const {
        unsigned flags = static_cast<unsigned>(mac >> 40) & 3;
        std::uint64_t bits = ((mac >> 42) & 0x3F) << 40 | (mac & 0xFFFFFFFFFFull);
        std::uint32_t l = static_cast<std::uint32_t>(bits >> 23) & 0x7FFFFF,
                      r = static_cast<std::uint32_t>(bits) & 0x7FFFFF;
        for (int i = 0; i < 8; ++i) {
            if (back) {
                std::uint32_t t = l;
                l = r ^ f(7 - i, flags, l);
                r = t;
            } else {
                std::uint32_t t = r;
                r = l ^ f(i, flags, r);
                l = t;
            }
        }
        bits = std::uint64_t(l) << 23 | r;
        return ((bits >> 40) & 0x3F) << 42 | std::uint64_t(flags) << 40 | (bits & 0xFFFFFFFFFFull);
    }
    std::uint64_t anonymize(std::uint64_t mac) const {
        if (mac == MacPermutation::Broadcast) return mac;
        std::uint64_t image = network(mac, false);
        return image == MacPermutation::Broadcast ? network(MacPermutation::Broadcast, false) : image;
    }
};

TEST(MacPermutation, MatchesTheFeistelNetworkWrittenWithOpenSsl) {
    MacPermutation p(Key);
    ReferenceFeistel reference(Key);
    std::vector<std::uint64_t> macs = sample();
    std::vector<std::uint64_t> images(macs.size());
    p.anonymize(macs.data(), macs.size(), images.data());
    for (std::size_t i = 0; i < macs.size(); i += 7)
        ASSERT_EQ(images[i], reference.anonymize(macs[i])) << std::hex << macs[i];
    // What the plain network takes to the broadcast takes the broadcast's image instead.
    std::uint64_t toBroadcast = reference.network(MacPermutation::Broadcast, true);
    EXPECT_EQ(p.anonymize(toBroadcast), reference.network(MacPermutation::Broadcast, false));
    EXPECT_EQ(p.deanonymize(p.anonymize(toBroadcast)), toBroadcast);
}

TEST(MacPermutation, IsABijectionKeepingFlagsAndBroadcastButNotVendors) {
    MacPermutation p(Key);
    std::vector<std::uint64_t> macs = sample();
    std::vector<std::uint64_t> images(macs.size());
    p.anonymize(macs.data(), macs.size(), images.data());
    std::set<std::uint64_t> distinctIn(macs.begin(), macs.end()), distinctOut(images.begin(), images.end());
    EXPECT_EQ(distinctIn.size(), distinctOut.size());
    std::vector<std::uint64_t> back(macs.size());
    p.deanonymize(images.data(), images.size(), back.data());
    EXPECT_EQ(back, macs);
    std::set<std::uint64_t> vendors;
    for (std::size_t i = 0; i < macs.size(); ++i) {
        EXPECT_EQ(images[i], p.anonymize(macs[i]));
        EXPECT_EQ(images[i] >> 48, 0u);
        EXPECT_EQ(images[i] & 0x030000000000ull, macs[i] & 0x030000000000ull) << std::hex << macs[i];
        EXPECT_EQ(images[i] == MacPermutation::Broadcast, macs[i] == MacPermutation::Broadcast);
        if ((macs[i] >> 24) == 0x3C22FB) vendors.insert(images[i] >> 24);
    }
    // 200 devices of one vendor: their images scatter over as many prefixes.
    EXPECT_GT(vendors.size(), 190u);
}

// On one and two leading bytes the whole space can be walked: the cycle walk
// that keeps the broadcast must leave a bijection, whatever maps onto all ones.
TEST(MacPermutation, CycleWalkKeepsTheBroadcastAndABijectionOnCutMacs) {
    MacPermutation p(Key);
    for (std::uint8_t present : {std::uint8_t{1}, std::uint8_t{2}}) {
        SCOPED_TRACE(int(present));
        std::size_t space = std::size_t{1} << (8 * present);
        int shift = 48 - 8 * present;
        std::vector<std::uint64_t> macs(space), images(space), back(space);
        std::vector<std::uint8_t> lengths(space, present);
        for (std::size_t v = 0; v < space; ++v) macs[v] = std::uint64_t(v) << shift;
        p.anonymize(macs.data(), space, images.data(), lengths.data());
        p.deanonymize(images.data(), space, back.data(), lengths.data());
        EXPECT_EQ(back, macs);
        std::set<std::uint64_t> distinct(images.begin(), images.end());
        EXPECT_EQ(distinct.size(), space);
        EXPECT_EQ(images[space - 1], macs[space - 1]);  // all ones
        for (std::size_t v = 0; v < space; ++v) ASSERT_EQ(images[v] & ((1ull << shift) - 1), 0u);
    }
    EXPECT_EQ(p.anonymize(MacPermutation::Broadcast), MacPermutation::Broadcast);
    EXPECT_EQ(p.deanonymize(MacPermutation::Broadcast), MacPermutation::Broadcast);
}

// Link addresses of 1 to 8 bytes: a bijection at each length (whole spaces
// at 1 and 2 bytes, a sample beyond) that revealing inverts, keeping the two
// flag bits and all ones; at up to 5 bytes the image of a MAC cut to that
// length; a prefix of an address maps to the prefix of its image.
TEST(MacPermutation, LinkAddressesOfEveryLengthMapReversibly) {
    MacPermutation p(Key);
    std::mt19937_64 rng(8);
    for (std::size_t n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        const std::uint64_t all = n == 8 ? ~0ull : (1ull << (8 * n)) - 1;
        const int flagShift = static_cast<int>(8 * n) - 8;
        std::vector<std::uint64_t> addresses;
        if (n <= 2) {
            for (std::uint64_t v = 0; v <= all; ++v) addresses.push_back(v);
        } else {
            addresses = {0, all, all - 1, std::uint64_t{3} << flagShift};
            for (int i = 0; i < 3000; ++i) addresses.push_back(rng() & all);
        }
        std::set<std::uint64_t> images;
        for (std::uint64_t a : addresses) {
            std::uint64_t image = p.anonymizeLink(a, n);
            ASSERT_EQ(image & ~all, 0u);
            ASSERT_EQ(p.deanonymizeLink(image, n), a);
            ASSERT_EQ((image >> flagShift) & 3, (a >> flagShift) & 3);
            if (n < 6) {
                std::uint8_t present = static_cast<std::uint8_t>(n);
                std::uint64_t cut = a << (48 - 8 * n), cutImage;
                p.anonymize(&cut, 1, &cutImage, &present);
                ASSERT_EQ(cutImage, image << (48 - 8 * n));
            }
            if (n > 1 && (a >> 8) != all >> 8 && (image >> 8) != all >> 8) {
                ASSERT_EQ(p.anonymizeLink(a >> 8, n - 1), image >> 8);
            }
            images.insert(image);
        }
        EXPECT_EQ(images.size(), std::set<std::uint64_t>(addresses.begin(), addresses.end()).size());
        EXPECT_EQ(p.anonymizeLink(all, n), all);
        if (n >= 4) {
            EXPECT_NE(p.anonymizeLink(0x0211223344556677ull & all, n), 0x0211223344556677ull & all);
        }
    }
}

TEST(MacPermutation, IsNotTheIpv4MappingOfTheSameBits) {
    MacPermutation p(Key);
    PrefixAnonymizer ip(Key);
    std::mt19937 rng(5);
    int same = 0;
    for (int i = 0; i < 500; ++i) {
        std::uint32_t address = rng() & 0xFCFFFFFF;  // flag bits clear, which the permutation keeps anyway
        std::uint64_t mac = std::uint64_t(address) << 16 | (rng() & 0xFFFF);
        std::uint32_t imageTop = static_cast<std::uint32_t>(p.anonymize(mac) >> 16);
        if ((imageTop & 0xFCFFFFFF) == (ip.anonymize(address) & 0xFCFFFFFF)) ++same;
    }
    EXPECT_EQ(same, 0);
}

TEST(MacPermutation, DependsOnTheKey) {
    std::uint8_t other[32];
    std::copy(Key, Key + 32, other);
    other[31] ^= 1;  // the pad seed only
    MacPermutation a(Key), b(other);
    int same = 0;
    for (std::uint64_t mac : sample()) same += a.anonymize(mac) == b.anonymize(mac) && mac != MacPermutation::Broadcast;
    EXPECT_LT(same, 5);
}

}  // namespace
}  // namespace ipveil::packet
