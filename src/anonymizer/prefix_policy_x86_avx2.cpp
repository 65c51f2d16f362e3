// The policy's forced masks with AVX2. IPv4: sixteen addresses (two
// registers) a rule, so that each rule's constants are broadcast once for
// sixteen addresses and its three operations run on eight lanes. IPv6: eight
// addresses a rule, their high and low halves in 64-bit lanes.
#include <immintrin.h>

#include <cstring>

#include "policy_masks.h"

namespace ipveil::anonymizer_detail {

namespace {

constexpr std::size_t Group = 16;

inline __m256i smearForced(__m256i m) noexcept {
    m = _mm256_or_si256(m, _mm256_srli_epi32(m, 1));
    m = _mm256_or_si256(m, _mm256_srli_epi32(m, 2));
    m = _mm256_or_si256(m, _mm256_srli_epi32(m, 4));
    m = _mm256_or_si256(m, _mm256_srli_epi32(m, 8));
    m = _mm256_or_si256(m, _mm256_srli_epi32(m, 16));
    return _mm256_andnot_si256(_mm256_srli_epi32(m, 1), _mm256_set1_epi32(-1));
}

inline void group(const ForcedRules4& rules, const std::uint32_t* addresses, std::uint32_t* forced,
                  std::uint32_t* kept) noexcept {
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(addresses));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(addresses + 8));
    __m256i m0 = _mm256_set1_epi32(-1);
    __m256i m1 = m0;
    for (std::size_t r = 0; r < rules.lowCount; ++r) {
        const __m256i prefix = _mm256_set1_epi32(static_cast<int>(rules.lowPrefix[r]));
        const __m256i low = _mm256_set1_epi32(static_cast<int>(rules.low[r]));
        m0 = _mm256_min_epu32(m0, _mm256_or_si256(_mm256_xor_si256(a0, prefix), low));
        m1 = _mm256_min_epu32(m1, _mm256_or_si256(_mm256_xor_si256(a1, prefix), low));
    }
    for (std::size_t r = 0; r < rules.maskCount; ++r) {
        const __m256i prefix = _mm256_set1_epi32(static_cast<int>(rules.maskPrefix[r]));
        const __m256i mask = _mm256_set1_epi32(static_cast<int>(rules.mask[r]));
        m0 = _mm256_min_epu32(m0, _mm256_and_si256(_mm256_xor_si256(a0, prefix), mask));
        m1 = _mm256_min_epu32(m1, _mm256_and_si256(_mm256_xor_si256(a1, prefix), mask));
    }
    if (rules.onlyCount != 0) {
        __m256i in0 = _mm256_setzero_si256();
        __m256i in1 = in0;
        for (std::size_t r = 0; r < rules.onlyCount; ++r) {
            const __m256i prefix = _mm256_set1_epi32(static_cast<int>(rules.onlyPrefix[r]));
            const __m256i mask = _mm256_set1_epi32(static_cast<int>(rules.onlyMask[r]));
            const __m256i zero = _mm256_setzero_si256();
            in0 = _mm256_or_si256(in0, _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_xor_si256(a0, prefix), mask), zero));
            in1 = _mm256_or_si256(in1, _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_xor_si256(a1, prefix), mask), zero));
        }
        m0 = _mm256_and_si256(m0, in0);
        m1 = _mm256_and_si256(m1, in1);
    }
    const __m256i f0 = smearForced(m0);
    const __m256i f1 = smearForced(m1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(forced), f0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(forced + 8), f1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(kept), _mm256_and_si256(a0, f0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(kept + 8), _mm256_and_si256(a1, f1));
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

// The lesser of m and x, both with their top bits flipped.
inline __m256i least(__m256i m, __m256i x) noexcept { return _mm256_blendv_epi8(m, x, _mm256_cmpgt_epi64(m, x)); }

inline __m256i forcedFromLeast64(__m256i m) noexcept {
    m = _mm256_or_si256(m, _mm256_srli_epi64(m, 1));
    m = _mm256_or_si256(m, _mm256_srli_epi64(m, 2));
    m = _mm256_or_si256(m, _mm256_srli_epi64(m, 4));
    m = _mm256_or_si256(m, _mm256_srli_epi64(m, 8));
    m = _mm256_or_si256(m, _mm256_srli_epi64(m, 16));
    m = _mm256_or_si256(m, _mm256_srli_epi64(m, 32));
    return _mm256_andnot_si256(_mm256_srli_epi64(m, 1), _mm256_set1_epi64x(-1));
}

inline __m256i broadcast64(std::uint64_t value) noexcept { return _mm256_set1_epi64x(static_cast<long long>(value)); }

inline void group6(const ForcedRules6& rules, const std::uint8_t* addresses, std::uint8_t* forced,
                   std::uint8_t* kept) noexcept {
    Halves a[2] = {load6(addresses), load6(addresses + 64)};
    const __m256i top = broadcast64(std::uint64_t{1} << 63);
    const __m256i ones = _mm256_set1_epi64x(-1);
    const __m256i zero = _mm256_setzero_si256();
    __m256i high[2] = {_mm256_xor_si256(ones, top), _mm256_xor_si256(ones, top)};
    __m256i low[2] = {high[0], high[0]};
    if (rules.shortCount != 0) {
        // The first 32 bits of the eight addresses: a[0]'s in the even words,
        // a[1]'s in the odd ones.
        const __m256i first = _mm256_blend_epi32(_mm256_srli_epi64(a[0].high, 32), a[1].high, 0xAA);
        __m256i m = ones;
        for (std::size_t r = 0; r < rules.shortCount; ++r) {
            // Branches on the rule, never on the address: a mask of all ones
            // (every `preserve`) is skipped.
            __m256i term = _mm256_xor_si256(first, _mm256_set1_epi32(static_cast<int>(rules.shortPrefix[r])));
            if (rules.shortMask[r] != ~0u) {
                term = _mm256_and_si256(term, _mm256_set1_epi32(static_cast<int>(rules.shortMask[r])));
            }
            m = _mm256_min_epu32(m, _mm256_or_si256(term, _mm256_set1_epi32(static_cast<int>(rules.shortLow[r]))));
        }
        // Back to 64-bit terms, whose highest bit is the same.
        high[0] = least(high[0], _mm256_xor_si256(_mm256_slli_epi64(m, 32), top));
        high[1] = least(high[1], _mm256_xor_si256(_mm256_and_si256(m, broadcast64(~std::uint64_t{0} << 32)), top));
    }
    for (std::size_t r = 0; r < rules.orCount; ++r) {
        const __m256i prefix = broadcast64(rules.orPrefix[r]);
        const __m256i bit = broadcast64(rules.orLow[r]);
        for (int g = 0; g < 2; ++g) high[g] = least(high[g], _mm256_or_si256(_mm256_xor_si256(a[g].high, prefix), bit));
    }
    for (std::size_t r = 0; r < rules.maskCount; ++r) {
        const __m256i prefix = broadcast64(rules.maskPrefix[r]);
        const __m256i mask = broadcast64(rules.mask[r]);
        const __m256i bit = broadcast64(rules.maskLow[r]);
        for (int g = 0; g < 2; ++g) {
            const __m256i term = _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(a[g].high, prefix), mask), bit);
            high[g] = least(high[g], term);
        }
    }
    std::size_t r = 0;
    for (std::size_t group = 0; group < rules.groupCount; ++group) {
        const __m256i zeroPrefix = broadcast64(rules.zeroPrefix[group]);
        __m256i groupLeast[2] = {_mm256_xor_si256(ones, top), _mm256_xor_si256(ones, top)};
        for (; r < rules.groupEnd[group]; ++r) {
            const __m256i prefix = broadcast64(rules.lowPrefix[r]);
            for (int g = 0; g < 2; ++g) {
                // As above, what the rule does not need is skipped.
                __m256i term = _mm256_xor_si256(a[g].low, prefix);
                if (rules.lowMask[r] != ~std::uint64_t{0}) term = _mm256_and_si256(term, broadcast64(rules.lowMask[r]));
                if (rules.lowLow[r] != 0) term = _mm256_or_si256(term, broadcast64(rules.lowLow[r]));
                groupLeast[g] = least(groupLeast[g], term);
            }
        }
        for (int g = 0; g < 2; ++g) {
            __m256i counted = _mm256_xor_si256(a[g].high, zeroPrefix);
            if (rules.zeroMask[group] != ~std::uint64_t{0}) {
                counted = _mm256_and_si256(counted, broadcast64(rules.zeroMask[group]));
            }
            counted = _mm256_cmpeq_epi64(counted, zero);
            low[g] = _mm256_blendv_epi8(low[g], least(low[g], groupLeast[g]), counted);
        }
    }
    __m256i inside[2] = {ones, ones};
    if (rules.onlyCount != 0) {
        inside[0] = inside[1] = zero;
        for (std::size_t r = 0; r < rules.onlyCount; ++r) {
            const __m256i prefixHigh = broadcast64(rules.onlyPrefix[2 * r]);
            const __m256i prefixLow = broadcast64(rules.onlyPrefix[2 * r + 1]);
            const __m256i maskHigh = broadcast64(rules.onlyMask[2 * r]);
            const __m256i maskLow = broadcast64(rules.onlyMask[2 * r + 1]);
            for (int g = 0; g < 2; ++g) {
                const __m256i differ =
                    _mm256_or_si256(_mm256_and_si256(_mm256_xor_si256(a[g].high, prefixHigh), maskHigh),
                                    _mm256_and_si256(_mm256_xor_si256(a[g].low, prefixLow), maskLow));
                inside[g] = _mm256_or_si256(inside[g], _mm256_cmpeq_epi64(differ, zero));
            }
        }
    }
    for (int g = 0; g < 2; ++g) {
        // The least term's highest bit is in the high half unless that is
        // zero; one smear serves whichever half holds it.
        const __m256i leastHigh = _mm256_xor_si256(high[g], top);
        const __m256i highZero = _mm256_cmpeq_epi64(leastHigh, zero);
        const __m256i run = forcedFromLeast64(_mm256_blendv_epi8(leastHigh, _mm256_xor_si256(low[g], top), highZero));
        const __m256i forcedHigh = _mm256_or_si256(run, highZero);
        const __m256i forcedLow = _mm256_and_si256(run, highZero);
        const __m256i outside = _mm256_andnot_si256(inside[g], ones);
        const Halves f{_mm256_or_si256(forcedHigh, outside), _mm256_or_si256(forcedLow, outside)};
        store6(f, forced + 64 * g);
        store6({_mm256_and_si256(a[g].high, f.high), _mm256_and_si256(a[g].low, f.low)}, kept + 64 * g);
    }
}

}  // namespace

void forcedMasks6Avx2(const ForcedRules6& rules, const std::uint8_t* addresses, std::size_t count,
                      std::uint8_t* forced, std::uint8_t* kept) noexcept {
    // Without a rule no flip is forced (the least term needs one).
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

void forcedMasks4Avx2(const ForcedRules4& rules, const std::uint32_t* addresses, std::size_t count,
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

void applyForcedAvx2(const std::uint8_t* kept, const std::uint8_t* forced, const std::uint8_t* truncate,
                     std::size_t bytes, std::uint8_t* images) noexcept {
    const __m256i cut = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(truncate));
    std::size_t i = 0;
    for (; i + 32 <= bytes; i += 32) {
        const auto load = [i](const std::uint8_t* p) {
            return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        };
        const __m256i image = _mm256_or_si256(load(kept), _mm256_andnot_si256(load(forced), load(images)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(images + i), _mm256_and_si256(image, cut));
    }
    for (; i < bytes; ++i) {
        images[i] = static_cast<std::uint8_t>((kept[i] | (images[i] & ~forced[i])) & truncate[i % 32]);
    }
}

}  // namespace ipveil::anonymizer_detail
