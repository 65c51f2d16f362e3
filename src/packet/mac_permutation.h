// MacPermutation: a keyed, reversible permutation of 48-bit MAC addresses,
// separate from the IP address mapping.
//
// What survives: the group (I/G, multicast) bit and the local (U/L) bit of
// the first octet are kept, so multicast and locally administered addresses
// stay recognisable. The other 46 bits go through a prefix-preserving
// permutation (PrefixAnonymizer over an IPv6-sized block holding them at the
// top), so addresses of one vendor prefix (OUI) still share their image's
// first 22 permuted bits, and addresses differing first at a bit differ first
// at that bit in their images. The broadcast ff:ff:ff:ff:ff:ff is kept: a MAC
// whose image would be the broadcast takes the broadcast's image instead
// (cycle walking), so the mapping stays a bijection. A MAC cut short by the
// snap length is mapped as its leading bytes (zero-filled) and keeps the
// leading bytes of the image; the same walking at that length keeps a cut
// broadcast all ones.
//
// The permutation's key is derived from the whole 32-byte address key by
// AES-128, under its AES part, of fixed constants mixed with its seed, so a MAC whose first 32 bits equal an
// IPv4 address has nothing to do with that address's image.
//
// A MAC is held in the low 48 bits of a uint64, first octet most significant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "prefix_anonymizer.h"

namespace ipveil::packet {

class MacPermutation {
public:
    static constexpr std::uint64_t Broadcast = 0xFFFFFFFFFFFFull;

    explicit MacPermutation(const std::uint8_t* key) noexcept;

    std::uint64_t anonymize(std::uint64_t mac) const noexcept;
    std::uint64_t deanonymize(std::uint64_t image) const noexcept;

    // images[i] = anonymize(macs[i]) (deanonymize) for i below count; images
    // may be macs. present, if not null, gives per entry how many leading
    // bytes (1 to 6) are there, the rest being zero; only those bytes of the
    // image are meaningful.
    void anonymize(const std::uint64_t* macs, std::size_t count, std::uint64_t* images,
                   const std::uint8_t* present = nullptr) const noexcept;
    void deanonymize(const std::uint64_t* images, std::size_t count, std::uint64_t* macs,
                     const std::uint8_t* present = nullptr) const noexcept;

    static std::uint64_t fromBytes(const std::uint8_t* bytes, std::size_t present) noexcept;
    static void toBytes(std::uint64_t mac, std::uint8_t* bytes) noexcept;

private:
    void map(const std::uint64_t* in, std::size_t count, std::uint64_t* out, const std::uint8_t* present,
             bool reveal) const noexcept;

    PrefixAnonymizer permutation;
    // Per number of leading bytes present (index 1 to 6): the permuted
    // broadcast, and what the permutation takes to the broadcast.
    std::uint64_t broadcastImage[7];
    std::uint64_t broadcastOriginal[7];
};

}  // namespace ipveil::packet
