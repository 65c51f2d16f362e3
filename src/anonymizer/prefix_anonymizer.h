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
//
// A policy (address_policy.h) forces some flips to zero: those on the path
// from the root to each ruled prefix, and every flip of an address a rule
// keeps (policy_masks.h). Any choice of flips that depends only on the bits
// above it leaves the mapping a prefix-preserving bijection, and the flips
// forced for an image are those forced for its original, so deanonymize
// computes them from the image. The cost stays 32 (128) encryptions an
// address, the forced flips computed alike for every address, without
// branches or tables indexed by the address. Without a policy, and with the
// empty one, every image is what it was before policies existed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "address_policy.h"
#include "aes_cipher.h"
#include "ipv6_address.h"

namespace ipveil {

namespace anonymizer_detail {
struct CompiledPolicy;
}

class PrefixAnonymizer {
public:
    static constexpr int KeyBytes = 32;

    // Reads the 32 bytes at `key` during construction only.
    explicit PrefixAnonymizer(const std::uint8_t* key) noexcept;
    // The same key with a policy applied inside the mapping.
    PrefixAnonymizer(const std::uint8_t* key, const AddressPolicy& policy);

    // False when the policy truncates images: they cannot be turned back,
    // and deanonymize then writes all-zero addresses.
    bool reversible() const noexcept;

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

    // out[i] = target.anonymize(deanonymize(images[i])): images under this
    // key (and policy) turned into the images under target's, the originals
    // held only in a buffer on the stack, wiped before returning. out may be
    // images but must not overlap it otherwise. False, and out untouched,
    // when this policy truncates (the originals are gone).
    bool rekey(const PrefixAnonymizer& target, const std::uint32_t* images, std::size_t count,
               std::uint32_t* out) const noexcept;
    bool rekey(const PrefixAnonymizer& target, const Ipv6Address* images, std::size_t count,
               Ipv6Address* out) const noexcept;

private:
    // The mapping's images before a policy's forced flips and truncation.
    void flipAll(const std::uint32_t* addresses, std::size_t count, std::uint32_t* images) const noexcept;
    void flipAll(const Ipv6Address* addresses, std::size_t count, Ipv6Address* images) const noexcept;
    std::uint32_t padPrefix() const noexcept;
    // Fills `block` with the pseudo-random function's input for bit pos:
    // the first pos bits of address, the rest of the pad's first word, and
    // pad bytes 4 to 15.
    void prefixBlock(std::uint32_t address, int pos, std::uint8_t* block) const noexcept;
    std::uint32_t portableAnonymize(std::uint32_t address) const noexcept;
    // forced: flips left unapplied (bit 31 the top bit; byte 0's top bit).
    std::uint32_t portableDeanonymize(std::uint32_t anonymized, std::uint32_t forced) const noexcept;
    void portableAnonymize(const std::uint8_t* address, std::uint8_t* image) const noexcept;
    void portableDeanonymize(const std::uint8_t* anonymized, const std::uint8_t* forced,
                             std::uint8_t* address) const noexcept;

    std::uint8_t cipherKey[16];
    std::uint8_t pad[16];
    AesCipher cipher;
    std::shared_ptr<const anonymizer_detail::CompiledPolicy> policy;  // null without one
};

}  // namespace ipveil
