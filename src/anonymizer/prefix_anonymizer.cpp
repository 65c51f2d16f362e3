#include "prefix_anonymizer.h"

#include <cstring>

namespace ipveil {

PrefixAnonymizer::PrefixAnonymizer(const std::uint8_t* key) noexcept {
    std::memcpy(cipherKey, key, sizeof cipherKey);
    cipher.setup(ECB, Encrypt, key, Bits128);
    cipher.encryptBlocks(key + 16, 128, pad);
}

std::uint32_t PrefixAnonymizer::anonymize(std::uint32_t orig) const noexcept {
    const std::uint32_t padPrefix = std::uint32_t{pad[0]} << 24 | std::uint32_t{pad[1]} << 16 |
                                    std::uint32_t{pad[2]} << 8 | std::uint32_t{pad[3]};

    // The 32 blocks are independent of each other, so they are built first
    // and encrypted in one call that the hardware paths can pipeline.
    // Block pos: the first pos bits of orig, then the rest of padPrefix,
    // then pad bytes 4 to 15.
    alignas(64) std::uint8_t rin_input[32][16];
    alignas(64) std::uint8_t rin_output[32][16];
    for (int pos = 0; pos < 32; ++pos) {
        const std::uint32_t value =
            pos == 0 ? padPrefix : ((orig >> (32 - pos)) << (32 - pos)) | ((padPrefix << pos) >> pos);
        std::memcpy(rin_input[pos], pad, 16);
        rin_input[pos][0] = static_cast<std::uint8_t>(value >> 24);
        rin_input[pos][1] = static_cast<std::uint8_t>(value >> 16);
        rin_input[pos][2] = static_cast<std::uint8_t>(value >> 8);
        rin_input[pos][3] = static_cast<std::uint8_t>(value);
    }
    cipher.encryptBlocks(rin_input[0], 32 * 128, rin_output[0]);

    std::uint32_t result = 0;
    for (int pos = 0; pos < 32; ++pos) result |= static_cast<std::uint32_t>(rin_output[pos][0] >> 7) << (31 - pos);
    return result ^ orig;
}

}  // namespace ipveil
