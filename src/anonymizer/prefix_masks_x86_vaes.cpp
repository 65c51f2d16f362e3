// The anonymizer's kernel for CPUs with VAES: two prefix blocks per 256-bit
// register, sixteen registers for the 32 blocks, encrypted as two groups of
// eight so that eight independent vaesenc are in flight. Constant time: no
// table is indexed by the address or the key.
//
// Assembling the blocks costs two instructions per register. In memory order
// the first word of block pos is (address & keep) | (pad word & ~keep), keep
// being its first pos bits; after the first round key it equals
//   (pad ^ key0) word  ^  ((address ^ pad word) & keep),
// and the rest of the block is pad ^ key0. So each register is
// (pad ^ key0) ^ (broadcast(address ^ pad word) & mask), with a constant mask
// that holds the keep of each of its two blocks in their first words.
#include <immintrin.h>

#include <array>
#include <cstring>

#include "prefix_masks.h"

namespace ipveil::anonymizer_detail {

namespace {

// Block pos's keep, in memory order, in the first word of lane pos % 2 of
// register pos / 2; zero elsewhere.
struct alignas(32) LaneMasks {
    std::uint32_t words[16][8];
};

constexpr LaneMasks makeLaneMasks() {
    LaneMasks masks{};
    for (int pos = 0; pos < 32; ++pos) {
        masks.words[pos / 2][4 * (pos % 2)] = __builtin_bswap32(prefixKeep(pos));
    }
    return masks;
}

constexpr LaneMasks Masks = makeLaneMasks();

inline __m256i wideKey(const std::uint8_t* roundKeys, int r) noexcept {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * r)));
}

// Eight registers, sixteen blocks, from register `first` on: assembled,
// encrypted round by round, and their top bits returned with block pos at
// bit 31 - pos. Eight in flight cover vaesenc's latency at two a cycle;
// sixteen would not fit the registers beside the key.
inline std::uint32_t group(const std::uint8_t* roundKeys, __m256i whitened, __m256i difference, int first) noexcept {
    __m256i b[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(Masks.words[first + i]));
        b[i] = _mm256_xor_si256(whitened, _mm256_and_si256(difference, mask));
    }
#pragma GCC unroll 9
    for (int r = 1; r < 10; ++r) {
        const __m256i key = wideKey(roundKeys, r);
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) b[i] = _mm256_aesenc_epi128(b[i], key);
    }
    const __m256i last = wideKey(roundKeys, 10);
    std::uint32_t bits = 0;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        // Bits 0 and 16 of the movemask: the top bits of the two blocks' first bytes.
        const auto top = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_aesenclast_epi128(b[i], last)));
        const int pos = 2 * (first + i);
        bits |= (top & 1) << (31 - pos) | ((top >> 16) & 1) << (30 - pos);
    }
    return bits;
}

}  // namespace

std::uint32_t vaesPrefixMask(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint32_t address) noexcept {
    const __m256i whitened = _mm256_xor_si256(
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pad))), wideKey(roundKeys, 0));
    std::uint32_t padWord;
    std::memcpy(&padWord, pad, 4);
    const __m256i difference = _mm256_set1_epi32(static_cast<int>(__builtin_bswap32(address) ^ padWord));
    return group(roundKeys, whitened, difference, 0) | group(roundKeys, whitened, difference, 8);
}

}  // namespace ipveil::anonymizer_detail
