// The policy's forced masks with AVX-512 (F, VL, CD): the AVX2 pass's terms,
// each rule's xor-and-or in one ternary-logic operation, IPv6 minima in one
// 64-bit instruction instead of a comparison and a blend, and the run of
// forced flips from a leading-zero count instead of a smear. IPv4: thirty-two
// addresses (two registers) a rule. IPv6: eight, their halves in 64-bit lanes.
#include <immintrin.h>

#include <cstring>

#include "policy_masks.h"

// GCC 12's AVX-512 headers make their "undefined" source operand from
// itself, which -Wmaybe-uninitialized takes for a read of garbage.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace ipveil::anonymizer_detail {

namespace {

// Ternary-logic tables over (A, B, C) = (0xF0, 0xCC, 0xAA).
constexpr int XorOr = (0xF0 ^ 0xCC) | 0xAA;   // (a ^ prefix) | low
constexpr int XorAnd = (0xF0 ^ 0xCC) & 0xAA;  // (a ^ prefix) & mask

constexpr std::size_t Group = 32;

// The flips forced by the least term m: every bit from the top down to m's
// highest set bit; all of them for m = 0, whose count of 32 shifts all out.
inline __m512i forcedFromLeast(__m512i m) noexcept {
    const __m512i below = _mm512_srlv_epi32(_mm512_set1_epi32(0x7FFFFFFF), _mm512_lzcnt_epi32(m));
    return _mm512_xor_si512(below, _mm512_set1_epi32(-1));
}

inline void group(const ForcedRules4& rules, const std::uint32_t* addresses, std::uint32_t* forced,
                  std::uint32_t* kept) noexcept {
    const __m512i a0 = _mm512_loadu_si512(addresses);
    const __m512i a1 = _mm512_loadu_si512(addresses + 16);
    __m512i m0 = _mm512_set1_epi32(-1);
    __m512i m1 = m0;
    for (std::size_t r = 0; r < rules.lowCount; ++r) {
        const __m512i prefix = _mm512_set1_epi32(static_cast<int>(rules.lowPrefix[r]));
        const __m512i low = _mm512_set1_epi32(static_cast<int>(rules.low[r]));
        m0 = _mm512_min_epu32(m0, _mm512_ternarylogic_epi32(a0, prefix, low, XorOr));
        m1 = _mm512_min_epu32(m1, _mm512_ternarylogic_epi32(a1, prefix, low, XorOr));
    }
    for (std::size_t r = 0; r < rules.maskCount; ++r) {
        const __m512i prefix = _mm512_set1_epi32(static_cast<int>(rules.maskPrefix[r]));
        const __m512i mask = _mm512_set1_epi32(static_cast<int>(rules.mask[r]));
        m0 = _mm512_min_epu32(m0, _mm512_ternarylogic_epi32(a0, prefix, mask, XorAnd));
        m1 = _mm512_min_epu32(m1, _mm512_ternarylogic_epi32(a1, prefix, mask, XorAnd));
    }
    if (rules.onlyCount != 0) {
        __mmask16 in0 = 0;
        __mmask16 in1 = 0;
        for (std::size_t r = 0; r < rules.onlyCount; ++r) {
            const __m512i prefix = _mm512_set1_epi32(static_cast<int>(rules.onlyPrefix[r]));
            const __m512i mask = _mm512_set1_epi32(static_cast<int>(rules.onlyMask[r]));
            in0 |= _mm512_testn_epi32_mask(_mm512_xor_si512(a0, prefix), mask);
            in1 |= _mm512_testn_epi32_mask(_mm512_xor_si512(a1, prefix), mask);
        }
        m0 = _mm512_maskz_mov_epi32(in0, m0);
        m1 = _mm512_maskz_mov_epi32(in1, m1);
    }
    const __m512i f0 = forcedFromLeast(m0);
    const __m512i f1 = forcedFromLeast(m1);
    _mm512_storeu_si512(forced, f0);
    _mm512_storeu_si512(forced + 16, f1);
    _mm512_storeu_si512(kept, _mm512_and_si512(a0, f0));
    _mm512_storeu_si512(kept + 16, _mm512_and_si512(a1, f1));
}

// Four IPv6 addresses from 64 bytes: their high halves and low halves as
// numbers, in the lane order [0, 2, 1, 3] that store6 undoes.
struct Halves {
    __m256i high;
    __m256i low;
};

inline __m256i swapQwords(__m256i x) noexcept {
    const __m256i order = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1,
                                           0, 15, 14, 13, 12, 11, 10, 9, 8);
    return _mm256_shuffle_epi8(x, order);
}

inline Halves load6(const std::uint8_t* addresses) noexcept {
    const __m256i a = swapQwords(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(addresses)));
    const __m256i b = swapQwords(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(addresses + 32)));
    return {_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b)};
}

inline void store6(const Halves& h, std::uint8_t* out) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), swapQwords(_mm256_unpacklo_epi64(h.high, h.low)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), swapQwords(_mm256_unpackhi_epi64(h.high, h.low)));
}

inline __m256i broadcast64(std::uint64_t value) noexcept { return _mm256_set1_epi64x(static_cast<long long>(value)); }

// The terms carry their top bit flipped (policy_masks.h), so the signed
// minimum is the unsigned one.
inline __m256i least(__m256i m, __m256i x) noexcept { return _mm256_min_epi64(m, x); }

inline __m256i forcedFromLeast64(__m256i m) noexcept {
    const __m256i below = _mm256_srlv_epi64(broadcast64(~std::uint64_t{0} >> 1), _mm256_lzcnt_epi64(m));
    return _mm256_xor_si256(below, _mm256_set1_epi64x(-1));
}

inline void group6(const ForcedRules6& rules, const std::uint8_t* addresses, std::uint8_t* forced,
                   std::uint8_t* kept) noexcept {
    Halves a[2] = {load6(addresses), load6(addresses + 64)};
    const __m256i top = broadcast64(std::uint64_t{1} << 63);
    const __m256i ones = _mm256_set1_epi64x(-1);
    const __m256i greatest = _mm256_xor_si256(ones, top);
    __m256i high[2] = {greatest, greatest};
    __m256i low[2] = {greatest, greatest};
    if (rules.shortCount != 0) {
        // The first 32 bits of the eight addresses: a[0]'s in the even words,
        // a[1]'s in the odd ones.
        const __m256i first = _mm256_blend_epi32(_mm256_srli_epi64(a[0].high, 32), a[1].high, 0xAA);
        __m256i m = ones;
        for (std::size_t r = 0; r < rules.shortCount; ++r) {
            const __m256i prefix = _mm256_set1_epi32(static_cast<int>(rules.shortPrefix[r]));
            const __m256i mask = _mm256_set1_epi32(static_cast<int>(rules.shortMask[r]));
            const __m256i low = _mm256_set1_epi32(static_cast<int>(rules.shortLow[r]));
            const __m256i term = _mm256_ternarylogic_epi32(first, prefix, mask, XorAnd);
            m = _mm256_min_epu32(m, _mm256_or_si256(term, low));
        }
        // Back to 64-bit terms, whose highest bit is the same.
        high[0] = least(high[0], _mm256_xor_si256(_mm256_slli_epi64(m, 32), top));
        high[1] = least(high[1], _mm256_xor_si256(_mm256_and_si256(m, broadcast64(~std::uint64_t{0} << 32)), top));
    }
    for (std::size_t r = 0; r < rules.orCount; ++r) {
        const __m256i prefix = broadcast64(rules.orPrefix[r]);
        const __m256i bit = broadcast64(rules.orLow[r]);
        for (int g = 0; g < 2; ++g) {
            high[g] = least(high[g], _mm256_ternarylogic_epi64(a[g].high, prefix, bit, XorOr));
        }
    }
    for (std::size_t r = 0; r < rules.maskCount; ++r) {
        const __m256i prefix = broadcast64(rules.maskPrefix[r]);
        const __m256i mask = broadcast64(rules.mask[r]);
        const __m256i bit = broadcast64(rules.maskLow[r]);
        for (int g = 0; g < 2; ++g) {
            const __m256i term = _mm256_ternarylogic_epi64(a[g].high, prefix, mask, XorAnd);
            high[g] = least(high[g], _mm256_or_si256(term, bit));
        }
    }
    std::size_t r = 0;
    for (std::size_t group = 0; group < rules.groupCount; ++group) {
        const __m256i zeroPrefix = broadcast64(rules.zeroPrefix[group]);
        const __m256i zeroMask = broadcast64(rules.zeroMask[group]);
        __m256i groupLeast[2] = {greatest, greatest};
        for (; r < rules.groupEnd[group]; ++r) {
            const __m256i prefix = broadcast64(rules.lowPrefix[r]);
            const __m256i mask = broadcast64(rules.lowMask[r]);
            const __m256i bit = broadcast64(rules.lowLow[r]);
            for (int g = 0; g < 2; ++g) {
                const __m256i term = _mm256_ternarylogic_epi64(a[g].low, prefix, mask, XorAnd);
                groupLeast[g] = least(groupLeast[g], _mm256_or_si256(term, bit));
            }
        }
        for (int g = 0; g < 2; ++g) {
            // Counted only where the group's high term is zero.
            const __mmask8 counted = _mm256_testn_epi64_mask(_mm256_xor_si256(a[g].high, zeroPrefix), zeroMask);
            low[g] = _mm256_mask_min_epi64(low[g], counted, low[g], groupLeast[g]);
        }
    }
    __mmask8 inside[2] = {0xFF, 0xFF};
    if (rules.onlyCount != 0) {
        inside[0] = inside[1] = 0;
        for (std::size_t o = 0; o < rules.onlyCount; ++o) {
            const __m256i prefixHigh = broadcast64(rules.onlyPrefix[2 * o]);
            const __m256i prefixLow = broadcast64(rules.onlyPrefix[2 * o + 1]);
            const __m256i maskHigh = broadcast64(rules.onlyMask[2 * o]);
            const __m256i maskLow = broadcast64(rules.onlyMask[2 * o + 1]);
            for (int g = 0; g < 2; ++g) {
                const __m256i differ =
                    _mm256_or_si256(_mm256_ternarylogic_epi64(a[g].high, prefixHigh, maskHigh, XorAnd),
                                    _mm256_ternarylogic_epi64(a[g].low, prefixLow, maskLow, XorAnd));
                inside[g] |= _mm256_testn_epi64_mask(differ, differ);
            }
        }
    }
    for (int g = 0; g < 2; ++g) {
        // The least term's highest bit is in the high half unless that is
        // zero; one count serves whichever half holds it.
        const __m256i leastHigh = _mm256_xor_si256(high[g], top);
        const __mmask8 highZero = _mm256_testn_epi64_mask(leastHigh, leastHigh);
        const __m256i run =
            forcedFromLeast64(_mm256_mask_blend_epi64(highZero, leastHigh, _mm256_xor_si256(low[g], top)));
        const __m256i forcedHigh = _mm256_mask_mov_epi64(run, highZero, ones);
        const __m256i forcedLow = _mm256_maskz_mov_epi64(highZero, run);
        const __mmask8 outside = static_cast<__mmask8>(~inside[g]);
        const Halves f{_mm256_mask_mov_epi64(forcedHigh, outside, ones), _mm256_mask_mov_epi64(forcedLow, outside, ones)};
        store6(f, forced + 64 * g);
        store6({_mm256_and_si256(a[g].high, f.high), _mm256_and_si256(a[g].low, f.low)}, kept + 64 * g);
    }
}

}  // namespace

void forcedMasks4Avx512(const ForcedRules4& rules, const std::uint32_t* addresses, std::size_t count,
                        std::uint32_t* forced, std::uint32_t* kept) noexcept {
    // Without a rule no flip is forced (the least term needs one).
    if (rules.lowCount == 0 && rules.maskCount == 0) {
        std::memset(forced, 0, sizeof forced[0] * count);
        std::memset(kept, 0, sizeof kept[0] * count);
        return;
    }
    std::size_t i = 0;
    for (; i + Group <= count; i += Group) group(rules, addresses + i, forced + i, kept + i);
    if (i < count) {
        std::uint32_t in[Group] = {};
        std::uint32_t out[Group];
        std::uint32_t outKept[Group];
        std::memcpy(in, addresses + i, (count - i) * sizeof in[0]);
        group(rules, in, out, outKept);
        std::memcpy(forced + i, out, (count - i) * sizeof out[0]);
        std::memcpy(kept + i, outKept, (count - i) * sizeof out[0]);
    }
}

void forcedMasks6Avx512(const ForcedRules6& rules, const std::uint8_t* addresses, std::size_t count,
                        std::uint8_t* forced, std::uint8_t* kept) noexcept {
    if (rules.shortCount == 0 && rules.orCount == 0 && rules.maskCount == 0) {
        std::memset(forced, 0, 16 * count);
        std::memset(kept, 0, 16 * count);
        return;
    }
    constexpr std::size_t Group6 = 8;
    std::size_t i = 0;
    for (; i + Group6 <= count; i += Group6) group6(rules, addresses + 16 * i, forced + 16 * i, kept + 16 * i);
    if (i < count) {
        std::uint8_t in[16 * Group6] = {};
        std::uint8_t out[16 * Group6];
        std::uint8_t outKept[16 * Group6];
        std::memcpy(in, addresses + 16 * i, 16 * (count - i));
        group6(rules, in, out, outKept);
        std::memcpy(forced + 16 * i, out, 16 * (count - i));
        std::memcpy(kept + 16 * i, outKept, 16 * (count - i));
    }
}

}  // namespace ipveil::anonymizer_detail
