// The anonymizer's hardware kernels: for many addresses at once, the
// pseudo-random flips of every address bit, computed with the AES round
// instructions on the cipher's own round keys and applied to the address.
//
// The block for bit pos of an address is the address's first pos bits
// followed by the pad's bits from pos on: over 128 bits for IPv6, and for
// IPv4 within the block's first word, the rest of the block being the pad.
// Either way it is
//   pad ^ ((address ^ pad) & Keep[pos]),
// where Keep[pos] holds the first pos bits of a 16-byte block (in memory
// order) and the IPv4 address sits, big-endian, in the block's first word.
// After the first round key (whitening) that is
//   (pad ^ key0) ^ ((address ^ pad) & Keep[pos]),
// which the kernels build in one or two instructions per register. Every
// kernel performs exactly the encryptions PrefixAnonymizer describes (32 per
// IPv4 address, 128 per IPv6 address), with no table indexed by the address
// or the key: they run in constant time.
//
// Deanonymizing recovers the original from the top bit down, each bit's
// block needing the bits above it, so one address's encryptions are serial;
// the kernels keep many addresses in flight instead, one per register lane.
//
// Internal to the anonymizer. The kernels exist only on x86-64 builds and
// are called only where the cipher's dispatch has chosen their path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil::anonymizer_detail {

// Kernels take the cipher's 11 round keys (16 bytes each, FIPS-197 order)
// and the pad. IPv4 addresses are plain integers (first component in the most
// significant byte); IPv6 addresses are 16 bytes each, in network order.
// Output may be the input (in place), but must not overlap it otherwise.
//
// Deanonymizing works on staged blocks: count (at most RevealChunk) 16-byte
// blocks in memory order, an IPv4 address in the first word and an IPv6
// address in all of it, turned into their originals in place (bits is 32 or
// 128). The buffer holds RevealBufferBlocks blocks, 64-byte aligned, zero
// after the first count: a kernel's last register group may run into them.
// forced, if not null, holds a block of the same layout beside each: its set
// bits are flips a policy forces to zero, which the kernel leaves unapplied.
// Staging is left to the anonymizer's own file, so that no code is shared
// between the kernels' files, each built with its own instruction set.
// A multiple of every kernel's widest group (64, 24 and 12 blocks), so that
// only a batch's last group is partly empty.
inline constexpr std::size_t RevealChunk = 192;
inline constexpr std::size_t RevealBufferBlocks = RevealChunk + 64;

struct PrefixKernels {
    void (*anonymize4)(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint32_t* addresses,
                       std::size_t count, std::uint32_t* images) noexcept;
    void (*anonymize6)(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint8_t* addresses,
                       std::size_t count, std::uint8_t* images) noexcept;
    void (*revealBlocks)(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint8_t* blocks,
                         const std::uint8_t* forced, std::size_t count, int bits) noexcept;
};

const PrefixKernels& aesNiKernels() noexcept;
const PrefixKernels& vaesKernels() noexcept;
const PrefixKernels& vaes512Kernels() noexcept;

// Keep[pos] and Bit[pos] = Keep[pos + 1] ^ Keep[pos], for pos 0 to 127, as
// 16 bytes in memory order. Data only: the kernels' files, compiled with
// their own instruction sets, share no code through this header.
struct alignas(64) PositionMasks {
    std::uint8_t keep[128][16];
    std::uint8_t bit[128][16];
};

consteval PositionMasks makePositionMasks() {
    PositionMasks masks{};
    for (int pos = 0; pos < 128; ++pos) {
        for (int b = 0; b < 16; ++b) {
            const int bits = pos - 8 * b;  // how many of byte b's bits lie in the prefix
            masks.keep[pos][b] = static_cast<std::uint8_t>(bits >= 8 ? 0xFF : bits <= 0 ? 0 : 0xFF00 >> bits);
        }
        masks.bit[pos][pos / 8] = static_cast<std::uint8_t>(0x80 >> (pos % 8));
    }
    return masks;
}

inline constexpr PositionMasks Positions = makePositionMasks();

}  // namespace ipveil::anonymizer_detail
