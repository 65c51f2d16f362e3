#include "prefix_anonymizer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "cpu_features.h"
#include "policy_masks.h"
#include "prefix_kernels.h"

namespace ipveil {

namespace anonymizer_detail {

__extension__ typedef unsigned __int128 Uint128;

// One rule's terms over 128 bits: ((address ^ prefix) & mask) | low.
struct Rule6 {
    Uint128 prefix;
    Uint128 mask;
    Uint128 low;
};

struct CompiledPolicy {
    std::vector<std::uint32_t> lowPrefix4, low4, maskPrefix4, mask4, onlyPrefix4, onlyMask4;
    std::vector<Rule6> rules6;
    std::vector<Rule6> only6;  // prefix and mask
    // The same IPv6 rules in the AVX2 pass's lists (policy_masks.h).
    std::vector<std::uint64_t> orPrefix6, orLow6, maskPrefix6, mask6, maskLow6, zeroPrefix6, zeroMask6, lowPrefix6,
        lowMask6, lowLow6, onlyPrefix6, onlyMask6;
    std::vector<std::size_t> groupEnd6;
    std::vector<std::uint32_t> shortPrefix6, shortMask6, shortLow6;
    // `only` rules of the other family alone: every address of this one lies
    // outside them all, and is kept.
    bool keepAll4 = false;
    bool keepAll6 = false;
    std::uint32_t truncate4 = ~0u;
    Uint128 truncate6 = ~Uint128{0};
    bool reversible = true;

    ForcedRules4 rules4() const noexcept {
        return {lowPrefix4.data(), low4.data(),      lowPrefix4.size(), maskPrefix4.data(), mask4.data(),
                maskPrefix4.size(), onlyPrefix4.data(), onlyMask4.data(), onlyPrefix4.size()};
    }
    ForcedRules6 rules6View() const noexcept {
        return {shortPrefix6.data(), shortMask6.data(), shortLow6.data(), shortPrefix6.size(),
                orPrefix6.data(),   orLow6.data(),      orPrefix6.size(),  maskPrefix6.data(), mask6.data(),
                maskLow6.data(),    maskPrefix6.size(), zeroPrefix6.data(), zeroMask6.data(), groupEnd6.data(),
                groupEnd6.size(),   lowPrefix6.data(),  lowMask6.data(),   lowLow6.data(),    onlyPrefix6.data(),
                onlyMask6.data(),   onlyPrefix6.size() / 2};
    }
};

}  // namespace anonymizer_detail

namespace {

using anonymizer_detail::CompiledPolicy;
using anonymizer_detail::Rule6;
using anonymizer_detail::Uint128;

template <typename Word>
constexpr Word topBits(int count) noexcept {
    constexpr int Width = 8 * sizeof(Word);
    return count <= 0 ? Word{0} : ~Word{0} << (Width - count);
}

template <typename Word>
constexpr Word bitAt(int pos) noexcept {  // pos from the top
    return Word{1} << (8 * sizeof(Word) - 1 - static_cast<unsigned>(pos));
}

template <typename Word>
Word wordOf(const PolicyPrefix& prefix) noexcept {
    Word word = 0;
    for (std::size_t b = 0; b < sizeof(Word); ++b) word = word << 8 | prefix.bytes[b];
    return word;
}

Uint128 load128(const std::uint8_t* bytes) noexcept {
    std::uint64_t high;
    std::uint64_t low;
    std::memcpy(&high, bytes, 8);
    std::memcpy(&low, bytes + 8, 8);
    return Uint128{__builtin_bswap64(high)} << 64 | __builtin_bswap64(low);
}

void store128(Uint128 value, std::uint8_t* bytes) noexcept {
    const std::uint64_t high = __builtin_bswap64(static_cast<std::uint64_t>(value >> 64));
    const std::uint64_t low = __builtin_bswap64(static_cast<std::uint64_t>(value));
    std::memcpy(bytes, &high, 8);
    std::memcpy(bytes + 8, &low, 8);
}

// ~(smear(m) >> 1): every bit down to m's highest set bit (all for m = 0).
template <typename Word>
Word forcedFromLeast(Word m) noexcept {
    for (unsigned shift = 1; shift < 8 * sizeof(Word); shift *= 2) m |= m >> shift;
    return ~(m >> 1);
}

// Whether a rule adds nothing to the others' forced flips: a `preserve` or
// `only` whose prefix holds another ruled prefix (whose path runs through
// it), or any rule inside a `keep`.
bool redundant(const PolicyRule& rule, const std::vector<PolicyRule>& rules) {
    const auto holds = [](const PolicyPrefix& outer, const PolicyPrefix& inner) {
        if (outer.ipv6 != inner.ipv6 || inner.length < outer.length || outer == inner) return false;
        for (int bit = 0; bit < outer.length; ++bit) {
            const int mask = 0x80 >> (bit % 8);
            if ((inner.bytes[bit / 8] & mask) != (outer.bytes[bit / 8] & mask)) return false;
        }
        return true;
    };
    for (const PolicyRule& other : rules) {
        if (other.action == PolicyAction::Keep && holds(other.prefix, rule.prefix)) return true;
        if (rule.action != PolicyAction::Keep && rule.depth == rule.prefix.length && holds(rule.prefix, other.prefix)) {
            return true;
        }
    }
    return false;
}

// Constants giving ((a ^ prefix) & mask) | low with its top bit flipped, for
// every a: the AVX2 pass compares terms as signed numbers.
struct Terms64 {
    std::uint64_t prefix;
    std::uint64_t mask;
    std::uint64_t low;
};

Terms64 flippedTerms(std::uint64_t prefix, std::uint64_t mask, std::uint64_t low) noexcept {
    constexpr std::uint64_t Top = std::uint64_t{1} << 63;
    if (low & Top) return {prefix, mask & ~Top, low & ~Top};  // the term's top bit is always set
    if (mask & Top) return {prefix ^ Top, mask, low};        // the top bit is a's, against the prefix's
    return {prefix, mask, low ^ Top};                       // the top bit is always clear
}

// Adds the IPv6 rules to the AVX2 pass's lists: high terms once each, low
// terms grouped by their high-half test.
void addRules6(CompiledPolicy& policy) {
    const auto high = [](Uint128 x) { return static_cast<std::uint64_t>(x >> 64); };
    const auto low = [](Uint128 x) { return static_cast<std::uint64_t>(x); };
    std::vector<std::pair<Terms64, std::vector<Terms64>>> groups;
    for (const Rule6& rule : policy.rules6) {
        if (const auto shortLow = static_cast<std::uint32_t>(rule.low >> 96); shortLow != 0) {
            const auto shortPrefix = static_cast<std::uint32_t>(rule.prefix >> 96);
            const auto shortMask = static_cast<std::uint32_t>(rule.mask >> 96);
            bool listed = false;
            for (std::size_t i = 0; i < policy.shortPrefix6.size(); ++i) {
                listed = listed || (policy.shortPrefix6[i] == shortPrefix && policy.shortMask6[i] == shortMask &&
                                    policy.shortLow6[i] == shortLow);
            }
            if (!listed) {
                policy.shortPrefix6.push_back(shortPrefix);
                policy.shortMask6.push_back(shortMask);
                policy.shortLow6.push_back(shortLow);
            }
            continue;
        }
        const Terms64 h = flippedTerms(high(rule.prefix), high(rule.mask), high(rule.low));
        const bool orRule = h.mask == ~std::uint64_t{0};
        auto& prefixes = orRule ? policy.orPrefix6 : policy.maskPrefix6;
        bool listed = false;
        for (std::size_t i = 0; i < prefixes.size(); ++i) {
            listed = listed || (orRule ? policy.orPrefix6[i] == h.prefix && policy.orLow6[i] == h.low
                                       : policy.maskPrefix6[i] == h.prefix && policy.mask6[i] == h.mask &&
                                             policy.maskLow6[i] == h.low);
        }
        if (!listed && orRule) {
            policy.orPrefix6.push_back(h.prefix);
            policy.orLow6.push_back(h.low);
        } else if (!listed) {
            policy.maskPrefix6.push_back(h.prefix);
            policy.mask6.push_back(h.mask);
            policy.maskLow6.push_back(h.low);
        }
        if (high(rule.low) != 0) continue;  // its high term is never zero
        const Terms64 test{high(rule.prefix), high(rule.mask), 0};
        const auto same = [&test](const auto& group) {
            return group.first.prefix == test.prefix && group.first.mask == test.mask;
        };
        auto group = std::find_if(groups.begin(), groups.end(), same);
        if (group == groups.end()) group = groups.insert(groups.end(), {test, {}});
        group->second.push_back(flippedTerms(low(rule.prefix), low(rule.mask), low(rule.low)));
    }
    for (const auto& [test, terms] : groups) {
        policy.zeroPrefix6.push_back(test.prefix);
        policy.zeroMask6.push_back(test.mask);
        for (const Terms64& term : terms) {
            policy.lowPrefix6.push_back(term.prefix);
            policy.lowMask6.push_back(term.mask);
            policy.lowLow6.push_back(term.low);
        }
        policy.groupEnd6.push_back(policy.lowPrefix6.size());
    }
}

std::shared_ptr<const CompiledPolicy> compile(const AddressPolicy& source) {
    if (source.empty()) return nullptr;
    auto policy = std::make_shared<CompiledPolicy>();
    const auto& rules = source.rules();
    bool only[2] = {false, false};
    for (const PolicyRule& rule : rules) {
        if (rule.action == PolicyAction::Only) only[rule.prefix.ipv6] = true;
    }
    policy->keepAll4 = only[1] && !only[0];
    policy->keepAll6 = only[0] && !only[1];
    for (const PolicyRule& rule : rules) {
        const PolicyPrefix& prefix = rule.prefix;
        const bool keep = rule.action == PolicyAction::Keep;
        if (rule.action == PolicyAction::Only && prefix.length > 0) {
            if (prefix.ipv6) {
                policy->only6.push_back({wordOf<Uint128>(prefix), topBits<Uint128>(prefix.length), 0});
                for (const Uint128 word : {policy->only6.back().prefix, policy->only6.back().mask}) {
                    auto& list = word == policy->only6.back().prefix ? policy->onlyPrefix6 : policy->onlyMask6;
                    list.push_back(static_cast<std::uint64_t>(word >> 64));
                    list.push_back(static_cast<std::uint64_t>(word));
                }
            } else {
                policy->onlyPrefix4.push_back(wordOf<std::uint32_t>(prefix));
                policy->onlyMask4.push_back(topBits<std::uint32_t>(prefix.length));
            }
        }
        // A rule on the whole space has no path; only `keep` of it forces flips.
        if ((!keep && rule.depth == 0) || redundant(rule, rules)) continue;
        if (prefix.ipv6) {
            // A `preserve` needs no mask: below its low bit nothing changes
            // where the least term's highest bit lies.
            const bool plain = !keep && rule.depth == prefix.length;
            policy->rules6.push_back({wordOf<Uint128>(prefix), plain ? ~Uint128{0} : topBits<Uint128>(prefix.length),
                                      keep ? Uint128{0} : bitAt<Uint128>(rule.depth - 1)});
        } else if (!keep && rule.depth == prefix.length) {
            policy->lowPrefix4.push_back(wordOf<std::uint32_t>(prefix));
            policy->low4.push_back(bitAt<std::uint32_t>(rule.depth - 1));
        } else {  // a `keep`: an IPv4 rule keeps its prefix's length or the whole address
            policy->maskPrefix4.push_back(wordOf<std::uint32_t>(prefix));
            policy->mask4.push_back(topBits<std::uint32_t>(prefix.length));
        }
    }
    addRules6(*policy);
    policy->truncate4 = topBits<std::uint32_t>(source.truncate4());
    policy->truncate6 = topBits<Uint128>(source.truncate6());
    policy->reversible = source.reversible();
    return policy;
}

std::uint32_t forced4(const CompiledPolicy& policy, std::uint32_t address) noexcept {
    if (policy.keepAll4) return ~0u;
    if (policy.lowPrefix4.empty() && policy.maskPrefix4.empty()) return 0;
    std::uint32_t m = ~0u;
    for (std::size_t r = 0; r < policy.lowPrefix4.size(); ++r) {
        m = std::min(m, (address ^ policy.lowPrefix4[r]) | policy.low4[r]);
    }
    for (std::size_t r = 0; r < policy.maskPrefix4.size(); ++r) {
        m = std::min(m, (address ^ policy.maskPrefix4[r]) & policy.mask4[r]);
    }
    if (!policy.onlyPrefix4.empty()) {
        std::uint32_t inside = 0;
        for (std::size_t r = 0; r < policy.onlyPrefix4.size(); ++r) {
            inside |= ((address ^ policy.onlyPrefix4[r]) & policy.onlyMask4[r]) == 0;
        }
        m &= 0u - inside;
    }
    return forcedFromLeast(m);
}

Uint128 forced6(const CompiledPolicy& policy, Uint128 address) noexcept {
    if (policy.keepAll6) return ~Uint128{0};
    if (policy.rules6.empty()) return 0;
    Uint128 m = ~Uint128{0};
    for (const Rule6& rule : policy.rules6) {
        const Uint128 x = ((address ^ rule.prefix) & rule.mask) | rule.low;
        m = x < m ? x : m;
    }
    if (!policy.only6.empty()) {
        Uint128 inside = 0;
        for (const Rule6& rule : policy.only6) inside |= ((address ^ rule.prefix) & rule.mask) == 0;
        m &= Uint128{0} - inside;
    }
    return forcedFromLeast(m);
}

#if IPVEIL_X86_AES
enum class PolicyPass { Scalar, Avx2, Avx512 };

// The pass the policy uses, as wide as the AES path: AVX-512 (F, VL, CD)
// beside the 512-bit VAES path, AVX2 beside the others (every VAES CPU has
// AVX2, and most AES-NI ones since 2013). The portable path keeps the scalar
// passes. So the tests, run over every AES path, run every pass.
PolicyPass policyPass() noexcept {
    const CpuFeatures& cpu = cpuFeatures();
    const PolicyPass widest = cpu.avx512 && cpu.avx512Cd ? PolicyPass::Avx512
                              : cpu.avx2                 ? PolicyPass::Avx2
                                                         : PolicyPass::Scalar;
    switch (activeAesImplementation()) {
        case AesImplementation::Portable: return PolicyPass::Scalar;
        case AesImplementation::Vaes512: return widest;
        default: return widest == PolicyPass::Avx512 ? PolicyPass::Avx2 : widest;
    }
}

bool avx2Passes() noexcept { return policyPass() != PolicyPass::Scalar; }
#else
bool avx2Passes() noexcept { return false; }
#endif

// Forced masks for IPv4 addresses, and the address bits they keep.
void forcedMasks4(const CompiledPolicy& policy, const std::uint32_t* addresses, std::size_t count,
                  std::uint32_t* forced, std::uint32_t* kept) noexcept {
#if IPVEIL_X86_AES
    if (policyPass() == PolicyPass::Avx512 && !policy.keepAll4) {
        anonymizer_detail::forcedMasks4Avx512(policy.rules4(), addresses, count, forced, kept);
        return;
    }
    if (policyPass() == PolicyPass::Avx2 && !policy.keepAll4) {
        anonymizer_detail::forcedMasks4Avx2(policy.rules4(), addresses, count, forced, kept);
        return;
    }
#endif
    for (std::size_t i = 0; i < count; ++i) {
        forced[i] = forced4(policy, addresses[i]);
        kept[i] = addresses[i] & forced[i];
    }
}

// images = (kept | (images & ~forced)) & truncate, truncate's 32 bytes
// repeating.
void applyForced(const std::uint8_t* kept, const std::uint8_t* forced, const std::uint8_t* truncate,
                 std::size_t bytes, std::uint8_t* images) noexcept {
#if IPVEIL_X86_AES
    if (avx2Passes()) {
        anonymizer_detail::applyForcedAvx2(kept, forced, truncate, bytes, images);
        return;
    }
#endif
    for (std::size_t i = 0; i < bytes; ++i) {
        images[i] = static_cast<std::uint8_t>((kept[i] | (images[i] & ~forced[i])) & truncate[i % 32]);
    }
}

// The same for IPv6, as 16 bytes in network order.
void forcedMasks6(const CompiledPolicy& policy, const Ipv6Address* addresses, std::size_t count,
                  Ipv6Address* forced, Ipv6Address* kept) noexcept {
#if IPVEIL_X86_AES
    if (policyPass() == PolicyPass::Avx512 && !policy.keepAll6) {
        anonymizer_detail::forcedMasks6Avx512(policy.rules6View(), addresses[0].bytes, count, forced[0].bytes,
                                              kept[0].bytes);
        return;
    }
    if (policyPass() == PolicyPass::Avx2 && !policy.keepAll6) {
        anonymizer_detail::forcedMasks6Avx2(policy.rules6View(), addresses[0].bytes, count, forced[0].bytes,
                                            kept[0].bytes);
        return;
    }
#endif
    for (std::size_t i = 0; i < count; ++i) {
        const Uint128 address = load128(addresses[i].bytes);
        const Uint128 mask = forced6(policy, address);
        store128(mask, forced[i].bytes);
        store128(address & mask, kept[i].bytes);
    }
}

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
// stage(i, block, forced) writes address i's image as a block, and with a
// policy (held) the flips it forces as a block beside it; unstage(i, block)
// takes its original back.
template <typename Stage, typename Unstage>
void revealStaged(const anonymizer_detail::PrefixKernels& kernels, const std::uint8_t* roundKeys,
                  const std::uint8_t* pad, std::size_t count, int bits, bool held, Stage stage,
                  Unstage unstage) noexcept {
    using anonymizer_detail::RevealChunk;
    alignas(64) std::uint8_t blocks[anonymizer_detail::RevealBufferBlocks][16];
    alignas(64) std::uint8_t forced[anonymizer_detail::RevealBufferBlocks][16];
    for (std::size_t first = 0; first < count; first += RevealChunk) {
        const std::size_t n = count - first < RevealChunk ? count - first : RevealChunk;
        std::memset(blocks, 0, sizeof blocks);
        if (held) std::memset(forced, 0, sizeof forced);
        for (std::size_t k = 0; k < n; ++k) stage(first + k, blocks[k], forced[k]);
        kernels.revealBlocks(roundKeys, pad, blocks[0], held ? forced[0] : nullptr, n, bits);
        for (std::size_t k = 0; k < n; ++k) unstage(first + k, blocks[k]);
    }
}

}  // namespace

PrefixAnonymizer::PrefixAnonymizer(const std::uint8_t* key) noexcept {
    std::memcpy(cipherKey, key, sizeof cipherKey);
    cipher.setup(ECB, Encrypt, key, Bits128);
    cipher.encryptBlocks(key + 16, 128, pad);
}

PrefixAnonymizer::PrefixAnonymizer(const std::uint8_t* key, const AddressPolicy& policy)
    : PrefixAnonymizer(key) {
    this->policy = compile(policy);
}

bool PrefixAnonymizer::reversible() const noexcept { return !policy || policy->reversible; }

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

std::uint32_t PrefixAnonymizer::portableDeanonymize(std::uint32_t anonymized, std::uint32_t forced) const noexcept {
    std::uint32_t orig = 0;
    std::uint8_t block[16];
    for (int pos = 0; pos < 32; ++pos) {
        // Bits below pos of orig are still zero, and prefixBlock reads only
        // the bits above.
        prefixBlock(orig, pos, block);
        cipher.encryptBlocks(block, 128, block);
        const std::uint32_t bit = 0x80000000u >> pos;
        const std::uint32_t flip = (block[0] & 0x80) != 0 ? bit & ~forced : 0;
        orig |= (anonymized ^ flip) & bit;
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

// With a policy, chunk by chunk: the forced flips and the bits they keep are
// taken before the images are written (which may be over the addresses).
constexpr std::size_t PolicyChunk = 256;

void PrefixAnonymizer::anonymize(const std::uint32_t* addresses, std::size_t count,
                                 std::uint32_t* images) const noexcept {
    if (!policy) {
        flipAll(addresses, count, images);
        return;
    }
    std::uint32_t forced[PolicyChunk];
    std::uint32_t kept[PolicyChunk];
    std::uint32_t truncate[8];
    std::fill(truncate, truncate + 8, policy->truncate4);  // the same in either byte order
    for (std::size_t first = 0; first < count; first += PolicyChunk) {
        const std::size_t n = std::min(count - first, PolicyChunk);
        forcedMasks4(*policy, addresses + first, n, forced, kept);
        flipAll(addresses + first, n, images + first);
        applyForced(reinterpret_cast<const std::uint8_t*>(kept), reinterpret_cast<const std::uint8_t*>(forced),
                    reinterpret_cast<const std::uint8_t*>(truncate), 4 * n,
                    reinterpret_cast<std::uint8_t*>(images + first));
    }
}

void PrefixAnonymizer::flipAll(const std::uint32_t* addresses, std::size_t count,
                               std::uint32_t* images) const noexcept {
    if (const auto* kernels = activeKernels()) {
        kernels->anonymize4(cipher.roundKey(0), pad, addresses, count, images);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) images[i] = portableAnonymize(addresses[i]);
}

void PrefixAnonymizer::deanonymize(const std::uint32_t* images, std::size_t count,
                                   std::uint32_t* addresses) const noexcept {
    if (!reversible()) {
        std::fill(addresses, addresses + count, 0u);
        return;
    }
    const CompiledPolicy* rules = policy.get();
    if (const auto* kernels = activeKernels()) {
        // All images are staged before any original is written, chunk by
        // chunk, so the arrays may be the same.
        revealStaged(
            *kernels, cipher.roundKey(0), pad, count, 32, rules != nullptr,
            [images, rules](std::size_t i, std::uint8_t* block, std::uint8_t* forced) {
                const std::uint32_t word = __builtin_bswap32(images[i]);  // big-endian, as in the block
                std::memcpy(block, &word, 4);
                if (rules) {
                    const std::uint32_t held = __builtin_bswap32(forced4(*rules, images[i]));
                    std::memcpy(forced, &held, 4);
                }
            },
            [addresses](std::size_t i, const std::uint8_t* block) {
                std::uint32_t word;
                std::memcpy(&word, block, 4);
                addresses[i] = __builtin_bswap32(word);
            });
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        addresses[i] = portableDeanonymize(images[i], rules ? forced4(*rules, images[i]) : 0);
    }
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

void PrefixAnonymizer::portableDeanonymize(const std::uint8_t* anonymized, const std::uint8_t* forced,
                                           std::uint8_t* address) const noexcept {
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
        orig[pos / 8] ^= static_cast<std::uint8_t>(((block[0] >> 7) << (7 - pos % 8)) & ~forced[pos / 8]);
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
    if (!policy) {
        flipAll(addresses, count, images);
        return;
    }
    Ipv6Address forced[PolicyChunk];
    Ipv6Address kept[PolicyChunk];
    std::uint8_t truncate[32];
    store128(policy->truncate6, truncate);
    store128(policy->truncate6, truncate + 16);
    for (std::size_t first = 0; first < count; first += PolicyChunk) {
        const std::size_t n = std::min(count - first, PolicyChunk);
        forcedMasks6(*policy, addresses + first, n, forced, kept);
        flipAll(addresses + first, n, images + first);
        applyForced(kept[0].bytes, forced[0].bytes, truncate, 16 * n, images[first].bytes);
    }
}

void PrefixAnonymizer::flipAll(const Ipv6Address* addresses, std::size_t count, Ipv6Address* images) const noexcept {
    if (const auto* kernels = activeKernels()) {
        kernels->anonymize6(cipher.roundKey(0), pad, reinterpret_cast<const std::uint8_t*>(addresses), count,
                            reinterpret_cast<std::uint8_t*>(images));
        return;
    }
    for (std::size_t i = 0; i < count; ++i) portableAnonymize(addresses[i].bytes, images[i].bytes);
}

void PrefixAnonymizer::deanonymize(const Ipv6Address* images, std::size_t count, Ipv6Address* addresses) const noexcept {
    if (!reversible()) {
        std::fill(addresses, addresses + count, Ipv6Address{});
        return;
    }
    const CompiledPolicy* rules = policy.get();
    if (const auto* kernels = activeKernels()) {
        revealStaged(
            *kernels, cipher.roundKey(0), pad, count, 128, rules != nullptr,
            [images, rules](std::size_t i, std::uint8_t* block, std::uint8_t* forced) {
                std::memcpy(block, images[i].bytes, 16);
                if (rules) store128(forced6(*rules, load128(images[i].bytes)), forced);
            },
            [addresses](std::size_t i, const std::uint8_t* block) { std::memcpy(addresses[i].bytes, block, 16); });
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t forced[16] = {};
        if (rules) store128(forced6(*rules, load128(images[i].bytes)), forced);
        portableDeanonymize(images[i].bytes, forced, addresses[i].bytes);
    }
}

namespace {

// Rekeys RevealChunk addresses at a time through a buffer of originals that
// is wiped afterwards.
template <typename Address>
bool rekeyThrough(const PrefixAnonymizer& source, const PrefixAnonymizer& target, const Address* images,
                  std::size_t count, Address* out) noexcept {
    if (!source.reversible()) return false;
    constexpr std::size_t Chunk = anonymizer_detail::RevealChunk;
    Address originals[Chunk];
    for (std::size_t first = 0; first < count; first += Chunk) {
        const std::size_t n = std::min(count - first, Chunk);
        source.deanonymize(images + first, n, originals);
        target.anonymize(originals, n, out + first);
    }
    // Through a volatile pointer, so that the stores are not dropped as dead.
    volatile unsigned char* bytes = reinterpret_cast<volatile unsigned char*>(originals);
    for (std::size_t i = 0; i < sizeof originals; ++i) bytes[i] = 0;
    return true;
}

}  // namespace

bool PrefixAnonymizer::rekey(const PrefixAnonymizer& target, const std::uint32_t* images, std::size_t count,
                             std::uint32_t* out) const noexcept {
    return rekeyThrough(*this, target, images, count, out);
}

bool PrefixAnonymizer::rekey(const PrefixAnonymizer& target, const Ipv6Address* images, std::size_t count,
                             Ipv6Address* out) const noexcept {
    return rekeyThrough(*this, target, images, count, out);
}

}  // namespace ipveil
