// The incremental checksum update: a bijection on the field for every change,
// undone exactly by the opposite change, moving the sum by the change's
// residue, and agreeing with a plain recomputation at either byte parity.
#include "checksum.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "packet_builder.h"

namespace ipveil::packet {
namespace {

TEST(Checksum, UpdateIsABijectionUndoneByTheOppositeChange) {
    std::mt19937 rng(7);
    std::vector<std::uint32_t> residues = {0, 1, 0xFF, 0x100, 0xFFFE, 0x8000};
    for (int i = 0; i < 6; ++i) residues.push_back(rng() % ChecksumModulus);
    for (bool udp : {false, true}) {
        for (std::uint32_t r : residues) {
            SCOPED_TRACE(testing::Message() << "residue " << r << (udp ? " udp" : ""));
            std::vector<bool> seen(65536);
            for (std::uint32_t field = 0; field <= 0xFFFF; ++field) {
                std::uint16_t f = static_cast<std::uint16_t>(field);
                std::uint16_t g = updatedChecksum(f, r, udp);
                ASSERT_FALSE(seen[g]) << "two fields give " << g;
                seen[g] = true;
                ASSERT_EQ(updatedChecksum(g, negateResidue(r), udp), f);
                bool fixed = udp ? f == 0 : f == 0xFFFF;
                if (fixed) {
                    EXPECT_EQ(g, f);
                    continue;
                }
                // Never the value kept for "none" / the unchanged form, and the sum moved by r.
                ASSERT_NE(g, udp ? 0 : 0xFFFF);
                std::uint32_t before = static_cast<std::uint16_t>(~f) % ChecksumModulus;
                std::uint32_t after = static_cast<std::uint16_t>(~g) % ChecksumModulus;
                ASSERT_EQ(after, (before + r) % ChecksumModulus);
            }
        }
    }
}

TEST(Checksum, ChangeResidueMatchesRecomputedSumsAtEitherParity) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 2000; ++trial) {
        std::size_t length = 2 + rng() % 40;
        test::Bytes before(length), after;
        for (auto& b : before) b = static_cast<std::uint8_t>(rng());
        after = before;
        std::size_t at = rng() % (length - 1);
        std::size_t n = 1 + rng() % std::min<std::size_t>(16, length - at);
        for (std::size_t i = 0; i < n; ++i) after[at + i] = static_cast<std::uint8_t>(rng());
        std::uint64_t residue = changeResidue(before.data() + at, after.data() + at, n);
        if (at & 1) residue = oddResidue(residue);
        residue %= ChecksumModulus;
        std::uint32_t want =
            (test::sumOf(after.data(), length) + ChecksumModulus - test::sumOf(before.data(), length)) %
            ChecksumModulus;
        ASSERT_EQ(residue, want) << "trial " << trial;
    }
}

}  // namespace
}  // namespace ipveil::packet
