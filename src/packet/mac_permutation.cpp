// MacPermutation: a Feistel network for whole MACs, one batched AES call per
// round; a prefix-preserving map for MACs cut short.
#include "mac_permutation.h"

#include <bit>
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

namespace {

// The first eight bytes of a block from a word, most significant byte first,
// and the first four bytes of a block as a big-endian word.
void storeHead(std::uint64_t* block, std::uint64_t word) noexcept {
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    std::memcpy(block, &word, 8);
}

std::uint32_t loadHead32(const std::uint64_t* block) noexcept {
    std::uint32_t word;
    std::memcpy(&word, block, 4);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    return word;
}

}  // namespace

// The rounds' bookkeeping is plain loops over arrays, which a wider vector
// unit runs several MACs at a time.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
__attribute__((target_clones("arch=x86-64-v4", "default")))
#endif
void MacPermutation::feistel(const std::uint64_t* in, std::size_t n, std::uint64_t* out, bool reveal) const noexcept {
    // Both ways a round is (x, y) -> (y ^ F(x), x), x the half that goes into
    // the round function: forward x is R and y is L, rounds 0 to 7; back x is
    // L and y is R, rounds 7 to 0. Each pass takes the round's results and
    // writes the next round's blocks, over contiguous arrays.
    std::uint32_t x[Chunk], y[Chunk];
    std::uint64_t flags[Chunk];
    // The blocks' last eight bytes are the pad's for every round; the first
    // eight are the round, the flags and x, written as one word.
    alignas(64) std::uint64_t blocks[Chunk * 2];
    alignas(64) std::uint64_t outputs[Chunk * 2];
    std::uint64_t head = 0, tail;
    for (int i = 0; i < 8; ++i) head = head << 8 | roundPad[i];
    std::memcpy(&tail, roundPad + 8, 8);
    auto roundWord = [&](int step) noexcept { return std::uint64_t(reveal ? Rounds - 1 - step : step) << 56 ^ head; };
    std::uint64_t word = roundWord(0);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits = permutedBits(in[i]);
        std::uint32_t left = static_cast<std::uint32_t>(bits >> 23) & HalfMask;
        std::uint32_t right = static_cast<std::uint32_t>(bits) & HalfMask;
        x[i] = reveal ? left : right;
        y[i] = reveal ? right : left;
        flags[i] = ((in[i] & FlagBits) >> 40) << 48;
        storeHead(blocks + 2 * i, word ^ flags[i] ^ std::uint64_t(x[i]) << 24);
        blocks[2 * i + 1] = tail;
    }
    for (int step = 0; step < Rounds; ++step) {
        roundCipher.encryptBlocks(reinterpret_cast<const std::uint8_t*>(blocks), static_cast<int>(128 * n),
                                  reinterpret_cast<std::uint8_t*>(outputs));
        word = roundWord(step + 1);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t next = y[i] ^ (loadHead32(outputs + 2 * i) >> 9);
            y[i] = x[i];
            x[i] = next;
            storeHead(blocks + 2 * i, word ^ flags[i] ^ std::uint64_t(next) << 24);
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t left = reveal ? x[i] : y[i];
        std::uint32_t right = reveal ? y[i] : x[i];
        out[i] = withFlags(std::uint64_t(left) << 23 | right, in[i] & Broadcast);
    }
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

std::uint64_t MacPermutation::linkImage(std::uint64_t left, std::uint64_t mask, bool reveal) const noexcept {
    // As for a cut MAC: the first octet's top six bits, then the other octets, from the top of the block.
    constexpr std::uint64_t Flags = 3ull << 56;
    const std::uint64_t packedMask = mask << 2;
    const std::uint64_t packed = ((left >> 58) << 58 | (left << 8) >> 6) & packedMask;
    Ipv6Address block{};
    for (int i = 0; i < 8; ++i) block.bytes[i] = static_cast<std::uint8_t>(packed >> (56 - 8 * i));
    block = reveal ? cutPermutation.deanonymize(block) : cutPermutation.anonymize(block);
    std::uint64_t image = 0;
    for (int i = 0; i < 8; ++i) image = image << 8 | block.bytes[i];
    image &= packedMask;
    return ((image >> 58) << 58 | (left & Flags) | (image << 6) >> 8) & mask;
}

std::uint64_t MacPermutation::linkAddress(std::uint64_t address, std::size_t bytes, bool reveal) const noexcept {
    const unsigned shift = 64 - 8 * static_cast<unsigned>(bytes);
    const std::uint64_t mask = ~0ull << shift;
    const std::uint64_t left = (address << shift) & mask;
    if (left == mask) return address;
    // Cycle walking keeps all ones its own image, as for the broadcast.
    std::uint64_t image = linkImage(left, mask, reveal);
    if (image == mask) image = linkImage(mask, mask, reveal);
    return image >> shift;
}

// After the rounds: a use before their definition would keep them from
// being built for several instruction sets.
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

}  // namespace ipveil::packet
