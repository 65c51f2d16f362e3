// The anonymizer's kernels for CPUs with AES-NI: one block per xmm register,
// eight in flight to cover aesenc's latency. Blocks are built as in the VAES
// kernels, (pad ^ key0) ^ (difference & Keep[pos]), and the top bits of
// eight consecutive positions, gathered with movmskps-free pmovmskb, make one
// byte of flips in memory order.
#include <immintrin.h>


#include "prefix_kernels.h"

namespace ipveil::anonymizer_detail {

namespace {

inline __m128i load(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Round keys are read where they are used: eight blocks, the key and the
// two inputs fill the registers already.
template <int N>
inline void encrypt(const std::uint8_t* roundKeys, __m128i (&x)[N]) noexcept {
#pragma GCC unroll 9
    for (int r = 1; r < 10; ++r) {
        const __m128i key = load(roundKeys + 16 * r);
#pragma GCC unroll 12
        for (int i = 0; i < N; ++i) x[i] = _mm_aesenc_si128(x[i], key);
    }
    const __m128i last = load(roundKeys + 160);
#pragma GCC unroll 12
    for (int i = 0; i < N; ++i) x[i] = _mm_aesenclast_si128(x[i], last);
}

struct Whitening {
    __m128i pad;
    __m128i whitened;  // pad ^ round key 0
};

inline Whitening whitening(const std::uint8_t* roundKeys, const std::uint8_t* pad) noexcept {
    const __m128i p = load(pad);
    return {p, _mm_xor_si128(p, load(roundKeys))};
}

// Positions first to first + 7: their flips as one byte, position first in
// the top bit.
inline std::uint32_t flips8(const std::uint8_t* roundKeys, __m128i whitened, __m128i difference, int first) noexcept {
    __m128i x[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(Positions.keep[first + i]));
        x[i] = _mm_xor_si128(whitened, _mm_and_si128(difference, keep));
    }
    encrypt(roundKeys, x);
    std::uint32_t bits = 0;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint32_t>(_mm_movemask_epi8(x[i]) & 1) << (7 - i);
    return bits;
}

void anonymize4(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint32_t* addresses,
                std::size_t count, std::uint32_t* images) noexcept {
    const Whitening w = whitening(roundKeys, pad);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t address = addresses[i];
        const __m128i difference = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(__builtin_bswap32(address))), w.pad);
        std::uint32_t flips = 0;
        // Left as a loop: unrolled, the groups' live ranges overlap and spill.
#pragma GCC unroll 1
        for (int first = 0; first < 32; first += 8) flips = flips << 8 | flips8(roundKeys, w.whitened, difference, first);
        images[i] = address ^ flips;
    }
}

void anonymize6(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint8_t* addresses,
                std::size_t count, std::uint8_t* images) noexcept {
    const Whitening w = whitening(roundKeys, pad);
    for (std::size_t i = 0; i < count; ++i) {
        const __m128i address = load(addresses + 16 * i);
        const __m128i difference = _mm_xor_si128(address, w.pad);
        alignas(16) std::uint8_t flips[16];
#pragma GCC unroll 1
        for (int byte = 0; byte < 16; ++byte) {
            flips[byte] = static_cast<std::uint8_t>(flips8(roundKeys, w.whitened, difference, 8 * byte));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(images + 16 * i),
                         _mm_xor_si128(address, _mm_load_si128(reinterpret_cast<const __m128i*>(flips))));
    }
}

// Deanonymizes N addresses, one per register, held as 16-byte blocks in
// memory order (an IPv4 address in the first word), in place; see the 512-bit
// kernel for the steps and why the lanes stay in memory.
template <int Bits, int N, bool Held>
void revealLanes(const std::uint8_t* roundKeys, const Whitening& w, std::uint8_t (*lanes)[16],
                 const std::uint8_t (*held)[16]) noexcept {
    const auto lane = [lanes](int r) { return reinterpret_cast<__m128i*>(lanes[r]); };
    const __m128i firstBytes = _mm_setzero_si128();
    for (int pos = 0; pos < Bits; ++pos) {
        const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(Positions.keep[pos]));
        const __m128i base = _mm_xor_si128(w.whitened, _mm_and_si128(w.pad, keep));
        __m128i x[N];
#pragma GCC unroll 12
        for (int r = 0; r < N; ++r) x[r] = _mm_xor_si128(base, _mm_and_si128(_mm_load_si128(lane(r)), keep));
        encrypt(roundKeys, x);
        const __m128i bit = _mm_load_si128(reinterpret_cast<const __m128i*>(Positions.bit[pos]));
        const __m128i shift = _mm_cvtsi32_si128(pos % 8);
#pragma GCC unroll 12
        for (int r = 0; r < N; ++r) {
            const __m128i top = _mm_srl_epi64(_mm_shuffle_epi8(x[r], firstBytes), shift);
            __m128i flip = _mm_and_si128(top, bit);
            if constexpr (Held) {
                flip = _mm_andnot_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(held[r])), flip);
            }
            _mm_store_si128(lane(r), _mm_xor_si128(_mm_load_si128(lane(r)), flip));
        }
    }
}

// Groups of Widest registers, then one just wide enough for what is left;
// a group may run past count into the staging buffer's zeroed blocks.
template <int Bits, bool Held>
void revealAll(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint8_t* blocks, const std::uint8_t* forced,
               std::size_t count) noexcept {
    constexpr int Widest = 12;
    static_assert(RevealChunk % Widest == 0 && RevealChunk + Widest <= RevealBufferBlocks);
    const Whitening w = whitening(roundKeys, pad);
    for (std::size_t first = 0; first < count;) {
        const std::size_t left = count - first;
        const int registers = left > 4 ? Widest : left > 1 ? 4 : 1;
        auto* lanes = reinterpret_cast<std::uint8_t(*)[16]>(blocks + 16 * first);
        const auto* held = Held ? reinterpret_cast<const std::uint8_t(*)[16]>(forced + 16 * first) : nullptr;
        switch (registers) {
            case Widest: revealLanes<Bits, Widest, Held>(roundKeys, w, lanes, held); break;
            case 4: revealLanes<Bits, 4, Held>(roundKeys, w, lanes, held); break;
            default: revealLanes<Bits, 1, Held>(roundKeys, w, lanes, held); break;
        }
        first += static_cast<std::size_t>(registers);
    }
}

void revealBlocks(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint8_t* blocks,
                  const std::uint8_t* forced, std::size_t count, int bits) noexcept {
    if (bits == 32) {
        if (forced) {
            revealAll<32, true>(roundKeys, pad, blocks, forced, count);
        } else {
            revealAll<32, false>(roundKeys, pad, blocks, nullptr, count);
        }
    } else {
        if (forced) {
            revealAll<128, true>(roundKeys, pad, blocks, forced, count);
        } else {
            revealAll<128, false>(roundKeys, pad, blocks, nullptr, count);
        }
    }
}

constexpr PrefixKernels Kernels{anonymize4, anonymize6, revealBlocks};

}  // namespace

const PrefixKernels& aesNiKernels() noexcept { return Kernels; }

}  // namespace ipveil::anonymizer_detail
