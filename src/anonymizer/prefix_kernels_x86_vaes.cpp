// The anonymizer's kernels for CPUs with VAES on 256-bit registers: two
// blocks per ymm register, eight registers in flight (sixteen blocks), which
// covers vaesenc's latency at two a cycle; more would not fit the sixteen
// registers beside the round key. A block costs two instructions to build:
// (pad ^ key0) ^ (difference & mask).
//
// Gathering the flips: block pos sits in register j, lane l with
// pos = 16 * (j / 8) + 15 - (j % 8 + 8 * l). vpmovmskb puts the top bits of
// the two lanes' first bytes at bits 0 and 16; shifted by j % 8 and OR-ed
// over eight registers, bytes 0 and 2 of the result are 16 flips in the
// address's own bit order, the first position in bit 15.
#include <immintrin.h>


#include "prefix_kernels.h"

namespace ipveil::anonymizer_detail {

namespace {

constexpr int Lanes = 2;

struct alignas(32) LaneMasks {
    std::uint8_t bytes[64][32];
};

consteval LaneMasks makeLaneMasks() {
    LaneMasks masks{};
    for (int j = 0; j < 64; ++j) {
        for (int l = 0; l < Lanes; ++l) {
            const int pos = 16 * (j / 8) + 15 - (j % 8 + 8 * l);
            for (int b = 0; b < 16; ++b) masks.bytes[j][16 * l + b] = Positions.keep[pos][b];
        }
    }
    return masks;
}

constexpr LaneMasks Masks = makeLaneMasks();

inline __m256i broadcast(const std::uint8_t* block) noexcept {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)));
}

// Round keys are loaded where they are used: with eight registers of blocks
// in flight the sixteen registers cannot hold the keys too, and a broadcast
// load costs less than spilling blocks mid-cipher.
template <int N>
inline void encrypt(const std::uint8_t* roundKeys, __m256i (&x)[N]) noexcept {
#pragma GCC unroll 9
    for (int r = 1; r < 10; ++r) {
        const __m256i key = broadcast(roundKeys + 16 * r);
#pragma GCC unroll 12
        for (int i = 0; i < N; ++i) x[i] = _mm256_aesenc_epi128(x[i], key);
    }
    const __m256i last = broadcast(roundKeys + 160);
#pragma GCC unroll 12
    for (int i = 0; i < N; ++i) x[i] = _mm256_aesenclast_epi128(x[i], last);
}

// Registers first to first + 7 of an address: built, encrypted, and their
// 16 flips gathered.
inline std::uint32_t flips16(const std::uint8_t* roundKeys, __m256i whitened, __m256i difference, int first) noexcept {
    __m256i x[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(Masks.bytes[first + i]));
        x[i] = _mm256_xor_si256(whitened, _mm256_and_si256(difference, mask));
    }
    encrypt(roundKeys, x);
    std::uint32_t bits = 0;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) bits |= (static_cast<std::uint32_t>(_mm256_movemask_epi8(x[i])) & 0x10001) << i;
    return (bits & 0xFF) | ((bits >> 8) & 0xFF00);
}

struct Whitening {
    __m256i pad;
    __m256i whitened;  // pad ^ round key 0
};

inline Whitening whitening(const std::uint8_t* roundKeys, const std::uint8_t* pad) noexcept {
    const __m256i wide = broadcast(pad);
    return {wide, _mm256_xor_si256(wide, broadcast(roundKeys))};
}

void anonymize4(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint32_t* addresses,
                std::size_t count, std::uint32_t* images) noexcept {
    const Whitening w = whitening(roundKeys, pad);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t address = addresses[i];
        // The masks keep only the first word of a lane, so every word may hold it.
        const __m256i difference =
            _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(__builtin_bswap32(address))), w.pad);
        const std::uint32_t flips =
            flips16(roundKeys, w.whitened, difference, 0) << 16 | flips16(roundKeys, w.whitened, difference, 8);
        images[i] = address ^ flips;
    }
}

void anonymize6(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint8_t* addresses,
                std::size_t count, std::uint8_t* images) noexcept {
    const Whitening w = whitening(roundKeys, pad);
    for (std::size_t i = 0; i < count; ++i) {
        const __m256i difference = _mm256_xor_si256(broadcast(addresses + 16 * i), w.pad);
        std::uint32_t flips[4];
        for (int word = 0; word < 4; ++word) {
            const std::uint32_t high = flips16(roundKeys, w.whitened, difference, 16 * word);
            flips[word] = __builtin_bswap32(high << 16 | flips16(roundKeys, w.whitened, difference, 16 * word + 8));
        }
        const __m128i image = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(addresses + 16 * i)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(flips)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(images + 16 * i), image);
    }
}

// Deanonymizes 2 * N addresses, one per lane, held as 16-byte blocks in
// memory order (an IPv4 address in the first word), in place; see the 512-bit
// kernel for the steps and why the lanes stay in memory.
template <int Bits, int N, bool Held>
void revealLanes(const std::uint8_t* roundKeys, const Whitening& w, std::uint8_t (*lanes)[32],
                 const std::uint8_t (*held)[32]) noexcept {
    const auto lane = [lanes](int r) { return reinterpret_cast<__m256i*>(lanes[r]); };
    const __m256i firstBytes = _mm256_setzero_si256();
    for (int pos = 0; pos < Bits; ++pos) {
        const __m256i keep = broadcast(Positions.keep[pos]);
        const __m256i base = _mm256_xor_si256(w.whitened, _mm256_and_si256(w.pad, keep));
        __m256i x[N];
#pragma GCC unroll 12
        for (int r = 0; r < N; ++r) x[r] = _mm256_xor_si256(base, _mm256_and_si256(_mm256_load_si256(lane(r)), keep));
        encrypt(roundKeys, x);
        const __m256i bit = broadcast(Positions.bit[pos]);
        const __m128i shift = _mm_cvtsi32_si128(pos % 8);
#pragma GCC unroll 12
        for (int r = 0; r < N; ++r) {
            const __m256i top = _mm256_srl_epi64(_mm256_shuffle_epi8(x[r], firstBytes), shift);
            __m256i flip = _mm256_and_si256(top, bit);
            if constexpr (Held) {
                flip = _mm256_andnot_si256(_mm256_load_si256(reinterpret_cast<const __m256i*>(held[r])), flip);
            }
            _mm256_store_si256(lane(r), _mm256_xor_si256(_mm256_load_si256(lane(r)), flip));
        }
    }
}

// Groups of Widest registers, then one just wide enough for what is left;
// a group may run past count into the staging buffer's zeroed blocks.
template <int Bits, bool Held>
void revealAll(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint8_t* blocks, const std::uint8_t* forced,
               std::size_t count) noexcept {
    constexpr int Widest = 12;
    static_assert(RevealChunk % (Lanes * Widest) == 0 && RevealChunk + Lanes * Widest <= RevealBufferBlocks);
    const Whitening w = whitening(roundKeys, pad);
    for (std::size_t first = 0; first < count;) {
        const std::size_t left = count - first;
        const int registers = left > 4 * Lanes ? Widest : left > 2 * Lanes ? 4 : left > Lanes ? 2 : 1;
        auto* lanes = reinterpret_cast<std::uint8_t(*)[32]>(blocks + 16 * first);
        const auto* held = Held ? reinterpret_cast<const std::uint8_t(*)[32]>(forced + 16 * first) : nullptr;
        switch (registers) {
            case Widest: revealLanes<Bits, Widest, Held>(roundKeys, w, lanes, held); break;
            case 4: revealLanes<Bits, 4, Held>(roundKeys, w, lanes, held); break;
            case 2: revealLanes<Bits, 2, Held>(roundKeys, w, lanes, held); break;
            default: revealLanes<Bits, 1, Held>(roundKeys, w, lanes, held); break;
        }
        first += static_cast<std::size_t>(Lanes * registers);
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

const PrefixKernels& vaesKernels() noexcept { return Kernels; }

}  // namespace ipveil::anonymizer_detail
