// The field parsers and the time formatter against the C library: parseTime
// against strtof, parseUnsigned against std::from_chars, formatTime against
// snprintf("%6f"), the writer's IPv6 text against inet_ntop.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "field_parse.h"
#include "record_writer.h"
#include "scan_path_test_support.h"
#include "text_scan.h"
#include "trace_test_support.h"

namespace {

using ipveil::cmd_test::TraceGenerator;
namespace trace = ipveil::trace;

std::string printfTime(float value) {
    char text[128];
    const int n = std::snprintf(text, sizeof text, "%6f", double{value});
    return std::string(text, static_cast<std::size_t>(n));
}

std::string formatTime(float value) {
    char text[trace::MaxLineChars];
    return std::string(text, trace::formatTime(text, value));
}

TEST(FormatTime, MatchesPrintfOnEveryKindOfFloat) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(),
                                 -std::numeric_limits<float>::quiet_NaN(),
                                 std::bit_cast<float>(0x7F800001u),  // signalling NaN
                                 std::bit_cast<float>(0xFFC0007Bu),  // NaN with payload and sign
                                 std::numeric_limits<float>::denorm_min(),
                                 -std::numeric_limits<float>::denorm_min(),
                                 FLT_MIN,
                                 FLT_MAX,
                                 -FLT_MAX,
                                 16777217.0f,
                                 0.1f,
                                 0.0000005f,
                                 -0.0000005f,
                                 0.0000015f,
                                 1e-7f,
                                 -1e-7f};
    // Both sides of the boundaries where the formatter changes method: 2^44
    // (integer arithmetic) and 2^64.
    for (int e = 40; e <= 70; ++e) {
        const float p = std::ldexp(1.0f, e);
        for (float v : {p, std::nextafter(p, 0.0f), std::nextafter(p, FLT_MAX)}) {
            values.push_back(v);
            values.push_back(-v);
        }
    }
    // Exact ties in the seventh decimal: odd multiples of 2^-7 (x * 10^6 ends
    // in .5 exactly), rounded half to even.
    for (std::uint32_t odd = 1; odd < 4000; odd += 2) values.push_back(std::ldexp(static_cast<float>(odd), -7));
    for (std::uint32_t odd = 0xFFFFFF; odd > 0xFFF000; odd -= 2) values.push_back(std::ldexp(static_cast<float>(odd), -7));
    // Every exponent, with a few mantissas.
    for (std::uint32_t biased = 0; biased < 256; ++biased) {
        for (std::uint32_t fraction : {0u, 1u, 0x400000u, 0x7FFFFFu, 0x2AAAAAu, 0x0CCCCDu}) {
            values.push_back(std::bit_cast<float>(biased << 23 | fraction));
            values.push_back(std::bit_cast<float>(0x80000000u | biased << 23 | fraction));
        }
    }
    std::mt19937_64 rng(1208);
    for (int i = 0; i < 200000; ++i) values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
    // Concentrate on values whose sixth decimal is significant.
    for (int i = 0; i < 100000; ++i) {
        values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng() % (0x4F000000u - 0x30000000u)) + 0x30000000u));
    }

    for (float value : values) {
        ASSERT_EQ(formatTime(value), printfTime(value)) << "bits 0x" << std::hex << std::bit_cast<std::uint32_t>(value);
    }
}

TEST(FormatRecord, MatchesPrintfAndFitsTheLineBound) {
    std::mt19937_64 rng(42);
    std::vector<float> times = {-FLT_MAX, FLT_MAX, 0.0f, -std::numeric_limits<float>::quiet_NaN()};
    for (int i = 0; i < 2000; ++i) times.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
    for (std::size_t i = 0; i < times.size(); ++i) {
        // The widest sizes and addresses alongside the widest times.
        // Sizes of every length, around each power of ten, and random ones.
        const std::uint32_t tens[] = {1u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u,
                                      10000000u, 100000000u, 1000000000u};
        const std::uint32_t nearTen = tens[i % 10] - 1 + static_cast<std::uint32_t>(i / 10 % 3);
        const auto size = i < 4 ? 4294967295u
                          : i % 3 == 0 ? nearTen
                          : i % 3 == 1 ? static_cast<std::uint32_t>(rng() % tens[1 + rng() % 9])
                                       : static_cast<std::uint32_t>(rng());
        const auto address = i < 4 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rng());
        char expected[128];
        const int n = std::snprintf(expected, sizeof expected, "%6f\t%u\t%u.%u.%u.%u\n", double{times[i]}, size,
                                    address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
        char line[trace::MaxLineChars];
        const char* end = trace::formatRecord(line, times[i], size, address);
        ASSERT_EQ(std::string(line, static_cast<std::size_t>(end - line)), std::string(expected, static_cast<std::size_t>(n)));
    }
}

// parseTime on a field followed by more characters in the buffer, which it
// must neither read nor leave changed.
struct TimeParse {
    bool accepted;
    float value;
    bool bufferIntact;
};

TimeParse parseTimeField(const std::string& token, char next) {
    std::string buffer = token + next + "1";
    TimeParse parse{false, 0.0f, false};
    parse.accepted = trace::parseTime(buffer.data(), buffer.data() + token.size(), parse.value);
    parse.bufferIntact = buffer == token + next + "1";
    return parse;
}

TEST(ParseTime, AgreesWithStrtofOnAcceptanceAndValue) {
    TraceGenerator gen(99);
    std::vector<std::string> tokens = {"", ".", "+", "-", "e5", "1e", "1e+", "1.5E-", "0x", "0x.", "0xp3", "0x1p",
                                       "in", "infinit", "infinityy", "nan(", "nan(123)", "nan()", "nan(a_1)",
                                       "1.2.3", "1..2", "--1", "+-1", "1-", "0x1p3.5", "1e5.5", "١"};
    for (int i = 0; i < 20000; ++i) tokens.push_back(gen.timeToken());
    // Mutations of good tokens, and strings of number-like characters.
    static constexpr char Alphabet[] = "0123456789.eEpPxX+-aAfFiInNtTyY()_";
    for (int i = 0; i < 20000; ++i) {
        std::string token = gen.timeToken();
        const auto at = static_cast<std::size_t>(gen.below(static_cast<int>(token.size()) + 1));
        const char c = Alphabet[gen.below(sizeof Alphabet - 1)];
        switch (gen.below(4)) {
            case 0: token.resize(at); break;
            case 1: token.insert(at, 1, c); break;
            case 2: if (at < token.size()) token[at] = c; break;
            default:
                token.clear();
                for (int n = 1 + gen.below(10); n > 0; --n) token += Alphabet[gen.below(sizeof Alphabet - 1)];
        }
        tokens.push_back(token);
    }

    for (const std::string& token : tokens) {
        char* stop = nullptr;
        const float expected = std::strtof(token.c_str(), &stop);
        // A NaN payload, "nan(...)", is refused: scanf reads only its "nan".
        const bool expectAccepted = !token.empty() && stop == token.c_str() + token.size() &&
                                    token.find('(') == std::string::npos;
        for (char next : {'9', 'e', '(', ' '}) {
            const TimeParse parse = parseTimeField(token, next);
            ASSERT_EQ(parse.accepted, expectAccepted) << '"' << token << "\" followed by '" << next << "'";
            ASSERT_TRUE(parse.bufferIntact) << '"' << token << '"';
            if (expectAccepted) {
                ASSERT_EQ(std::bit_cast<std::uint32_t>(parse.value), std::bit_cast<std::uint32_t>(expected))
                    << '"' << token << '"';
            }
        }
    }
}

// The everyday times ("D.D", 1 to 7 digits each side) are rounded by a
// multiplication unless it lands near a midpoint between two floats: random
// ones, and midpoints that up to seven decimals hold exactly (from 2^17 up)
// and their neighbours a unit of the last decimal away, against strtof.
TEST(ParseTime, ShortDecimalsRoundAsStrtof) {
    std::mt19937_64 rng(5);
    std::vector<std::pair<std::uint64_t, unsigned>> cases;
    for (int i = 0; i < 200000; ++i) {
        const unsigned decimals = 1 + static_cast<unsigned>(rng() % 7);
        const unsigned digits = 1 + static_cast<unsigned>(rng() % (7 + decimals));
        std::uint64_t power = 1;
        for (unsigned d = 0; d < digits; ++d) power *= 10;
        cases.emplace_back(rng() % power, decimals);
    }
    for (int i = 0; i < 20000; ++i) {
        const int binade = 17 + static_cast<int>(rng() % 7);  // floats there are 2^(binade - 23) apart
        const int bits = 24 - binade;                          // midpoints: odd multiples of 2^-bits
        const std::uint64_t whole = (std::uint64_t{1} << binade) + rng() % (std::uint64_t{1} << binade);
        const std::uint64_t odd = 2 * (rng() % (std::uint64_t{1} << (bits - 1))) + 1;
        std::uint64_t digits = whole * 10000000 + (odd * 10000000 >> bits);  // exact: 10^7 has the factor 2^7
        unsigned decimals = 7;
        for (; digits % 10 == 0; digits /= 10) --decimals;  // as few decimals as it takes
        for (const std::uint64_t near : {digits - 1, digits, digits + 1}) cases.emplace_back(near, decimals);
    }
    for (const auto& [digits, decimals] : cases) {
        char text[32];
        std::uint64_t power = 1;
        for (unsigned d = 0; d < decimals; ++d) power *= 10;
        std::snprintf(text, sizeof text, "%llu.%0*llu", static_cast<unsigned long long>(digits / power),
                      static_cast<int>(decimals), static_cast<unsigned long long>(digits % power));
        float value = 0;
        // Refused only for strtof to decide, which the reader then asks.
        if (!trace::detail::roundShortDecimal(digits, decimals, value)) continue;
        const float expected = std::strtof(text, nullptr);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(expected)) << text;
    }
}

// Decimal digits after an optional '+', through std::from_chars.
const char* referenceUnsigned(const char* first, const char* last, std::uint32_t& value) {
    if (first != last && *first == '+') ++first;
    if (first == last || *first < '0' || *first > '9') return nullptr;
    const auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc{} ? end : nullptr;
}

TEST(ParseUnsigned, AgreesWithFromChars) {
    std::vector<std::string> texts = {"", "+", "-1", "++1", "+-1", " 1", "0", "+0", "4294967295", "4294967296",
                                      "+4294967295", "00000000000000000004294967295", "18446744073709551616",
                                      "99999999999999999999999999", "42x", "42.7", "7 8"};
    std::mt19937_64 rng(5);
    static constexpr char Alphabet[] = "0123456789+-. x";
    for (int i = 0; i < 20000; ++i) {
        std::string text = rng() % 3 == 0 ? "+" : "";
        if (rng() % 4 == 0) text.append(rng() % 12, '0');
        text += std::to_string(rng() >> (rng() % 64));  // lengths up to 20 digits
        if (rng() % 2 == 0) text += Alphabet[rng() % (sizeof Alphabet - 1)];
        texts.push_back(text);
    }

    for (const std::string& text : texts) {
        // Every end of the range, so a bound that cuts the digits is honoured.
        for (std::size_t length = 0; length <= text.size(); ++length) {
            const char* first = text.data();
            const char* last = first + length;
            std::uint32_t expected = 0, value = 0;
            const char* expectedEnd = referenceUnsigned(first, last, expected);
            const char* end = trace::parseUnsigned(first, last, value);
            ASSERT_EQ(end, expectedEnd) << '"' << text.substr(0, length) << '"';
            if (end != nullptr) {
                ASSERT_EQ(value, expected) << '"' << text.substr(0, length) << '"';
            }
        }
    }
}

}  // namespace

namespace {

// The writer keeps the text of the last time's sign and whole part for the
// next line. Runs of times within one second, then across seconds, signs,
// values that round up into the next second, -0, inf and nan between them,
// and huge values, each in batches that split the runs anywhere, must all
// print as printf prints them.
TEST(RecordWriter, WholePartKeptBetweenLinesMatchesPrintf) {
    std::mt19937_64 rng(61);
    std::vector<float> times;
    for (int run = 0; run < 400; ++run) {
        const float whole = static_cast<float>(static_cast<int>(rng() % 5) - 2) * static_cast<float>(rng() % 100000);
        const int kind = static_cast<int>(rng() % 8);
        for (int i = 1 + static_cast<int>(rng() % 12); i > 0; --i) {
            const float fraction = static_cast<float>(rng() % 1000000) / 1e6f;
            float t = whole < 0 ? whole - fraction : whole + fraction;
            if (kind == 0) t = std::nextafter(whole + 1.0f, 0.0f);  // x.9999999 prints as the next second
            if (kind == 1 && i == 1) t = -0.0f;
            if (kind == 2 && i == 1) t = std::numeric_limits<float>::infinity();
            if (kind == 3 && i == 1) t = std::numeric_limits<float>::quiet_NaN();
            if (kind == 4 && i == 1) t = std::bit_cast<float>(0x5F800000u + static_cast<std::uint32_t>(rng() % 1000));  // above 2^64
            times.push_back(t);
        }
    }
    std::string expected;
    for (const float t : times) {
        char line[128];
        expected.append(line, static_cast<std::size_t>(std::snprintf(line, sizeof line, "%6f\t7\t1.2.3.4\n", double{t})));
    }
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    auto writer = std::make_unique<trace::RecordWriter>(out);
    auto batch = std::make_unique<trace::RecordBatch>();
    for (std::size_t i = 0; i < times.size();) {
        batch->clear();
        for (std::size_t n = 1 + rng() % 40; n > 0 && i < times.size(); --n, ++i) {
            batch->packet_time[batch->count] = times[i];
            batch->packet_size[batch->count] = 7;
            batch->is_ipv6[batch->count++] = false;
            batch->packet_addr[batch->count4++] = 0x01020304;
        }
        ASSERT_TRUE(writer->write(*batch));
    }
    ASSERT_TRUE(writer->flush());
    EXPECT_TRUE(ipveil::cmd_test::readAll(out) == expected);
    std::fclose(out);
}

}  // namespace

namespace {

// On every scan path the writer prints IPv6 addresses as glibc's inet_ntop
// does where that is RFC 5952 (no run of two or more zero groups), and as
// formatIpv6Address does elsewhere: groups of every length, lone zero groups
// and runs of them, in batches of every size.
class RecordWriterOnScanPath : public ipveil::trace_test::OnScanPath {};
IPVEIL_ON_EVERY_SCAN_PATH(RecordWriterOnScanPath);

TEST_P(RecordWriterOnScanPath, Ipv6LinesMatchInetNtop) {
    std::mt19937_64 rng(67);
    std::vector<ipveil::Ipv6Address> addresses(20000);
    std::string expected;
    for (ipveil::Ipv6Address& address : addresses) {
        for (int g = 0; g < 8; ++g) {
            const unsigned digits = static_cast<unsigned>(rng() % (rng() % 3 == 0 ? 5 : 4)) + (rng() % 5 != 0);
            const auto value = static_cast<std::uint16_t>(rng() & ((1u << (4 * digits)) - 1));
            address.bytes[2 * g] = static_cast<std::uint8_t>(value >> 8);
            address.bytes[2 * g + 1] = static_cast<std::uint8_t>(value);
        }
        char text[64];
        bool run = false;
        for (int g = 0; g < 7; ++g) {
            const std::uint8_t* const two = address.bytes + 2 * g;  // groups g and g + 1
            run |= (two[0] | two[1] | two[2] | two[3]) == 0;
        }
        std::size_t length;
        if (!run) {
            ASSERT_NE(inet_ntop(AF_INET6, address.bytes, text, sizeof text), nullptr);
            length = std::strlen(text);
        } else {
            length = static_cast<std::size_t>(ipveil::formatIpv6Address(text, address) - text);
        }
        expected += "1.500000\t60\t" + std::string(text, length) + "\n";
    }
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    auto writer = std::make_unique<trace::RecordWriter>(out);
    auto batch = std::make_unique<trace::RecordBatch>();
    for (std::size_t i = 0; i < addresses.size();) {
        batch->clear();
        for (std::size_t n = 1 + rng() % trace::RecordBatch::Capacity; n > 0 && i < addresses.size(); --n, ++i) {
            batch->packet_time[batch->count] = 1.5f;
            batch->packet_size[batch->count] = 60;
            batch->is_ipv6[batch->count++] = true;
            batch->packet_addr6[batch->count6++] = addresses[i];
        }
        ASSERT_TRUE(writer->write(*batch));
    }
    ASSERT_TRUE(writer->flush());
    EXPECT_TRUE(ipveil::cmd_test::readAll(out) == expected);
    std::fclose(out);
}

}  // namespace
