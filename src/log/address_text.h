// What the log scanners share: the prefix length that makes an address a
// subnet, and the search for the next of two bytes that both skip ahead with.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ipveil::log {

// The first byte of [first, last) that is a or b, or last. Sixteen bytes a
// step with SSE2, then eight: a byte equal to a turns to zero in word ^ a,
// and (x - 0x01..) & ~x & 0x80.. marks the zero bytes of x, the lowest of
// them exactly (a borrow can only mark bytes above a true zero).
inline const char* findEither(const char* first, const char* last, char a, char b) noexcept {
    constexpr std::uint64_t Ones = 0x0101010101010101;
    constexpr std::uint64_t Highs = 0x8080808080808080;
#if defined(__SSE2__)
    // SSE2 is in every x86-64 CPU: sixteen bytes a step where they are there.
    const __m128i av = _mm_set1_epi8(a);
    const __m128i bv = _mm_set1_epi8(b);
    while (last - first >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
        const int found = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, av), _mm_cmpeq_epi8(bytes, bv)));
        if (found != 0) return first + std::countr_zero(static_cast<unsigned>(found));
        first += 16;
    }
#endif
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
