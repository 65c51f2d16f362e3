// Field parsing for the trace reader: each parser takes [first, last) and
// says where it stopped and whether it succeeded, in the manner of
// std::from_chars. They know nothing of lines or buffers; the reader does.
//
// The time field is a number exactly as strtof reads it in full (sign,
// decimals, exponent, hexadecimal, inf, nan), held in single precision, except
// "nan(chars)", which scanf does not read whole. The size and the address
// components are decimal digits with an optional leading '+', at most
// 4294967295.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "ipv4_address.h"

namespace ipveil::trace {

// Parses a whole time field [first, last) as strtof would, rounding to single
// precision. *last must be writable (it is restored); returns false unless
// strtof accepts every character, and for a NaN with a payload in brackets.
bool parseTime(char* first, char* last, float& value) noexcept;

// Parses decimal digits with an optional leading '+' from [first, last) into
// value; returns the position after the digits, or nullptr when there are no
// digits or the value exceeds 4294967295. The size field follows the rule of
// an address component, which the address room keeps.
inline const char* parseUnsigned(const char* first, const char* last, std::uint32_t& value) noexcept {
    return parseIpv4RecordComponent(first, last, value);
}

namespace detail {

// isspace() of the "C" locale, which is what scanf skips.
inline bool isSpace(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

inline constexpr std::uint64_t IntegerPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

inline constexpr double PowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// digits / 10^decimals in single precision, as strtof rounds it, for digits
// at most 2^53 and decimals at most 22: then digits / 10^decimals is one
// correctly rounded double operation. Rounding that double to float gives
// strtof's result unless the double lies exactly halfway between two floats
// (then the true value may lie on either side) or the float would be
// subnormal; those cases return false and are left to strtof.
inline bool roundDecimal(std::uint64_t digits, int decimals, float& value) noexcept {
    const double exact = static_cast<double>(digits) / PowersOfTen[decimals];
    const auto bits = std::bit_cast<std::uint64_t>(exact);
    if ((bits & 0x1FFFFFFF) == 0x10000000) [[unlikely]] return false;  // halfway between two floats
    if (digits != 0 && exact < 0x1p-126) [[unlikely]] return false;     // subnormal float
    value = static_cast<float>(exact);
    return true;
}

inline constexpr double InversePowersOfTen[] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};

// roundDecimal for the short times of everyday records: digits at most 2^53
// and decimals at most 7, so that the value is at least 1e-7 and never
// subnormal as a float. digits * 10^-decimals, two roundings of a double,
// lies within 4 of the double's last units of the exact quotient; away from
// a midpoint between two floats by more than that, both round to the same
// float, and near one roundDecimal decides. A multiplication, where the
// division would hold up everything that waits for the time.
inline bool roundShortDecimal(std::uint64_t digits, unsigned decimals, float& value) noexcept {
    const double close = static_cast<double>(digits) * InversePowersOfTen[decimals];
    const auto bits = std::bit_cast<std::uint64_t>(close);
    if (((bits & 0x1FFFFFFF) - (0x10000000 - 16)) <= 32) [[unlikely]] {
        return roundDecimal(digits, static_cast<int>(decimals), value);
    }
    value = static_cast<float>(close);
    return true;
}

// Word-at-a-time helpers for a buffer that has at least 8 readable bytes from
// any position up to its end. They treat the bytes as a number with the
// first byte lowest, whatever the machine's byte order.
inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

inline constexpr std::uint64_t EachByte = 0x0101010101010101;

// How many of the 8 bytes, from the first, are decimal digits (0 to 8).
inline unsigned digitRun(std::uint64_t word) noexcept {
    // A digit is 0x30 to 0x39: high nibble 3, and a low nibble that does not
    // carry into the high one when 6 is added. A byte of notDigit is nonzero
    // exactly where the byte is not a digit; no step carries between bytes.
    const std::uint64_t notDigit = ((word & (0xF0 * EachByte)) ^ (0x30 * EachByte)) |
                                   (((word & (0x0F * EachByte)) + 0x06 * EachByte) & (0xF0 * EachByte));
    const std::uint64_t marks = (((notDigit & (0x7F * EachByte)) + 0x7F * EachByte) | notDigit) & (0x80 * EachByte);
    return static_cast<unsigned>(std::countr_zero(marks)) / 8;
}

// The value of the first count (1 to 8) bytes, which are digits: they are
// moved to the top so that the zero bytes below act as leading zeros, then
// neighbouring digits, pairs and quads are combined by multiplications.
inline std::uint32_t digitsValue(std::uint64_t word, unsigned count) noexcept {
    word <<= 8 * (8 - count);
    word = ((word & (0x0F * EachByte)) * (1 + (10 << 8))) >> 8;
    word = ((word & 0x00FF00FF00FF00FF) * (1 + (100 << 16))) >> 16;
    return static_cast<std::uint32_t>(((word & 0x0000FFFF0000FFFF) * (1 + (10000ULL << 32))) >> 32);
}

}  // namespace detail

}  // namespace ipveil::trace
