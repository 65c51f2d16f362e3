// findAddresses against the C library's inet_pton (what it finds parses, and
// what inet_pton reads is found wherever it stands free), its rules one by
// one, and log lines as real programs write them.
#include "free_text_scanner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ipv6_forms.h"

namespace {

using ipveil::log::ParsedSlot;
using ipveil::log::TextSlot;

// The slots' parsed addresses and prefix lengths against inet_pton's reading
// of their text.
void expectParsedAsInetPton(const std::string& line, const std::vector<TextSlot>& slots,
                            const std::vector<ParsedSlot>& parsed) {
    ASSERT_EQ(parsed.size(), slots.size()) << line;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const ParsedSlot& slot = parsed[i];
        EXPECT_EQ(slot.begin, slots[i].begin) << line;
        EXPECT_EQ(slot.end, slots[i].end) << line;
        ASSERT_TRUE(slot.begin <= slot.addressEnd && slot.addressEnd <= slot.end) << line;
        const std::string address = line.substr(slot.begin, slot.addressEnd - slot.begin);
        const std::string after = line.substr(slot.addressEnd, slot.end - slot.addressEnd);
        EXPECT_EQ(after.empty() ? -1 : std::atoi(after.c_str() + 1), slot.length) << line;
        unsigned char bytes[16];
        if (slot.isIpv6) {
            ASSERT_EQ(inet_pton(AF_INET6, address.c_str(), bytes), 1) << address;
            EXPECT_EQ(std::memcmp(bytes, slot.ipv6.bytes, 16), 0) << address;
        } else {
            ASSERT_EQ(inet_pton(AF_INET, address.c_str(), bytes), 1) << address;
            EXPECT_EQ(slot.ipv4, std::uint32_t{bytes[0]} << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]) << address;
        }
    }
}

// The slot texts of line, scanned from an exactly sized heap copy so that
// AddressSanitizer sees a read past its end; slots must lie in the line, in
// order, without overlap, and the parsing scan must find the same ones.
std::vector<std::string> found(const std::string& line) {
    const auto copy = std::make_unique<char[]>(line.size());
    std::copy(line.begin(), line.end(), copy.get());
    std::vector<TextSlot> slots;
    ipveil::log::findAddresses({copy.get(), line.size()}, slots);
    std::vector<ParsedSlot> parsed;
    ipveil::log::findAddresses({copy.get(), line.size()}, parsed);
    expectParsedAsInetPton(line, slots, parsed);
    std::vector<std::string> texts;
    std::uint32_t previousEnd = 0;
    for (const TextSlot& slot : slots) {
        EXPECT_LE(previousEnd, slot.begin) << line;
        EXPECT_LT(slot.begin, slot.end) << line;
        EXPECT_LE(slot.end, line.size()) << line;
        previousEnd = slot.end;
        texts.push_back(line.substr(slot.begin, slot.end - slot.begin));
    }
    return texts;
}

// inet_pton reads text, after a prefix length within range, if there is one.
bool inetPtonReads(const std::string& text) {
    std::string address = text;
    long maxLength = 0;
    const auto slash = text.find('/');
    if (slash != std::string::npos) address.resize(slash);
    unsigned char bytes[16];
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        maxLength = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        maxLength = 128;
    } else {
        return false;
    }
    if (slash == std::string::npos) return true;
    const std::string length = text.substr(slash + 1);
    return !length.empty() && length.size() <= 3 && length.find_first_not_of("0123456789") == std::string::npos &&
           (length == "0" || length[0] != '0') && std::stol(length) <= maxLength;
}

using Texts = std::vector<std::string>;

struct RuleCase {
    const char* line;
    Texts expected;
};

TEST(FreeTextScanner, FollowsItsRules) {
    const RuleCase cases[] = {
        // Separators around an address, ports, zones, brackets, URLs.
        {"10.0.0.1", {"10.0.0.1"}},
        {"[2001:db8::1]:443 (10.0.0.2) \"::1\" 'fe80::2' <1.2.3.4>", {"2001:db8::1", "10.0.0.2", "::1", "fe80::2", "1.2.3.4"}},
        {"host=10.0.0.1, SRC=10.0.0.2;peer:10.0.0.3|x_10.0.0.4-y", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}},
        {"10.0.0.1:80 [::1]:80 fe80::1%eth0 fe80::2%25en0", {"10.0.0.1", "::1", "fe80::1", "fe80::2"}},
        {"http://[2001:db8::1]:8080/ https://192.0.2.1/index.html", {"2001:db8::1", "192.0.2.1"}},
        {"\xc3\xa0""10.0.0.1\xc3\xa0 \t::1\t", {"10.0.0.1", "::1"}},
        // Labels and punctuation next to an address.
        {"addr:fe80::1 interface:fe80::2 id:10.0.0.1 addr:::3 iface:::4 :::22", {"fe80::1", "fe80::2", "10.0.0.1", "::3", "::4"}},
        {"from ::1: refused; from 10.0.0.1: refused; at fe80::1:deadline, 2001:db8:::", {"::1", "10.0.0.1", "fe80::1", "2001:db8::"}},
        {"from 10.0.0.1. Then 2001:db8::1... and ::ffff:1.2.3.4.", {"10.0.0.1", "2001:db8::1", "::ffff:1.2.3.4"}},
        {"10.0.0.1:80:10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
        // IPv4 inside IPv6 is one IPv6 address.
        {"::ffff:192.0.2.1 64:ff9b::10.0.0.1 1:2:3:4:5:6:7.8.9.10", {"::ffff:192.0.2.1", "64:ff9b::10.0.0.1", "1:2:3:4:5:6:7.8.9.10"}},
        // Prefix lengths, in range or not.
        {"10.0.0.0/8 2001:db8::/32, ::/0. 10.0.0.0/0", {"10.0.0.0/8", "2001:db8::/32", "::/0", "10.0.0.0/0"}},
        {"10.0.0.0/33 ::/129 10.0.0.0/08 10.0.0.0/8x 10.0.0.0/2400 10.0.0.0/8.5", {"10.0.0.0", "::", "10.0.0.0", "10.0.0.0", "10.0.0.0", "10.0.0.0"}},
        // A length before a ':' and a hexadecimal digit or ':' could begin the
        // next address: it stays text.
        {"::/32:: 10.0.0.0/8:1 10.0.0.0/8: up", {"::", "32::", "10.0.0.0", "10.0.0.0/8"}},
        // Not addresses: longer dotted sequences, glued letters, what inet_pton refuses.
        {"1.2.3.4.5 v1.2.3.4 1.2.3.4a 1.2.3.4x a1.2.3.4 host.1.2.3.4 4.3.2.1.in-addr.arpa 10.0.0.1.443", {}},
        {"1.2.3 256.1.1.1 01.2.3.4 1.2.3.04 1..2.3 .1.2.3.4", {}},
        {"12:34:56 12:34:56.789 2024-01-01T12:34:56Z 2024-01-01T12:34:56.5+01:00 00:1a:2b:3c:4d:5e", {}},
        {"dead:beef std::vector ns::Class::f this::dead x::1 a::vector 1:2:3:4:5:6:7:8:9 12345::1 :::: ::: :::*", {}},
        {"1::2::3 fe80::1x :1 1: : . :: ::", {"::", "::"}},
        // What inet_pton reads, standing free, is an address.
        {"a::b de:ad::be:ef 1::2 a::", {"a::b", "de:ad::be:ef", "1::2", "a::"}},
    };
    for (const RuleCase& c : cases) EXPECT_EQ(found(c.line), c.expected) << c.line;
}

// Every address inet_pton reads, in any of its forms and with a prefix length
// or not, is found as exactly itself in every surrounding a log gives it.
TEST(FreeTextScanner, FindsWhatInetPtonReadsInContext) {
    struct Around {
        const char* before;
        const char* after;
    };
    const Around arounds[] = {{"", ""},       {" ", " "},     {"[", "]:443"}, {"(", ")"},  {"\"", "\","},
                              {"SRC=", " "},  {"from ", "."}, {"addr:", ": x"}, {"<", ">"}, {"\t", "/x"},
                              {"host=", ";"}, {"'", "'"},     {"x ", "#53"}};
    std::mt19937_64 rng(20240112);
    for (int i = 0; i < 20000; ++i) {
        std::string address;
        bool ipv6 = rng() % 2 == 0;
        if (ipv6) {
            address = ipveil::address_test::randomForm(ipveil::address_test::randomAddress(rng), rng);
        } else {
            for (int c = 0; c < 4; ++c) {
                if (c != 0) address += '.';
                address += std::to_string(rng() % 256);
            }
        }
        if (rng() % 4 == 0) address.append(1, '/').append(std::to_string(rng() % (ipv6 ? 129 : 33)));
        ASSERT_TRUE(inetPtonReads(address)) << address;
        const Around& around = arounds[rng() % std::size(arounds)];
        std::string tail = around.after;
        if (ipv6 && address.find('/') == std::string::npos && rng() % 8 == 0) tail = "%eth0" + tail;
        const std::string line = std::string(rng() % 16, ' ') + around.before + address + tail;  // at every alignment
        EXPECT_EQ(found(line), Texts{address}) << line;
    }
}

// Tokens built from the pieces of address text: whatever inet_pton reads is
// found whole, and whatever is found in any of them inet_pton reads.
TEST(FreeTextScanner, AgreesWithInetPtonOnAddressLikeTokens) {
    const char* const pieces[] = {":", "::", ".", "/", "0", "1", "12", "255", "256", "01", "a", "fe80", "dead", "ffff", "abcde", "x"};
    std::mt19937_64 rng(5);
    int accepted = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string token;
        for (int n = 1 + static_cast<int>(rng() % 12); n > 0; --n) token += pieces[rng() % std::size(pieces)];
        const Texts texts = found(std::string(" ") + token + " ");
        if (inetPtonReads(token) && token.find('x') == std::string::npos) {
            ++accepted;
            EXPECT_EQ(texts, Texts{token});
        }
        for (const std::string& text : texts) EXPECT_TRUE(inetPtonReads(text)) << text << " in " << token;
    }
    EXPECT_GT(accepted, 1000);  // the pieces make enough addresses to judge by
}

// The corpus: a log line, then "=" and the texts it holds.
TEST(FreeTextScanner, FindsTheAddressesOfRealLogLines) {
    std::ifstream corpus(IPVEIL_LOG_TEST_DIR "/free_text_lines.txt");
    ASSERT_TRUE(corpus) << "free_text_lines.txt";
    std::string line;
    std::string logLine;
    int lines = 0;
    while (std::getline(corpus, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] != '=') {
            logLine = line;
            continue;
        }
        std::istringstream words(line.substr(1));
        Texts expected;
        for (std::string word; words >> word;) expected.push_back(word);
        EXPECT_EQ(found(logLine), expected) << logLine;
        ++lines;
    }
    EXPECT_GE(lines, 20);
}

}  // namespace
