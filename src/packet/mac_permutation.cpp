// MacPermutation: the 46 permuted bits travel at the top of an IPv6-sized
// block through a PrefixAnonymizer keyed apart from the address mapping.
#include "mac_permutation.h"

#include <cstring>

#include "aes_cipher.h"

namespace ipveil::packet {

namespace {

constexpr std::uint64_t FlagBits = 0x030000000000ull;  // I/G and U/L, the low bits of the first octet
constexpr std::size_t Chunk = 64;

// The 46 bits other than the flags, first octet's top six bits first.
std::uint64_t permutedBits(std::uint64_t mac) noexcept {
    return ((mac >> 42) & 0x3F) << 40 | (mac & 0xFFFFFFFFFFull);
}

std::uint64_t withFlags(std::uint64_t bits46, std::uint64_t mac) noexcept {
    return ((bits46 >> 40) & 0x3F) << 42 | (mac & FlagBits) | (bits46 & 0xFFFFFFFFFFull);
}

Ipv6Address toBlock(std::uint64_t bits46) noexcept {
    Ipv6Address block{};
    std::uint64_t top = bits46 << 18;
    for (int i = 0; i < 8; ++i) block.bytes[i] = static_cast<std::uint8_t>(top >> (56 - 8 * i));
    return block;
}

std::uint64_t fromBlock(const Ipv6Address& block) noexcept {
    std::uint64_t top = 0;
    for (int i = 0; i < 8; ++i) top = top << 8 | block.bytes[i];
    return top >> 18;
}

// The permutation's own 32-byte key: AES, under the address key's AES part,
// of two fixed blocks each XORed with the address key's seed.
struct DerivedKey {
    std::uint8_t bytes[PrefixAnonymizer::KeyBytes];
    explicit DerivedKey(const std::uint8_t* key) noexcept {
        static const std::uint8_t constants[32] = {'i', 'p', 'v', 'e', 'i', 'l', ' ', 'm', 'a', 'c', ' ',
                                                   'k', 'e', 'y', ' ', '0', 'i', 'p', 'v', 'e', 'i', 'l',
                                                   ' ', 'm', 'a', 'c', ' ', 'p', 'a', 'd', ' ', '1'};
        // The seed half enters the blocks, so the whole key decides the permutation.
        std::uint8_t blocks[32];
        for (int i = 0; i < 32; ++i) blocks[i] = static_cast<std::uint8_t>(constants[i] ^ key[16 + i % 16]);
        AesCipher cipher;
        cipher.setup(ECB, Encrypt, key, Bits128);
        cipher.encryptBlocks(blocks, 256, bytes);
        std::memset(blocks, 0, sizeof blocks);
    }
    ~DerivedKey() { std::memset(bytes, 0, sizeof bytes); }
};

// The leading `present` bytes of a MAC.
std::uint64_t leading(std::uint64_t mac, std::size_t present) noexcept {
    return mac & (MacPermutation::Broadcast << (48 - 8 * present)) & MacPermutation::Broadcast;
}

}  // namespace

MacPermutation::MacPermutation(const std::uint8_t* key) noexcept : permutation(DerivedKey(key).bytes) {
    broadcastImage[0] = broadcastOriginal[0] = 0;
    for (std::size_t n = 1; n <= 6; ++n) {
        std::uint64_t ones = leading(Broadcast, n);
        std::uint64_t image = withFlags(fromBlock(permutation.anonymize(toBlock(permutedBits(ones)))), ones);
        std::uint64_t original = withFlags(fromBlock(permutation.deanonymize(toBlock(permutedBits(ones)))), ones);
        broadcastImage[n] = leading(image, n);
        broadcastOriginal[n] = leading(original, n);
    }
}

void MacPermutation::map(const std::uint64_t* in, std::size_t count, std::uint64_t* out, const std::uint8_t* present,
                         bool reveal) const noexcept {
    Ipv6Address blocks[Chunk];
    for (std::size_t base = 0; base < count; base += Chunk) {
        std::size_t n = count - base < Chunk ? count - base : Chunk;
        for (std::size_t i = 0; i < n; ++i) blocks[i] = toBlock(permutedBits(in[base + i]));
        if (reveal)
            permutation.deanonymize(blocks, n, blocks);
        else
            permutation.anonymize(blocks, n, blocks);
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t bytes = present == nullptr ? 6 : present[base + i];
            if (bytes == 0 || bytes > 6) bytes = 6;
            std::uint64_t mac = leading(in[base + i], bytes);
            std::uint64_t image = leading(withFlags(fromBlock(blocks[i]), mac), bytes);
            std::uint64_t ones = leading(Broadcast, bytes);
            // Cycle walking at the length present: the broadcast (or its leading bytes) is its own image.
            if (mac == ones)
                image = ones;
            else if (image == ones)
                image = reveal ? broadcastOriginal[bytes] : broadcastImage[bytes];
            out[base + i] = image;
        }
    }
}

std::uint64_t MacPermutation::anonymize(std::uint64_t mac) const noexcept {
    std::uint64_t image;
    map(&mac, 1, &image, nullptr, false);
    return image;
}

std::uint64_t MacPermutation::deanonymize(std::uint64_t image) const noexcept {
    std::uint64_t mac;
    map(&image, 1, &mac, nullptr, true);
    return mac;
}

void MacPermutation::anonymize(const std::uint64_t* macs, std::size_t count, std::uint64_t* images,
                               const std::uint8_t* present) const noexcept {
    map(macs, count, images, present, false);
}

void MacPermutation::deanonymize(const std::uint64_t* images, std::size_t count, std::uint64_t* macs,
                                 const std::uint8_t* present) const noexcept {
    map(images, count, macs, present, true);
}

std::uint64_t MacPermutation::fromBytes(const std::uint8_t* bytes, std::size_t present) noexcept {
    std::uint64_t mac = 0;
    for (std::size_t i = 0; i < 6; ++i) mac = mac << 8 | (i < present ? bytes[i] : 0);
    return mac;
}

void MacPermutation::toBytes(std::uint64_t mac, std::uint8_t* bytes) noexcept {
    for (int i = 0; i < 6; ++i) bytes[i] = static_cast<std::uint8_t>(mac >> (40 - 8 * i));
}

}  // namespace ipveil::packet
