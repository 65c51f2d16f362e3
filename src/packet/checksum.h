// Incremental update of the Internet checksum (RFC 1071, RFC 1624) for bytes
// that the rewriter changes in place.
//
// Everything is done on residues modulo 0xFFFF, where one's-complement sums
// live: a byte pair at an odd offset from the start of what a checksum covers
// weighs 256 times its even-offset value, and 2^16 is 1. The update is a
// bijection on the 16-bit field for every change, so that the inverse change
// (revealing) gives back the very bytes, including the two forms of zero:
// - a field of 0xFFFF (a second form of a right checksum over a zero sum, or
//   a wrong one) is left as it stands, and no other value is ever turned
//   into 0xFFFF; every other field moves by the change's residue, a zero
//   result written 0x0000;
// - a UDP field of zero means "no checksum" and stays zero; no other value
//   is ever turned into zero, a zero result being written 0xFFFF.
// A right checksum therefore stays right and a wrong one stays wrong by the
// same difference, whatever the bytes the field covers that are not at hand.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil::packet {

inline constexpr std::uint32_t ChecksumModulus = 0xFFFF;

// Residues below are carried unreduced, as any value congruent to them
// modulo 0xFFFF (small enough to add up many in 64 bits), and reduced once
// per checksum field.

// (new - old) over n bytes (n below 2^16) taken as starting at an even offset.
inline std::uint64_t changeResidue(const std::uint8_t* before, const std::uint8_t* after, std::size_t n) noexcept {
    std::uint64_t up = 0, down = 0;
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) {
        up += std::uint32_t(after[i]) << 8 | after[i + 1];
        down += std::uint32_t(before[i]) << 8 | before[i + 1];
    }
    if (i < n) {
        up += std::uint32_t(after[i]) << 8;
        down += std::uint32_t(before[i]) << 8;
    }
    return up + std::uint64_t{ChecksumModulus} * ((n + 1) / 2) - down;
}

// A residue computed at an even offset, moved to an odd one.
inline std::uint64_t oddResidue(std::uint64_t residue) noexcept { return residue << 8; }

inline std::uint32_t negateResidue(std::uint64_t residue) noexcept {
    std::uint32_t r = static_cast<std::uint32_t>(residue % ChecksumModulus);
    return r == 0 ? 0 : ChecksumModulus - r;
}

// The field after its covered bytes changed by `residue`; see above.
inline std::uint16_t updatedChecksum(std::uint16_t field, std::uint64_t change, bool zeroMeansNone) noexcept {
    std::uint32_t residue = static_cast<std::uint32_t>(change % ChecksumModulus);
    if (zeroMeansNone) {
        if (field == 0) return 0;
        std::uint32_t sum = static_cast<std::uint16_t>(~field);  // 0 .. 0xFFFE
        sum = (sum + residue) % ChecksumModulus;
        return static_cast<std::uint16_t>(~sum);  // never 0
    }
    if (field == 0xFFFF) return field;
    std::uint32_t sum = static_cast<std::uint16_t>(~field);  // 1 .. 0xFFFF
    sum = (sum % ChecksumModulus + residue) % ChecksumModulus;
    if (sum == 0) sum = 0xFFFF;
    return static_cast<std::uint16_t>(~sum);  // never 0xFFFF
}

}  // namespace ipveil::packet
