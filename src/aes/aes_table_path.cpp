// The portable block path: the FIPS-197 cipher and equivalent inverse cipher
// by table lookup (four 1 KiB tables per direction), and the modes on top of
// single blocks. Always compiled; the reference every other path must match.
#include <cstring>

#include "aes_block_paths.h"
#include "aes_tables.h"

namespace ipveil::aes_detail {

using namespace aes_tables;

namespace {

inline std::uint32_t load(const std::uint8_t* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

inline void store(std::uint8_t* p, std::uint32_t w) noexcept { std::memcpy(p, &w, 4); }

inline std::uint8_t b(std::uint32_t w, int k) noexcept { return byteOf(w, k); }

void tableEncryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t blocks) noexcept {
    for (std::size_t i = 0; i < blocks; ++i) tableEncryptBlock(roundKeys, rounds, in + 16 * i, out + 16 * i);
}

void tableDecryptEcb(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t blocks) noexcept {
    for (std::size_t i = 0; i < blocks; ++i) tableDecryptBlock(roundKeys, rounds, in + 16 * i, out + 16 * i);
}

void tableEncryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t blocks) noexcept {
    const std::uint8_t* chaining = iv;
    std::uint8_t block[16];
    for (std::size_t i = 0; i < blocks; ++i) {
        for (int k = 0; k < 16; ++k) block[k] = static_cast<std::uint8_t>(in[16 * i + k] ^ chaining[k]);
        tableEncryptBlock(roundKeys, rounds, block, out + 16 * i);
        chaining = out + 16 * i;
    }
}

void tableDecryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t blocks) noexcept {
    std::uint8_t chaining[16];
    std::uint8_t cipherBlock[16];
    std::uint8_t block[16];
    std::memcpy(chaining, iv, 16);
    for (std::size_t i = 0; i < blocks; ++i) {
        // The ciphertext is kept before out, which may be the same buffer, is written.
        std::memcpy(cipherBlock, in + 16 * i, 16);
        tableDecryptBlock(roundKeys, rounds, cipherBlock, block);
        for (int k = 0; k < 16; k += 4) store(out + 16 * i + k, load(block + k) ^ load(chaining + k));
        std::memcpy(chaining, cipherBlock, 16);
    }
}

// CFB-1: one forward block per data bit. The shift register takes in the
// ciphertext bit, which is the output bit when encrypting and the input bit
// when decrypting. Each byte is read whole before it is written, so input and
// output may be the same buffer.
template <bool Decrypting>
void tableCfb1(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
               std::uint8_t* out, std::size_t blocks) noexcept {
    std::uint8_t shift[16];
    std::uint8_t block[16];
    std::memcpy(shift, iv, 16);
    for (std::size_t byte = 0; byte < 16 * blocks; ++byte) {
        const unsigned data = in[byte];
        unsigned result = 0;
        for (int bit = 7; bit >= 0; --bit) {
            tableEncryptBlock(roundKeys, rounds, shift, block);
            const unsigned dataBit = (data >> bit) & 1u;
            const unsigned outBit = dataBit ^ (block[0] >> 7);
            result |= outBit << bit;
            for (int j = 0; j < 15; ++j) shift[j] = static_cast<std::uint8_t>((shift[j] << 1) | (shift[j + 1] >> 7));
            shift[15] = static_cast<std::uint8_t>((shift[15] << 1) | (Decrypting ? dataBit : outBit));
        }
        out[byte] = static_cast<std::uint8_t>(result);
    }
}

constexpr BlockPath TablePath{
    AesImplementation::Portable, tableEncryptEcb, tableDecryptEcb, tableEncryptCbc,
    tableDecryptCbc,             tableCfb1<false>, tableCfb1<true>,
};

}  // namespace

void tableEncryptBlock(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in,
                       std::uint8_t* out) noexcept {
    const std::uint8_t* key = roundKeys;
    std::uint32_t t0 = load(in) ^ load(key);
    std::uint32_t t1 = load(in + 4) ^ load(key + 4);
    std::uint32_t t2 = load(in + 8) ^ load(key + 8);
    std::uint32_t t3 = load(in + 12) ^ load(key + 12);

    // rounds - 1 table rounds: SubBytes, ShiftRows and MixColumns by lookup.
    for (unsigned r = 1; r < rounds; ++r) {
        key += 16;
        const std::uint32_t u0 = FwdTable0[b(t0, 0)] ^ FwdTable1[b(t1, 1)] ^ FwdTable2[b(t2, 2)] ^ FwdTable3[b(t3, 3)];
        const std::uint32_t u1 = FwdTable0[b(t1, 0)] ^ FwdTable1[b(t2, 1)] ^ FwdTable2[b(t3, 2)] ^ FwdTable3[b(t0, 3)];
        const std::uint32_t u2 = FwdTable0[b(t2, 0)] ^ FwdTable1[b(t3, 1)] ^ FwdTable2[b(t0, 2)] ^ FwdTable3[b(t1, 3)];
        const std::uint32_t u3 = FwdTable0[b(t3, 0)] ^ FwdTable1[b(t0, 1)] ^ FwdTable2[b(t1, 2)] ^ FwdTable3[b(t2, 3)];
        t0 = u0 ^ load(key);
        t1 = u1 ^ load(key + 4);
        t2 = u2 ^ load(key + 8);
        t3 = u3 ^ load(key + 12);
    }

    // Final round: SubBytes and ShiftRows only.
    key += 16;
    const std::uint32_t t[4] = {t0, t1, t2, t3};
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t column = word(SBox[b(t[i], 0)], SBox[b(t[(i + 1) % 4], 1)], SBox[b(t[(i + 2) % 4], 2)],
                                          SBox[b(t[(i + 3) % 4], 3)]);
        store(out + 4 * i, column ^ load(key + 4 * i));
    }
}

void tableDecryptBlock(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in,
                       std::uint8_t* out) noexcept {
    const std::uint8_t* key = roundKeys + 16 * rounds;
    std::uint32_t t0 = load(in) ^ load(key);
    std::uint32_t t1 = load(in + 4) ^ load(key + 4);
    std::uint32_t t2 = load(in + 8) ^ load(key + 8);
    std::uint32_t t3 = load(in + 12) ^ load(key + 12);

    for (unsigned r = rounds - 1; r >= 1; --r) {
        key -= 16;
        const std::uint32_t u0 = InvTable0[b(t0, 0)] ^ InvTable1[b(t3, 1)] ^ InvTable2[b(t2, 2)] ^ InvTable3[b(t1, 3)];
        const std::uint32_t u1 = InvTable0[b(t1, 0)] ^ InvTable1[b(t0, 1)] ^ InvTable2[b(t3, 2)] ^ InvTable3[b(t2, 3)];
        const std::uint32_t u2 = InvTable0[b(t2, 0)] ^ InvTable1[b(t1, 1)] ^ InvTable2[b(t0, 2)] ^ InvTable3[b(t3, 3)];
        const std::uint32_t u3 = InvTable0[b(t3, 0)] ^ InvTable1[b(t2, 1)] ^ InvTable2[b(t1, 2)] ^ InvTable3[b(t0, 3)];
        t0 = u0 ^ load(key);
        t1 = u1 ^ load(key + 4);
        t2 = u2 ^ load(key + 8);
        t3 = u3 ^ load(key + 12);
    }

    key -= 16;
    const std::uint32_t t[4] = {t0, t1, t2, t3};
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t column = word(InvSBox[b(t[i], 0)], InvSBox[b(t[(i + 3) % 4], 1)],
                                          InvSBox[b(t[(i + 2) % 4], 2)], InvSBox[b(t[(i + 1) % 4], 3)]);
        store(out + 4 * i, column ^ load(key + 4 * i));
    }
}

const BlockPath& tablePath() noexcept { return TablePath; }

}  // namespace ipveil::aes_detail
