// The anonymizer's kernel for CPUs with AES-NI: the 32 prefix blocks in four
// groups of eight xmm registers, so that eight independent aesenc are in
// flight to cover the instruction's latency. Blocks are assembled as in the
// VAES kernel: (pad ^ key0) ^ (broadcast(address ^ pad word) & mask), the mask
// holding the block's first pos address bits in its first word. Constant
// time: no table is indexed by the address or the key.
#include <immintrin.h>

#include <cstring>

#include "prefix_masks.h"

namespace ipveil::anonymizer_detail {

namespace {

struct alignas(16) BlockMasks {
    std::uint32_t words[32][4];
};

constexpr BlockMasks makeBlockMasks() {
    BlockMasks masks{};
    for (int pos = 0; pos < 32; ++pos) masks.words[pos][0] = __builtin_bswap32(prefixKeep(pos));
    return masks;
}

constexpr BlockMasks Masks = makeBlockMasks();

}  // namespace

std::uint32_t aesNiPrefixMask(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint32_t address) noexcept {
    // Round keys are read where they are used: eight blocks, the key and the
    // two inputs fill the registers already.
    auto key = [roundKeys](int r) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * r)); };
    const __m128i whitened = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pad)), key(0));
    std::uint32_t padWord;
    std::memcpy(&padWord, pad, 4);
    const __m128i difference = _mm_set1_epi32(static_cast<int>(__builtin_bswap32(address) ^ padWord));

    std::uint32_t mask = 0;
    // Left as a loop: unrolled, the groups' live ranges overlap and spill.
#pragma GCC unroll 1
    for (int group = 0; group < 32; group += 8) {
        __m128i b[8];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(Masks.words[group + i]));
            b[i] = _mm_xor_si128(whitened, _mm_and_si128(difference, keep));
        }
#pragma GCC unroll 9
        for (int r = 1; r < 10; ++r) {
            const __m128i roundKey = key(r);
#pragma GCC unroll 8
            for (int i = 0; i < 8; ++i) b[i] = _mm_aesenc_si128(b[i], roundKey);
        }
        const __m128i lastKey = key(10);
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            b[i] = _mm_aesenclast_si128(b[i], lastKey);
            mask |= static_cast<std::uint32_t>(_mm_movemask_epi8(b[i]) & 1) << (31 - group - i);
        }
    }
    return mask;
}

}  // namespace ipveil::anonymizer_detail
