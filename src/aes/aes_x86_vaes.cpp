// The VAES block path: the AES-NI round instructions widened to 256-bit
// registers (VEX-encoded vaesenc/vaesdec on ymm), each holding two blocks
// that go through the same round key. References: FIPS-197; NIST SP 800-38A
// for the modes; Intel's AES-NI white paper (Gueron) for the instruction
// semantics, which VAES applies to each 128-bit lane.
//
// The parallel modes (ECB, CBC decryption, CFB-1 decryption) keep eight ymm,
// sixteen blocks, in flight; tails drop to four, two and one ymm and a last
// single block in an xmm. CBC and CFB-1 encryption are serial, one block at
// a time, and gain nothing from wide registers: they are the AES-NI path's.
// Round keys are the same layout as every path's, broadcast to both lanes.
// No table is indexed by secret data: the path runs in constant time.
#include <immintrin.h>

#include <cstring>
#include <type_traits>

#include "aes_block_paths.h"
#include "aes_x86_ni.h"

namespace ipveil::aes_detail {

namespace {

inline __m128i load128(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store128(std::uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline __m256i load256(const std::uint8_t* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline void store256(std::uint8_t* p, __m256i v) noexcept { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
// N consecutive registers from or to memory. Unrolled at once: left as
// loops, GCC turns them into block copies through the stack.
template <std::size_t N>
inline void loadAll(const std::uint8_t* in, __m256i (&x)[N]) noexcept {
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) x[i] = load256(in + 32 * i);
}

template <std::size_t N>
inline void storeAll(std::uint8_t* out, const __m256i (&x)[N]) noexcept {
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) store256(out + 32 * i, x[i]);
}

// Two 16-byte blocks as one ymm: `low` in lane 0, `high` in lane 1.
inline __m256i pair(__m128i low, __m128i high) noexcept {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Round key r in both lanes. Keys are loaded where they are used: with
// eight ymm of blocks in flight the sixteen registers cannot hold the keys
// too, and a broadcast load costs less than spilling blocks mid-cipher.
inline __m256i wideKey(const std::uint8_t* roundKeys, unsigned r) noexcept {
    return _mm256_broadcastsi128_si256(load128(roundKeys + 16 * r));
}

// The forward cipher on N ymm (2N blocks), round by round so that the N
// vaesenc of a round are independent and overlap in the pipeline.
template <unsigned Rounds, std::size_t N>
inline void encryptWide(const std::uint8_t* roundKeys, __m256i (&x)[N]) noexcept {
    const __m256i first = wideKey(roundKeys, 0);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm256_xor_si256(x[i], first);
#pragma GCC unroll 14
    for (unsigned r = 1; r < Rounds; ++r) {
        const __m256i key = wideKey(roundKeys, r);
        for (std::size_t i = 0; i < N; ++i) x[i] = _mm256_aesenc_epi128(x[i], key);
    }
    const __m256i last = wideKey(roundKeys, Rounds);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm256_aesenclast_epi128(x[i], last);
}

// The equivalent inverse cipher: round keys from last to first. The last
// round ends by adding round key 0, which decryptRounds leaves to the caller
// (CBC folds the chaining value into that key).
template <unsigned Rounds, std::size_t N>
inline void decryptRounds(const std::uint8_t* roundKeys, __m256i (&x)[N]) noexcept {
    const __m256i first = wideKey(roundKeys, Rounds);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm256_xor_si256(x[i], first);
#pragma GCC unroll 14
    for (unsigned r = Rounds - 1; r > 0; --r) {
        const __m256i key = wideKey(roundKeys, r);
        for (std::size_t i = 0; i < N; ++i) x[i] = _mm256_aesdec_epi128(x[i], key);
    }
}

template <unsigned Rounds, std::size_t N>
inline void decryptWide(const std::uint8_t* roundKeys, __m256i (&x)[N]) noexcept {
    decryptRounds<Rounds>(roundKeys, x);
    const __m256i last = wideKey(roundKeys, 0);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm256_aesdeclast_epi128(x[i], last);
}

// One block in an xmm.
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

// ECB: N ymm in, through the cipher, N ymm out.
template <bool Decrypting, unsigned Rounds, std::size_t N>
inline void ecbStep(const std::uint8_t* roundKeys, const std::uint8_t* in, std::uint8_t* out) noexcept {
    __m256i x[N];
    loadAll(in, x);
    if constexpr (Decrypting) {
        decryptWide<Rounds>(roundKeys, x);
    } else {
        encryptWide<Rounds>(roundKeys, x);
    }
    storeAll(out, x);
}

template <bool Decrypting, unsigned Rounds>
void ecb(const std::uint8_t* roundKeys, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) noexcept {
    for (; blocks >= 16; blocks -= 16, in += 256, out += 256) ecbStep<Decrypting, Rounds, 8>(roundKeys, in, out);
    // The last 0 to 15 blocks, still several at a time.
    if (blocks & 8) {
        ecbStep<Decrypting, Rounds, 4>(roundKeys, in, out);
        in += 128;
        out += 128;
    }
    if (blocks & 4) {
        ecbStep<Decrypting, Rounds, 2>(roundKeys, in, out);
        in += 64;
        out += 64;
    }
    if (blocks & 2) {
        ecbStep<Decrypting, Rounds, 1>(roundKeys, in, out);
        in += 32;
        out += 32;
    }
    if (blocks & 1) store128(out, cipherOne<Decrypting, Rounds>(roundKeys, load128(in)));
}

void vaesEncryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { ecb<false, r()>(roundKeys, in, out, blocks); });
}

void vaesDecryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { ecb<true, r()>(roundKeys, in, out, blocks); });
}

// CBC decryption, 2N blocks per step. The value each plaintext is XORed with
// is the ciphertext one block back: for ymm i that is the unaligned load 16
// bytes before it, except for the first, which pairs the chaining block with
// the step's first ciphertext. The last round ends by adding round key 0, so
// that XOR rides in the key of vaesdeclast. All ciphertext is read before any
// plaintext is written, for in-place calls.
template <unsigned Rounds, std::size_t N>
inline void cbcDecryptStep(const std::uint8_t* roundKeys, __m128i& chain, const std::uint8_t* in,
                           std::uint8_t* out) noexcept {
    __m256i x[N];
    loadAll(in, x);
    const __m256i first = pair(chain, _mm256_castsi256_si128(x[0]));
    chain = _mm256_extracti128_si256(x[N - 1], 1);
    decryptRounds<Rounds>(roundKeys, x);
    const __m256i last = wideKey(roundKeys, 0);
    x[0] = _mm256_aesdeclast_epi128(x[0], _mm256_xor_si256(last, first));
    for (std::size_t i = 1; i < N; ++i)
        x[i] = _mm256_aesdeclast_epi128(x[i], _mm256_xor_si256(last, load256(in + 32 * i - 16)));
    storeAll(out, x);
}

template <unsigned Rounds>
void cbcDecrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                std::size_t blocks) noexcept {
    __m128i chain = load128(iv);
    for (; blocks >= 16; blocks -= 16, in += 256, out += 256) cbcDecryptStep<Rounds, 8>(roundKeys, chain, in, out);
    if (blocks & 8) {
        cbcDecryptStep<Rounds, 4>(roundKeys, chain, in, out);
        in += 128;
        out += 128;
    }
    if (blocks & 4) {
        cbcDecryptStep<Rounds, 2>(roundKeys, chain, in, out);
        in += 64;
        out += 64;
    }
    if (blocks & 2) {
        cbcDecryptStep<Rounds, 1>(roundKeys, chain, in, out);
        in += 32;
        out += 32;
    }
    if (blocks & 1) store128(out, _mm_xor_si128(cipherOne<true, Rounds>(roundKeys, load128(in)), chain));
}

void vaesDecryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                    std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cbcDecrypt<r()>(roundKeys, iv, in, out, blocks); });
}

// CFB-1 decryption. The shift register before data bit i is the 128 bits of
// IV || ciphertext starting at bit i, all known in advance; one step takes
// the sixteen registers of two data bytes j and j + 1, byte j's in the low
// lanes and byte j + 1's in the high lanes. Output byte j of a block needs
// the 17 bytes from j of (previous ciphertext block, or the IV) || (this
// ciphertext block); those two blocks are copied aside first, which also makes
// in-place calls safe. Output bytes are stored as soon as they are known; as a
// side effect the compiler, which must assume the stores may reach the round
// keys, reloads them each step instead of holding (and spilling) them.
template <unsigned Rounds>
void cfb1Decrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks) noexcept {
    alignas(32) std::uint8_t window[32];
    std::memcpy(window, iv, 16);
    for (std::size_t b = 0; b < blocks; ++b) {
        std::memcpy(window + 16, in + 16 * b, 16);
        for (int j = 0; j < 16; j += 2) {
            __m256i x[8];
            const __m128i from1 = load128(window + j + 1);
            const __m256i a = pair(load128(window + j), from1);
            const __m256i next = pair(from1, load128(window + j + 2));
            // Big-endian byte pairs (a[i], next[i]) in 16-bit lanes: shifting
            // a lane left by r leaves (a[i] << r | next[i] >> (8 - r)) in its
            // high byte, byte i of the register r bits further on.
            const __m256i low = _mm256_unpacklo_epi8(next, a);
            const __m256i high = _mm256_unpackhi_epi8(next, a);
            const auto shifted = [&](auto r) {
                return _mm256_packus_epi16(_mm256_srli_epi16(_mm256_slli_epi16(low, r()), 8),
                                           _mm256_srli_epi16(_mm256_slli_epi16(high, r()), 8));
            };
            x[0] = a;
            x[1] = shifted(std::integral_constant<int, 1>{});
            x[2] = shifted(std::integral_constant<int, 2>{});
            x[3] = shifted(std::integral_constant<int, 3>{});
            x[4] = shifted(std::integral_constant<int, 4>{});
            x[5] = shifted(std::integral_constant<int, 5>{});
            x[6] = shifted(std::integral_constant<int, 6>{});
            x[7] = shifted(std::integral_constant<int, 7>{});
            encryptWide<Rounds>(roundKeys, x);
            // Gather byte 0 of each lane's output, x[7] first, and take the
            // top bits: bit 7 - r of a keystream byte comes from register r;
            // byte j's bits land in mask bits 0-7, byte j + 1's in 16-23.
            const __m256i t76 = _mm256_unpacklo_epi8(x[7], x[6]);
            const __m256i t54 = _mm256_unpacklo_epi8(x[5], x[4]);
            const __m256i t32 = _mm256_unpacklo_epi8(x[3], x[2]);
            const __m256i t10 = _mm256_unpacklo_epi8(x[1], x[0]);
            const __m256i gathered =
                _mm256_unpacklo_epi32(_mm256_unpacklo_epi16(t76, t54), _mm256_unpacklo_epi16(t32, t10));
            const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(gathered));
            out[16 * b + j] = static_cast<std::uint8_t>(window[16 + j] ^ mask);
            out[16 * b + j + 1] = static_cast<std::uint8_t>(window[17 + j] ^ (mask >> 16));
        }
        std::memcpy(window, window + 16, 16);
    }
}

void vaesDecryptCfb1(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cfb1Decrypt<r()>(roundKeys, iv, in, out, blocks); });
}

constexpr BlockPath VaesPath{
    AesImplementation::Vaes, vaesEncryptEcb,   vaesDecryptEcb,  aesNiEncryptCbc,
    vaesDecryptCbc,          aesNiEncryptCfb1, vaesDecryptCfb1,
};

}  // namespace

const BlockPath& vaesBlocks() noexcept { return VaesPath; }

}  // namespace ipveil::aes_detail
