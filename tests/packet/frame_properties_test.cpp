// Properties of FrameRewriter over many frames: frames cut by the snap length
// agree with the whole frame; cuts happen where the policy says, counted by
// reason; random frames come out as their templates with mapped addresses,
// and every frame, even garbage, reveals back to its input byte for byte.
#include <gtest/gtest.h>

#include <random>

#include "frame_cases.h"

namespace ipveil::packet::test {
namespace {

const Case& caseNamed(const std::vector<Case>& all, const std::string& name) {
    for (const Case& c : all)
        if (c.name == name) return c;
    throw std::runtime_error("no case " + name);
}

TEST(FrameRewriterSnap, CutFramesAgreeWithTheWholeFrameAndRevealBack) {
    // Where its IPv4 header starts (-1: none): its checksum cannot take the change of an address cut in two.
    const std::vector<std::pair<std::string, int>> chosen = {
        {"EthernetIpv4TcpWithOptions", 14}, {"VlanStackIpv6Udp", -1},   {"Ipv6InIpv4", 0},
        {"Ipv6HopByHopHomeAddress", -1},    {"Ipv6SegmentRouting", -1}, {"LinuxCookedV1", 16},
        {"NullBigEndianIpv6", -1},          {"MplsIpv4", 26},           {"Ipv4RecordRouteTimestampLooseRoute", 14},
        {"ArpRequestToBroadcast", -1},      {"Ipv4InIpv6", 40}};
    std::vector<Case> all = cases();
    Mappings s;
    for (const auto& [name, ipAt] : chosen) {
        const Case& c = caseNamed(all, name);
        Packet in = c.build(s.identity);
        // MACs kept for the comparison: a MAC cut short is mapped apart from whole ones.
        Bytes whole = rewritten(in.bytes, c.linkType, Policy{true, true, Direction::Anonymize});
        Bytes wholeCut = rewritten(in.bytes, c.linkType, Policy{false, true, Direction::Anonymize});
        for (std::size_t length = 0; length <= in.bytes.size(); ++length) {
            SCOPED_TRACE(name + " cut at " + std::to_string(length));
            Bytes cut(in.bytes.begin(), in.bytes.begin() + static_cast<std::ptrdiff_t>(length));
            Bytes out = rewritten(cut, c.linkType, Policy{true, true, Direction::Anonymize});
            Bytes want(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
            const Bytes raw = out;
            // A checksum field cut in two is left as it stands, and an IPv4 header checksum whose
            // addresses are not all there cannot take the change of the bytes that are not.
            if (length > 0 && out[length - 1] == cut[length - 1]) out[length - 1] = want[length - 1];
            if (ipAt >= 0) {
                std::size_t at = static_cast<std::size_t>(ipAt);
                std::size_t headerEnd = at + (in.bytes[at] & 15) * 4;
                if (length >= at + 12 && length < headerEnd)
                    for (std::size_t i = at + 10; i < at + 12; ++i) out[i] = want[i];
            }
            EXPECT_EQ(out, want);
            EXPECT_EQ(rewritten(rewritten(cut, c.linkType, Policy{true, false, Direction::Anonymize}), c.linkType,
                                Policy{false, false, Direction::Reveal}),
                      cut);
            // Headers-only: the whole frame's output, as far as this one goes.
            Bytes outCut = rewritten(cut, c.linkType, Policy{false, true, Direction::Anonymize});
            ASSERT_EQ(outCut.size(), std::min(length, wholeCut.size()));
            EXPECT_TRUE(std::equal(outCut.begin(), outCut.end(), raw.begin()));
        }
    }
}

TEST(FrameRewriterCuts, FramesItCannotWalkAreCutAfterWhatItAccountedForAndCounted) {
    Mappings s;
    struct CutCase {
        std::string name;
        std::uint32_t linkType;
        std::function<Packet(const Mapper&)> build;  // headers: where the cut must fall
        std::uint64_t Counts::*reason;
        std::vector<std::size_t> untouched = {};  // bytes the template's full recompute gets wrong on purpose
    };
    const Bytes lldp = {0x02, 0x07, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x08, 0x05, 0x01, 0x0A, 0x00, 0x00, 0x01};
    std::vector<CutCase> table = {
        {"Payload", LinkEthernet,
         [](const Mapper& m) { return eth4(m, ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload))); }, &Counts::cutPayload},
        {"UnknownLinkType", 147,
         [](const Mapper&) {
             return Packet{Payload, 0};
         },
         &Counts::unknownLink},
        {"Lldp", LinkEthernet,
         [&lldp](const Mapper& m) {
             return ethernet(m.mac(0x0180C200000E), m.mac(M1), 0x88CC, Packet{lldp, 0});
         },
         &Counts::unknownProtocol},
        {"UnknownIpProtocol", LinkEthernet,
         [](const Mapper& m) {
             return eth4(m, ipv4(m.v4(A), m.v4(B), carried(88, Packet{Payload, 0})));
         },
         &Counts::unknownProtocol},
        {"DnsSearchListOption", LinkIpv6,
         [](const Mapper& m) {
             Bytes body = {64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
             append(body, rdnssOption({m.v6(D6)}));
             std::size_t headers = 4 + body.size();
             append(body, {31, 2, 0, 0, 0, 0, 1, 0, 3, 'l', 'a', 'b', 0, 0, 0, 0});
             return ipv6(m.v6(H6), m.v6(G6), icmp6(134, 0, body, {}, 0, headers));
         },
         &Counts::unknownProtocol},
        {"HeaderLengthBelowFive",
         LinkEthernet,
         [](const Mapper& m) {
             Packet p = eth4(m, ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload)));
             p.bytes[14] = 0x43;  // 12 bytes: the checksum covers no address and stays as it is
             p.headers = 34;
             return p;
         },
         &Counts::truncated,
         {24, 25}},
        {"TotalLengthBelowHeader", LinkRaw,
         [](const Mapper& m) {
             Ipv4Options o;
             o.totalLength = 12;
             Packet p = ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload), o);
             p.headers = 20;
             return p;
         },
         &Counts::truncated},
        {"TcpDataOffsetBelowFive", LinkRaw,
         [](const Mapper& m) {
             Upper t = tcp(1, 2, {}, Payload);
             t.packet.bytes[12] = 0x30;
             t.packet.headers = 20;
             return ipv4(m.v4(A), m.v4(B), t);
         },
         &Counts::truncated},
    };
    for (const CutCase& c : table) {
        SCOPED_TRACE(c.name);
        Packet in = c.build(s.identity);
        Packet expect = c.build(s.image(false));
        for (std::size_t i : c.untouched) expect.bytes[i] = in.bytes[i];
        FrameRewriter rewriter(Key, Policy{});
        Bytes bytes = in.bytes;
        Frame frame{bytes.data(), static_cast<std::uint32_t>(bytes.size()), c.linkType};
        rewriter.rewrite(&frame, 1);
        ASSERT_EQ(frame.captured, expect.headers);
        bytes.resize(frame.captured);
        EXPECT_EQ(bytes,
                  Bytes(expect.bytes.begin(), expect.bytes.begin() + static_cast<std::ptrdiff_t>(expect.headers)));
        Counts counts = rewriter.counts();
        EXPECT_EQ(counts.packets, 1u);
        EXPECT_EQ(counts.*(c.reason), 1u);
        EXPECT_EQ(counts.cut, 1u);
        EXPECT_EQ(counts.cutPayload + counts.unknownLink + counts.unknownProtocol + counts.truncated +
                      counts.tooManyAddresses,
                  1u);
        // Kept whole with keepPayload, addresses at their places still mapped, nothing cut, and a frame not
        // walked to its end counted all the same: its unwalked bytes go out as they stand.
        FrameRewriter keeper(Key, Policy{true, false, Direction::Anonymize});
        Bytes kept = in.bytes;
        Frame whole{kept.data(), static_cast<std::uint32_t>(kept.size()), c.linkType};
        keeper.rewrite(&whole, 1);
        EXPECT_EQ(whole.captured, in.bytes.size());
        EXPECT_EQ(Bytes(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(expect.headers)),
                  Bytes(expect.bytes.begin(), expect.bytes.begin() + static_cast<std::ptrdiff_t>(expect.headers)));
        const std::uint64_t unwalked = c.reason == &Counts::cutPayload ? 0 : 1;
        EXPECT_EQ(keeper.counts().cut + keeper.counts().cutPayload, 0u);
        EXPECT_EQ(keeper.counts().*(c.reason), unwalked);
        FrameRewriter revealer(Key, Policy{false, false, Direction::Reveal});
        revealer.rewrite(&whole, 1);
        EXPECT_EQ(kept, in.bytes);
        EXPECT_EQ(revealer.counts().*(c.reason), unwalked);
    }
}

TEST(FrameRewriterCuts, CountsAddressesByFamily) {
    std::vector<Case> all = cases();
    Mappings s;
    Packet in = caseNamed(all, "GreEthernet").build(s.identity);  // 2 + 2 MACs, 2 IPv6, 2 IPv4
    FrameRewriter rewriter(Key, Policy{});
    Frame frame{in.bytes.data(), static_cast<std::uint32_t>(in.bytes.size()), LinkEthernet};
    rewriter.rewrite(&frame, 1);
    EXPECT_EQ(rewriter.counts().macs, 4u);
    EXPECT_EQ(rewriter.counts().ipv6, 2u);
    EXPECT_EQ(rewriter.counts().ipv4, 2u);
}

// An IGMPv3 report over an offloaded IPv4 packet (total length 0): records
// of a group and their sources, 50 + 8 * records + 4 * sources bytes in all.
Packet igmpFlood(const Mapper& m, const std::vector<std::size_t>& sources) {
    Bytes report = {0x22, 0, 0, 0, 0, 0};
    put16(report, static_cast<unsigned>(sources.size()));
    std::uint32_t next = 0x0A000000;
    for (std::size_t count : sources) {
        append(report, {1, 0});
        put16(report, static_cast<unsigned>(count));
        put32(report, m.v4(0xEF000001));
        for (std::size_t i = 0; i < count; ++i) put32(report, m.v4(next++));
    }
    Ipv4Options o;
    o.totalLength = 0;
    return eth4(m, ipv4(m.v4(A), m.v4(0xE0000016), igmp(report), o));
}

TEST(FrameRewriterLimits, AFrameOfTheLargestSnapLengthIsMappedWholeWithAnyPolicy) {
    Mappings s;
    std::size_t sources = (FrameRewriter::MaxFrameBytes - 50) / 4;
    Packet in = igmpFlood(s.identity, {sources});
    Packet expect = igmpFlood(s.image(false), {sources});
    ASSERT_LE(in.bytes.size(), FrameRewriter::MaxFrameBytes);
    // Among ordinary frames, so that the window has to make room for it.
    std::vector<Case> all = cases();
    Packet small = caseNamed(all, "EthernetIpv4TcpWithOptions").build(s.identity);
    std::vector<Bytes> work = {small.bytes, small.bytes, in.bytes, small.bytes};
    std::vector<Frame> frames;
    for (Bytes& b : work) frames.push_back(Frame{b.data(), static_cast<std::uint32_t>(b.size()), LinkEthernet});
    FrameRewriter rewriter(Key, Policy{true, false, Direction::Anonymize});
    rewriter.rewrite(frames.data(), frames.size());
    EXPECT_EQ(work[2], expect.bytes);
    EXPECT_EQ(rewriter.counts().ipv4, 3 + sources + 3 * 2);
    EXPECT_EQ(rewriter.counts().tooManyAddresses, 0u);
    FrameRewriter(Key, Policy{true, false, Direction::Reveal}).rewrite(frames.data(), frames.size());
    EXPECT_EQ(work[2], in.bytes);
    EXPECT_EQ(work[3], small.bytes);
}

TEST(FrameRewriterLimits, ALongerFrameIsCutBeforeTheFirstAddressThatDoesNotFitEvenWithKeepPayload) {
    Mappings s;
    std::vector<std::size_t> sources = {40000, 40000};
    Packet in = igmpFlood(s.identity, sources);
    Packet expect = igmpFlood(s.image(false), sources);
    FrameRewriter rewriter(Key, Policy{true, false, Direction::Anonymize});
    Frame frame{in.bytes.data(), static_cast<std::uint32_t>(in.bytes.size()), LinkEthernet};
    rewriter.rewrite(&frame, 1);
    EXPECT_LT(frame.captured, in.bytes.size());
    EXPECT_GT(frame.captured, FrameRewriter::MaxFrameBytes - 8);
    // All that is left is mapped; the IGMP checksum (bytes 36-37) took only the changes that went out.
    in.bytes.resize(frame.captured);
    expect.bytes.resize(frame.captured);
    in.bytes[36] = expect.bytes[36];
    in.bytes[37] = expect.bytes[37];
    EXPECT_EQ(in.bytes, expect.bytes);
    EXPECT_EQ(rewriter.counts().tooManyAddresses, 1u);
}

// A random stack of the headers the rewriter walks, all drawn from `rng`, its addresses through `m`.
struct RandomFrame {
    std::uint32_t linkType;
    Packet packet;
};

RandomFrame randomFrame(std::uint64_t seed, const Mapper& m) {
    std::mt19937_64 rng(seed);
    auto pick = [&](std::uint64_t n) { return rng() % n; };
    auto addr4 = [&] { return m.v4(static_cast<std::uint32_t>(rng())); };
    auto addr6 = [&] { return m.v6(v6(rng(), rng())); };
    Bytes payload(pick(48));
    for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
    std::uint32_t skew = pick(3) == 0 ? static_cast<std::uint32_t>(pick(0xFFFF)) : 0;
    Upper up;
    switch (pick(5)) {
        case 0: {
            Bytes options;
            if (pick(2)) options = {2, 4, 5, 0xB4, 1, 3, 3, 7, 4, 2};
            up = tcp(static_cast<unsigned>(pick(65536)), 80, options, payload, skew);
            break;
        }
        case 1: up = udp(53, static_cast<unsigned>(pick(65536)), payload, skew, pick(4) != 0); break;
        case 2: up = icmp(8, 0, {0, 1, 0, 2}, payload, skew); break;
        case 3: up = icmp6(128, 0, {0, 1, 0, 2}, payload, skew); break;
        default: {
            Bytes body = {0, 0, 0, 0};
            putV6(body, addr6());
            Bytes option = {1, 1};
            putMac(option, m.mac(rng() & 0xFFFFFFFFFFFF));
            append(body, option);
            up = icmp6(135, 0, body, {}, skew);
            break;
        }
    }
    auto wrapIp = [&](const Upper& u, bool six) {
        if (!six) {
            Ipv4Options o;
            o.skew = pick(4) == 0 ? static_cast<std::uint32_t>(pick(0xFFFF)) : 0;
            for (std::uint64_t n = pick(3); n-- > 0;) {
                Bytes rr = {7, 11, 12};  // both slots filled
                for (int i = 0; i < 2; ++i) put32(rr, addr4());
                append(o.options, rr);
            }
            return ipv4(addr4(), addr4(), u, o);
        }
        Ipv6Options o;
        Ipv6Address src = addr6(), dst = addr6();
        if (pick(3) == 0) o.extensions.push_back(optionsHeader(0, {5, 2, 0, 0}));
        if (pick(3) == 0) {
            Ipv6Address home = addr6();
            o.extensions.push_back(optionsHeader(60, homeAddressOption(home)));
            o.pseudoSrc = home;
        }
        if (pick(3) == 0) {
            std::vector<Ipv6Address> route = {addr6(), addr6()};
            bool left = pick(2) != 0;
            o.extensions.push_back(routing(pick(2) ? 0 : 4, left ? 1 : 0, route));
            if (left) o.pseudoDst = o.extensions.back().bytes[2] == 4 ? route.front() : route.back();
        }
        if (pick(4) == 0) o.extensions.push_back(fragmentHeader(0, true));
        return ipv6(src, dst, u, o);
    };
    Packet ip = wrapIp(up, up.protocol == 58 || (up.protocol != 1 && pick(2)));
    if (pick(4) == 0) {
        bool six = pick(2) != 0;
        ip = pick(2) ? wrapIp(carried(ip.bytes[0] >> 4 == 4 ? 4 : 41, ip), six)
                     : wrapIp(gre(ip.bytes[0] >> 4 == 4 ? 0x0800 : 0x86DD, ip, pick(2) != 0, pick(2) != 0, skew), six);
    }
    unsigned type = ip.bytes[0] >> 4 == 4 ? 0x0800 : 0x86DD;
    switch (pick(6)) {
        case 0: {
            std::vector<unsigned> tags;
            for (std::uint64_t n = pick(3); n-- > 0;) tags.push_back(pick(2) ? 0x8100 : 0x88A8);
            return {LinkEthernet,
                    ethernet(m.mac(rng() & 0xFFFFFFFFFFFF), m.mac(rng() & 0xFFFFFFFFFFFF), type, ip, tags)};
        }
        case 1:
            return {LinkEthernet, ethernet(m.mac(rng() & 0xFFFFFFFFFFFF), m.mac(rng() & 0xFFFFFFFFFFFF), 0x8847,
                                           mpls(1 + static_cast<unsigned>(pick(3)), ip))};
        case 2: {
            Bytes h = {0, 0, 0, 1, 0, 6};
            putMac(h, m.mac(rng() & 0xFFFFFFFFFFFF));
            append(h, {0, 0});
            put16(h, type);
            return {LinkLinuxSll, withHeader(h, ip)};
        }
        case 3: return {LinkNull, withHeader(type == 0x0800 ? Bytes{2, 0, 0, 0} : Bytes{0, 0, 0, 28}, ip)};
        case 4: return {LinkRaw, ip};
        default: return {type == 0x0800 ? LinkIpv4 : LinkIpv6, ip};
    }
}

TEST(FrameRewriterRandom, FramesComeOutAsTheirTemplatesAndRevealBack) {
    Mappings s;
    for (bool keepMac : {false, true}) {
        for (bool keepPayload : {false, true}) {
            SCOPED_TRACE(std::string(keepMac ? "keepMac " : "") + (keepPayload ? "keepPayload" : ""));
            std::vector<Bytes> inputs, outputs;
            std::vector<Frame> frames;
            std::vector<RandomFrame> expected;
            for (std::uint64_t seed = 0; seed < FrameRewriter::MaxFrames; ++seed) {
                inputs.push_back(randomFrame(seed, s.identity).packet.bytes);
                expected.push_back(randomFrame(seed, s.image(keepMac)));
            }
            outputs = inputs;
            for (std::size_t i = 0; i < outputs.size(); ++i)
                frames.push_back(
                    Frame{outputs[i].data(), static_cast<std::uint32_t>(outputs[i].size()), expected[i].linkType});
            FrameRewriter rewriter(Key, Policy{keepPayload, keepMac, Direction::Anonymize});
            rewriter.rewrite(frames.data(), frames.size());
            for (std::size_t i = 0; i < frames.size(); ++i) {
                SCOPED_TRACE("seed " + std::to_string(i));
                const Packet& want = expected[i].packet;
                std::size_t length = keepPayload ? want.bytes.size() : want.headers;
                ASSERT_EQ(frames[i].captured, length);
                EXPECT_TRUE(std::equal(want.bytes.begin(), want.bytes.begin() + static_cast<std::ptrdiff_t>(length),
                                       outputs[i].begin()));
            }
            FrameRewriter revealer(Key, Policy{false, keepMac, Direction::Reveal});
            revealer.rewrite(frames.data(), frames.size());
            for (std::size_t i = 0; i < frames.size(); ++i)
                EXPECT_TRUE(std::equal(inputs[i].begin(), inputs[i].begin() + frames[i].captured, outputs[i].begin()))
                    << "seed " << i;
        }
    }
}

// Any bytes under any link type: nothing read or written outside the frame,
// never longer than it came, and with keepPayload revealed back exactly.
TEST(FrameRewriterRandom, GarbageAndDamagedFramesRevealBack) {
    Mappings s;
    std::mt19937_64 rng(99);
    const std::uint32_t links[] = {LinkNull,     LinkEthernet, LinkRawAlt12, LinkRawAlt14,  LinkRaw, LinkLoop,
                                   LinkLinuxSll, LinkIpv4,     LinkIpv6,     LinkLinuxSll2, 147};
    std::vector<Case> all = cases();
    for (int round = 0; round < 16; ++round) {
        std::vector<Bytes> inputs;
        std::vector<std::uint32_t> linkOf;
        std::vector<Frame> frames;
        for (std::size_t i = 0; i < FrameRewriter::MaxFrames; ++i) {
            Bytes b;
            std::uint32_t link;
            if (rng() % 3 == 0) {
                link = links[rng() % std::size(links)];
                b.resize(rng() % 160);
                for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 8 : rng());
            } else {
                RandomFrame f = rng() % 2 ? randomFrame(rng(), s.identity) : RandomFrame{0, Packet{}};
                if (f.packet.bytes.empty()) {
                    const Case& c = all[rng() % all.size()];
                    f = RandomFrame{c.linkType, c.build(s.identity)};
                }
                link = f.linkType;
                b = f.packet.bytes;
                for (std::uint64_t n = 1 + rng() % 4; n-- > 0 && !b.empty();)
                    b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
                if (rng() % 2) b.resize(rng() % (b.size() + 1));
            }
            // Now and then under a link type it was not built for.
            linkOf.push_back(rng() % 8 == 0 ? links[rng() % std::size(links)] : link);
            inputs.push_back(b);
        }
        std::vector<Bytes> work = inputs;
        for (std::size_t i = 0; i < work.size(); ++i)
            frames.push_back(Frame{work[i].data(), static_cast<std::uint32_t>(work[i].size()), linkOf[i]});
        std::vector<Frame> headersOnly = frames;
        std::vector<Bytes> cutWork = work;
        for (std::size_t i = 0; i < cutWork.size(); ++i) headersOnly[i].data = cutWork[i].data();
        FrameRewriter(Key, Policy{}).rewrite(headersOnly.data(), headersOnly.size());
        for (std::size_t i = 0; i < headersOnly.size(); ++i) ASSERT_LE(headersOnly[i].captured, inputs[i].size());

        FrameRewriter(Key, Policy{true, false, Direction::Anonymize}).rewrite(frames.data(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(frames[i].captured, inputs[i].size());
        FrameRewriter(Key, Policy{true, false, Direction::Reveal}).rewrite(frames.data(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i)
            ASSERT_EQ(work[i], inputs[i]) << "round " << round << " frame " << i;
    }
}

}  // namespace
}  // namespace ipveil::packet::test
