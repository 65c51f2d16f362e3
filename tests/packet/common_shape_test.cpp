// The rewriter's own walk of common frames (Ethernet, IPv4 or IPv6 without
// options, TCP without options or UDP) against its general walk: the same
// headers behind an 802.1Q tag take the general walk, and must come out the
// same but for the tag, whatever the lengths, checksums, cut and policy.
#include <gtest/gtest.h>

#include <random>

#include "frame_cases.h"

namespace ipveil::packet::test {
namespace {

struct Variant {
    std::string name;
    std::function<Packet(std::mt19937_64&)> ip;  // the IP packet, addresses drawn at random
};

std::vector<Variant> variants() {
    auto v4 = [](std::mt19937_64& r) { return static_cast<std::uint32_t>(r()); };
    auto a6 = [](std::mt19937_64& r) { return v6(r(), r()); };
    auto withField = [](Packet p, std::size_t at, unsigned value) {
        set16(p.bytes, at, value);
        return p;
    };
    return {
        {"Ipv4Tcp", [=](auto& r) { return ipv4(v4(r), v4(r), tcp(80, 4242, {}, Payload)); }},
        {"Ipv4TcpWrongChecksums", [=](auto& r) { return ipv4(v4(r), v4(r), tcp(80, 4242, {}, Payload, 77)); }},
        {"Ipv4Udp", [=](auto& r) { return ipv4(v4(r), v4(r), udp(53, 5353, Payload)); }},
        {"Ipv4UdpNoChecksum", [=](auto& r) { return ipv4(v4(r), v4(r), udp(53, 5353, Payload, 0, false)); }},
        {"Ipv4TotalLengthZero", [=](auto& r) { return withField(ipv4(v4(r), v4(r), tcp(1, 2, {}, Payload)), 2, 0); }},
        {"Ipv4TotalLengthShort", [=](auto& r) { return withField(ipv4(v4(r), v4(r), tcp(1, 2)), 2, 39); }},
        {"Ipv4UdpTotalLengthShort", [=](auto& r) { return withField(ipv4(v4(r), v4(r), udp(1, 2)), 2, 27); }},
        {"Ipv4HeaderChecksumAllOnes", [=](auto& r) { return withField(ipv4(v4(r), v4(r), udp(1, 2)), 10, 0xFFFF); }},
        {"Ipv4LaterFragment", [=](auto& r) { return withField(ipv4(v4(r), v4(r), tcp(1, 2)), 6, 0x0010); }},
        {"Ipv4TcpOptions", [=](auto& r) { return ipv4(v4(r), v4(r), tcp(1, 2, {2, 4, 5, 0xB4}, Payload)); }},
        {"Ipv4Icmp", [=](auto& r) { return ipv4(v4(r), v4(r), icmp(8, 0, {0, 1, 0, 1}, Payload)); }},
        {"Ipv6Tcp", [=](auto& r) { return ipv6(a6(r), a6(r), tcp(443, 5000, {}, Payload)); }},
        {"Ipv6UdpWrongChecksum", [=](auto& r) { return ipv6(a6(r), a6(r), udp(123, 123, Payload, 1)); }},
        {"Ipv6PayloadLengthZero", [=](auto& r) { return withField(ipv6(a6(r), a6(r), udp(1, 2, Payload)), 4, 0); }},
        {"Ipv6PayloadLengthShort", [=](auto& r) { return withField(ipv6(a6(r), a6(r), tcp(1, 2)), 4, 19); }},
        {"Ipv6HopByHop",
         [=](auto& r) {
             Ipv6Options o;
             o.extensions.push_back(optionsHeader(0, {1, 4, 0, 0, 0, 0}));
             return ipv6(a6(r), a6(r), udp(1, 2), o);
         }},
    };
}

TEST(FrameRewriterCommonShape, AgreesWithTheGeneralWalkBehindATag) {
    std::mt19937_64 random(7);
    std::vector<Bytes> plain, tagged;
    std::vector<std::string> names;
    // Enough frames for more than one window, the shapes interleaved.
    for (int round = 0; round < 40; ++round) {
        for (const Variant& v : variants()) {
            Packet ip = v.ip(random);
            std::uint64_t dst = round % 5 == 0 ? Bcast : random() & Bcast, src = random() & Bcast;
            unsigned type = (ip.bytes[0] >> 4) == 6 ? 0x86DD : 0x0800;
            Bytes one = ethernet(dst, src, type, ip).bytes, two = ethernet(dst, src, type, ip, {0x8100}).bytes;
            // Cut by a snap length: at every length across the headers, or not at all.
            std::size_t length = round < 30 ? std::min<std::size_t>(one.size(), 30 + round * 2) : one.size();
            one.resize(length);
            two.resize(length + 4);
            plain.push_back(one);
            tagged.push_back(two);
            names.push_back(v.name + " round " + std::to_string(round));
        }
    }
    for (Policy policy : {Policy{false, false, Direction::Anonymize}, Policy{true, false, Direction::Anonymize},
                          Policy{false, true, Direction::Anonymize}, Policy{true, false, Direction::Reveal}}) {
        std::vector<Bytes> one = plain, two = tagged;
        std::vector<Frame> frames;
        for (Bytes& b : one) frames.push_back({b.data(), static_cast<std::uint32_t>(b.size()), LinkEthernet});
        for (Bytes& b : two) frames.push_back({b.data(), static_cast<std::uint32_t>(b.size()), LinkEthernet});
        FrameRewriter rewriter(Key, policy);
        rewriter.rewrite(frames.data(), frames.size());
        for (std::size_t i = 0; i < one.size(); ++i) {
            SCOPED_TRACE(names[i] + (policy.keepPayload ? " keeping payload" : "") +
                         (policy.keepMac ? " keeping MACs" : "") +
                         (policy.direction == Direction::Reveal ? " revealing" : ""));
            Bytes a(one[i].begin(), one[i].begin() + frames[i].captured);
            Bytes b(two[i].begin(), two[i].begin() + frames[one.size() + i].captured);
            ASSERT_GE(b.size(), 14u);
            b.erase(b.begin() + 12, b.begin() + 16);
            EXPECT_EQ(a, b);
            if (policy.keepPayload) {
                Direction back = policy.direction == Direction::Reveal ? Direction::Anonymize : Direction::Reveal;
                EXPECT_EQ(rewritten(a, LinkEthernet, Policy{true, false, back}), plain[i]);
            }
        }
    }
}

}  // namespace
}  // namespace ipveil::packet::test
