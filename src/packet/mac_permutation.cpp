// MacPermutation: a Feistel network for whole MACs, one batched AES call per
// round; a prefix-preserving map for MACs cut short.
#include "mac_permutation.h"

#include <cstring>

namespace ipveil::packet {

namespace {

constexpr std::uint64_t FlagBits = 0x030000000000ull;  // I/G and U/L, the low bits of the first octet
constexpr std::uint32_t HalfMask = (1u << 23) - 1;
constexpr std::size_t Chunk = 128;

// The 46 bits other than the flags, first octet's top six bits first.
std::uint64_t permutedBits(std::uint64_t mac) noexcept { return ((mac >> 42) & 0x3F) << 40 | (mac & 0xFFFFFFFFFFull); }

std::uint64_t withFlags(std::uint64_t bits46, std::uint64_t mac) noexcept {
    return ((bits46 >> 40) & 0x3F) << 42 | (mac & FlagBits) | (bits46 & 0xFFFFFFFFFFull);
}

// The leading `present` bytes of a MAC.
std::uint64_t leading(std::uint64_t mac, std::size_t present) noexcept {
    return mac & (MacPermutation::Broadcast << (48 - 8 * present)) & MacPermutation::Broadcast;
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

// Four blocks derived from the address key: AES, under its AES part, of fixed
// constants XORed with its seed, so the whole key decides them. Blocks 0-1 key
// the permutation of cut MACs, block 2 the Feistel rounds, block 3 their pad.
struct DerivedKeys {
    std::uint8_t bytes[64];
    explicit DerivedKeys(const std::uint8_t* key) noexcept {
        static const char constants[65] = "ipveil mac key 0ipveil mac pad 1ipveil mac rnd 2ipveil mac pad 3";
        std::uint8_t blocks[64];
        for (int i = 0; i < 64; ++i)
            blocks[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(constants[i]) ^ key[16 + i % 16]);
        AesCipher cipher;
        cipher.setup(ECB, Encrypt, key, Bits128);
        cipher.encryptBlocks(blocks, 512, bytes);
        std::memset(blocks, 0, sizeof blocks);
    }
    ~DerivedKeys() { std::memset(bytes, 0, sizeof bytes); }
};

}  // namespace

MacPermutation::MacPermutation(const std::uint8_t* key) noexcept
    : MacPermutation(DerivedKeys(key).bytes, FromDerivedKeys{}) {}

MacPermutation::MacPermutation(const std::uint8_t* derived, FromDerivedKeys) noexcept : cutPermutation(derived) {
    roundCipher.setup(ECB, Encrypt, derived + 32, Bits128);
    std::memcpy(roundPad, derived + 48, 16);
    broadcastImage[0] = broadcastOriginal[0] = 0;
    for (std::size_t n = 1; n < 6; ++n) {
        std::uint64_t ones = leading(Broadcast, n);
        broadcastImage[n] =
            leading(withFlags(fromBlock(cutPermutation.anonymize(toBlock(permutedBits(ones)))), ones), n);
        broadcastOriginal[n] =
            leading(withFlags(fromBlock(cutPermutation.deanonymize(toBlock(permutedBits(ones)))), ones), n);
    }
    feistel(&Broadcast, 1, &broadcastImage[6], false);
    feistel(&Broadcast, 1, &broadcastOriginal[6], true);
}

void MacPermutation::feistel(const std::uint64_t* in, std::size_t n, std::uint64_t* out, bool reveal) const noexcept {
    std::uint32_t left[Chunk], right[Chunk];
    std::uint64_t flags[Chunk];
    // The blocks' last eight bytes are the pad's for every round; the first
    // eight are written as one word a round, so that the cipher's loads find
    // them whole.
    alignas(64) std::uint8_t blocks[Chunk * 16];
    alignas(64) std::uint8_t outputs[Chunk * 16];
    std::uint64_t head = 0;
    for (int i = 0; i < 8; ++i) head = head << 8 | roundPad[i];
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits = permutedBits(in[i]);
        left[i] = static_cast<std::uint32_t>(bits >> 23) & HalfMask;
        right[i] = static_cast<std::uint32_t>(bits) & HalfMask;
        flags[i] = ((in[i] & FlagBits) >> 40) << 48;
        std::memcpy(blocks + 16 * i + 8, roundPad + 8, 8);
    }
    // Forward: (L, R) -> (R, L ^ F(R)), rounds 0 to 7. Back: (L, R) -> (R ^ F(L), L), rounds 7 to 0. The
    // blocks of the next round are written as this one's results come out.
    auto roundWord = [&](int step) noexcept { return std::uint64_t(reveal ? Rounds - 1 - step : step) << 56 ^ head; };
    auto put = [&](std::size_t i, std::uint64_t word, std::uint32_t half) noexcept {
        word ^= flags[i] | std::uint64_t(half) << 24;
        std::uint8_t bytes[8];
        for (int k = 0; k < 8; ++k) bytes[k] = static_cast<std::uint8_t>(word >> (56 - 8 * k));
        std::memcpy(blocks + 16 * i, bytes, 8);
    };
    std::uint64_t word = roundWord(0);
    for (std::size_t i = 0; i < n; ++i) put(i, word, reveal ? left[i] : right[i]);
    for (int step = 0; step < Rounds; ++step) {
        roundCipher.encryptBlocks(blocks, static_cast<int>(128 * n), outputs);
        bool more = step + 1 < Rounds;
        word = roundWord(step + 1);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* b = outputs + 16 * i;
            std::uint32_t f = (std::uint32_t(b[0]) << 15 | std::uint32_t(b[1]) << 7 | b[2] >> 1) & HalfMask;
            std::uint32_t next;
            if (reveal) {
                next = right[i] ^ f;
                right[i] = left[i];
                left[i] = next;
            } else {
                next = left[i] ^ f;
                left[i] = right[i];
                right[i] = next;
            }
            if (more) put(i, word, next);
        }
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = withFlags(std::uint64_t(left[i]) << 23 | right[i], in[i] & Broadcast);
}

std::uint64_t MacPermutation::cutMac(std::uint64_t mac, std::size_t present, bool reveal) const noexcept {
    mac = leading(mac, present);
    std::uint64_t ones = leading(Broadcast, present);
    if (mac == ones) return ones;
    Ipv6Address block = toBlock(permutedBits(mac));
    block = reveal ? cutPermutation.deanonymize(block) : cutPermutation.anonymize(block);
    std::uint64_t image = leading(withFlags(fromBlock(block), mac), present);
    if (image == ones) image = reveal ? broadcastOriginal[present] : broadcastImage[present];
    return image;
}

void MacPermutation::map(const std::uint64_t* in, std::size_t count, std::uint64_t* out, const std::uint8_t* present,
                         bool reveal) const noexcept {
    std::uint64_t whole[Chunk], images[Chunk];
    std::size_t at[Chunk];
    for (std::size_t base = 0; base < count; base += Chunk) {
        std::size_t n = count - base < Chunk ? count - base : Chunk;
        std::size_t m = 0;
        for (std::size_t i = base; i < base + n; ++i) {
            std::size_t bytes = present == nullptr || present[i] == 0 || present[i] > 6 ? 6 : present[i];
            if (bytes < 6) {
                out[i] = cutMac(in[i], bytes, reveal);
            } else {
                at[m] = i;
                whole[m++] = in[i] & Broadcast;
            }
        }
        feistel(whole, m, images, reveal);
        for (std::size_t j = 0; j < m; ++j) {
            std::uint64_t image = images[j];
            // Cycle walking: the broadcast is its own image, and what would map to it takes its image.
            if (whole[j] == Broadcast)
                image = Broadcast;
            else if (image == Broadcast)
                image = reveal ? broadcastOriginal[6] : broadcastImage[6];
            out[at[j]] = image;
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
