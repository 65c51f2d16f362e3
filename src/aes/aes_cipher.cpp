// AesCipher: set-up, key schedule, and the checks and mode dispatch of the
// data operations. The block work itself is done by the active block path.
#include "aes_cipher.h"

#include <climits>
#include <cstring>

#include "aes_block_paths.h"
#include "aes_tables.h"

namespace ipveil {

using namespace aes_tables;

namespace {

inline void storeWord(std::uint8_t* p, std::uint32_t w) noexcept { std::memcpy(p, &w, 4); }

inline void xorBlock(std::uint8_t* target, const std::uint8_t* a, const std::uint8_t* b) noexcept {
    for (int i = 0; i < 16; ++i) target[i] = static_cast<std::uint8_t>(a[i] ^ b[i]);
}

}  // namespace

int AesCipher::setup(int newMode, int newDirection, const std::uint8_t* key, int keySize,
                     const std::uint8_t* newInitVector) noexcept {
    state = NotReady;
    if (newMode != ECB && newMode != CBC && newMode != CFB1) return ModeNotSupported;
    mode = static_cast<CipherMode>(newMode);
    if (newDirection != Encrypt && newDirection != Decrypt) return DirectionNotSupported;
    direction = static_cast<CipherDirection>(newDirection);

    if (newInitVector != nullptr) {
        std::memcpy(initVector, newInitVector, sizeof initVector);
    } else {
        std::memset(initVector, 0, sizeof initVector);
    }

    int keyLength;
    switch (keySize) {
        case Bits128: keyLength = 16; rounds = 10; break;
        case Bits192: keyLength = 24; rounds = 12; break;
        case Bits256: keyLength = 32; rounds = 14; break;
        default: return KeySizeNotSupported;
    }
    if (key == nullptr) return KeyMissing;

    std::uint8_t keyMatrix[8][4] = {};
    for (int j = 0; j < keyLength; ++j) keyMatrix[j / 4][j % 4] = key[j];
    expandKey(keyMatrix);
    // CFB-1 runs the forward cipher in both directions, so only ECB and CBC
    // decryption want the converted schedule.
    if (direction == Decrypt && mode != CFB1) invertRoundKeys();

    state = Ready;
    return Ok;
}

// FIPS-197 key expansion, a batch of KC columns at a time.
void AesCipher::expandKey(const std::uint8_t (&keyMatrix)[8][4]) noexcept {
    const int columns = static_cast<int>(rounds) - 6;
    std::uint8_t tempKey[8][4];
    std::memcpy(tempKey, keyMatrix, sizeof tempKey);

    int r = 0;
    int t = 0;
    auto store = [&] {
        for (int j = 0; j < columns && r <= static_cast<int>(rounds); ++j) {
            std::memcpy(roundKeys[r][t], tempKey[j], 4);
            if (++t == 4) {
                ++r;
                t = 0;
            }
        }
    };
    store();

    int c = 0;
    while (r <= static_cast<int>(rounds)) {
        const std::uint8_t* last = tempKey[columns - 1];
        tempKey[0][0] ^= SBox[last[1]];
        tempKey[0][1] ^= SBox[last[2]];
        tempKey[0][2] ^= SBox[last[3]];
        tempKey[0][3] ^= SBox[last[0]];
        tempKey[0][0] ^= static_cast<std::uint8_t>(RoundConstants[static_cast<std::size_t>(c++)]);
        auto chain = [&](int from, int to) {
            for (int j = from; j <= to; ++j) {
                for (int b = 0; b < 4; ++b) tempKey[j][b] ^= tempKey[j - 1][b];
            }
        };
        if (columns != 8) {
            chain(1, columns - 1);
        } else {
            chain(1, 3);
            for (int b = 0; b < 4; ++b) tempKey[4][b] ^= SBox[tempKey[3][b]];
            chain(5, 7);
        }
        store();
    }
}

// Converts round keys 1 to rounds-1 to the equivalent inverse cipher's form.
void AesCipher::invertRoundKeys() noexcept {
    for (std::uint32_t r = 1; r < rounds; ++r) {
        for (auto& w : roundKeys[r]) {
            storeWord(w, InvMixTable0[w[0]] ^ InvMixTable1[w[1]] ^ InvMixTable2[w[2]] ^ InvMixTable3[w[3]]);
        }
    }
}

void AesCipher::encryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept {
    aes_detail::tableEncryptBlock(roundKeys[0][0], rounds, in, out);
}

void AesCipher::decryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept {
    aes_detail::tableDecryptBlock(roundKeys[0][0], rounds, in, out);
}

int AesCipher::encryptBlocks(const std::uint8_t* input, int inputBits, std::uint8_t* output) const noexcept {
    if (state != Ready) return NotSetUp;
    if (direction != Encrypt) return WrongDirection;
    if (input == nullptr || output == nullptr || inputBits <= 0) return 0;
    const auto blocks = static_cast<std::size_t>(inputBits / 128);
    if (blocks == 0) return 0;

    const auto& path = aes_detail::activePath();
    const std::uint8_t* keys = roundKeys[0][0];
    switch (mode) {
        case ECB: path.encryptEcb(keys, rounds, input, output, blocks); break;
        case CBC: path.encryptCbc(keys, rounds, initVector, input, output, blocks); break;
        case CFB1: path.encryptCfb1(keys, rounds, initVector, input, output, blocks); break;
        default: return ModeNotSupported;
    }
    return static_cast<int>(blocks) * 128;
}

int AesCipher::decryptBlocks(const std::uint8_t* input, int inputBits, std::uint8_t* output) const noexcept {
    if (state != Ready) return NotSetUp;
    if (mode != CFB1 && direction == Encrypt) return WrongDirection;
    if (input == nullptr || output == nullptr || inputBits <= 0) return 0;
    const auto blocks = static_cast<std::size_t>(inputBits / 128);
    if (blocks == 0) return 0;

    const auto& path = aes_detail::activePath();
    const std::uint8_t* keys = roundKeys[0][0];
    switch (mode) {
        case ECB: path.decryptEcb(keys, rounds, input, output, blocks); break;
        case CBC: path.decryptCbc(keys, rounds, initVector, input, output, blocks); break;
        case CFB1: path.decryptCfb1(keys, rounds, initVector, input, output, blocks); break;
        default: return ModeNotSupported;
    }
    return static_cast<int>(blocks) * 128;
}

int AesCipher::encryptPadded(const std::uint8_t* input, int inputBytes, std::uint8_t* output) const noexcept {
    if (state != Ready || direction != Encrypt) return NotSetUp;
    if (input == nullptr || output == nullptr || inputBytes <= 0) return 0;
    // The result, 16 * (inputBytes / 16 + 1), must itself be an int.
    if (inputBytes / 16 >= INT_MAX / 16) return LengthTooLarge;

    const auto blocks = static_cast<std::size_t>(inputBytes / 16);
    const int padLen = 16 - (inputBytes - 16 * static_cast<int>(blocks));
    const int tail = 16 - padLen;
    const auto& path = aes_detail::activePath();
    const std::uint8_t* keys = roundKeys[0][0];
    std::uint8_t block[16];

    switch (mode) {
        case ECB:
            if (blocks > 0) path.encryptEcb(keys, rounds, input, output, blocks);
            std::memcpy(block, input + 16 * blocks, static_cast<std::size_t>(tail));
            std::memset(block + tail, padLen, static_cast<std::size_t>(padLen));
            path.encryptEcb(keys, rounds, block, output + 16 * blocks, 1);
            break;
        case CBC: {
            // Read the partial tail before the whole blocks may overwrite it.
            std::memcpy(block, input + 16 * blocks, static_cast<std::size_t>(tail));
            std::memset(block + tail, padLen, static_cast<std::size_t>(padLen));
            const std::uint8_t* chaining = initVector;
            if (blocks > 0) {
                path.encryptCbc(keys, rounds, initVector, input, output, blocks);
                chaining = output + 16 * (blocks - 1);
            }
            xorBlock(block, block, chaining);
            path.encryptEcb(keys, rounds, block, output + 16 * blocks, 1);
            break;
        }
        default: return ModeNotSupported;
    }
    return 16 * (static_cast<int>(blocks) + 1);
}

int AesCipher::decryptPadded(const std::uint8_t* input, int inputBytes, std::uint8_t* output) const noexcept {
    if (state != Ready) return NotSetUp;
    if (direction != Decrypt) return WrongDirection;
    if (input == nullptr || output == nullptr || inputBytes <= 0) return 0;
    if (inputBytes % 16 != 0) return BadPadding;

    const auto blocks = static_cast<std::size_t>(inputBytes / 16);
    const std::size_t whole = blocks - 1;
    const auto& path = aes_detail::activePath();
    const std::uint8_t* keys = roundKeys[0][0];
    std::uint8_t block[16];

    switch (mode) {
        case ECB:
            std::memcpy(block, input + 16 * whole, 16);
            if (whole > 0) path.decryptEcb(keys, rounds, input, output, whole);
            path.decryptEcb(keys, rounds, block, block, 1);
            break;
        case CBC: {
            // Keep the last ciphertext block and its chaining value: with
            // input and output the same buffer, decrypting the whole blocks
            // overwrites them.
            std::uint8_t chaining[16];
            std::memcpy(block, input + 16 * whole, 16);
            std::memcpy(chaining, whole > 0 ? input + 16 * (whole - 1) : initVector, 16);
            if (whole > 0) path.decryptCbc(keys, rounds, initVector, input, output, whole);
            path.decryptEcb(keys, rounds, block, block, 1);
            xorBlock(block, block, chaining);
            break;
        }
        default: return ModeNotSupported;
    }

    const int padLen = block[15];
    if (padLen == 0 || padLen > 16) return BadPadding;
    for (int i = 16 - padLen; i < 16; ++i) {
        if (block[i] != padLen) return BadPadding;
    }
    std::memcpy(output + 16 * whole, block, static_cast<std::size_t>(16 - padLen));
    return 16 * static_cast<int>(blocks) - padLen;
}

}  // namespace ipveil
