// No byte of an input address survives the default mode: for every frame
// template cut at every byte by the snap length, and for every address field
// a length field can cut, at every cut it can make. With --keep-payload the
// same frames reveal back to their inputs byte for byte.
//
// The input addresses are drawn through keyed permutations of their own, a
// different key each trial, so that an address byte differs from trial to
// trial; one that comes out as it went in, in every trial, was kept in clear
// (a mapped byte matches its input by chance once in 256 trials). Where the
// addresses stand is found by their values, which the templates hand out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>

#include "field_cuts.h"
#include "frame_cases.h"

namespace ipveil::packet::test {
namespace {

constexpr int Trials = 4;

struct Trial {
    explicit Trial(std::uint8_t seed) : ip(keyOf(seed).data()), macs(keyOf(seed).data()) {}
    static std::array<std::uint8_t, 32> keyOf(std::uint8_t seed) {
        std::array<std::uint8_t, 32> k{};
        for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(seed * 131 + i * 29 + 7);
        return k;
    }
    PrefixAnonymizer ip;
    MacPermutation macs;
};

const std::vector<std::unique_ptr<Trial>>& trials() {
    static const std::vector<std::unique_ptr<Trial>> all = [] {
        std::vector<std::unique_ptr<Trial>> v;
        for (int t = 0; t < Trials; ++t) v.push_back(std::make_unique<Trial>(static_cast<std::uint8_t>(t + 1)));
        return v;
    }();
    return all;
}

// Marks the bytes of `frame` that hold one of the `drawn` addresses.
void markAddresses(const Bytes& frame, const std::vector<Bytes>& drawn, std::vector<bool>& mark) {
    for (const Bytes& a : drawn) {
        if (a.empty()) continue;
        for (auto it = frame.begin(); (it = std::search(it, frame.end(), a.begin(), a.end())) != frame.end(); ++it)
            for (std::size_t i = 0; i < a.size(); ++i) mark[static_cast<std::size_t>(it - frame.begin()) + i] = true;
    }
}

// The offsets of address bytes that every trial's default-mode output keeps as they went in, for the frame `build`
// gives, cut to `snap` bytes.
std::vector<std::size_t> survivors(const std::function<Packet(const Mapper&)>& build, std::uint32_t linkType,
                                   std::size_t snap) {
    std::vector<Bytes> ins, outs;
    std::vector<bool> address;
    for (const auto& trial : trials()) {
        std::vector<Bytes> drawn;
        Mapper m{&trial->ip, &trial->macs, false, &drawn};
        Bytes in = build(m).bytes;
        address.resize(in.size());
        markAddresses(in, drawn, address);
        in.resize(std::min(snap, in.size()));
        outs.push_back(rewritten(in, linkType, Policy{}));
        // With the payload kept, revealing gives every byte back.
        Bytes kept = rewritten(in, linkType, Policy{true, false, Direction::Anonymize});
        EXPECT_EQ(rewritten(kept, linkType, Policy{true, false, Direction::Reveal}), in);
        ins.push_back(std::move(in));
    }
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < ins[0].size(); ++i) {
        if (!address[i]) continue;
        bool varies = false, same = true;
        for (int t = 0; t < Trials; ++t) {
            varies = varies || ins[t][i] != ins[0][i];
            same = same && i < outs[t].size() && outs[t][i] == ins[t][i];
        }
        if (varies && same) kept.push_back(i);
    }
    return kept;
}

std::string listed(const std::vector<std::size_t>& offsets) {
    std::string s;
    for (std::size_t o : offsets) {
        s += ' ';
        s += std::to_string(o);
    }
    return s;
}

TEST(AddressSurvival, NoAddressByteOfAnyTemplateSurvivesAnySnapLength) {
    for (const Case& c : cases()) {
        std::size_t size = c.build(Mapper{}).bytes.size();
        for (std::size_t snap = 0; snap <= size; ++snap) {
            std::vector<std::size_t> kept = survivors(c.build, c.linkType, snap);
            EXPECT_TRUE(kept.empty()) << c.name << " cut at " << snap << ": kept in clear at" << listed(kept);
        }
    }
}

TEST(AddressSurvival, NoAddressByteSurvivesALengthFieldThatCutsIt) {
    for (const FieldCut& f : fieldCuts()) {
        for (std::size_t keep : f.keeps) {
            auto build = [&f, keep](const Mapper& m) { return f.build(m, keep); };
            std::size_t size = build(Mapper{}).bytes.size();
            // Whole, and cut again by the snap length anywhere.
            for (std::size_t snap = size + 1; snap-- > 0;) {
                std::vector<std::size_t> kept = survivors(build, LinkRaw, snap);
                EXPECT_TRUE(kept.empty()) << f.name << " " << keep << " bytes in, cut at " << snap
                                          << ": kept in clear at" << listed(kept);
            }
        }
    }
}

}  // namespace
}  // namespace ipveil::packet::test
