// PrefixAnonymizer: a keyed, prefix-preserving permutation of IPv4 addresses,
// and of IPv6 addresses over their 128 bits.
//
// Bit i (from the top) of the anonymized address is bit i of the original,
// flipped by a pseudo-random function of the original's first i bits: the top
// bit of AES-128 applied to a block holding those bits, completed by a secret
// pad. Two addresses sharing their first k bits therefore map to addresses
// sharing their first k bits, and differing in bit k+1 when the originals do.
//
// The 32-byte key: bytes 0-15 are the AES-128 key, bytes 16-31 the seed from
// which the pad is derived (pad = AES(key[0..15], key[16..31])). The mapping
// depends on nothing else, so every object and every run built from one key
// agree, and separate pieces of a trace can be anonymized independently.
//
// IPv6: the same rule with the address occupying 128 bits. Bit pos (from the
// top, 0 to 127) is flipped by the top bit of AES-128 of the block made of
// the address's first pos bits and the pad's last 128 - pos bits. An IPv4
// block is the same with the address in the first 32 bits, so an IPv6
// address whose first 32 bits equal an IPv4 address gets that address's
// image in its first 32 bits.
//
// Speed: every IPv4 address costs exactly 32 AES encryptions and every IPv6
// address 128, whatever the call; nothing is cached. The batch calls choose the block path once and keep the
// AES units busy with several addresses at a time, so a caller with many
// addresses should hand them over together.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes_cipher.h"
#include "ipv6_address.h"

namespace ipveil {

class PrefixAnonymizer {
public:
    static constexpr int KeyBytes = 32;

    // Reads the 32 bytes at `key` during construction only.
    explicit PrefixAnonymizer(const std::uint8_t* key) noexcept;

    // The anonymized image of `address` (first dotted-quad component in the
    // most significant byte). Exactly 32 AES block encryptions; no state.
    std::uint32_t anonymize(std::uint32_t address) const noexcept;

    // The original of an anonymized address: anonymize(deanonymize(a)) == a
    // and deanonymize(anonymize(a)) == a. For the data owner who holds the
    // key. Each bit's flip depends only on the original bits above it, so the
    // original is recovered from the top, one encryption per bit in turn.
    std::uint32_t deanonymize(std::uint32_t anonymized) const noexcept;

    // images[i] = anonymize(addresses[i]) for i below count, and the same for
    // deanonymize. images may be addresses (in place) but must not overlap
    // it otherwise.
    void anonymize(const std::uint32_t* addresses, std::size_t count, std::uint32_t* images) const noexcept;
    void deanonymize(const std::uint32_t* images, std::size_t count, std::uint32_t* addresses) const noexcept;

    // The same for IPv6 addresses: 128 AES encryptions each.
    Ipv6Address anonymize(const Ipv6Address& address) const noexcept;
    Ipv6Address deanonymize(const Ipv6Address& anonymized) const noexcept;
    void anonymize(const Ipv6Address* addresses, std::size_t count, Ipv6Address* images) const noexcept;
    void deanonymize(const Ipv6Address* images, std::size_t count, Ipv6Address* addresses) const noexcept;

private:
    std::uint32_t padPrefix() const noexcept;
    // Fills `block` with the pseudo-random function's input for bit pos:
    // the first pos bits of address, the rest of the pad's first word, and
    // pad bytes 4 to 15.
    void prefixBlock(std::uint32_t address, int pos, std::uint8_t* block) const noexcept;
    std::uint32_t portableAnonymize(std::uint32_t address) const noexcept;
    std::uint32_t portableDeanonymize(std::uint32_t anonymized) const noexcept;
    void portableAnonymize(const std::uint8_t* address, std::uint8_t* image) const noexcept;
    void portableDeanonymize(const std::uint8_t* anonymized, std::uint8_t* address) const noexcept;

    std::uint8_t cipherKey[16];
    std::uint8_t pad[16];
    AesCipher cipher;
};

}  // namespace ipveil
