// The IPv4 text forms against the C library: parseIpv4Address against
// glibc's inet_pton(AF_INET), formatIpv4Address against inet_ntop, and
// parseIpv4Record against sscanf("%u.%u.%u.%u%n") within the trace's rules
// (no '-', which %u would take and wrap, and no component above 4294967295).
#include "ipv4_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <charconv>
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

using Parser = bool (*)(const char*, const char*, std::uint32_t&) noexcept;

// Parses a copy of exactly text's size on the heap, so that AddressSanitizer
// reports any read outside it; a refusal must leave the address alone.
std::optional<std::uint32_t> parseWith(Parser parser, std::string_view text) {
    const auto copy = std::make_unique<char[]>(text.size());
    std::memcpy(copy.get(), text.data(), text.size());
    std::uint32_t address = 0xA5A5A5A5;
    if (parser(copy.get(), copy.get() + text.size(), address)) return address;
    EXPECT_EQ(address, 0xA5A5A5A5u) << "a refusal wrote to the address: " << text;
    return std::nullopt;
}

std::optional<std::uint32_t> inetPton(const std::string& text) {
    in_addr address;
    if (text.find('\0') != std::string::npos || inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
    return ntohl(address.s_addr);
}

// The record form as the trace reads one field: what sscanf takes whole,
// minus whitespace (which %u skips, but which ends a field), a '-' and
// components beyond 32 bits, packed with carries modulo 2^32.
std::optional<std::uint32_t> scanRecord(const std::string& text) {
    if (text.find_first_of(std::string("- \t\n\v\f\r\0", 8)) != std::string::npos) return std::nullopt;
    unsigned a[4];
    int used = -1;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%n", &a[0], &a[1], &a[2], &a[3], &used) != 4 ||
        used != static_cast<int>(text.size())) {
        return std::nullopt;
    }
    std::string_view rest = text;
    for (int c = 0; c < 4; ++c) {
        const std::size_t dot = c < 3 ? rest.find('.') : rest.size();
        std::string_view digits = rest.substr(0, dot);
        if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc{} || value > 0xFFFFFFFFu) return std::nullopt;
        rest.remove_prefix(c < 3 ? dot + 1 : dot);
    }
    return (std::uint32_t{a[0]} << 24) + (std::uint32_t{a[1]} << 16) + (std::uint32_t{a[2]} << 8) + a[3];
}

// Texts at the edges of both grammars, then random dotted quads with a few
// edits from the characters either grammar cares about.
std::vector<std::string> trickyTexts() {
    std::vector<std::string> texts = {
        "", ".", "...", "1.2.3", "1.2.3.", ".1.2.3", "1.2.3.4.", "1.2.3.4.5", "1..2.3", "0.0.0.0", "255.255.255.255",
        "256.0.0.0", "0.0.0.256", "1.2.3.04", "01.2.3.4", "00.0.0.0", "1.2.3.000", "001.2.3.4", "1.2.3.0255",
        "+1.2.3.4", "1.+2.3.4", "1.2.3.+4", "++1.2.3.4", "-1.2.3.4", "1.2.3.-0", "1.2.3.4 ", " 1.2.3.4",
        "1. 2.3.4", "1.2.3.4\n", "1.2.3.4x", "0x1.2.3.4", "1.2.3.4/8", "1.2.3.4:80", "4294967295.0.0.0",
        "4294967296.0.0.0", "0.0.0.4294967295", "0.0.0.4294967296", "0.0.0.00000000004294967295",
        "0.0.0.18446744073709551616", "1.0.0.256", "0.0.1.65535", "255.255.255.256", "1234.5.6.7",
        std::string("1.2.3.4\0", 8), std::string("1.2\0.3.4", 8), "\xff.1.2.3", "1.2.3.4\xc2\xa0",
    };
    std::mt19937_64 rng(4);
    static constexpr char Alphabet[] = "0123456789012345678900+-.. \txa\xff";
    for (int i = 0; i < 200000; ++i) {
        const auto address = static_cast<std::uint32_t>(rng());
        std::string text = std::to_string(address >> 24) + '.' + std::to_string(address >> 16 & 255) + '.' +
                           std::to_string(address >> 8 & 255) + '.' + std::to_string(address & 255);
        for (int edits = static_cast<int>(rng() % 4); edits > 0; --edits) {
            const std::size_t at = rng() % (text.size() + 1);
            const char c = rng() % 32 == 0 ? '\0' : Alphabet[rng() % (sizeof Alphabet - 1)];
            switch (rng() % 4) {
                case 0: text.insert(at, 1, c); break;
                case 1: if (at < text.size()) text.erase(at, 1); break;
                case 2: if (at < text.size()) text[at] = c; break;
                default: text.insert(at, rng() % 8, '0' + static_cast<char>(rng() % 10)); break;
            }
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

const std::vector<std::string>& texts() {
    static const std::vector<std::string> all = trickyTexts();
    return all;
}

TEST(ParseIpv4Address, AgreesWithInetPton) {
    std::size_t accepted = 0;
    for (const std::string& text : texts()) {
        const std::optional<std::uint32_t> ours = parseWith(ipveil::parseIpv4Address, text);
        ASSERT_EQ(ours, inetPton(text)) << '"' << text << '"';
        accepted += ours.has_value();
    }
    // Both sides of the grammar are exercised.
    EXPECT_GT(accepted, texts().size() / 10);
    EXPECT_LT(accepted, texts().size() * 9 / 10);
}

TEST(ParseIpv4Record, AgreesWithScanfWithinTheTraceRules) {
    std::size_t accepted = 0;
    std::size_t carried = 0;
    for (const std::string& text : texts()) {
        const std::optional<std::uint32_t> ours = parseWith(ipveil::parseIpv4Record, text);
        ASSERT_EQ(ours, scanRecord(text)) << '"' << text << '"';
        accepted += ours.has_value();
        carried += ours.has_value() && !inetPton(text).has_value();
    }
    EXPECT_GT(accepted, texts().size() / 10);
    EXPECT_GT(carried, texts().size() / 100);  // texts only the record form takes
}

// Every address whose octets have every mix of lengths and edges, then
// random ones: the text is inet_ntop's, parses back to the address, and the
// stores stay within the room the contract gives.
TEST(FormatIpv4Address, MatchesInetNtopWithinItsRoom) {
    std::vector<std::uint32_t> addresses;
    static constexpr std::uint32_t Octets[] = {0, 1, 9, 10, 99, 100, 199, 255};
    for (const std::uint32_t a : Octets)
        for (const std::uint32_t b : Octets)
            for (const std::uint32_t c : Octets)
                for (const std::uint32_t d : Octets) addresses.push_back(a << 24 | b << 16 | c << 8 | d);
    std::mt19937_64 rng(5);
    for (int i = 0; i < 500000; ++i) addresses.push_back(static_cast<std::uint32_t>(rng()));

    for (const std::uint32_t address : addresses) {
        char buffer[32];
        std::memset(buffer, 0x7F, sizeof buffer);
        const char* end = ipveil::formatIpv4Address(buffer, address);
        const std::string ours(static_cast<const char*>(buffer), end);
        char theirs[INET_ADDRSTRLEN];
        const in_addr network{htonl(address)};
        ASSERT_NE(inet_ntop(AF_INET, &network, theirs, sizeof theirs), nullptr);
        ASSERT_EQ(ours, theirs);
        ASSERT_EQ(parseWith(ipveil::parseIpv4Address, ours), address);
        std::size_t touched = ipveil::Ipv4MaxTextChars;
        while (touched > ours.size() && buffer[touched - 1] == 0x7F) --touched;
        ASSERT_LE(touched - ours.size(), 3u) << ours;
        for (std::size_t i = ipveil::Ipv4MaxTextChars; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0x7F) << ours;
    }
}

}  // namespace
