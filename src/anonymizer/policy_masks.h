// The policy as the anonymizer applies it: for each address, which of its
// flips are forced to zero.
//
// The flips forced for an address always form a run from the top bit, of a
// length its own bits decide: the flips on the path from the root to a ruled
// prefix (so an address inside it stays inside, and one outside keeps the
// bits that tell on which side it lies), every flip of an address inside a
// `keep` prefix, and every flip of an address outside every `only` prefix.
// That run's length is 1 + clz(m), m the least over the rules of
//   ((address ^ prefix) & mask) | low
// where mask holds the prefix's bits and low the bit just above the depth the
// rule keeps (none for `keep`): the first difference from the prefix, or the
// rule's depth, whichever comes first. An address outside every `only`
// prefix gets m = 0, all flips forced. Then forced = ~(smear(m) >> 1), smear
// setting every bit below m's highest. A branch-free pass over all rules, the
// same for every address, with no table indexed by address bits.
//
// The compiled lists drop the rules another rule
// makes redundant: a `preserve` with a ruled prefix inside it (the inner
// rule's path goes through it), and any rule inside a `keep`.
//
// Internal to the anonymizer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ipveil::anonymizer_detail {

// IPv4 rules in three lists, so that each costs one operation besides the
// xor and the minimum: "low" rules (a `preserve`, whose mask changes nothing
// once low is set) take ((a ^ prefix) | low), "mask" rules (a `keep`) take
// ((a ^ prefix) & mask), and `only` prefixes a test of their own.
struct ForcedRules4 {
    const std::uint32_t* lowPrefix;
    const std::uint32_t* low;
    std::size_t lowCount;
    const std::uint32_t* maskPrefix;
    const std::uint32_t* mask;
    std::size_t maskCount;
    const std::uint32_t* onlyPrefix;
    const std::uint32_t* onlyMask;
    std::size_t onlyCount;
};

// forced[i] for addresses[i], i below count, with AVX2; only called where the
// cipher's dispatch has chosen a VAES path (whose CPUs have AVX2).
void forcedMasks4Avx2(const ForcedRules4& rules, const std::uint32_t* addresses, std::size_t count,
                      std::uint32_t* forced) noexcept;

}  // namespace ipveil::anonymizer_detail
