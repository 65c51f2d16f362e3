// Loads and stores of the capture formats' fields, in the byte order of the
// file or section they stand in, at any alignment.
#pragma once

#include <cstdint>
#include <cstring>

namespace ipveil::capture {

inline constexpr std::uint32_t SectionHeaderBlock = 0x0A0D0D0A;
inline constexpr std::uint32_t InterfaceBlock = 1;
inline constexpr std::uint32_t ObsoletePacketBlock = 2;
inline constexpr std::uint32_t SimplePacketBlock = 3;
inline constexpr std::uint32_t StatisticsBlock = 5;
inline constexpr std::uint32_t EnhancedPacketBlock = 6;

inline constexpr std::uint32_t bswap32(std::uint32_t value) noexcept { return __builtin_bswap32(value); }

inline std::uint32_t load32(const std::uint8_t* p, bool swapped) noexcept {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return swapped ? bswap32(value) : value;
}

inline std::uint16_t load16(const std::uint8_t* p, bool swapped) noexcept {
    std::uint16_t value;
    std::memcpy(&value, p, 2);
    return swapped ? __builtin_bswap16(value) : value;
}

inline void store32(std::uint8_t* p, std::uint32_t value, bool swapped) noexcept {
    if (swapped) value = bswap32(value);
    std::memcpy(p, &value, 4);
}

// A length rounded up to the 32-bit boundary that pcapng pads to.
inline constexpr std::uint32_t padded(std::uint32_t length) noexcept { return (length + 3) & ~std::uint32_t{3}; }

}  // namespace ipveil::capture
