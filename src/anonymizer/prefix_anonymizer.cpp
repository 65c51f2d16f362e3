#include "prefix_anonymizer.h"

#include <cstring>

#include "prefix_kernels.h"

namespace ipveil {

namespace {

// The fused kernels follow the cipher's choice of block path, so that forcing
// a path for the cipher forces it here too. Null for the portable tables,
// which go through the cipher block by block.
const anonymizer_detail::PrefixKernels* activeKernels() noexcept {
#if IPVEIL_X86_AES
    switch (activeAesImplementation()) {
        case AesImplementation::Vaes512: return &anonymizer_detail::vaes512Kernels();
        case AesImplementation::Vaes: return &anonymizer_detail::vaesKernels();
        case AesImplementation::AesNi: return &anonymizer_detail::aesNiKernels();
        case AesImplementation::Portable: break;
    }
#endif
    return nullptr;
}

// Deanonymizes count addresses through a kernel, RevealChunk at a time:
// stage(i, block) writes address i's image as a block, unstage(i, block)
// takes its original back.
template <typename Stage, typename Unstage>
void revealStaged(const anonymizer_detail::PrefixKernels& kernels, const std::uint8_t* roundKeys,
                  const std::uint8_t* pad, std::size_t count, int bits, Stage stage, Unstage unstage) noexcept {
    using anonymizer_detail::RevealChunk;
    alignas(64) std::uint8_t blocks[anonymizer_detail::RevealBufferBlocks][16];
    for (std::size_t first = 0; first < count; first += RevealChunk) {
        const std::size_t n = count - first < RevealChunk ? count - first : RevealChunk;
        std::memset(blocks, 0, sizeof blocks);
        for (std::size_t k = 0; k < n; ++k) stage(first + k, blocks[k]);
        kernels.revealBlocks(roundKeys, pad, blocks[0], n, bits);
        for (std::size_t k = 0; k < n; ++k) unstage(first + k, blocks[k]);
    }
}

}  // namespace

PrefixAnonymizer::PrefixAnonymizer(const std::uint8_t* key) noexcept {
    std::memcpy(cipherKey, key, sizeof cipherKey);
    cipher.setup(ECB, Encrypt, key, Bits128);
    cipher.encryptBlocks(key + 16, 128, pad);
}

std::uint32_t PrefixAnonymizer::padPrefix() const noexcept {
    return std::uint32_t{pad[0]} << 24 | std::uint32_t{pad[1]} << 16 | std::uint32_t{pad[2]} << 8 |
           std::uint32_t{pad[3]};
}

void PrefixAnonymizer::prefixBlock(std::uint32_t address, int pos, std::uint8_t* block) const noexcept {
    const std::uint32_t prefix = padPrefix();
    // pos = 0 is taken apart so that nothing is shifted by 32.
    const std::uint32_t value = pos == 0 ? prefix : ((address >> (32 - pos)) << (32 - pos)) | ((prefix << pos) >> pos);
    std::memcpy(block, pad, 16);
    block[0] = static_cast<std::uint8_t>(value >> 24);
    block[1] = static_cast<std::uint8_t>(value >> 16);
    block[2] = static_cast<std::uint8_t>(value >> 8);
    block[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t PrefixAnonymizer::portableAnonymize(std::uint32_t orig) const noexcept {
    // The 32 blocks are independent of each other, so they are built first
    // and encrypted in one call.
    alignas(64) std::uint8_t rin_input[32][16];
    alignas(64) std::uint8_t rin_output[32][16];
    for (int pos = 0; pos < 32; ++pos) prefixBlock(orig, pos, rin_input[pos]);
    cipher.encryptBlocks(rin_input[0], 32 * 128, rin_output[0]);

    std::uint32_t result = 0;
    for (int pos = 0; pos < 32; ++pos) result |= static_cast<std::uint32_t>(rin_output[pos][0] >> 7) << (31 - pos);
    return result ^ orig;
}

std::uint32_t PrefixAnonymizer::portableDeanonymize(std::uint32_t anonymized) const noexcept {
    std::uint32_t orig = 0;
    std::uint8_t block[16];
    for (int pos = 0; pos < 32; ++pos) {
        // Bits below pos of orig are still zero, and prefixBlock reads only
        // the bits above.
        prefixBlock(orig, pos, block);
        cipher.encryptBlocks(block, 128, block);
        const std::uint32_t bit = 0x80000000u >> pos;
        if (((anonymized & bit) != 0) != ((block[0] & 0x80) != 0)) orig |= bit;
    }
    return orig;
}

std::uint32_t PrefixAnonymizer::anonymize(std::uint32_t address) const noexcept {
    std::uint32_t image;
    anonymize(&address, 1, &image);
    return image;
}

std::uint32_t PrefixAnonymizer::deanonymize(std::uint32_t anonymized) const noexcept {
    std::uint32_t address;
    deanonymize(&anonymized, 1, &address);
    return address;
}

void PrefixAnonymizer::anonymize(const std::uint32_t* addresses, std::size_t count,
                                 std::uint32_t* images) const noexcept {
    if (const auto* kernels = activeKernels()) {
        kernels->anonymize4(cipher.roundKey(0), pad, addresses, count, images);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) images[i] = portableAnonymize(addresses[i]);
}

void PrefixAnonymizer::deanonymize(const std::uint32_t* images, std::size_t count,
                                   std::uint32_t* addresses) const noexcept {
    if (const auto* kernels = activeKernels()) {
        // All images are staged before any original is written, chunk by
        // chunk, so the arrays may be the same.
        revealStaged(
            *kernels, cipher.roundKey(0), pad, count, 32,
            [images](std::size_t i, std::uint8_t* block) {
                const std::uint32_t word = __builtin_bswap32(images[i]);  // big-endian, as in the block
                std::memcpy(block, &word, 4);
            },
            [addresses](std::size_t i, const std::uint8_t* block) {
                std::uint32_t word;
                std::memcpy(&word, block, 4);
                addresses[i] = __builtin_bswap32(word);
            });
        return;
    }
    for (std::size_t i = 0; i < count; ++i) addresses[i] = portableDeanonymize(images[i]);
}

// The block for bit pos: the address's first pos bits, then the pad's.
void PrefixAnonymizer::portableAnonymize(const std::uint8_t* address, std::uint8_t* image) const noexcept {
    using anonymizer_detail::Positions;
    alignas(64) std::uint8_t blocks[128][16];
    for (int pos = 0; pos < 128; ++pos) {
        for (int b = 0; b < 16; ++b) {
            blocks[pos][b] = static_cast<std::uint8_t>((address[b] & Positions.keep[pos][b]) |
                                                       (pad[b] & ~Positions.keep[pos][b]));
        }
    }
    cipher.encryptBlocks(blocks[0], 128 * 128, blocks[0]);
    std::uint8_t result[16];
    std::memcpy(result, address, 16);
    for (int pos = 0; pos < 128; ++pos) result[pos / 8] ^= static_cast<std::uint8_t>((blocks[pos][0] >> 7) << (7 - pos % 8));
    std::memcpy(image, result, 16);
}

void PrefixAnonymizer::portableDeanonymize(const std::uint8_t* anonymized, std::uint8_t* address) const noexcept {
    using anonymizer_detail::Positions;
    // The image, turned into the original from the top: the bits above pos
    // are already the original's when bit pos's block is built.
    std::uint8_t orig[16];
    std::memcpy(orig, anonymized, 16);
    for (int pos = 0; pos < 128; ++pos) {
        std::uint8_t block[16];
        for (int b = 0; b < 16; ++b) {
            block[b] = static_cast<std::uint8_t>((orig[b] & Positions.keep[pos][b]) | (pad[b] & ~Positions.keep[pos][b]));
        }
        cipher.encryptBlocks(block, 128, block);
        orig[pos / 8] ^= static_cast<std::uint8_t>((block[0] >> 7) << (7 - pos % 8));
    }
    std::memcpy(address, orig, 16);
}

Ipv6Address PrefixAnonymizer::anonymize(const Ipv6Address& address) const noexcept {
    Ipv6Address image;
    anonymize(&address, 1, &image);
    return image;
}

Ipv6Address PrefixAnonymizer::deanonymize(const Ipv6Address& anonymized) const noexcept {
    Ipv6Address address;
    deanonymize(&anonymized, 1, &address);
    return address;
}

// Ipv6Address is its 16 bytes and nothing else, so an array of them is the
// kernels' array of 16-byte addresses.
static_assert(sizeof(Ipv6Address) == 16);

void PrefixAnonymizer::anonymize(const Ipv6Address* addresses, std::size_t count, Ipv6Address* images) const noexcept {
    if (const auto* kernels = activeKernels()) {
        kernels->anonymize6(cipher.roundKey(0), pad, reinterpret_cast<const std::uint8_t*>(addresses), count,
                            reinterpret_cast<std::uint8_t*>(images));
        return;
    }
    for (std::size_t i = 0; i < count; ++i) portableAnonymize(addresses[i].bytes, images[i].bytes);
}

void PrefixAnonymizer::deanonymize(const Ipv6Address* images, std::size_t count, Ipv6Address* addresses) const noexcept {
    if (const auto* kernels = activeKernels()) {
        revealStaged(
            *kernels, cipher.roundKey(0), pad, count, 128,
            [images](std::size_t i, std::uint8_t* block) { std::memcpy(block, images[i].bytes, 16); },
            [addresses](std::size_t i, const std::uint8_t* block) { std::memcpy(addresses[i].bytes, block, 16); });
        return;
    }
    for (std::size_t i = 0; i < count; ++i) portableDeanonymize(images[i].bytes, addresses[i].bytes);
}

}  // namespace ipveil
