// Frames that end with an FCS, and records that keep their length: for every
// test frame, the FCS (computed here bit by bit, apart from the rewriter's
// table) is right after every rewrite if it was right before, wrong by the
// same bits if it was wrong, and comes back on revealing; the walk never
// takes it for payload.
#include <gtest/gtest.h>

#include "frame_cases.h"

namespace ipveil::packet::test {
namespace {

std::uint32_t crcOf(const std::uint8_t* bytes, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

// The FCS at the end of `frame`, low byte first, against the CRC of the rest.
std::uint32_t fcsError(const Bytes& frame) {
    const std::size_t n = frame.size() - 4;
    std::uint32_t fcs = 0;
    for (int i = 0; i < 4; ++i) fcs |= std::uint32_t{frame[n + static_cast<std::size_t>(i)]} << (8 * i);
    return fcs ^ crcOf(frame.data(), n);
}

struct Rewritten {
    Bytes bytes;
    std::uint32_t captured;
};

Rewritten rewrittenWithFcs(Bytes bytes, std::uint32_t linkType, Policy policy, bool keepsLength) {
    FrameRewriter rewriter(Key, policy);
    Frame frame{bytes.data(), static_cast<std::uint32_t>(bytes.size()), linkType, 4, keepsLength};
    rewriter.rewrite(&frame, 1);
    return {bytes, frame.captured};
}

TEST(FrameCheckSequence, RightStaysRightWrongStaysWrongAndRevealsBack) {
    Mappings s;
    for (const Case& c : cases()) {
        const Bytes frame = c.build(s.identity).bytes;
        for (const std::uint32_t error : {0u, 0x00800001u}) {
            Bytes in = frame;
            const std::uint32_t crc = crcOf(frame.data(), frame.size()) ^ error;
            for (int i = 0; i < 4; ++i) in.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
            for (const bool keepsLength : {false, true}) {
                SCOPED_TRACE(c.name + (error ? " wrong FCS" : "") + (keepsLength ? " keeps length" : ""));
                // Payload kept: everything but the addresses and their checksums as before, the FCS carried.
                const Policy keep{true, false, Direction::Anonymize};
                const Rewritten whole = rewrittenWithFcs(in, c.linkType, keep, keepsLength);
                ASSERT_EQ(whole.captured, in.size());
                EXPECT_EQ(fcsError(whole.bytes), error);
                // The same as the frame without its FCS, which the walk never reads.
                EXPECT_EQ(Bytes(whole.bytes.begin(), whole.bytes.end() - 4),
                          rewritten(frame, c.linkType, keep));
                const Policy reveal{true, false, Direction::Reveal};
                EXPECT_EQ(rewrittenWithFcs(whole.bytes, c.linkType, reveal, keepsLength).bytes, in);

                // Cut: a shortened frame loses its FCS; one that keeps its length has zeros up to its FCS,
                // which covers them.
                const Policy headersOnly{false, false, Direction::Anonymize};
                const Rewritten cut = rewrittenWithFcs(in, c.linkType, headersOnly, keepsLength);
                const Bytes headers = rewritten(frame, c.linkType, headersOnly);
                if (!keepsLength) {
                    if (headers.size() < frame.size()) {
                        EXPECT_EQ(Bytes(cut.bytes.begin(), cut.bytes.begin() + cut.captured), headers);
                    } else {
                        EXPECT_EQ(cut.captured, in.size());
                        EXPECT_EQ(fcsError(cut.bytes), error);
                    }
                    continue;
                }
                ASSERT_EQ(cut.captured, in.size());
                EXPECT_EQ(fcsError(cut.bytes), error);
                for (std::size_t i = headers.size(); i < frame.size(); ++i) ASSERT_EQ(cut.bytes[i], 0) << i;
            }
        }
    }
}

}  // namespace
}  // namespace ipveil::packet::test
