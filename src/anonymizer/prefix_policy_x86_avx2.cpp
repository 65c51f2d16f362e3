// The policy's forced masks for IPv4 addresses with AVX2: sixteen addresses
// (two registers) a rule, so that each rule's constants are broadcast once
// for sixteen addresses and its three operations run on eight lanes.
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

inline void group(const ForcedRules4& rules, const std::uint32_t* addresses, std::uint32_t* forced) noexcept {
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
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(forced), smearForced(m0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(forced + 8), smearForced(m1));
}

}  // namespace

void forcedMasks4Avx2(const ForcedRules4& rules, const std::uint32_t* addresses, std::size_t count,
                      std::uint32_t* forced) noexcept {
    std::size_t i = 0;
    for (; i + Group <= count; i += Group) group(rules, addresses + i, forced + i);
    if (i < count) {
        std::uint32_t in[Group] = {};
        std::uint32_t out[Group];
        std::memcpy(in, addresses + i, (count - i) * sizeof in[0]);
        group(rules, in, out);
        std::memcpy(forced + i, out, (count - i) * sizeof out[0]);
    }
}

}  // namespace ipveil::anonymizer_detail
