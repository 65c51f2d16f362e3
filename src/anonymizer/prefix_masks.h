// The anonymizer's 32 pseudo-random bits for one address, computed by fused
// hardware kernels: the 32 prefix blocks are built in registers, encrypted
// together, and their top bits gathered, with no trip through memory. Each
// kernel performs exactly the 32 AES-128 encryptions that
// PrefixAnonymizer::anonymize describes, on the round keys of its cipher.
// Internal to the anonymizer; the kernels exist only on x86-64 builds and are
// called only when the CPU has their instructions.
#pragma once

#include <cstdint>

namespace ipveil::anonymizer_detail {

// Bit 31 - pos of the result is the top bit of AES-128 (round keys
// `roundKeys`, 11 x 16 bytes) of the block: the first pos bits of address,
// the remaining bits of the pad's first four bytes (big-endian), then pad
// bytes 4 to 15.
std::uint32_t aesNiPrefixMask(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint32_t address) noexcept;
std::uint32_t vaesPrefixMask(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint32_t address) noexcept;

// Which bits of the address block pos takes: the first pos bits.
inline constexpr std::uint32_t prefixKeep(int pos) { return pos == 0 ? 0 : ~std::uint32_t{0} << (32 - pos); }

}  // namespace ipveil::anonymizer_detail
