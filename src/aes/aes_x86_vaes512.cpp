// The VAES block path on 512-bit registers: the AES-NI round instructions
// widened to zmm (EVEX-encoded vaesenc/vaesdec), each register holding four
// blocks that go through the same round key. References: FIPS-197; NIST
// SP 800-38A for the modes; Intel's AES-NI white paper (Gueron) for the
// instruction semantics, which VAES applies to each 128-bit lane.
//
// Two zmm vaesenc issue per cycle, each with a latency of about three, so
// the parallel modes (ECB, CBC decryption) keep eight zmm, 32 blocks, in
// flight; with 32 vector registers the round keys stay in registers for the
// whole call instead of being broadcast again each round. (Steps of 4, 12 and
// 16 zmm measured the same on Zen 5: consecutive steps are independent and
// overlap anyway.) Tails drop to four, two and one zmm, and the last one to
// three blocks go through one zmm with masked loads and stores, which never
// touch the bytes past the data. A call of fewer than four blocks uses xmm
// alone, as the 256-bit path does: there, broadcasting the keys and building
// a mask cost more than the blocks themselves. CFB-1 decryption builds a block's 128 shift
// registers in registers, 32 per step, so that blocks overlap too. CBC and
// CFB-1 encryption are serial, one block at a time, and gain nothing from
// wide registers: they are the AES-NI path's.
// No table is indexed by secret data: the path runs in constant time.
//
// This file is compiled with AVX-512 flags: everything it defines but the
// table's accessor stays in the anonymous namespace, and the decision
// whether it may run is made in aes_dispatch.cpp, which has no such flags.

// GCC 12 starts many AVX-512 intrinsics from a deliberately undefined
// register and then reports it as used uninitialized (fixed in GCC 13); the
// warning is about those header lines, so it is silenced for them alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "aes_block_paths.h"
#include "aes_x86_ni.h"

namespace ipveil::aes_detail {

namespace {

// zmm registers per step of the parallel modes' main loops: enough to cover
// vaesenc's latency at two per cycle, few enough to leave registers for the
// round keys.
constexpr std::size_t Group = 8;
constexpr std::size_t GroupBlocks = 4 * Group;

inline __m128i load128(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store128(std::uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m512i load512(const std::uint8_t* p) noexcept { return _mm512_loadu_si512(p); }
inline void store512(std::uint8_t* p, __m512i v) noexcept { _mm512_storeu_si512(p, v); }
// A block in all four lanes.
inline __m512i broadcast128(__m128i v) noexcept { return _mm512_broadcast_i32x4(v); }

// The mask of the first `blocks` (1 to 4) blocks of a zmm, in 64-bit
// elements. A masked load reads zero for the other lanes and a masked store
// leaves their memory alone; neither faults on the bytes it skips.
inline __mmask8 blockMask(std::size_t blocks) noexcept {
    return static_cast<__mmask8>(0xFFu >> (8 - 2 * blocks));
}
inline __m512i loadPart(const std::uint8_t* p, __mmask8 mask) noexcept { return _mm512_maskz_loadu_epi64(mask, p); }
inline void storePart(std::uint8_t* p, __m512i v, __mmask8 mask) noexcept { _mm512_mask_storeu_epi64(p, mask, v); }

// N consecutive registers from or to memory. Unrolled at once: left as
// loops, GCC turns them into block copies through the stack.
template <std::size_t N>
inline void loadAll(const std::uint8_t* in, __m512i (&x)[N]) noexcept {
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) x[i] = load512(in + 64 * i);
}

template <std::size_t N>
inline void storeAll(std::uint8_t* out, const __m512i (&x)[N]) noexcept {
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) store512(out + 64 * i, x[i]);
}

// Every round key in all four lanes, loaded once per call.
template <unsigned Rounds>
struct WideKeys {
    __m512i k[Rounds + 1];
};

template <unsigned Rounds>
inline void loadWideKeys(const std::uint8_t* roundKeys, WideKeys<Rounds>& keys) noexcept {
#pragma GCC unroll 15
    for (unsigned r = 0; r <= Rounds; ++r) keys.k[r] = broadcast128(load128(roundKeys + 16 * r));
}

// The forward cipher on N zmm (4N blocks), round by round so that the N
// vaesenc of a round are independent and overlap in the pipeline.
template <unsigned Rounds, std::size_t N>
inline void encryptWide(const WideKeys<Rounds>& keys, __m512i (&x)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm512_xor_si512(x[i], keys.k[0]);
#pragma GCC unroll 14
    for (unsigned r = 1; r < Rounds; ++r) {
        for (std::size_t i = 0; i < N; ++i) x[i] = _mm512_aesenc_epi128(x[i], keys.k[r]);
    }
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm512_aesenclast_epi128(x[i], keys.k[Rounds]);
}

// The equivalent inverse cipher: round keys from last to first. The last
// round ends by adding round key 0, which decryptRounds leaves to the caller
// (CBC folds the chaining value into that key).
template <unsigned Rounds, std::size_t N>
inline void decryptRounds(const WideKeys<Rounds>& keys, __m512i (&x)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm512_xor_si512(x[i], keys.k[Rounds]);
#pragma GCC unroll 14
    for (unsigned r = Rounds - 1; r > 0; --r) {
        for (std::size_t i = 0; i < N; ++i) x[i] = _mm512_aesdec_epi128(x[i], keys.k[r]);
    }
}

template <bool Decrypting, unsigned Rounds, std::size_t N>
inline void cipherWide(const WideKeys<Rounds>& keys, __m512i (&x)[N]) noexcept {
    if constexpr (Decrypting) {
        decryptRounds<Rounds>(keys, x);
        for (std::size_t i = 0; i < N; ++i) x[i] = _mm512_aesdeclast_epi128(x[i], keys.k[0]);
    } else {
        encryptWide<Rounds>(keys, x);
    }
}

// One block in an xmm, its round keys read from memory, for calls of fewer
// blocks than a zmm holds: broadcasting every key for them costs more than
// it saves, and a single xmm needs no mask.
template <bool Decrypting, unsigned Rounds>
inline __m128i cipherOne(const std::uint8_t* roundKeys, __m128i x) noexcept {
    if constexpr (Decrypting) {
        x = _mm_xor_si128(x, load128(roundKeys + 16 * Rounds));
        for (unsigned r = Rounds - 1; r > 0; --r) x = _mm_aesdec_si128(x, load128(roundKeys + 16 * r));
        return _mm_aesdeclast_si128(x, load128(roundKeys));
    } else {
        x = _mm_xor_si128(x, load128(roundKeys));
        for (unsigned r = 1; r < Rounds; ++r) x = _mm_aesenc_si128(x, load128(roundKeys + 16 * r));
        return _mm_aesenclast_si128(x, load128(roundKeys + 16 * Rounds));
    }
}

// ECB: N zmm in, through the cipher, N zmm out.
template <bool Decrypting, unsigned Rounds, std::size_t N>
inline void ecbStep(const WideKeys<Rounds>& keys, const std::uint8_t* in, std::uint8_t* out) noexcept {
    __m512i x[N];
    loadAll(in, x);
    cipherWide<Decrypting>(keys, x);
    storeAll(out, x);
}

template <bool Decrypting, unsigned Rounds>
void ecb(const std::uint8_t* roundKeys, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) noexcept {
    if (blocks < 4) {
        for (std::size_t i = 0; i < blocks; ++i) {
            store128(out + 16 * i, cipherOne<Decrypting, Rounds>(roundKeys, load128(in + 16 * i)));
        }
        return;
    }
    WideKeys<Rounds> keys;
    loadWideKeys(roundKeys, keys);
    for (; blocks >= GroupBlocks; blocks -= GroupBlocks, in += 16 * GroupBlocks, out += 16 * GroupBlocks) {
        ecbStep<Decrypting, Rounds, Group>(keys, in, out);
    }
    // The last 0 to 31 blocks, still several at a time.
    if (blocks & 16) {
        ecbStep<Decrypting, Rounds, 4>(keys, in, out);
        in += 256;
        out += 256;
    }
    if (blocks & 8) {
        ecbStep<Decrypting, Rounds, 2>(keys, in, out);
        in += 128;
        out += 128;
    }
    if (blocks & 4) {
        ecbStep<Decrypting, Rounds, 1>(keys, in, out);
        in += 64;
        out += 64;
    }
    if (blocks & 3) {
        const __mmask8 mask = blockMask(blocks & 3);
        __m512i x[1] = {loadPart(in, mask)};
        cipherWide<Decrypting>(keys, x);
        storePart(out, x[0], mask);
    }
}

void wideEncryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { ecb<false, r()>(roundKeys, in, out, blocks); });
}

void wideDecryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { ecb<true, r()>(roundKeys, in, out, blocks); });
}

// CBC decryption, 4N blocks per step. The value each plaintext is XORed with
// is the ciphertext one block back: for zmm i that is the unaligned load 16
// bytes before it, except for the first, which shifts the previous
// ciphertext block (lane 3 of `chain`) in below the step's first three. The
// last round ends by adding round key 0, so that XOR rides in the key of
// vaesdeclast. All ciphertext is read before any plaintext is written, for
// in-place calls.
template <unsigned Rounds, std::size_t N>
inline void cbcDecryptStep(const WideKeys<Rounds>& keys, __m512i& chain, const std::uint8_t* in,
                           std::uint8_t* out) noexcept {
    __m512i x[N];
    loadAll(in, x);
    const __m512i first = _mm512_alignr_epi64(x[0], chain, 6);
    chain = x[N - 1];
    decryptRounds<Rounds>(keys, x);
    x[0] = _mm512_aesdeclast_epi128(x[0], _mm512_xor_si512(keys.k[0], first));
    for (std::size_t i = 1; i < N; ++i)
        x[i] = _mm512_aesdeclast_epi128(x[i], _mm512_xor_si512(keys.k[0], load512(in + 64 * i - 16)));
    storeAll(out, x);
}

template <unsigned Rounds>
void cbcDecrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                std::size_t blocks) noexcept {
    if (blocks < 4) {
        __m128i chain = load128(iv);
        for (std::size_t i = 0; i < blocks; ++i) {
            const __m128i block = load128(in + 16 * i);
            store128(out + 16 * i, _mm_xor_si128(cipherOne<true, Rounds>(roundKeys, block), chain));
            chain = block;
        }
        return;
    }
    WideKeys<Rounds> keys;
    loadWideKeys(roundKeys, keys);
    // The vector in every lane: only lane 3 is read.
    __m512i chain = broadcast128(load128(iv));
    for (; blocks >= GroupBlocks; blocks -= GroupBlocks, in += 16 * GroupBlocks, out += 16 * GroupBlocks) {
        cbcDecryptStep<Rounds, Group>(keys, chain, in, out);
    }
    if (blocks & 16) {
        cbcDecryptStep<Rounds, 4>(keys, chain, in, out);
        in += 256;
        out += 256;
    }
    if (blocks & 8) {
        cbcDecryptStep<Rounds, 2>(keys, chain, in, out);
        in += 128;
        out += 128;
    }
    if (blocks & 4) {
        cbcDecryptStep<Rounds, 1>(keys, chain, in, out);
        in += 64;
        out += 64;
    }
    if (blocks & 3) {
        const __mmask8 mask = blockMask(blocks & 3);
        __m512i x[1] = {loadPart(in, mask)};
        const __m512i previous = _mm512_alignr_epi64(x[0], chain, 6);
        decryptRounds<Rounds>(keys, x);
        storePart(out, _mm512_aesdeclast_epi128(x[0], _mm512_xor_si512(keys.k[0], previous)), mask);
    }
}

void wideDecryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                    std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cbcDecrypt<r()>(roundKeys, iv, in, out, blocks); });
}

// Byte-shuffle controls that spread w = (previous ciphertext block, or the
// IV) || (this ciphertext block) over four lanes, lane l from byte 4l: byte i
// of lane l is w[4l + i], taken by `inFirst` from the first block (where
// 4l + i < 16) and by `inSecond` from the second; a control byte with its top
// bit set gives zero.
struct LaneControls {
    alignas(64) std::uint8_t inFirst[64];
    alignas(64) std::uint8_t inSecond[64];
};

constexpr LaneControls makeLaneControls() noexcept {
    LaneControls c{};
    for (unsigned l = 0; l < 4; ++l) {
        for (unsigned i = 0; i < 16; ++i) {
            const unsigned at = 4 * l + i;
            c.inFirst[16 * l + i] = static_cast<std::uint8_t>(at < 16 ? at : 0x80);
            c.inSecond[16 * l + i] = static_cast<std::uint8_t>(at < 16 ? 0x80 : at - 16);
        }
    }
    return c;
}

constexpr LaneControls Controls = makeLaneControls();

// CFB-1 decryption. The shift register before data bit i is the 128 bits of
// IV || ciphertext starting at bit i, all known in advance. A block's 128
// registers go through the cipher in four steps of 32: step s takes data
// bytes s, 4 + s, 8 + s and 12 + s, byte 4l + s's eight registers in lane l.
// Lane l of `low` is w[4l..4l + 15] and lane l of `high` starts with
// w[4l + 16..4l + 19], so each step's registers are byte shifts of the two by
// s and s + 1 within the lanes, then bit shifts. Everything is built in
// registers from the two blocks: the blocks' registers are independent of
// each other and of memory just written, so consecutive blocks overlap in
// the pipeline. Each ciphertext block is read before its plaintext is
// written and kept for the next block, for in-place calls.
template <unsigned Rounds>
void cfb1Decrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks) noexcept {
    WideKeys<Rounds> keys;
    loadWideKeys(roundKeys, keys);
    const __m512i inFirst = _mm512_load_si512(Controls.inFirst);
    const __m512i inSecond = _mm512_load_si512(Controls.inSecond);
    const __m512i swapBytes =
        broadcast128(_mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
    __m128i previous = load128(iv);
    for (std::size_t b = 0; b < blocks; ++b) {
        const __m128i current = load128(in + 16 * b);
        const __m512i first = broadcast128(previous);
        const __m512i second = broadcast128(current);
        const __m512i low = _mm512_or_si512(_mm512_shuffle_epi8(first, inFirst), _mm512_shuffle_epi8(second, inSecond));
        const __m512i high = _mm512_shuffle_epi8(second, inFirst);
        // The bits of keystream bytes 4l + s: byte 0 of each lane's output
        // gathered into the low eight bytes of lane l, x[7] first, so that
        // bit 7 - r of the keystream byte is the top bit of byte 7 - r.
        const auto step = [&](auto s) {
            __m512i x[8];
            // Register r is a shifted left by r bits, byte i becoming
            // a[i] << r | next[i] >> (8 - r), where next[i] = a[i + 1]. With
            // the bytes of each 16-bit word swapped, word k of a is the
            // big-endian pair (a[2k], a[2k + 1]) and word k of next the pair
            // (a[2k + 1], a[2k + 2]): a word of a shifted right by 8 - r holds
            // even byte 2k of register r in its low byte, a word of next
            // shifted left by r odd byte 2k + 1 in its high byte, and a byte
            // blend takes each from its place.
            const __m512i a = _mm512_alignr_epi8(high, low, s());
            const __m512i pairs = _mm512_shuffle_epi8(a, swapBytes);
            const __m512i nextPairs = _mm512_shuffle_epi8(_mm512_alignr_epi8(high, low, s() + 1), swapBytes);
            const auto shifted = [&](auto r) {
                return _mm512_mask_blend_epi8(0xAAAAAAAAAAAAAAAAull, _mm512_srli_epi16(pairs, 8 - r()),
                                              _mm512_slli_epi16(nextPairs, r()));
            };
            x[0] = a;
            x[1] = shifted(std::integral_constant<unsigned, 1>{});
            x[2] = shifted(std::integral_constant<unsigned, 2>{});
            x[3] = shifted(std::integral_constant<unsigned, 3>{});
            x[4] = shifted(std::integral_constant<unsigned, 4>{});
            x[5] = shifted(std::integral_constant<unsigned, 5>{});
            x[6] = shifted(std::integral_constant<unsigned, 6>{});
            x[7] = shifted(std::integral_constant<unsigned, 7>{});
            encryptWide<Rounds>(keys, x);
            const __m512i t76 = _mm512_unpacklo_epi8(x[7], x[6]);
            const __m512i t54 = _mm512_unpacklo_epi8(x[5], x[4]);
            const __m512i t32 = _mm512_unpacklo_epi8(x[3], x[2]);
            const __m512i t10 = _mm512_unpacklo_epi8(x[1], x[0]);
            return _mm512_unpacklo_epi32(_mm512_unpacklo_epi16(t76, t54), _mm512_unpacklo_epi16(t32, t10));
        };
        const __m512i g0 = step(std::integral_constant<int, 0>{});
        const __m512i g1 = step(std::integral_constant<int, 1>{});
        const __m512i g2 = step(std::integral_constant<int, 2>{});
        const __m512i g3 = step(std::integral_constant<int, 3>{});
        // The 64-bit halves in keystream byte order, 0 to 7 and 8 to 15;
        // their top bits are the keystream bytes.
        const __m512i bytes01 = _mm512_unpacklo_epi64(g0, g1);  // lane l: bytes 4l, 4l + 1
        const __m512i bytes23 = _mm512_unpacklo_epi64(g2, g3);  // lane l: bytes 4l + 2, 4l + 3
        const __m512i bytes0to7 =
            _mm512_permutex2var_epi64(bytes01, _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), bytes23);
        const __m512i bytes8to15 =
            _mm512_permutex2var_epi64(bytes01, _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), bytes23);
        const __m128i keystream = _mm_set_epi64x(static_cast<long long>(_mm512_movepi8_mask(bytes8to15)),
                                                 static_cast<long long>(_mm512_movepi8_mask(bytes0to7)));
        store128(out + 16 * b, _mm_xor_si128(current, keystream));
        previous = current;
    }
}

void wideDecryptCfb1(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cfb1Decrypt<r()>(roundKeys, iv, in, out, blocks); });
}

constexpr BlockPath Vaes512Path{
    AesImplementation::Vaes512, wideEncryptEcb,   wideDecryptEcb,  aesNiEncryptCbc,
    wideDecryptCbc,             aesNiEncryptCfb1, wideDecryptCfb1,
};

}  // namespace

const BlockPath& vaes512Blocks() noexcept { return Vaes512Path; }

}  // namespace ipveil::aes_detail
