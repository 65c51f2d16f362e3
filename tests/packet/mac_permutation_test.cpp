// MacPermutation: a bijection that keeps the group and local bits, the
// broadcast address and prefixes, and has nothing to do with the IPv4 images
// of the same bits.
#include "mac_permutation.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <set>
#include <vector>

namespace ipveil::packet {
namespace {

const std::uint8_t Key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::uint64_t bits46(std::uint64_t mac) { return ((mac >> 42) & 0x3F) << 40 | (mac & 0xFFFFFFFFFFull); }

int commonPrefix46(std::uint64_t a, std::uint64_t b) {
    std::uint64_t x = bits46(a) ^ bits46(b);
    return x == 0 ? 46 : std::countl_zero(x) - 18;
}

std::vector<std::uint64_t> sample() {
    std::mt19937_64 rng(3);
    std::vector<std::uint64_t> macs = {0, 1, MacPermutation::Broadcast, 0x01005E000001, 0x333300000001,
                                       0x020000000001, 0xFFFFFFFFFFFE, 0xFEFFFFFFFFFF, 0xFDFFFFFFFFFF};
    for (int i = 0; i < 4000; ++i) macs.push_back(rng() & MacPermutation::Broadcast);
    // One vendor prefix, many devices.
    for (int i = 0; i < 200; ++i) macs.push_back(0x3C22FB000000 | (rng() & 0xFFFFFF));
    return macs;
}

TEST(MacPermutation, IsABijectionKeepingFlagsBroadcastAndPrefixes) {
    MacPermutation p(Key);
    std::vector<std::uint64_t> macs = sample();
    std::vector<std::uint64_t> images(macs.size());
    p.anonymize(macs.data(), macs.size(), images.data());
    std::set<std::uint64_t> distinctIn(macs.begin(), macs.end()), distinctOut(images.begin(), images.end());
    EXPECT_EQ(distinctIn.size(), distinctOut.size());
    std::vector<std::uint64_t> back(macs.size());
    p.deanonymize(images.data(), images.size(), back.data());
    EXPECT_EQ(back, macs);
    for (std::size_t i = 0; i < macs.size(); ++i) {
        EXPECT_EQ(images[i], p.anonymize(macs[i]));
        EXPECT_EQ(images[i] >> 48, 0u);
        EXPECT_EQ(images[i] & 0x030000000000ull, macs[i] & 0x030000000000ull) << std::hex << macs[i];
        EXPECT_EQ(images[i] == MacPermutation::Broadcast, macs[i] == MacPermutation::Broadcast);
    }
    for (std::size_t i = 0; i + 1 < macs.size(); i += 3) {
        std::uint64_t a = macs[i], b = macs[i + 1];
        if (a == MacPermutation::Broadcast || b == MacPermutation::Broadcast) continue;
        EXPECT_EQ(commonPrefix46(images[i], images[i + 1]), commonPrefix46(a, b));
    }
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
