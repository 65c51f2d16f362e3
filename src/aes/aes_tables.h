// Constant tables of the AES block transforms (FIPS-197), shared read-only by
// every cipher context.
//
// Products are taken in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1. A 4-byte table
// entry is listed in memory order (byte 0 first) and stored as one 32-bit word
// in the machine's own byte order, so that a column loaded from a byte array
// can be XORed with it directly whatever the byte order of the machine.
// Every table is computed at compile time from its formula.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace ipveil::aes_tables {

// Multiplication in GF(2^8) with the AES polynomial.
constexpr std::uint8_t gfMul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b != 0) {
        if (b & 1) product ^= a;
        a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0x00));
        b >>= 1;
    }
    return product;
}

// Packs bytes given in memory order into a word in native byte order.
constexpr std::uint32_t word(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    if constexpr (std::endian::native == std::endian::little) {
        return std::uint32_t{b0} | std::uint32_t{b1} << 8 | std::uint32_t{b2} << 16 | std::uint32_t{b3} << 24;
    } else {
        return std::uint32_t{b3} | std::uint32_t{b2} << 8 | std::uint32_t{b1} << 16 | std::uint32_t{b0} << 24;
    }
}

// Byte k (memory order) of a word built by word().
constexpr std::uint8_t byteOf(std::uint32_t w, int k) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::uint8_t>(w >> (8 * k));
    } else {
        return static_cast<std::uint8_t>(w >> (8 * (3 - k)));
    }
}

namespace detail {

// SBox[x] = affine(x^-1): b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63,
// with 0^-1 = 0. Inverses come from powers of the generator 3:
// x = 3^i has the inverse 3^(255-i).
constexpr std::array<std::uint8_t, 256> makeSBox() {
    std::array<std::uint8_t, 256> power{};
    std::array<std::uint8_t, 256> logarithm{};
    std::uint8_t p = 1;
    for (int i = 0; i < 255; ++i) {
        power[static_cast<std::size_t>(i)] = p;
        logarithm[p] = static_cast<std::uint8_t>(i);
        p = gfMul(p, 3);
    }
    std::array<std::uint8_t, 256> box{};
    for (int x = 0; x < 256; ++x) {
        const unsigned b = x == 0 ? 0 : power[(255 - logarithm[static_cast<std::size_t>(x)]) % 255];
        unsigned s = b ^ (b << 1) ^ (b << 2) ^ (b << 3) ^ (b << 4);
        s = (s ^ (s >> 8)) & 0xff;
        box[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(s ^ 0x63);
    }
    return box;
}

constexpr std::array<std::uint8_t, 256> invert(const std::array<std::uint8_t, 256>& box) {
    std::array<std::uint8_t, 256> inverse{};
    for (int x = 0; x < 256; ++x) inverse[box[static_cast<std::size_t>(x)]] = static_cast<std::uint8_t>(x);
    return inverse;
}

// Table of one column multiplication: entry x = (c0·v, c1·v, c2·v, c3·v) with
// v = box[x], rotated right by `rotation` byte positions.
template <typename Box>
constexpr std::array<std::uint32_t, 256> makeColumnTable(const Box& box, std::array<std::uint8_t, 4> coefficients,
                                                         int rotation) {
    std::array<std::uint32_t, 256> table{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t v = box(x);
        std::uint8_t b[4];
        for (int k = 0; k < 4; ++k) b[(k + rotation) % 4] = gfMul(coefficients[static_cast<std::size_t>(k)], v);
        table[static_cast<std::size_t>(x)] = word(b[0], b[1], b[2], b[3]);
    }
    return table;
}

}  // namespace detail

inline constexpr std::array<std::uint8_t, 256> SBox = detail::makeSBox();
inline constexpr std::array<std::uint8_t, 256> InvSBox = detail::invert(SBox);

namespace detail {
constexpr std::uint8_t viaSBox(int x) { return SBox[static_cast<std::size_t>(x)]; }
constexpr std::uint8_t viaInvSBox(int x) { return InvSBox[static_cast<std::size_t>(x)]; }
constexpr std::uint8_t identity(int x) { return static_cast<std::uint8_t>(x); }
inline constexpr std::array<std::uint8_t, 4> MixColumn{2, 1, 1, 3};
inline constexpr std::array<std::uint8_t, 4> InvMixColumn{14, 9, 13, 11};
}  // namespace detail

// FwdTable0[x] = (2·s, s, s, 3·s) with s = SBox[x]; FwdTable{n} is FwdTable0
// with its bytes rotated by n positions.
inline constexpr auto FwdTable0 = detail::makeColumnTable(detail::viaSBox, detail::MixColumn, 0);
inline constexpr auto FwdTable1 = detail::makeColumnTable(detail::viaSBox, detail::MixColumn, 1);
inline constexpr auto FwdTable2 = detail::makeColumnTable(detail::viaSBox, detail::MixColumn, 2);
inline constexpr auto FwdTable3 = detail::makeColumnTable(detail::viaSBox, detail::MixColumn, 3);

// InvTable0[x] = (14·s, 9·s, 13·s, 11·s) with s = InvSBox[x]; rotated likewise.
inline constexpr auto InvTable0 = detail::makeColumnTable(detail::viaInvSBox, detail::InvMixColumn, 0);
inline constexpr auto InvTable1 = detail::makeColumnTable(detail::viaInvSBox, detail::InvMixColumn, 1);
inline constexpr auto InvTable2 = detail::makeColumnTable(detail::viaInvSBox, detail::InvMixColumn, 2);
inline constexpr auto InvTable3 = detail::makeColumnTable(detail::viaInvSBox, detail::InvMixColumn, 3);

// InvMixTable0[x] = (14·x, 9·x, 13·x, 11·x): InvMixColumns of a round-key
// column, one byte at a time; rotated likewise.
inline constexpr auto InvMixTable0 = detail::makeColumnTable(detail::identity, detail::InvMixColumn, 0);
inline constexpr auto InvMixTable1 = detail::makeColumnTable(detail::identity, detail::InvMixColumn, 1);
inline constexpr auto InvMixTable2 = detail::makeColumnTable(detail::identity, detail::InvMixColumn, 2);
inline constexpr auto InvMixTable3 = detail::makeColumnTable(detail::identity, detail::InvMixColumn, 3);

// RoundConstants[i] = x^i in GF(2^8); key expansion uses the first 10, 8 or 7.
inline constexpr std::array<std::uint32_t, 30> RoundConstants = [] {
    std::array<std::uint32_t, 30> constants{};
    std::uint8_t c = 1;
    for (auto& entry : constants) {
        entry = c;
        c = gfMul(c, 2);
    }
    return constants;
}();

}  // namespace ipveil::aes_tables
