// MacPermutation: a keyed, reversible permutation of 48-bit MAC addresses,
// separate from the IP address mapping.
//
// What survives: the group (I/G, multicast) bit and the local (U/L) bit of
// the first octet are kept, so multicast and locally administered addresses
// stay recognisable, and the broadcast ff:ff:ff:ff:ff:ff is kept. Nothing
// else: the other 46 bits go through an 8-round Feistel network over two
// 23-bit halves, each round's function the top 23 bits of AES-128 (under a
// key of its own) of a block holding the round, the two kept bits and the
// other half. So vendor prefixes (OUIs) do not survive, and neither does any
// relation between two MACs but equality. Eight rounds: the halves are small
// (23 bits), and four rounds, enough asymptotically for a strong
// pseudo-random permutation, leave little margin at that size; eight, as
// format-preserving encryption uses, cost 8 AES blocks a MAC, batched one
// ECB call a round for all the MACs at hand.
//
// The broadcast is kept by cycle walking: a MAC whose image would be the
// broadcast takes the broadcast's image instead, so the mapping stays a
// bijection.
//
// A MAC cut short by the snap length cannot go through the Feistel network,
// which needs all its bits. Its leading bytes (1 to 5) are mapped instead by
// a prefix-preserving permutation of that length (PrefixAnonymizer over the
// 46 bits, zero-filled, with its own key; its leading bytes depend only on
// the bytes there), cycle-walked at that length so that a cut broadcast stays
// all ones. It is reversible from the same bytes, but it is not the leading
// part of the whole MAC's image.
//
// A link-layer address of another length (1 to 8 bytes: an EUI-64, a short
// address, what Linux cooked capture holds) goes through the same
// prefix-preserving permutation at its own length, its first octet's two
// flag bits and all ones kept as for a cut MAC: a bijection on addresses of
// that length, so that a MAC cut to n bytes and an n-byte address with the
// same bytes get the same image.
//
// The keys are derived from the whole 32-byte address key by AES-128, under
// its AES part, of fixed constants mixed with its seed, so a MAC whose first
// 32 bits equal an IPv4 address has nothing to do with that address's image.
//
// A MAC is held in the low 48 bits of a uint64, first octet most significant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes_cipher.h"
#include "prefix_anonymizer.h"

namespace ipveil::packet {

class MacPermutation {
public:
    static constexpr std::uint64_t Broadcast = 0xFFFFFFFFFFFFull;
    static constexpr int Rounds = 8;

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

    // A link address of `bytes` bytes (1 to 8), held in the low 8 * bytes
    // bits, first byte most significant; see above. Not batched: there is
    // at most one a frame, and few frames have one.
    std::uint64_t anonymizeLink(std::uint64_t address, std::size_t bytes) const noexcept {
        return linkAddress(address, bytes, false);
    }
    std::uint64_t deanonymizeLink(std::uint64_t image, std::size_t bytes) const noexcept {
        return linkAddress(image, bytes, true);
    }

    // Inline: they run twice a frame.
    static std::uint64_t fromBytes(const std::uint8_t* bytes, std::size_t present) noexcept {
        std::uint64_t mac = 0;
        for (std::size_t i = 0; i < 6; ++i) mac = mac << 8 | (i < present ? bytes[i] : 0);
        return mac;
    }
    static void toBytes(std::uint64_t mac, std::uint8_t* bytes) noexcept {
        for (int i = 0; i < 6; ++i) bytes[i] = static_cast<std::uint8_t>(mac >> (40 - 8 * i));
    }

private:
    struct FromDerivedKeys {};
    // derived: the 64 bytes of keys drawn from the address key.
    MacPermutation(const std::uint8_t* derived, FromDerivedKeys) noexcept;
    void map(const std::uint64_t* in, std::size_t count, std::uint64_t* out, const std::uint8_t* present,
             bool reveal) const noexcept;
    // The Feistel network on whole MACs, n of them (at most the chunk size).
    void feistel(const std::uint64_t* in, std::size_t n, std::uint64_t* out, bool reveal) const noexcept;
    std::uint64_t cutMac(std::uint64_t mac, std::size_t present, bool reveal) const noexcept;
    std::uint64_t linkAddress(std::uint64_t address, std::size_t bytes, bool reveal) const noexcept;
    // The prefix-preserving step on an address held from the top bit, its bytes under `mask`.
    std::uint64_t linkImage(std::uint64_t left, std::uint64_t mask, bool reveal) const noexcept;

    AesCipher roundCipher;
    std::uint8_t roundPad[16];
    PrefixAnonymizer cutPermutation;
    // Per number of leading bytes present (index 1 to 6): the broadcast's
    // image, and what the permutation takes to the broadcast.
    std::uint64_t broadcastImage[7];
    std::uint64_t broadcastOriginal[7];
};

}  // namespace ipveil::packet
