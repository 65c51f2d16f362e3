// What the log scanners share: the prefix length that makes an address a
// subnet, and the search for the next of two bytes that both skip ahead with.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ipveil::log {

// The first byte of [first, last) that is a or b, or last. Eight bytes a
// step: a byte equal to a turns to zero in word ^ a, and (x - 0x01..) & ~x &
// 0x80.. marks the zero bytes of x, the lowest of them exactly (a borrow can
// only mark bytes above a true zero).
inline const char* findEither(const char* first, const char* last, char a, char b) noexcept {
    constexpr std::uint64_t Ones = 0x0101010101010101;
    constexpr std::uint64_t Highs = 0x8080808080808080;
    const std::uint64_t as = Ones * static_cast<unsigned char>(a);
    const std::uint64_t bs = Ones * static_cast<unsigned char>(b);
    while (last - first >= 8) {
        std::uint64_t word;
        std::memcpy(&word, first, sizeof word);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        const std::uint64_t x = word ^ as;
        const std::uint64_t y = word ^ bs;
        const std::uint64_t zeros = ((x - Ones) & ~x & Highs) | ((y - Ones) & ~y & Highs);
        if (zeros != 0) return first + std::countr_zero(zeros) / 8;
        first += 8;
    }
    while (first != last && *first != a && *first != b) ++first;
    return first;
}

// Reads a prefix length at the start of [first, last): one to three decimal
// digits, no leading zero ("0" stands alone), at most maxLength. Returns the
// end of the digits, or nullptr if there are none or they do not form such a
// length. Digits after the third are left for the caller to judge.
inline const char* readPrefixLength(const char* first, const char* last, unsigned maxLength) noexcept {
    unsigned length = 0;
    const char* p = first;
    while (p != last && p - first < 3 && *p >= '0' && *p <= '9') length = length * 10 + static_cast<unsigned>(*p++ - '0');
    if (p == first || (p - first > 1 && *first == '0') || length > maxLength) return nullptr;
    return p;
}

}  // namespace ipveil::log
