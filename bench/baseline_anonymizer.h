// The prefix-preserving mapping written the plain way: one AES call per bit,
// each on a freshly built block. The baseline program runs it, and the
// benchmarks build the same blocks to hand to OpenSSL, so it is kept apart
// from the library's own code on purpose: agreement is then a real check.
#pragma once

#include <cstdint>
#include <cstring>

#include "aes_cipher.h"

namespace ipveil::bench {

// The pseudo-random function's input for bit pos of address: its first pos
// bits, then the remaining bits of the pad's first big-endian word, then pad
// bytes 4 to 15.
inline void buildPrefixBlock(const std::uint8_t* pad, std::uint32_t address, int pos, std::uint8_t* block) {
    const std::uint32_t padWord = std::uint32_t{pad[0]} << 24 | std::uint32_t{pad[1]} << 16 |
                                  std::uint32_t{pad[2]} << 8 | std::uint32_t{pad[3]};
    // A shift by 32 is undefined, so the empty prefix has its own mask.
    const std::uint32_t mask = pos == 0 ? 0 : ~std::uint32_t{0} << (32 - pos);
    const std::uint32_t word = (address & mask) | (padWord & ~mask);
    block[0] = static_cast<std::uint8_t>(word >> 24);
    block[1] = static_cast<std::uint8_t>(word >> 16);
    block[2] = static_cast<std::uint8_t>(word >> 8);
    block[3] = static_cast<std::uint8_t>(word);
    std::memcpy(block + 4, pad + 4, 12);
}

class BaselineAnonymizer {
public:
    // key: 32 bytes, AES-128 key then pad seed.
    explicit BaselineAnonymizer(const std::uint8_t* key) {
        cipher.setup(ECB, Encrypt, key, Bits128);
        cipher.encryptBlocks(key + 16, 128, pad);
    }

    std::uint32_t anonymize(std::uint32_t address) const {
        std::uint32_t result = address;
        std::uint8_t block[16];
        std::uint8_t out[16];
        for (int pos = 0; pos < 32; ++pos) {
            buildPrefixBlock(pad, address, pos, block);
            cipher.encryptBlocks(block, 128, out);
            result ^= static_cast<std::uint32_t>(out[0] >> 7) << (31 - pos);
        }
        return result;
    }

    const std::uint8_t* padBytes() const { return pad; }

private:
    AesCipher cipher;
    std::uint8_t pad[16];
};

}  // namespace ipveil::bench
