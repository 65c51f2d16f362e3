// The AES-NI block path: FIPS-197 rounds by the aesenc/aesdec instruction
// family (Intel, "Advanced Encryption Standard (AES) New Instructions Set",
// Gueron, rev. 3.01) and the modes of NIST SP 800-38A on top.
//
// aesenc/aesenclast take the round keys in FIPS-197 byte order, and
// aesdec/aesdeclast expect the equivalent inverse cipher's keys, which is the
// form AesCipher stores for decryption; the keys are used as they are.
//
// An aesenc has a latency of several cycles but the core issues more than one
// per cycle, so the parallel modes (ECB, CBC decryption, CFB-1 decryption)
// keep eight independent blocks in flight. CBC and CFB-1 encryption chain each
// block into the next and run one block at a time, latency-bound. The round
// count is a template parameter, so every round is unrolled.
// No table is indexed by secret data: the path runs in constant time.
#include "aes_x86_ni.h"

#include <immintrin.h>

#include <cstring>
#include <type_traits>

#include "aes_block_paths.h"

namespace ipveil::aes_detail {

namespace {

inline __m128i load(const std::uint8_t* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// All round keys at hand, for the serial modes.
template <unsigned Rounds>
using RoundKeys = __m128i[Rounds + 1];

template <unsigned Rounds>
inline void loadKeys(const std::uint8_t* roundKeys, RoundKeys<Rounds>& k) noexcept {
    for (unsigned r = 0; r <= Rounds; ++r) k[r] = load(roundKeys + 16 * r);
}

// N consecutive registers from or to memory. Unrolled at once: left as
// loops, GCC turns them into block copies through the stack.
template <std::size_t N>
inline void loadAll(const std::uint8_t* in, __m128i (&x)[N]) noexcept {
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) x[i] = load(in + 16 * i);
}

template <std::size_t N>
inline void storeAll(std::uint8_t* out, const __m128i (&x)[N]) noexcept {
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) store(out + 16 * i, x[i]);
}

inline __m128i roundKey(const std::uint8_t* roundKeys, unsigned r) noexcept { return load(roundKeys + 16 * r); }

// The forward cipher on N blocks side by side, round by round, so that the N
// aesenc of a round are independent and overlap in the pipeline. Each round
// key is loaded where it is used: with eight blocks in flight the sixteen xmm
// registers cannot hold the keys too, and a reload costs less than spilling
// blocks mid-cipher.
template <unsigned Rounds, std::size_t N>
inline void encryptBlocks(const std::uint8_t* roundKeys, __m128i (&x)[N]) noexcept {
    const __m128i first = roundKey(roundKeys, 0);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm_xor_si128(x[i], first);
#pragma GCC unroll 14
    for (unsigned r = 1; r < Rounds; ++r) {
        const __m128i key = roundKey(roundKeys, r);
        for (std::size_t i = 0; i < N; ++i) x[i] = _mm_aesenc_si128(x[i], key);
    }
    const __m128i last = roundKey(roundKeys, Rounds);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm_aesenclast_si128(x[i], last);
}

// The equivalent inverse cipher: round keys from last to first.
template <unsigned Rounds, std::size_t N>
inline void decryptBlocks(const std::uint8_t* roundKeys, __m128i (&x)[N]) noexcept {
    const __m128i first = roundKey(roundKeys, Rounds);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm_xor_si128(x[i], first);
#pragma GCC unroll 14
    for (unsigned r = Rounds - 1; r > 0; --r) {
        const __m128i key = roundKey(roundKeys, r);
        for (std::size_t i = 0; i < N; ++i) x[i] = _mm_aesdec_si128(x[i], key);
    }
    const __m128i last = roundKey(roundKeys, 0);
    for (std::size_t i = 0; i < N; ++i) x[i] = _mm_aesdeclast_si128(x[i], last);
}

// One block with the keys held in registers, for the serial modes, whose
// latency-bound chain leaves the registers free for them. `whitened` has had
// round key 0 added already.
template <unsigned Rounds>
inline __m128i encryptWhitened(const RoundKeys<Rounds>& k, __m128i whitened) noexcept {
#pragma GCC unroll 14
    for (unsigned r = 1; r < Rounds; ++r) whitened = _mm_aesenc_si128(whitened, k[r]);
    return _mm_aesenclast_si128(whitened, k[Rounds]);
}

// ECB: N blocks in, through the cipher, N blocks out.
template <bool Decrypting, unsigned Rounds, std::size_t N>
inline void ecbStep(const std::uint8_t* roundKeys, const std::uint8_t* in, std::uint8_t* out) noexcept {
    __m128i x[N];
    loadAll(in, x);
    if constexpr (Decrypting) {
        decryptBlocks<Rounds>(roundKeys, x);
    } else {
        encryptBlocks<Rounds>(roundKeys, x);
    }
    storeAll(out, x);
}

template <bool Decrypting, unsigned Rounds>
void ecb(const std::uint8_t* roundKeys, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) noexcept {
    for (; blocks >= 8; blocks -= 8, in += 128, out += 128) ecbStep<Decrypting, Rounds, 8>(roundKeys, in, out);
    // The last 0 to 7 blocks, still several at a time.
    if (blocks & 4) {
        ecbStep<Decrypting, Rounds, 4>(roundKeys, in, out);
        in += 64;
        out += 64;
    }
    if (blocks & 2) {
        ecbStep<Decrypting, Rounds, 2>(roundKeys, in, out);
        in += 32;
        out += 32;
    }
    if (blocks & 1) ecbStep<Decrypting, Rounds, 1>(roundKeys, in, out);
}

void niEncryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                  std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { ecb<false, r()>(roundKeys, in, out, blocks); });
}

void niDecryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                  std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { ecb<true, r()>(roundKeys, in, out, blocks); });
}

// CBC decryption: every block needs only its own ciphertext and the one
// before, so N blocks go through the cipher together. All ciphertext of a
// step is read before any plaintext is written, for in-place calls.
template <unsigned Rounds, std::size_t N>
inline void cbcDecryptStep(const std::uint8_t* roundKeys, __m128i& chain, const std::uint8_t* in,
                           std::uint8_t* out) noexcept {
    __m128i x[N];
    loadAll(in, x);
    const __m128i last = x[N - 1];
    decryptBlocks<Rounds>(roundKeys, x);
    x[0] = _mm_xor_si128(x[0], chain);
    for (std::size_t i = 1; i < N; ++i) x[i] = _mm_xor_si128(x[i], load(in + 16 * (i - 1)));
    chain = last;
    storeAll(out, x);
}

template <unsigned Rounds>
void cbcDecrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                std::size_t blocks) noexcept {
    __m128i chain = load(iv);
    for (; blocks >= 8; blocks -= 8, in += 128, out += 128) cbcDecryptStep<Rounds, 8>(roundKeys, chain, in, out);
    if (blocks & 4) {
        cbcDecryptStep<Rounds, 4>(roundKeys, chain, in, out);
        in += 64;
        out += 64;
    }
    if (blocks & 2) {
        cbcDecryptStep<Rounds, 2>(roundKeys, chain, in, out);
        in += 32;
        out += 32;
    }
    if (blocks & 1) cbcDecryptStep<Rounds, 1>(roundKeys, chain, in, out);
}

void niDecryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                  std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cbcDecrypt<r()>(roundKeys, iv, in, out, blocks); });
}

// CBC encryption: one block at a time, each through the cipher before the
// next can start. Round key 0 goes onto the data before the chaining value
// arrives, and the next block is read before this one is stored: a load
// issued after a store to an address 4 KiB away waits for that store, which
// would lengthen the chain.
template <unsigned Rounds>
void cbcEncrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                std::size_t blocks) noexcept {
    if (blocks == 0) return;
    RoundKeys<Rounds> k;
    loadKeys<Rounds>(roundKeys, k);
    __m128i chain = load(iv);
    __m128i next = _mm_xor_si128(load(in), k[0]);
    for (std::size_t i = 0; i + 1 < blocks; ++i) {
        const __m128i whitened = _mm_xor_si128(next, chain);
        next = _mm_xor_si128(load(in + 16 * (i + 1)), k[0]);
        chain = encryptWhitened<Rounds>(k, whitened);
        store(out + 16 * i, chain);
    }
    store(out + 16 * (blocks - 1), encryptWhitened<Rounds>(k, _mm_xor_si128(next, chain)));
}

// CFB-1 encryption. The cipher output's first bit, XORed with the data bit,
// becomes the last bit of the next shift register, so the chain runs through
// every block. To keep that chain short, the shifted register (without its
// new bit, with the data bit and with round key 0) is prepared while the
// block is in the cipher; the keystream bit then only selects, by one blend,
// which of two ready inputs enters the next block.
template <unsigned Rounds>
void cfb1Encrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks) noexcept {
    RoundKeys<Rounds> k;
    loadKeys<Rounds>(roundKeys, k);
    const __m128i zero = _mm_setzero_si128();
    const __m128i lastBit = _mm_insert_epi8(zero, 1, 15);  // bit 0 of byte 15
    __m128i shift = load(iv);
    __m128i whitened = _mm_xor_si128(shift, k[0]);
    for (std::size_t byte = 0; byte < 16 * blocks; ++byte) {
        const unsigned data = in[byte];
        unsigned keystream = 0;
        for (int bit = 7; bit >= 0; --bit) {
            const __m128i output = encryptWhitened<Rounds>(k, whitened);
            keystream = (keystream << 1) | (static_cast<unsigned>(_mm_movemask_epi8(output)) & 1u);
            // The register moved up one bit: each byte doubled, plus the top
            // bit of the byte after it (cmpgt gives -1 where that bit is set).
            const __m128i shifted =
                _mm_sub_epi8(_mm_add_epi8(shift, shift), _mm_cmpgt_epi8(zero, _mm_srli_si128(shift, 1)));
            const __m128i withData =
                _mm_xor_si128(shifted, _mm_insert_epi8(zero, static_cast<int>((data >> bit) & 1u), 15));
            const __m128i withKey = _mm_xor_si128(withData, k[0]);
            // Byte 15 of the selector is the output's byte 0, whose top bit
            // is the keystream bit; every other selector byte is zero.
            const __m128i selector = _mm_slli_si128(output, 15);
            whitened = _mm_blendv_epi8(withKey, _mm_xor_si128(withKey, lastBit), selector);
            shift = _mm_blendv_epi8(withData, _mm_xor_si128(withData, lastBit), selector);
        }
        out[byte] = static_cast<std::uint8_t>(data ^ keystream);
    }
}

// CFB-1 decryption. The shift register before data bit i is the 128 bits of
// IV || ciphertext starting at bit i, all known in advance, so the eight
// registers of one data byte go through the cipher together. Output byte j of
// a block needs the 17 bytes from j of (previous ciphertext block, or the IV)
// || (this ciphertext block); those two blocks are copied aside first, which
// also makes in-place calls safe. Each output byte is stored as soon as it is
// known; as a side effect the compiler, which must assume the store may reach
// the round keys, reloads them each step instead of holding (and spilling)
// them across the loop.
template <unsigned Rounds>
void cfb1Decrypt(const std::uint8_t* roundKeys, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks) noexcept {
    alignas(16) std::uint8_t window[32];
    std::memcpy(window, iv, 16);
    for (std::size_t b = 0; b < blocks; ++b) {
        std::memcpy(window + 16, in + 16 * b, 16);
        for (int j = 0; j < 16; ++j) {
            __m128i x[8];
            const __m128i a = load(window + j);
            const __m128i next = load(window + j + 1);
            // Big-endian byte pairs (a[i], next[i]) in 16-bit lanes: shifting
            // a lane left by r leaves (a[i] << r | next[i] >> (8 - r)) in its
            // high byte, byte i of the register r bits further on.
            const __m128i low = _mm_unpacklo_epi8(next, a);
            const __m128i high = _mm_unpackhi_epi8(next, a);
            const auto shifted = [&](auto r) {
                return _mm_packus_epi16(_mm_srli_epi16(_mm_slli_epi16(low, r()), 8),
                                        _mm_srli_epi16(_mm_slli_epi16(high, r()), 8));
            };
            x[0] = a;
            x[1] = shifted(std::integral_constant<int, 1>{});
            x[2] = shifted(std::integral_constant<int, 2>{});
            x[3] = shifted(std::integral_constant<int, 3>{});
            x[4] = shifted(std::integral_constant<int, 4>{});
            x[5] = shifted(std::integral_constant<int, 5>{});
            x[6] = shifted(std::integral_constant<int, 6>{});
            x[7] = shifted(std::integral_constant<int, 7>{});
            encryptBlocks<Rounds>(roundKeys, x);
            // Gather byte 0 of each output, x[7] first, and take the top
            // bits: bit 7 - r of the keystream byte comes from register r.
            const __m128i t76 = _mm_unpacklo_epi8(x[7], x[6]);
            const __m128i t54 = _mm_unpacklo_epi8(x[5], x[4]);
            const __m128i t32 = _mm_unpacklo_epi8(x[3], x[2]);
            const __m128i t10 = _mm_unpacklo_epi8(x[1], x[0]);
            const __m128i gathered = _mm_unpacklo_epi32(_mm_unpacklo_epi16(t76, t54), _mm_unpacklo_epi16(t32, t10));
            out[16 * b + j] = static_cast<std::uint8_t>(window[16 + j] ^ _mm_movemask_epi8(gathered));
        }
        std::memcpy(window, window + 16, 16);
    }
}

void niDecryptCfb1(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                   std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cfb1Decrypt<r()>(roundKeys, iv, in, out, blocks); });
}

constexpr BlockPath NiPath{
    AesImplementation::AesNi, niEncryptEcb,  niDecryptEcb, aesNiEncryptCbc, niDecryptCbc,
    aesNiEncryptCfb1,         niDecryptCfb1,
};

}  // namespace

void aesNiEncryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cbcEncrypt<r()>(roundKeys, iv, in, out, blocks); });
}

void aesNiEncryptCfb1(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                      std::uint8_t* out, std::size_t blocks) noexcept {
    withRounds(rounds, [&](auto r) { cfb1Encrypt<r()>(roundKeys, iv, in, out, blocks); });
}

const BlockPath& aesNiBlocks() noexcept { return NiPath; }

}  // namespace ipveil::aes_detail
