// The index with AVX-512: a block's 64 bytes in one compare, and the offsets
// of the bytes that are not digits packed in one compress (VBMI2) and widened
// to 32 bits sixteen at a time.
#include <immintrin.h>

#include "text_scan.h"

namespace ipveil::trace::scan_detail {

std::size_t avx512Blocks(const char* p, std::size_t blocks, std::uint32_t base, std::uint32_t* out) noexcept {
    std::uint32_t* const first = out;
    const __m512i lanes = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44,
                                          43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24,
                                          23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2,
                                          1, 0);
    const __m512i zero = _mm512_set1_epi8('0');
    const __m512i ten = _mm512_set1_epi8(10);
    for (std::size_t b = 0; b < 64 * blocks; b += 64) {
        const __m512i bytes = _mm512_loadu_si512(p + b);
        const __mmask64 others = _mm512_cmpge_epu8_mask(_mm512_sub_epi8(bytes, zero), ten);
        const auto n = static_cast<unsigned>(_mm_popcnt_u64(_cvtmask64_u64(others)));
        const __m512i packed = _mm512_maskz_compress_epi8(others, lanes);
        const __m512i offset = _mm512_set1_epi32(static_cast<int>(base + static_cast<std::uint32_t>(b)));
        // (The zero-masked forms: GCC 12 warns of the others' undefined lanes.)
        auto store = [&](std::uint32_t* to, __m128i sixteen) {
            _mm512_storeu_si512(to, _mm512_add_epi32(_mm512_maskz_cvtepu8_epi32(0xFFFF, sixteen), offset));
        };
        // A block of a trace mostly holds 8 to 24: the first 32 are stored
        // without waiting to know how many there are.
        store(out, _mm512_maskz_extracti32x4_epi32(0xF, packed, 0));
        store(out + 16, _mm512_maskz_extracti32x4_epi32(0xF, packed, 1));
        if (n > 32) [[unlikely]] {
            store(out + 32, _mm512_maskz_extracti32x4_epi32(0xF, packed, 2));
            store(out + 48, _mm512_maskz_extracti32x4_epi32(0xF, packed, 3));
        }
        out += n;
    }
    return static_cast<std::size_t>(out - first);
}

}  // namespace ipveil::trace::scan_detail
