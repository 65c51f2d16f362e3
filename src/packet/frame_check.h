// The frame check sequence of Ethernet (and of the other IEEE 802 links):
// CRC-32 with the reflected polynomial 0xEDB88320, sent and captured least
// significant byte first.
//
// A CRC is affine over GF(2): for bytes of one length, crc(a) ^ crc(b) is a
// function of a ^ b alone. So an FCS XORed with crc(before) ^ crc(after)
// follows the change of the bytes it covers: a right FCS stays right, a
// wrong one stays wrong by the same bits, and the inverse change gives the
// very bytes back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ipveil::packet {

namespace detail {
inline constexpr std::array<std::uint32_t, 256> CrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320 ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}();
}  // namespace detail

inline std::uint32_t frameCrc(const std::uint8_t* bytes, std::size_t n) noexcept {
    std::uint32_t c = 0xFFFFFFFF;
    for (std::size_t i = 0; i < n; ++i) c = detail::CrcTable[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

// The 4 FCS bytes at `at` moved by the change whose CRCs are given.
inline void carryFcs(std::uint8_t* at, std::uint32_t before, std::uint32_t after) noexcept {
    const std::uint32_t change = before ^ after;
    for (int i = 0; i < 4; ++i) at[i] ^= static_cast<std::uint8_t>(change >> (8 * i));
}

}  // namespace ipveil::packet
