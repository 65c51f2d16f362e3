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

TEST(FrameRewriter, EveryAddressMappedEveryOtherByteKeptChecksumsRecomputed) {
    Mappings s;
    for (const Case& c : cases()) {
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
