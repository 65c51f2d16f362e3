// Policies: the parser's refusals, and the mapping under random keys and
// policies on every block path the machine has, against the definition of
// the forced flips written out bit by bit over the mapping without a policy.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "address_policy.h"
#include "key_id.h"
#include "prefix_anonymizer.h"
#include "sha256.h"

namespace {

using ipveil::AddressPolicy;
using ipveil::Ipv6Address;
using ipveil::PolicyAction;
using ipveil::PolicyError;
using ipveil::PolicyRule;
using ipveil::PrefixAnonymizer;
using Key = std::array<std::uint8_t, 32>;

Key randomKey(std::mt19937_64& rng) {
    Key key;
    for (auto& byte : key) byte = static_cast<std::uint8_t>(rng());
    return key;
}

AddressPolicy parsed(const std::string& text) {
    PolicyError error;
    auto policy = AddressPolicy::parse(text, error);
    EXPECT_TRUE(policy.has_value()) << text << ": " << error.text();
    return policy.value_or(AddressPolicy{});
}

// Runs body once on every block path the machine has.
template <typename Body>
void onEveryImplementation(Body body) {
    const ipveil::AesImplementation previous = ipveil::activeAesImplementation();
    for (auto implementation : ipveil::AllAesImplementations) {
        if (!ipveil::selectAesImplementation(implementation)) continue;
        SCOPED_TRACE(ipveil::aesImplementationName(implementation));
        body();
    }
    ipveil::selectAesImplementation(previous);
}

// Bit i (from the top) of an address of `bits` bits held in bytes.
bool bitOf(const std::uint8_t* bytes, int i) { return bytes[i / 8] & (0x80 >> (i % 8)); }

bool samePrefix(const std::uint8_t* a, const std::uint8_t* b, int length) {
    for (int i = 0; i < length; ++i) {
        if (bitOf(a, i) != bitOf(b, i)) return false;
    }
    return true;
}

// The forced flips by definition: flip i of address a (whose first i bits
// name the node) is forced when the node lies on the path to a ruled prefix
// or inside a rule's kept depth, or, with `only` rules, when a lies outside
// all of them.
std::vector<bool> referenceForced(const AddressPolicy& policy, const std::uint8_t* a, bool ipv6) {
    const int width = ipv6 ? 128 : 32;
    std::vector<bool> forced(static_cast<std::size_t>(width));
    bool anyOnly = false;
    bool insideOnly = false;
    for (const PolicyRule& rule : policy.rules()) {
        anyOnly = anyOnly || rule.action == PolicyAction::Only;
        if (rule.prefix.ipv6 != ipv6) continue;
        const int length = rule.prefix.length;
        if (rule.action == PolicyAction::Only) insideOnly = insideOnly || samePrefix(a, rule.prefix.bytes, length);
        for (int i = 0; i < rule.depth; ++i) {
            if (samePrefix(a, rule.prefix.bytes, std::min(i, length))) forced[static_cast<std::size_t>(i)] = true;
        }
    }
    if (anyOnly && !insideOnly) std::fill(forced.begin(), forced.end(), true);
    return forced;
}

std::uint32_t referenceAnonymize4(const PrefixAnonymizer& plain, const AddressPolicy& policy, std::uint32_t a) {
    std::uint8_t bytes[4] = {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                             static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
    const auto forced = referenceForced(policy, bytes, false);
    std::uint32_t flips = plain.anonymize(a) ^ a;
    for (int i = 0; i < 32; ++i) {
        if (forced[static_cast<std::size_t>(i)]) flips &= ~(0x80000000u >> i);
    }
    const int kept = policy.truncate4();
    return (a ^ flips) & (kept == 0 ? 0u : ~0u << (32 - kept));
}

Ipv6Address referenceAnonymize6(const PrefixAnonymizer& plain, const AddressPolicy& policy, const Ipv6Address& a) {
    const auto forced = referenceForced(policy, a.bytes, true);
    const Ipv6Address flipped = plain.anonymize(a);
    Ipv6Address image = a;
    for (int i = 0; i < 128; ++i) {
        const auto bit = static_cast<std::uint8_t>(0x80 >> (i % 8));
        if (!forced[static_cast<std::size_t>(i)]) image.bytes[i / 8] ^= (flipped.bytes[i / 8] ^ a.bytes[i / 8]) & bit;
        if (i >= policy.truncate6()) image.bytes[i / 8] &= static_cast<std::uint8_t>(~(0x80 >> (i % 8)));
    }
    return image;
}

std::string v4Text(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

// Random rules inside 10.1.0.0/16 (so that the whole /16 can be walked),
// the /16 itself preserved, sometimes `only` rules and `special` beside them.
std::string randomPolicy4(std::mt19937_64& rng) {
    std::string text = "preserve 10.1.0.0/16\n";
    if (rng() % 2) text += "special\n";
    const int rules = 1 + static_cast<int>(rng() % 6);
    std::vector<std::pair<std::uint32_t, int>> used;
    for (int r = 0; r < rules; ++r) {
        const int length = 17 + static_cast<int>(rng() % 16);
        const std::uint32_t prefix = (0x0A010000u | (static_cast<std::uint32_t>(rng()) & 0xFFFF)) &
                                     (~0u << (32 - length));
        if (std::find(used.begin(), used.end(), std::pair{prefix, length}) != used.end()) continue;
        used.emplace_back(prefix, length);
        const char* action = rng() % 3 == 0 ? "keep " : rng() % 4 == 0 ? "only " : "preserve ";
        text += action + v4Text(prefix) + "/" + std::to_string(length) + "\n";
    }
    return text;
}

TEST(AddressPolicy, RefusesMalformedTextNamingTheLine) {
    struct Case {
        const char* text;
        int line;
        const char* says;
    };
    const Case cases[] = {
        {"bogus 10.0.0.0/8", 1, "unknown rule"},
        {"# c\n\npreserve 10.0.0.0", 3, "no /length"},
        {"keep 10.0.0.256/32", 1, "not an IPv4 address"},
        {"keep 10.0.0.01/32", 1, "not an IPv4 address"},
        {"keep 10.0.0/24", 1, "not an IPv4 address"},
        {"preserve 2001:db8::g/32", 1, "not an IPv6 address"},
        {"preserve 10.0.0.0/33", 1, "prefix length"},
        {"preserve 2001:db8::/129", 1, "prefix length"},
        {"preserve 10.1.0.0/8", 1, "bits set below"},
        {"preserve 2001:db8::1/64", 1, "bits set below"},
        {"preserve", 1, "needs a prefix"},
        {"keep 10.0.0.0/8 10.1.0.0/16", 1, "one prefix"},
        {"special 1", 1, "no argument"},
        {"keep 10.0.0.0/8\npreserve 10.0.0.0/8", 2, "contradicts line 1"},
        {"only 10.0.0.0/8\n\nkeep 10.0.0.0/8", 3, "contradicts line 1"},
        {"truncate4 33", 1, "from 0 to 32"},
        {"truncate6 x", 1, "from 0 to 128"},
        {"truncate4 24\ntruncate4 16", 2, "contradicts line 1"},
    };
    for (const Case& c : cases) {
        PolicyError error;
        EXPECT_FALSE(AddressPolicy::parse(c.text, error).has_value()) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.message.find(c.says), std::string::npos) << c.text << " -> " << error.message;
        EXPECT_EQ(error.text().rfind("policy line " + std::to_string(c.line) + ": ", 0), 0u);
    }
}

TEST(AddressPolicy, CanonicalTextIgnoresOrderCommentsAndRepeatsAndParsesBack) {
    const AddressPolicy a = parsed("# release 2026\nkeep 192.0.2.1/32\n\tpreserve 2001:db8::/32  # doc\nspecial\n"
                                   "truncate4 24\nkeep 192.0.2.1/32\n");
    const AddressPolicy b = parsed("special\npreserve 2001:0db8:0::/32\ntruncate4 24\nkeep 192.0.2.1/32");
    EXPECT_EQ(a.canonicalText(), b.canonicalText());
    EXPECT_EQ(a.canonicalText(), "special\nkeep 192.0.2.1/32\npreserve 2001:db8::/32\ntruncate4 24\n");
    EXPECT_EQ(parsed(a.canonicalText()).canonicalText(), a.canonicalText());
    EXPECT_FALSE(a.reversible());
    EXPECT_TRUE(parsed("# nothing\n\n").empty());
    // A line of its own replaces the table's rule for the same prefix.
    const AddressPolicy overridden = parsed("special\nkeep 10.0.0.0/8");
    const auto& rules = overridden.rules();
    const auto ten = std::find_if(rules.begin(), rules.end(), [](const PolicyRule& r) {
        return !r.prefix.ipv6 && r.prefix.bytes[0] == 10 && r.prefix.length == 8;
    });
    ASSERT_NE(ten, rules.end());
    EXPECT_EQ(ten->action, PolicyAction::Keep);
}

TEST(AddressPolicy, EmptyPolicyChangesNoImage) {
    std::mt19937_64 rng(41);
    const Key key = randomKey(rng);
    const PrefixAnonymizer plain(key.data());
    const PrefixAnonymizer empty(key.data(), parsed("# none"));
    for (int i = 0; i < 1000; ++i) {
        const auto a = static_cast<std::uint32_t>(rng());
        ASSERT_EQ(empty.anonymize(a), plain.anonymize(a));
    }
}

// Every image under random policies equals the definition's, and the whole
// /16 the rules lie in maps onto itself one to one and back.
TEST(AddressPolicy, MatchesTheDefinitionAndIsABijectionOnAWhole16) {
    onEveryImplementation([] {
        std::mt19937_64 rng(20261210);
        for (int round = 0; round < 3; ++round) {
            const Key key = randomKey(rng);
            const std::string text = randomPolicy4(rng);
            SCOPED_TRACE(text);
            const AddressPolicy policy = parsed(text);
            const PrefixAnonymizer plain(key.data());
            const PrefixAnonymizer anonymizer(key.data(), policy);
            std::vector<std::uint32_t> addresses(1u << 16);
            for (std::uint32_t host = 0; host < addresses.size(); ++host) addresses[host] = 0x0A010000u | host;
            std::vector<std::uint32_t> images(addresses.size());
            anonymizer.anonymize(addresses.data(), addresses.size(), images.data());
            std::vector<bool> seen(1u << 16);
            for (std::size_t i = 0; i < images.size(); ++i) {
                ASSERT_EQ(images[i] >> 16, 0x0A01u) << v4Text(addresses[i]);
                ASSERT_FALSE(seen[images[i] & 0xFFFF]) << "collision at " << v4Text(addresses[i]);
                seen[images[i] & 0xFFFF] = true;
                if (i % 61 == 0) {
                    ASSERT_EQ(images[i], referenceAnonymize4(plain, policy, addresses[i]));
                }
            }
            std::vector<std::uint32_t> back(images.size());
            anonymizer.deanonymize(images.data(), images.size(), back.data());
            ASSERT_EQ(back, addresses);
            // Over the whole space: the definition, and back again one at a time.
            for (int i = 0; i < 300; ++i) {
                const auto a = static_cast<std::uint32_t>(rng());
                const std::uint32_t image = anonymizer.anonymize(a);
                ASSERT_EQ(image, referenceAnonymize4(plain, policy, a)) << v4Text(a);
                ASSERT_EQ(anonymizer.deanonymize(image), a);
            }
        }
    });
}

// The special table: kept addresses unchanged, every address of a
// preserved block inside it, multicast scope kept, and prefixes preserved
// exactly between any two addresses.
TEST(AddressPolicy, SpecialKeepsAndPreservesItsBlocks) {
    onEveryImplementation([] {
        std::mt19937_64 rng(99);
        const Key key = randomKey(rng);
        const AddressPolicy policy = parsed("special");
        const PrefixAnonymizer anonymizer(key.data(), policy);
        for (std::uint32_t kept : {0u, 0xFFFFFFFFu}) EXPECT_EQ(anonymizer.anonymize(kept), kept);
        Ipv6Address unspecified{};
        Ipv6Address loopback{};
        loopback.bytes[15] = 1;
        EXPECT_EQ(anonymizer.anonymize(unspecified), unspecified);
        EXPECT_EQ(anonymizer.anonymize(loopback), loopback);
        for (const PolicyRule& rule : policy.rules()) {
            for (int i = 0; i < 40; ++i) {
                std::uint8_t a[16];
                for (auto& byte : a) byte = static_cast<std::uint8_t>(rng());
                for (int bit = 0; bit < rule.prefix.length; ++bit) {
                    const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
                    a[bit / 8] = static_cast<std::uint8_t>((a[bit / 8] & ~mask) | (rule.prefix.bytes[bit / 8] & mask));
                }
                std::uint8_t image[16];
                std::uint8_t back[16];
                if (rule.prefix.ipv6) {
                    Ipv6Address address;
                    std::memcpy(address.bytes, a, 16);
                    const Ipv6Address mapped = anonymizer.anonymize(address);
                    std::memcpy(image, mapped.bytes, 16);
                    std::memcpy(back, anonymizer.deanonymize(mapped).bytes, 16);
                } else {
                    const std::uint32_t address = std::uint32_t{a[0]} << 24 | a[1] << 16 | a[2] << 8 | a[3];
                    const std::uint32_t mapped = anonymizer.anonymize(address);
                    const std::uint32_t original = anonymizer.deanonymize(mapped);
                    for (int b = 0; b < 4; ++b) {
                        image[b] = static_cast<std::uint8_t>(mapped >> (24 - 8 * b));
                        back[b] = static_cast<std::uint8_t>(original >> (24 - 8 * b));
                    }
                }
                const int width = rule.prefix.ipv6 ? 128 : 32;
                ASSERT_TRUE(samePrefix(image, a, rule.depth)) << "rule " << rule.prefix.length;
                ASSERT_TRUE(samePrefix(back, a, width));
                if (rule.action == PolicyAction::Keep) {
                    ASSERT_TRUE(samePrefix(image, a, width));
                }
            }
        }
        for (int i = 0; i < 20000; ++i) {
            const auto a = static_cast<std::uint32_t>(rng());
            const int shared = static_cast<int>(rng() % 32);
            const std::uint32_t flip = 0x80000000u >> shared;
            const std::uint32_t b = (a ^ flip) ^ (static_cast<std::uint32_t>(rng()) & (flip - 1));
            ASSERT_EQ(std::countl_zero(anonymizer.anonymize(a) ^ anonymizer.anonymize(b)), shared);
        }
    });
}

TEST(AddressPolicy, Ipv6MatchesTheDefinitionAndInverts) {
    onEveryImplementation([] {
        std::mt19937_64 rng(6);
        for (const char* text : {"special", "special\nonly 2001:db8::/32\nkeep 2001:db8:0:1::/64\ntruncate4 8",
                                 "preserve 2001:db8:1234::/48\nkeep 2001:db8:1234:5678::1/128\nonly fe80::/10"}) {
            SCOPED_TRACE(text);
            const Key key = randomKey(rng);
            const AddressPolicy policy = parsed(text);
            const PrefixAnonymizer plain(key.data());
            const PrefixAnonymizer anonymizer(key.data(), policy);
            std::vector<Ipv6Address> addresses(300);
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                for (auto& byte : addresses[i].bytes) byte = static_cast<std::uint8_t>(rng());
                // Most addresses near a ruled prefix, where the forced flips are.
                if (i % 4 != 0) {
                    const auto& rules = policy.rules();
                    const PolicyRule& rule = rules[rng() % rules.size()];
                    const int length = std::max(0, rule.prefix.length - static_cast<int>(rng() % 3));
                    for (int bit = 0; bit < length; ++bit) {
                        const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
                        auto& byte = addresses[i].bytes[bit / 8];
                        byte = static_cast<std::uint8_t>((byte & ~mask) | (rule.prefix.bytes[bit / 8] & mask));
                    }
                }
            }
            std::vector<Ipv6Address> images(addresses.size());
            anonymizer.anonymize(addresses.data(), addresses.size(), images.data());
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                ASSERT_EQ(images[i], referenceAnonymize6(plain, policy, addresses[i])) << i;
            }
            std::vector<Ipv6Address> back(addresses.size());
            anonymizer.deanonymize(images.data(), images.size(), back.data());
            if (policy.reversible()) {
                ASSERT_EQ(back, addresses);
            }
            // IPv4 addresses under the same policy, `only` rules of IPv6
            // alone keeping all of them.
            for (int i = 0; i < 50; ++i) {
                const auto a = static_cast<std::uint32_t>(rng());
                ASSERT_EQ(anonymizer.anonymize(a), referenceAnonymize4(plain, policy, a));
            }
        }
    });
}

TEST(AddressPolicy, TruncationZeroesLowBitsAndRefusesToReveal) {
    onEveryImplementation([] {
        std::mt19937_64 rng(8);
        for (int k = 0; k < 8; ++k) {
            const Key key = randomKey(rng);
            const PrefixAnonymizer plain(key.data());
            const PrefixAnonymizer anonymizer(key.data(), parsed("truncate4 24\ntruncate6 48"));
            EXPECT_FALSE(anonymizer.reversible());
            for (int i = 0; i < 100; ++i) {
                const auto a = static_cast<std::uint32_t>(rng());
                ASSERT_EQ(anonymizer.anonymize(a), plain.anonymize(a) & 0xFFFFFF00u);
                ASSERT_EQ(anonymizer.deanonymize(anonymizer.anonymize(a)), 0u);
                Ipv6Address address;
                for (auto& byte : address.bytes) byte = static_cast<std::uint8_t>(rng());
                Ipv6Address expected = plain.anonymize(address);
                std::fill(expected.bytes + 6, expected.bytes + 16, std::uint8_t{0});
                ASSERT_EQ(anonymizer.anonymize(address), expected);
            }
        }
    });
}

// Rekeying equals revealing under the old key and policy, then anonymizing
// under the new ones, in place or not, past a chunk's length.
TEST(AddressPolicy, RekeyIsRevealThenAnonymize) {
    onEveryImplementation([] {
        std::mt19937_64 rng(21);
        const Key oldKey = randomKey(rng);
        const Key newKey = randomKey(rng);
        const PrefixAnonymizer from(oldKey.data(), parsed("special\nkeep 10.1.2.0/24"));
        const PrefixAnonymizer to(newKey.data(), parsed("preserve 10.0.0.0/8\npreserve 2001:db8::/32"));
        std::vector<std::uint32_t> images(700);
        for (auto& image : images) image = static_cast<std::uint32_t>(rng()) & (rng() % 2 ? 0x0A01FFFFu : ~0u);
        std::vector<std::uint32_t> out(images.size());
        ASSERT_TRUE(from.rekey(to, images.data(), images.size(), out.data()));
        for (std::size_t i = 0; i < images.size(); ++i) ASSERT_EQ(out[i], to.anonymize(from.deanonymize(images[i])));
        ASSERT_TRUE(from.rekey(to, images.data(), images.size(), images.data()));
        ASSERT_EQ(images, out);
        std::vector<Ipv6Address> images6(300);
        for (auto& image : images6) {
            for (auto& byte : image.bytes) byte = static_cast<std::uint8_t>(rng());
        }
        std::vector<Ipv6Address> out6(images6.size());
        ASSERT_TRUE(from.rekey(to, images6.data(), images6.size(), out6.data()));
        for (std::size_t i = 0; i < images6.size(); ++i) {
            ASSERT_EQ(out6[i], to.anonymize(from.deanonymize(images6[i])));
        }
        const PrefixAnonymizer truncating(oldKey.data(), parsed("truncate4 24"));
        std::vector<std::uint32_t> untouched = out;
        EXPECT_FALSE(truncating.rekey(to, images.data(), images.size(), untouched.data()));
        EXPECT_EQ(untouched, out);
    });
}

TEST(Sha256, MatchesOpenSslOnEveryLengthAroundTheBlocks) {
    std::mt19937_64 rng(12);
    std::vector<std::uint8_t> message(300);
    for (auto& byte : message) byte = static_cast<std::uint8_t>(rng());
    for (std::size_t length = 0; length <= message.size(); ++length) {
        ipveil::Sha256 hash;
        // Fed in two pieces, so that the buffering between calls is covered.
        hash.update(message.data(), length / 3);
        hash.update(message.data() + length / 3, length - length / 3);
        std::uint8_t ours[32];
        hash.finish(ours);
        std::uint8_t theirs[32];
        SHA256(message.data(), length, theirs);
        ASSERT_EQ(std::memcmp(ours, theirs, 32), 0) << "length " << length;
    }
}

TEST(KeyId, IsSixteenHexDigitsOfTheKeyAndThePolicyText) {
    std::mt19937_64 rng(13);
    Key key = randomKey(rng);
    const AddressPolicy special = parsed("special");
    const AddressPolicy alike = parsed("# the same\nspecial\n");
    const AddressPolicy empty = parsed("");
    const std::string id = ipveil::keyId(key.data());
    EXPECT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(ipveil::keyId(key.data(), &empty), id);
    EXPECT_EQ(ipveil::keyId(key.data(), &special), ipveil::keyId(key.data(), &alike));
    EXPECT_NE(ipveil::keyId(key.data(), &special), id);
    // Independently: SHA-256 of the prefix, the key and the policy text.
    std::string input("ipveil key id 1", 16);
    input.append(reinterpret_cast<const char*>(key.data()), 32);
    input += "special\n";
    std::uint8_t digest[32];
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    char hex[17];
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(ipveil::keyId(key.data(), &special), std::string(hex));
    // Either half of the key changes it.
    for (std::size_t byte : {std::size_t{0}, std::size_t{31}}) {
        Key other = key;
        other[byte] ^= 1;
        EXPECT_NE(ipveil::keyId(other.data()), id);
    }
}

}  // namespace
