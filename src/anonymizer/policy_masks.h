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
// where mask holds the prefix's bits and low is the last bit the rule keeps,
// at position depth - 1 (none for `keep`): the run ends at the first
// difference from the prefix or at the rule's depth, whichever comes first. An address outside every `only`
// prefix gets m = 0, all flips forced. Then forced = ~(smear(m) >> 1), smear
// setting every bit below m's highest. A branch-free pass over all rules, the
// same for every address, with no table indexed by address bits.
//
// The compiled lists drop the rules another rule makes redundant: a
// `preserve` with a ruled prefix inside it (the inner rule's path goes
// through it), and any rule inside a `keep`.
//
// Internal to the anonymizer.
#pragma once

#include <cstddef>
#include <cstdint>

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

// IPv6 rules over 64-bit halves, four addresses a register. AVX2 has only a
// signed 64-bit comparison, so the terms are kept with their top bit flipped
// (folded into each rule's constants), where the signed order is the
// unsigned one. Only the position of the least term's highest bit matters:
// it is in the high half unless some rule's high term is zero, and then it
// is the least low term among those rules. So every rule gives a high term
// ((hi ^ prefix) & mask) | low ("or" rules need no mask), and the rules
// whose high term can be zero (no low bit in the high half) give a low term,
// counted only where their high term is zero. Equal high terms are listed
// once, and the low terms come in groups sharing one high-half test (::/128,
// ::1/128 and ::ffff:0:0/96 share theirs). Rules whose low bit lies in the
// first 32 bits (most of the special table) need only those bits, and take
// eight addresses a register as IPv4 rules do.
struct ForcedRules6 {
    const std::uint32_t* shortPrefix;
    const std::uint32_t* shortMask;
    const std::uint32_t* shortLow;
    std::size_t shortCount;
    const std::uint64_t* orPrefix;  // flipped
    const std::uint64_t* orLow;
    std::size_t orCount;
    const std::uint64_t* maskPrefix;  // flipped
    const std::uint64_t* mask;
    const std::uint64_t* maskLow;
    std::size_t maskCount;
    const std::uint64_t* zeroPrefix;  // a group's high half, as is: the rules' high term is zero
    const std::uint64_t* zeroMask;
    const std::size_t* groupEnd;  // one past the group's last low term
    std::size_t groupCount;
    const std::uint64_t* lowPrefix;  // low half, flipped
    const std::uint64_t* lowMask;
    const std::uint64_t* lowLow;
    const std::uint64_t* onlyPrefix;  // two words a prefix, as is: high, low
    const std::uint64_t* onlyMask;
    std::size_t onlyCount;
};

// forced[i] for addresses[i], i below count, and kept[i] = addresses[i] &
// forced[i], with AVX2; only called on a hardware path of a CPU that has
// AVX2 (every VAES CPU does).
void forcedMasks4Avx2(const ForcedRules4& rules, const std::uint32_t* addresses, std::size_t count,
                      std::uint32_t* forced, std::uint32_t* kept) noexcept;
// The same for IPv6 addresses, 16 bytes each in network order, and their
// forced flips in the same layout.
void forcedMasks6Avx2(const ForcedRules6& rules, const std::uint8_t* addresses, std::size_t count,
                      std::uint8_t* forced, std::uint8_t* kept) noexcept;
// The same two passes with AVX-512 F, VL and CD, on a hardware path of a CPU
// that has them.
void forcedMasks4Avx512(const ForcedRules4& rules, const std::uint32_t* addresses, std::size_t count,
                        std::uint32_t* forced, std::uint32_t* kept) noexcept;
void forcedMasks6Avx512(const ForcedRules6& rules, const std::uint8_t* addresses, std::size_t count,
                        std::uint8_t* forced, std::uint8_t* kept) noexcept;
// images = (kept | (images & ~forced)) & truncate over `bytes` bytes, the
// 32 bytes at truncate repeating (eight IPv4 words or two IPv6 addresses).
void applyForcedAvx2(const std::uint8_t* kept, const std::uint8_t* forced, const std::uint8_t* truncate,
                     std::size_t bytes, std::uint8_t* images) noexcept;

}  // namespace ipveil::anonymizer_detail
