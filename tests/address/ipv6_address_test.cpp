// parseIpv6Address against glibc's inet_pton(AF_INET6) on every kind of text,
// and formatIpv6Address against the rules of RFC 5952, checked on their own
// (inet_ntop prints some addresses in the deprecated mixed notation), and
// against inet_ntop wherever its output already follows them.
#include "ipv6_address.h"
#include "ipv6_forms.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using ipveil::Ipv6Address;

std::optional<Ipv6Address> inetPton(const std::string& text) {
    Ipv6Address address;
    if (text.find('\0') != std::string::npos || inet_pton(AF_INET6, text.c_str(), address.bytes) != 1) return std::nullopt;
    return address;
}

// Parses a copy of exactly text's size on the heap, so that AddressSanitizer
// reports any read outside it.
std::optional<Ipv6Address> parse(std::string_view text) {
    const auto copy = std::make_unique<char[]>(text.size());
    std::memcpy(copy.get(), text.data(), text.size());
    Ipv6Address address;
    std::memset(address.bytes, 0xA5, 16);
    if (ipveil::parseIpv6Address(copy.get(), copy.get() + text.size(), address)) return address;
    for (const std::uint8_t byte : address.bytes) EXPECT_EQ(byte, 0xA5) << "a refusal wrote to the address: " << text;
    return std::nullopt;
}

std::string format(const Ipv6Address& address) {
    char text[ipveil::Ipv6MaxTextChars];
    return std::string(text, ipveil::formatIpv6Address(text, address));
}

using ipveil::address_test::group;
using ipveil::address_test::isMapped;
using ipveil::address_test::randomAddress;
using ipveil::address_test::randomForm;

// A few edits with the characters that matter to the grammar, or a suffix
// or prefix that must be refused.
std::string mutate(std::string text, std::mt19937_64& rng) {
    static constexpr char Alphabet[] = "0123456789abcdefABCDEFg::::....%/[] \t";
    static const char* const Affixes[] = {"%eth0", "/64", "]", " ", ":", "::", ".1", "0", "1.2.3.4", ":0"};
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
        const std::size_t at = text.empty() ? 0 : rng() % (text.size() + 1);
        const char c = rng() % 16 == 0 ? '\0' : Alphabet[rng() % (sizeof Alphabet - 1)];
        switch (rng() % 5) {
        case 0: text.insert(at, 1, c); break;
        case 1: if (at < text.size()) text.erase(at, 1); break;
        case 2: if (at < text.size()) text[at] = c; break;
        case 3: text.insert(at, text.substr(at, rng() % 6)); break;
        default: text.insert(rng() % 2 ? 0 : text.size(), Affixes[rng() % std::size(Affixes)]);
        }
    }
    return text;
}

void expectSameAsInetPton(const std::string& text) {
    ASSERT_EQ(parse(text), inetPton(text)) << '"' << text << '"';
}

TEST(ParseIpv6Address, AgreesWithInetPton) {
    for (const char* text :
         {"", ":", "::", ":::", "1::2::3", ":1::", "1::2:", "1:", ":1", "::1:", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8:9",
          "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8::", "::1:2:3:4:5:6:7:8", "1:2:3:4::5:6:7:8",
          "12345::", "00000::", "0000:0::", "::1.2.3.4", "::ffff:1.2.3.4", "1:2:3:4:5:6:1.2.3.4",
          "1:2:3:4:5:6:7:1.2.3.4", "1:2:3:4:5:6::1.2.3.4", "1:2:1.2.3.4:3:4", "1.2.3.4", "1.2.3.4::",
          "::1.2.3.4:1", "1:2:3:4:5:6:7.1.2.3", "1:2:3:4:5:6:77.1.2.3", "1:2:3:4:5:6:fa.1.2.3", "::1234.1.2.3",
          "::01.2.3.4", "::1.2.3.04", "::0.0.0.0", "::00.0.0.0", "::1.2.3.00", "::255.255.255.255", "::1.2.3.256",
          "::1.2.3", "::1.2.3.", "::.1.2.3", "::1..2.3", "::1.2.3.4.5", "::1.2.3.0x4", "::1%eth0", "[::1]",
          "::1/128", " ::1", "::1 ", "::g", "ABCD::EF"}) {
        expectSameAsInetPton(text);
    }
    std::mt19937_64 rng(6);
    for (int i = 0; i < 200000; ++i) {
        const Ipv6Address address = randomAddress(rng);
        const std::string text = randomForm(address, rng);
        ASSERT_EQ(parse(text), std::optional(address)) << text;
        expectSameAsInetPton(text);
        expectSameAsInetPton(mutate(text, rng));
    }
    // Character soup, mostly refused.
    for (int i = 0; i < 200000; ++i) {
        std::string text(rng() % 48, ' ');
        for (char& c : text) c = "0123456789abcdefABCDEF::::::::....%"[rng() % 35];
        expectSameAsInetPton(text);
    }
}

// Every cut of a longer text, parsed where it stands: whatever lies past last
// must not change the outcome.
TEST(ParseIpv6Address, ReadsTheWholeRangeAndNothingPastIt) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 5000; ++i) {
        const std::string text = randomForm(randomAddress(rng), rng) + ":1";
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            Ipv6Address address;
            std::optional<Ipv6Address> ours;
            if (ipveil::parseIpv6Address(text.data(), text.data() + cut, address)) ours = address;
            ASSERT_EQ(ours, inetPton(text.substr(0, cut))) << text.substr(0, cut);
        }
    }
}

// Why text is not the RFC 5952 form of address, or "" if it is.
std::string rfc5952Violation(const Ipv6Address& address, const std::string& text) {
    if (inetPton(text) != std::optional(address)) return "does not parse back to the address";
    if (isMapped(address)) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "::ffff:%u.%u.%u.%u", address.bytes[12], address.bytes[13],
                      address.bytes[14], address.bytes[15]);
        return text == expected ? "" : "IPv4-mapped address not as ::ffff:a.b.c.d";
    }
    if (text.find_first_not_of("0123456789abcdef:") != std::string::npos) return "not lowercase hex and colons";
    const std::size_t gap = text.find("::");
    // Groups written out before and after "::" (all of them when there is none).
    int before = 0;
    int after = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != ':') continue;
        if (i > start) {
            if (i - start > 1 && text[start] == '0') return "leading zero in a group";
            (gap != std::string::npos && start > gap ? after : before)++;
        }
        start = i + 1;
    }
    // The first longest run of two or more zero groups.
    int runStart = 0;
    int runLength = 1;
    for (int i = 0; i < 8;) {
        int length = 0;
        while (i + length < 8 && group(address, i + length) == 0) ++length;
        if (length > runLength) {
            runStart = i;
            runLength = length;
        }
        i += length + 1;
    }
    if (runLength == 1) return gap == std::string::npos ? "" : "\"::\" without a run of two zero groups";
    if (gap == std::string::npos) return "run of zero groups not written \"::\"";
    return before == runStart && after == 8 - runStart - runLength ? "" : "\"::\" not for the first longest run";
}

// Every shape of address: each group zero or of 1 to 4 digits (5^8), plus
// random and IPv4-mapped ones. Also checks the buffer contract: nothing
// written at or past Ipv6MaxTextChars, at most 3 bytes past the end.
TEST(FormatIpv6Address, FollowsRfc5952WithinItsBuffer) {
    std::mt19937_64 rng(8);
    std::vector<Ipv6Address> addresses;
    for (unsigned shape = 0; shape < 390625; ++shape) {
        Ipv6Address address;
        for (unsigned i = 0, s = shape; i < 8; ++i, s /= 5) {
            const unsigned digits = s % 5;
            const unsigned low = 4 * digits - 4;  // bits below the leading digit, which is not 0
            const unsigned value = digits == 0 ? 0 : static_cast<unsigned>((1 + rng() % 15) << low | rng() % (1u << low));
            address.bytes[2 * i] = static_cast<std::uint8_t>(value >> 8);
            address.bytes[2 * i + 1] = static_cast<std::uint8_t>(value);
        }
        addresses.push_back(address);
    }
    for (int i = 0; i < 100000; ++i) addresses.push_back(randomAddress(rng));
    std::size_t longest = 0;
    for (const Ipv6Address& address : addresses) {
        char buffer[64];
        std::memset(buffer, 0x7F, sizeof buffer);
        const char* end = ipveil::formatIpv6Address(buffer, address);
        const std::string text(static_cast<const char*>(buffer), end);
        ASSERT_EQ(rfc5952Violation(address, text), "") << text;
        std::size_t touched = ipveil::Ipv6MaxTextChars;
        while (touched > text.size() && buffer[touched - 1] == 0x7F) --touched;
        ASSERT_LE(touched - text.size(), 3u) << text;
        for (std::size_t i = ipveil::Ipv6MaxTextChars; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0x7F) << text;
        longest = std::max(longest, text.size());
    }
    EXPECT_EQ(longest, ipveil::Ipv6MaxTextChars);
}

TEST(FormatIpv6Address, MatchesInetNtopWhereItFollowsRfc5952) {
    std::mt19937_64 rng(9);
    for (int i = 0; i < 300000; ++i) {
        Ipv6Address address = randomAddress(rng);
        if (i % 4 == 0) std::memset(address.bytes, 0, 12);  // where inet_ntop prints a deprecated ::a.b.c.d
        char theirs[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, address.bytes, theirs, sizeof theirs), nullptr);
        const std::string ours = format(address);
        if (isMapped(address) || std::strchr(theirs, '.') == nullptr) {
            ASSERT_EQ(ours, theirs);
        } else {
            ASSERT_EQ(ours.find('.'), std::string::npos) << ours;
        }
    }
}

}  // namespace
