// Helpers shared by the trace and command tests: a generator of well-formed
// traces, the C library's reading of a trace (fscanf) and printing of a record
// (snprintf) as the reference, and runners for the library and the command.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <ostream>
#include <random>
#include <string>

#include <arpa/inet.h>

#include "ipv6_address.h"
#include "ipv6_forms.h"
#include "ipveil_key.h"
#include "prefix_anonymizer.h"
#include "record_writer.h"
#include "trace_reader.h"

namespace ipveil::trace {

inline void PrintTo(ReadResult result, std::ostream* os) {
    constexpr const char* Names[] = {"Record", "End", "Malformed", "ReadError"};
    *os << Names[static_cast<int>(result)];
}

}  // namespace ipveil::trace

namespace ipveil::cmd_test {

inline const PrefixAnonymizer& builtInAnonymizer() {
    static const PrefixAnonymizer anonymizer(BuiltInKey);
    return anonymizer;
}

// In 32-bit arithmetic, so components above 255 carry into their neighbours.
inline std::uint32_t packAddress(const std::uint32_t* a) { return (a[0] << 24) + (a[1] << 16) + (a[2] << 8) + a[3]; }

// Whether a reference anonymizes the addresses, as ipveil does, or prints
// them as they are, as ipveil-reveal does for ipveil's output.
enum class Addresses { Anonymized, AsRead };

// The output line of one record, as printf prints it.
inline std::string referenceLine(float time, std::uint32_t size, std::uint32_t address,
                                 Addresses addresses = Addresses::Anonymized) {
    const std::uint32_t anon = addresses == Addresses::Anonymized ? builtInAnonymizer().anonymize(address) : address;
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%6f\t%u\t%u.%u.%u.%u\n", double{time}, size, anon >> 24,
                                (anon >> 16) & 0xFF, (anon >> 8) & 0xFF, anon & 0xFF);
    return std::string(line, static_cast<std::size_t>(n));
}

// The output line of an IPv6 record: printf's time and size, then the
// address's RFC 5952 text.
inline std::string referenceLine(float time, std::uint32_t size, const Ipv6Address& address,
                                 Addresses addresses = Addresses::Anonymized) {
    char line[128];
    int n = std::snprintf(line, sizeof line, "%6f\t%u\t", double{time}, size);
    const Ipv6Address shown = addresses == Addresses::Anonymized ? builtInAnonymizer().anonymize(address) : address;
    n = static_cast<int>(formatIpv6Address(line + n, shown) - line);
    line[n++] = '\n';
    return std::string(line, static_cast<std::size_t>(n));
}

inline std::FILE* fileHolding(const std::string& text) {
    std::FILE* f = std::tmpfile();
    if (f == nullptr) return nullptr;
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

inline std::string readAll(std::FILE* f) {
    std::string out;
    std::rewind(f);
    char block[1 << 16];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0) out.append(block, got);
    return out;
}

struct ScanfReference {
    std::string output;         // the lines of every record fscanf read
    bool complete = false;      // fscanf read records up to the end of input
    std::size_t consumed = 0;   // offset just past the last record read
};

// The trace as a loop of fscanf("%f"), "%u", "%u.%u.%u.%u" reads it, where
// an address field (up to whitespace) holding a ':' is read instead as a
// token that inet_pton(AF_INET6) must accept.
inline ScanfReference scanfReference(const std::string& text, Addresses addresses = Addresses::Anonymized) {
    ScanfReference ref;
    std::FILE* f = fileHolding(text);
    if (f == nullptr) return ref;
    for (;;) {
        float time;
        std::uint32_t size;
        std::uint32_t a[4];
        const int got = std::fscanf(f, "%f", &time);
        if (got == EOF) {
            ref.complete = true;
            break;
        }
        if (got != 1 || std::fscanf(f, "%u", &size) != 1) break;
        const long addressAt = std::ftell(f);
        char token[256];
        if (std::fscanf(f, "%255s", token) == 1 && std::strchr(token, ':') != nullptr) {
            Ipv6Address address;
            if (inet_pton(AF_INET6, token, address.bytes) != 1) break;
            ref.output += referenceLine(time, size, address, addresses);
        } else {
            std::fseek(f, addressAt, SEEK_SET);
            if (std::fscanf(f, "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]) != 4) break;
            ref.output += referenceLine(time, size, packAddress(a), addresses);
        }
        ref.consumed = static_cast<std::size_t>(std::ftell(f));
    }
    std::fclose(f);
    return ref;
}

struct LibraryRun {
    std::string output;
    trace::ReadResult result = trace::ReadResult::ReadError;
    std::uint64_t line = 0;  // recordLine() when reading stopped
};

// TraceReader and RecordWriter wired together the way the command does it:
// a batch at a time, the addresses anonymized in one call per batch.
inline LibraryRun runLibrary(const std::string& text) {
    LibraryRun run;
    std::FILE* in = fileHolding(text);
    std::FILE* out = std::tmpfile();
    if (in == nullptr || out == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return run;
    }
    {
        // Both hold large buffers; keep them off the stack.
        auto reader = std::make_unique<trace::TraceReader>(in);
        auto writer = std::make_unique<trace::RecordWriter>(out);
        trace::RecordBatch batch;
        do {
            run.result = reader->read(batch);
            builtInAnonymizer().anonymize(batch.packet_addr, batch.count4, batch.packet_addr);
            builtInAnonymizer().anonymize(batch.packet_addr6, batch.count6, batch.packet_addr6);
            EXPECT_TRUE(writer->write(batch));
        } while (run.result == trace::ReadResult::Record);
        EXPECT_TRUE(writer->flush());
        run.line = reader->recordLine();
    }
    run.output = readAll(out);
    std::fclose(in);
    std::fclose(out);
    return run;
}

// Well-formed traces in every layout and number syntax that both the reader
// and glibc's scanf accept alike. Not generated: "nan(...)" (scanf reads only
// "nan") and an exponent without digits such as "1e" (scanf takes it as 1,
// strtof stops before the 'e').
class TraceGenerator {
public:
    enum class Layout { RecordPerLine, SeveralPerLine, FieldPerLine, AnyWhitespace };

    explicit TraceGenerator(std::uint64_t seed) : rng(seed) {}

    int below(int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    std::mt19937_64& engine() { return rng; }

    std::string timeToken() {
        static constexpr const char* Edges[] = {
            "1e-40", "3.4e38", "3.4028235e38", "3.40282357e38", "1e39", "0.0078125", "0.0234375", "16777217",
            "16777216.5", "33554435", "0.1", "1.4e-45", "7e-46", "7.1e-46", "0", "0.0", "0x1p-149",
            "0x1.fffffep127", "0x1.000001p0", "0x1.0000010000000000001p0", "0x1.000003p0", "17592186044416",
            "18446744073709551616", "1.8446744e19", "0.0000005", "0.0000015", "1.0000005", "0.00000000000000000001",
            "000000000000000000000000001.5", "0.000000000000000000000000000000000000000000000000001",
            "1e0000000000000000000000000005", "2.98023223876953125e-8", "1.00000005960464477539062500000001",
            "8388608.5", "8388609.5", "0.000000059604644775390625"};
        static constexpr const char* Words[] = {"inf", "INF", "Inf", "infinity", "INFINITY", "Infinity",
                                                "nan", "NAN", "NaN"};
        std::string sign = chance(70) ? "" : chance(50) ? "+" : "-";
        switch (below(9)) {
            case 0: {  // plain decimal
                std::string whole = digits(below(11)), fraction = digits(below(11));
                if (whole.empty() && fraction.empty()) whole = "0";
                if (fraction.empty() && chance(50)) return sign + whole;
                return sign + whole + "." + fraction;
            }
            case 1:  // many digits, maybe leading zeros
                return sign + std::string(static_cast<std::size_t>(below(3) * below(12)), '0') + digits(1 + below(40)) +
                       "." + digits(below(60));
            case 2: {  // exponent
                std::string mantissa = digits(1 + below(6));
                if (chance(50)) mantissa = chance(30) ? "." + mantissa : mantissa + "." + digits(below(6));
                const int e = below(100) - 55;
                std::string exponent = (e < 0 ? "-" : chance(30) ? "+" : "") + std::string(chance(20) ? "00" : "") +
                                       std::to_string(e < 0 ? -e : e);
                return sign + mantissa + (chance(50) ? "e" : "E") + exponent;
            }
            case 3: {  // hexadecimal
                std::string whole = digits(below(8), "0123456789abcdefABCDEF");
                std::string fraction = digits(below(8), "0123456789abcdefABCDEF");
                if (whole.empty() && fraction.empty()) whole = "1";
                std::string text = sign + (chance(50) ? "0x" : "0X") + whole;
                if (!fraction.empty() || chance(30)) text += "." + fraction;
                if (chance(80)) text += (chance(50) ? "p" : "P") + std::to_string(below(300) - 170);
                return text;
            }
            case 4:
                return sign + Words[below(static_cast<int>(std::size(Words)))];
            case 5:
                return sign + Edges[below(static_cast<int>(std::size(Edges)))];
            case 6: {
                // Near the midpoint of two floats, where a double rounded
                // again to float may round the wrong way.
                const auto bits = 0x33D6BF95u + static_cast<std::uint32_t>(rng() % 0x248CA014u);  // 1e-7 to 1e15
                float low;
                std::memcpy(&low, &bits, sizeof low);
                const double mid = (double{low} + double{std::nextafter(low, 2 * low)}) / 2;
                char text[64];
                std::snprintf(text, sizeof text, chance(80) ? "%.15g" : "%.14g", mid);
                return sign + text;
            }
            default: {  // any float, printed by printf in some style
                static constexpr const char* Formats[] = {"%.9g", "%a", "%.17g", "%.3e", "%f", "%.12f", "%g"};
                const auto bits = static_cast<std::uint32_t>(rng());
                float value;
                std::memcpy(&value, &bits, sizeof value);
                char text[128];
                std::snprintf(text, sizeof text, Formats[below(static_cast<int>(std::size(Formats)))], double{value});
                return text;
            }
        }
    }

    // Decimal digits, maybe with leading zeros and '+'.
    std::string unsignedToken(bool component) {
        std::uint32_t value;
        const int kind = below(20);
        if (kind == 0) {
            static constexpr std::uint32_t Edges[] = {0, 1, 255, 256, 65535, 4294967294u, 4294967295u};
            value = Edges[below(static_cast<int>(std::size(Edges)))];
        } else if (kind == 1) {
            value = static_cast<std::uint32_t>(rng());
        } else if (component) {
            value = static_cast<std::uint32_t>(kind == 2 ? below(65536) : below(256));
        } else {
            value = static_cast<std::uint32_t>(kind < 10 ? below(1501) : static_cast<int>(rng() >> 33));
        }
        std::string text = chance(10) ? "+" : "";
        if (chance(10)) text.append(static_cast<std::size_t>(1 + below(5)), '0');
        text += std::to_string(value);
        return text;
    }

    std::string trace(int records) { return trace(records, static_cast<Layout>(below(4))); }

    std::string trace(int records, Layout layout) {
        std::string text;
        if (chance(30)) text += space(layout, Gap::Records);
        for (int r = 0; r < records; ++r) {
            if (r > 0) text += space(layout, Gap::Records);
            text += timeToken() + space(layout, Gap::Fields) + unsignedToken(false) + space(layout, Gap::Fields);
            if (chance(25)) {
                text += address_test::randomForm(address_test::randomAddress(rng), rng);
                continue;
            }
            for (int i = 0; i < 4; ++i) {
                if (i > 0) {
                    text += '.';
                    text += space(layout, Gap::AfterDot);
                }
                text += unsignedToken(true);
            }
        }
        if (chance(70)) text += space(layout, Gap::Records);
        return text;
    }

private:
    enum class Gap { Fields, Records, AfterDot };

    std::string digits(int count, const char* alphabet = "0123456789") {
        const auto n = std::char_traits<char>::length(alphabet);
        std::string out;
        for (int i = 0; i < count; ++i) out += alphabet[rng() % n];
        return out;
    }

    std::string space(Layout layout, Gap gap) {
        switch (layout) {
            case Layout::RecordPerLine:
                if (gap == Gap::AfterDot) return "";
                if (gap == Gap::Records) return chance(10) ? "\r\n" : "\n";
                return chance(80) ? " " : "\t";
            case Layout::SeveralPerLine:
                if (gap == Gap::AfterDot) return chance(90) ? "" : " ";
                if (gap == Gap::Records && chance(25)) return "\n";
                return chance(70) ? " " : chance(50) ? "\t" : "  ";
            case Layout::FieldPerLine:
                return gap == Gap::AfterDot && chance(70) ? "" : "\n";
            case Layout::AnyWhitespace:
                break;
        }
        if (gap == Gap::AfterDot && chance(50)) return "";
        return digits(1 + below(4), " \t\n\v\f\r");
    }

    std::mt19937_64 rng;
};

}  // namespace ipveil::cmd_test
