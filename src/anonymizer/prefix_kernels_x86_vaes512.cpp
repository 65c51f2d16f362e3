// The anonymizer's kernels for CPUs with AVX-512 and VAES: four blocks per
// 512-bit register, and the AES units kept full by having sixteen registers
// (two IPv4 addresses, or half an IPv6 one) in flight. A block is built by
// one vpternlog: (pad ^ key0) ^ (difference & mask).
//
// Gathering the flips: block pos of an address sits in register j, lane l
// with pos = 32 * (j / 8) + 31 - (j % 8 + 8 * l). The top bits of the
// registers' bytes (vpmovb2m) then give, for register j, bit j % 8 of bytes
// 0, 2, 4 and 6 of a word once shifted by j % 8; OR-ed over eight registers
// and squeezed to four bytes, that word is 32 flips in the address's own bit
// order, the first position in bit 31.
#include <immintrin.h>

#include <cstring>

#include "prefix_kernels.h"

namespace ipveil::anonymizer_detail {

namespace {

constexpr int Lanes = 4;

struct alignas(64) LaneMasks {
    std::uint8_t bytes[32][64];
};

consteval LaneMasks makeLaneMasks() {
    LaneMasks masks{};
    for (int j = 0; j < 32; ++j) {
        for (int l = 0; l < Lanes; ++l) {
            const int pos = 32 * (j / 8) + 31 - (j % 8 + 8 * l);
            for (int b = 0; b < 16; ++b) masks.bytes[j][16 * l + b] = Positions.keep[pos][b];
        }
    }
    return masks;
}

constexpr LaneMasks Masks = makeLaneMasks();

// vpternlog's truth table for a ^ (b & c).
constexpr int XorAnd = 0x78;

// The zero-masked forms of vbroadcasti32x4 and vpsrlq: GCC 12's plain ones
// start from an "undefined" register that its own -Wuninitialized flags.
inline __m512i broadcast(const std::uint8_t* block) noexcept {
    return _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(block)));
}
inline __m512i shiftRight(__m512i x, __m128i count) noexcept { return _mm512_maskz_srl_epi64(0xFF, x, count); }
inline __m512i mask(int j) noexcept { return _mm512_load_si512(Masks.bytes[j]); }

struct Keys {
    __m512i round[11];
    __m512i whitened;  // pad ^ round key 0
    __m512i pad;
};

inline void loadKeys(const std::uint8_t* roundKeys, const std::uint8_t* pad, Keys& keys) noexcept {
    for (int r = 0; r < 11; ++r) keys.round[r] = broadcast(roundKeys + 16 * r);
    keys.pad = broadcast(pad);
    keys.whitened = _mm512_xor_si512(keys.pad, keys.round[0]);
}

// Rounds 1 to 10 on N registers, round by round, so that the N vaesenc of a
// round are independent and overlap in the pipeline.
template <int N>
inline void encrypt(const Keys& keys, __m512i (&x)[N]) noexcept {
#pragma GCC unroll 9
    for (int r = 1; r < 10; ++r) {
#pragma GCC unroll 16
        for (int i = 0; i < N; ++i) x[i] = _mm512_aesenc_epi128(x[i], keys.round[r]);
    }
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) x[i] = _mm512_aesenclast_epi128(x[i], keys.round[10]);
}

// 32 flips from eight encrypted registers, in the layout above.
inline std::uint32_t gather(const __m512i* x) noexcept {
    std::uint64_t bits = 0;
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
        bits |= (_cvtmask64_u64(_mm512_movepi8_mask(x[j])) & 0x0001000100010001) << j;
    }
    bits = (bits | bits >> 8) & 0x0000FFFF0000FFFF;
    return static_cast<std::uint32_t>(bits | bits >> 16);
}

// Registers first to first + N of an address, whose difference
// (address ^ pad) is in every lane.
template <int N>
inline void build(const Keys& keys, __m512i difference, int first, __m512i* x) noexcept {
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) {
        x[i] = _mm512_ternarylogic_epi32(keys.whitened, difference, mask(first + i), XorAnd);
    }
}

inline __m512i difference4(const Keys& keys, std::uint32_t address) noexcept {
    // The mask keeps only the first word of a lane, so every word may hold it.
    return _mm512_xor_si512(_mm512_set1_epi32(static_cast<int>(__builtin_bswap32(address))), keys.pad);
}

void anonymize4(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint32_t* addresses,
                std::size_t count, std::uint32_t* images) noexcept {
    Keys keys;
    loadKeys(roundKeys, pad, keys);
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        const std::uint32_t a = addresses[i];
        const std::uint32_t b = addresses[i + 1];
        __m512i x[16];
        build<8>(keys, difference4(keys, a), 0, x);
        build<8>(keys, difference4(keys, b), 0, x + 8);
        encrypt(keys, x);
        images[i] = a ^ gather(x);
        images[i + 1] = b ^ gather(x + 8);
    }
    if (i < count) {
        const std::uint32_t a = addresses[i];
        __m512i x[8];
        build<8>(keys, difference4(keys, a), 0, x);
        encrypt(keys, x);
        images[i] = a ^ gather(x);
    }
}

void anonymize6(const std::uint8_t* roundKeys, const std::uint8_t* pad, const std::uint8_t* addresses,
                std::size_t count, std::uint8_t* images) noexcept {
    // An address's 32 registers go through in two unrolled groups of 16: a
    // group of 32 would spill, and groups of 8 leave the units idle between
    // them.
    constexpr int Group = 16;
    Keys keys;
    loadKeys(roundKeys, pad, keys);
    for (std::size_t i = 0; i < count; ++i) {
        const __m512i difference = _mm512_xor_si512(broadcast(addresses + 16 * i), keys.pad);
        std::uint32_t words[4];
#pragma GCC unroll 2
        for (int g = 0; g < 32 / Group; ++g) {
            __m512i x[Group];
            build<Group>(keys, difference, Group * g, x);
            encrypt(keys, x);
#pragma GCC unroll 2
            for (int k = 0; k < Group / 8; ++k) words[g * Group / 8 + k] = gather(x + 8 * k);
        }
        // The flips in memory order, applied in general registers: a vector
        // load of flips just stored piece by piece would wait for the stores.
        const std::uint64_t flips[2] = {__builtin_bswap64(std::uint64_t{words[0]} << 32 | words[1]),
                                        __builtin_bswap64(std::uint64_t{words[2]} << 32 | words[3])};
        for (int half = 0; half < 2; ++half) {
            std::uint64_t word;
            std::memcpy(&word, addresses + 16 * i + 8 * half, 8);
            word ^= flips[half];
            std::memcpy(images + 16 * i + 8 * half, &word, 8);
        }
    }
}

// Deanonymizes 4 * N addresses, one per lane, held as 16-byte blocks in
// memory order (an IPv4 address in the first word) and turned into their
// originals in place. Each lane starts as the image; at bit pos the lane's
// first pos bits are already the original's, so the block is
// (pad ^ key0) ^ (pad & Keep) ^ (lane & Keep), and the top bit of its
// encryption, moved to bit pos, flips the lane back to the original there.
// The lanes stay in memory: they are touched twice a step against ten rounds,
// and the registers are better spent on more blocks in flight, which is what
// hides the rounds' latency in this serial chain.
template <int Bits, int N, bool Held>
void revealLanes(const Keys& keys, std::uint8_t (*lanes)[64],
                 const std::uint8_t (*held)[64]) noexcept {
    const __m512i firstBytes = _mm512_setzero_si512();  // vpshufb: byte 0 of each lane everywhere
    for (int pos = 0; pos < Bits; ++pos) {
        const __m512i keep = broadcast(Positions.keep[pos]);
        const __m512i base = _mm512_ternarylogic_epi32(keys.whitened, keys.pad, keep, XorAnd);
        __m512i x[N];
#pragma GCC unroll 16
        for (int r = 0; r < N; ++r) x[r] = _mm512_ternarylogic_epi32(base, _mm512_load_si512(lanes[r]), keep, XorAnd);
        encrypt(keys, x);
        // The top bit of each byte 0, copied to every byte of its lane, then
        // moved down to bit pos % 8 of its byte; bit keeps byte pos / 8's.
        const __m512i bit = broadcast(Positions.bit[pos]);
        const __m128i shift = _mm_cvtsi32_si128(pos % 8);
#pragma GCC unroll 16
        for (int r = 0; r < N; ++r) {
            const __m512i top = shiftRight(_mm512_shuffle_epi8(x[r], firstBytes), shift);
            if constexpr (Held) {
                // top & bit & ~held: the flip, unless the policy forces it.
                const __m512i flip = _mm512_ternarylogic_epi32(top, bit, _mm512_load_si512(held[r]), 0x40);
                _mm512_store_si512(lanes[r], _mm512_xor_si512(_mm512_load_si512(lanes[r]), flip));
            } else {
                _mm512_store_si512(lanes[r], _mm512_ternarylogic_epi32(_mm512_load_si512(lanes[r]), top, bit, XorAnd));
            }
        }
    }
}

// Groups of 16 registers, then one just wide enough for what is left, so
// that a single address does not pay for a whole batch's lanes; a group may
// run past count into the staging buffer's zeroed blocks.
template <int Bits, bool Held>
void revealAll(const Keys& keys, std::uint8_t* blocks, const std::uint8_t* forced,
               std::size_t count) noexcept {
    constexpr int Widest = 16;
    static_assert(RevealChunk % (Lanes * Widest) == 0);
    for (std::size_t first = 0; first < count;) {
        const std::size_t left = count - first;
        const int registers = left > 8 * Lanes ? Widest : left > 4 * Lanes ? 8 : left > 2 * Lanes ? 4 : left > Lanes ? 2 : 1;
        auto* lanes = reinterpret_cast<std::uint8_t(*)[64]>(blocks + 16 * first);
        const auto* held = Held ? reinterpret_cast<const std::uint8_t(*)[64]>(forced + 16 * first) : nullptr;
        switch (registers) {
            case Widest: revealLanes<Bits, Widest, Held>(keys, lanes, held); break;
            case 8: revealLanes<Bits, 8, Held>(keys, lanes, held); break;
            case 4: revealLanes<Bits, 4, Held>(keys, lanes, held); break;
            case 2: revealLanes<Bits, 2, Held>(keys, lanes, held); break;
            default: revealLanes<Bits, 1, Held>(keys, lanes, held); break;
        }
        first += static_cast<std::size_t>(Lanes * registers);
    }
}

void revealBlocks(const std::uint8_t* roundKeys, const std::uint8_t* pad, std::uint8_t* blocks,
                  const std::uint8_t* forced, std::size_t count, int bits) noexcept {
    Keys keys;
    loadKeys(roundKeys, pad, keys);
    if (bits == 32) {
        if (forced) {
            revealAll<32, true>(keys, blocks, forced, count);
        } else {
            revealAll<32, false>(keys, blocks, nullptr, count);
        }
    } else {
        if (forced) {
            revealAll<128, true>(keys, blocks, forced, count);
        } else {
            revealAll<128, false>(keys, blocks, nullptr, count);
        }
    }
}

constexpr PrefixKernels Kernels{anonymize4, anonymize6, revealBlocks};

}  // namespace

const PrefixKernels& vaes512Kernels() noexcept { return Kernels; }

}  // namespace ipveil::anonymizer_detail
