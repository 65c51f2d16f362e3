// Raw AES throughput probes, one per instruction width, compiled through
// function target attributes so that the file needs no project-wide flags;
// they run only where the cipher's dispatch reports the path present.
#include "aes_limit.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ipveil::bench {

#if defined(__x86_64__)
namespace {

// Register counts in flight: as many as the anonymizer's kernels keep.
__attribute__((target("aes,sse4.1"))) std::uint64_t roundsXmm(const std::uint8_t* keys, std::size_t blocks) {
    constexpr int N = 8;
    __m128i k[11];
    for (int r = 0; r < 11; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * r));
    __m128i sink = _mm_setzero_si128();
    for (std::size_t done = 0; done < blocks; done += N) {
        __m128i x[N];
        for (int i = 0; i < N; ++i) x[i] = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(done + i)), k[0]);
        for (int r = 1; r < 10; ++r)
            for (int i = 0; i < N; ++i) x[i] = _mm_aesenc_si128(x[i], k[r]);
        for (int i = 0; i < N; ++i) sink = _mm_xor_si128(sink, _mm_aesenclast_si128(x[i], k[10]));
    }
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sink));
}

__attribute__((target("aes,vaes,avx2"))) std::uint64_t roundsYmm(const std::uint8_t* keys, std::size_t blocks) {
    constexpr int N = 8;
    __m256i k[11];
    for (int r = 0; r < 11; ++r)
        k[r] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * r)));
    __m256i sink = _mm256_setzero_si256();
    for (std::size_t done = 0; done < blocks; done += 2 * N) {
        __m256i x[N];
        for (int i = 0; i < N; ++i) x[i] = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(done + i)), k[0]);
        for (int r = 1; r < 10; ++r)
            for (int i = 0; i < N; ++i) x[i] = _mm256_aesenc_epi128(x[i], k[r]);
        for (int i = 0; i < N; ++i) sink = _mm256_xor_si256(sink, _mm256_aesenclast_epi128(x[i], k[10]));
    }
    return static_cast<std::uint64_t>(_mm256_extract_epi64(sink, 0));
}

__attribute__((target("aes,vaes,avx512f,avx512bw"))) std::uint64_t roundsZmm(const std::uint8_t* keys,
                                                                             std::size_t blocks) {
    constexpr int N = 16;
    __m512i k[11];
    for (int r = 0; r < 11; ++r)
        k[r] = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * r)));
    __m512i sink = _mm512_setzero_si512();
    for (std::size_t done = 0; done < blocks; done += 4 * N) {
        __m512i x[N];
        for (int i = 0; i < N; ++i) x[i] = _mm512_xor_si512(_mm512_set1_epi32(static_cast<int>(done + i)), k[0]);
        for (int r = 1; r < 10; ++r)
            for (int i = 0; i < N; ++i) x[i] = _mm512_aesenc_epi128(x[i], k[r]);
        for (int i = 0; i < N; ++i) sink = _mm512_xor_si512(sink, _mm512_aesenclast_epi128(x[i], k[10]));
    }
    alignas(64) std::uint64_t folded[8];
    _mm512_store_si512(folded, sink);
    return folded[0];
}

}  // namespace
#endif

bool aesLimitAvailable(AesImplementation implementation) {
    return implementation != AesImplementation::Portable && aesImplementationAvailable(implementation);
}

std::uint64_t aesRounds(AesImplementation implementation, const std::uint8_t* roundKeys, std::size_t blocks) {
#if defined(__x86_64__)
    switch (implementation) {
        case AesImplementation::AesNi: return roundsXmm(roundKeys, blocks);
        case AesImplementation::Vaes: return roundsYmm(roundKeys, blocks);
        case AesImplementation::Vaes512: return roundsZmm(roundKeys, blocks);
        case AesImplementation::Portable: break;
    }
#endif
    (void)roundKeys;
    (void)blocks;
    return 0;
}

}  // namespace ipveil::bench
