// FrameRewriter on frames built byte by byte: for every link layer, header,
// option and tunnel, the rewritten frame must equal the same template built
// from the images of its addresses (PrefixAnonymizer's own, the MAC
// permutation's), with every checksum recomputed in full by the builder, and
// cut where the headers end; revealing must give the input back.
#include "frame_rewriter.h"

#include <gtest/gtest.h>

#include "frame_cases.h"

namespace ipveil::packet::test {
namespace {

// Checksummed transports whose bodies hold fields Wireshark shows as IPv4
// addresses that are no addresses (router IDs, host identity tags): tested
// here, not in the captures read back by tshark.
std::vector<Case> opaqueBodies() {
    // OSPFv3 hello: version 3, type 1, length, router ID, area ID, checksum, instance, then the hello.
    Bytes hello = {3, 1, 0, 36, 10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    append(hello, {0, 0, 0, 5, 1, 0, 0, 0x13, 0, 10, 0, 40, 10, 0, 0, 1, 0, 0, 0, 0});
    Bytes hip = {59, 4, 1, 0x11, 0, 0, 0, 0};  // I1: sender and receiver host identity tags
    putV6(hip, v6(0x2001002000000000ull, 0x1234));
    putV6(hip, v6(0x2001002000000000ull, 0x5678));
    return {{"Ospfv3Hello", LinkEthernet,
             [=](const Mapper& m) {
                 Ipv6Address allSpfRouters = v6(0xff02000000000000ull, 5);
                 return eth6(m, ipv6(m.v6(H6), m.v6(allSpfRouters), pseudoChecksummed(89, hello, 12, 4)));
             }},
            {"Ospfv2HelloKeepsItsChecksum", LinkEthernet,
             [=](const Mapper& m) {
                 Bytes v2 = hello;
                 v2[0] = 2;
                 return eth4(m, ipv4(m.v4(A), m.v4(0xE0000005), carried(89, Packet{v2, 4})));
             }},
            {"HipOverIpv4", LinkRaw,
             [=](const Mapper& m) { return ipv4(m.v4(A), m.v4(B), pseudoChecksummed(139, hip, 4, 8)); }}};
}

TEST(FrameRewriter, EveryAddressMappedEveryOtherByteKeptChecksumsRecomputed) {
    Mappings s;
    std::vector<Case> all = cases();
    for (const Case& c : opaqueBodies()) all.push_back(c);
    for (const Case& c : all) {
        for (bool keepMac : {false, true}) {
            for (bool keepPayload : {false, true}) {
                SCOPED_TRACE(c.name + (keepMac ? " keepMac" : "") + (keepPayload ? " keepPayload" : ""));
                Packet in = c.build(s.identity);
                Packet expect = c.build(s.image(keepMac, !keepPayload));
                ASSERT_EQ(in.bytes.size(), expect.bytes.size());
                Bytes out = rewritten(in.bytes, c.linkType, Policy{keepPayload, keepMac, Direction::Anonymize});
                Bytes want = expect.bytes;
                if (!keepPayload) want.resize(expect.headers);
                EXPECT_EQ(out, want);
                // Revealing gives the input back, cut or not.
                if (keepPayload || ((keepMac || !c.mapsPastCut) && !c.padsOver)) {
                    Bytes back = rewritten(out, c.linkType, Policy{false, keepMac, Direction::Reveal});
                    EXPECT_EQ(back,
                              Bytes(in.bytes.begin(), in.bytes.begin() + static_cast<std::ptrdiff_t>(out.size())));
                }
            }
        }
    }
}

}  // namespace
}  // namespace ipveil::packet::test
