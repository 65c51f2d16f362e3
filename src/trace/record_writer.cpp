#include "record_writer.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#include "ipv4_format.h"
#include "text_scan.h"

namespace ipveil::trace {

namespace {

// The writers below build text in integers, the first character in the
// lowest byte, and store a whole word at once, whatever the machine's byte
// order. A store may run past the end it returns, by at most 7 bytes for an
// 8-byte word; MaxLineChars leaves room for that.
inline void store(char* out, std::uint64_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(out, &word, sizeof word);
}
inline void store(char* out, std::uint32_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    std::memcpy(out, &word, sizeof word);
}

// "00" to "99" as two characters each.
constexpr auto DigitPairs = [] {
    std::array<std::uint16_t, 100> pairs{};
    for (unsigned i = 0; i < 100; ++i) pairs[i] = static_cast<std::uint16_t>(('0' + i / 10) | ('0' + i % 10) << 8);
    return pairs;
}();

constexpr std::uint32_t PowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// Number of decimal digits of value, below 10^8. bit_width * 1233 / 4096 is
// floor(bit_width * log10(2)), which is the digit count or one less.
inline unsigned decimalLength(std::uint32_t value) noexcept {
    value |= 1;  // 0 has a digit; no power of ten from 10 up is odd, so compares stay right
    const unsigned guess = (static_cast<unsigned>(std::bit_width(value)) * 1233) >> 12;
    return guess + (value >= PowersOfTen[guess]);
}

// Decimal digits of value: up to 8 digits are built as zero-padded text two
// at a time from the table, then shifted to drop the leading zeros.
inline char* writeUnsigned(char* out, std::uint64_t value) noexcept {
    if (value < 10000) [[likely]] {  // sizes, and the whole seconds of many traces
        const auto v = static_cast<std::uint32_t>(value);
        const std::uint32_t text = DigitPairs[v / 100] | std::uint32_t{DigitPairs[v % 100]} << 16;
        const unsigned length = 1 + (v >= 10) + (v >= 100) + (v >= 1000);
        store(out, text >> (8 * (4 - length)));
        return out + length;
    }
    if (value < 100000000) {
        const auto v = static_cast<std::uint32_t>(value);
        const std::uint32_t high = v / 10000;
        const std::uint32_t low = v % 10000;
        const std::uint64_t text = DigitPairs[high / 100] | std::uint64_t{DigitPairs[high % 100]} << 16 |
                                   std::uint64_t{DigitPairs[low / 100]} << 32 |
                                   std::uint64_t{DigitPairs[low % 100]} << 48;
        const unsigned length = decimalLength(v);
        store(out, text >> (8 * (8 - length)));
        return out + length;
    }
    return std::to_chars(out, out + 20, value).ptr;
}

// "000" to "999" as three characters each.
constexpr auto DigitTriples = [] {
    std::array<std::uint32_t, 1000> triples{};
    for (unsigned i = 0; i < 1000; ++i) triples[i] = ('0' + i / 100) | ('0' + i / 10 % 10) << 8 | ('0' + i % 10) << 16;
    return triples;
}();

// A point and exactly six digits, with leading zeros.
inline char* writePointSixDigits(char* out, std::uint32_t value) noexcept {
    const std::uint32_t high = value / 1000;
    const std::uint32_t low = value - 1000 * high;
    store(out, std::uint64_t{'.'} | std::uint64_t{DigitTriples[high]} << 8 | std::uint64_t{DigitTriples[low]} << 32);
    return out + 7;
}

// A time as printf("%6f") shows it: "inf" or "nan" (Special), a value of 2^64
// or more (Huge), or else (Fixed) the sign, the whole part and six decimals,
// value * 10^6 rounded half to even.
enum class TimeKind { Fixed, Special, Huge };

struct FixedTime {
    bool negative;
    std::uint64_t whole;
    std::uint32_t millionths;
};

// A float is m * 2^e with m below 2^24, so value * 10^6 is m * 10^6 * 2^e, which
// integer arithmetic rounds exactly; only values of 2^64 and above are left
// to std::to_chars, which is exact too but slower.
inline TimeKind splitTime(float value, FixedTime& parts) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t biased = (bits >> 23) & 0xFF;
    const std::uint32_t fraction = bits & 0x7FFFFF;
    if (biased == 0xFF) [[unlikely]] return TimeKind::Special;

    const std::uint64_t mantissa = biased == 0 ? fraction : (fraction | 0x800000u);
    const int exponent = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    // value * 10^6 rounded half to even, as whole * 10^6 + millionths. The
    // two are computed apart, which spares a 64-bit division by 10^6.
    std::uint64_t whole = 0;
    std::uint32_t millionths = 0;
    if (exponent >= 0) {
        if (exponent > 20) [[unlikely]] return TimeKind::Huge;
        whole = mantissa << exponent;  // below 2^44
    } else if (const int shift = -exponent; shift < 46) {
        // For 46 and more, value * 10^6 < 2^44 / 2^46 rounds to 0.
        const std::uint64_t below = (std::uint64_t{1} << shift) - 1;
        whole = mantissa >> shift;
        // The fraction's bits times 10^6 (below 2^44), over 2^shift. Being
        // whole * 10^6 (even) apart, it rounds as value * 10^6 does.
        const std::uint64_t scaled = (mantissa & below) * 1000000u;
        std::uint64_t units = scaled >> shift;
        const std::uint64_t rest = scaled & below;
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        units += (rest > half) | ((rest == half) & units);  // arithmetic: the rest is random, a branch would miss
        if (units == 1000000) [[unlikely]] {  // rounded up to the next whole
            ++whole;
            units = 0;
        }
        millionths = static_cast<std::uint32_t>(units);
    }
    parts = {(bits >> 31) != 0, whole, millionths};
    return TimeKind::Fixed;
}

// What follows the time: a tab, the size, a tab, the address, a line feed.
inline char* writeRest(char* out, std::uint32_t size, std::uint32_t address) noexcept {
    *out++ = '\t';
    out = writeUnsigned(out, size);
    *out++ = '\t';
    out = address_detail::formatDottedQuad(out, address);  // formatIpv4Address, inline
    *out++ = '\n';
    return out;
}

inline char* writeRest(char* out, std::uint32_t size, const Ipv6Address& address,
                       scan_detail::Ipv6Print print = nullptr) noexcept {
    *out++ = '\t';
    out = writeUnsigned(out, size);
    *out++ = '\t';
    char* const printed = print != nullptr ? print(out, address) : nullptr;
    out = printed != nullptr ? printed : formatIpv6Address(out, address);
    *out++ = '\n';
    return out;
}

}  // namespace

char* formatTime(char* out, float value) noexcept {
    FixedTime parts;
    switch (splitTime(value, parts)) {
        case TimeKind::Special: {  // printf pads "inf" and "nan" to the width of 6
            const auto bits = std::bit_cast<std::uint32_t>(value);
            const bool negative = (bits >> 31) != 0;
            const char* text = (bits & 0x7FFFFF) != 0 ? (negative ? "  -nan" : "   nan") : (negative ? "  -inf" : "   inf");
            std::memcpy(out, text, 6);
            return out + 6;
        }
        case TimeKind::Huge:
            return std::to_chars(out, out + MaxLineChars, double{value}, std::chars_format::fixed, 6).ptr;
        case TimeKind::Fixed:
            break;
    }
    if (parts.negative) *out++ = '-';
    out = writeUnsigned(out, parts.whole);
    return writePointSixDigits(out, parts.millionths);
}

char* formatRecord(char* out, float time, std::uint32_t size, std::uint32_t address) noexcept {
    return writeRest(formatTime(out, time), size, address);
}

char* formatRecord(char* out, float time, std::uint32_t size, const Ipv6Address& address) noexcept {
    return writeRest(formatTime(out, time), size, address);
}


// Consecutive records of a trace mostly fall in the same second, so the text
// of the sign and whole part is kept from one line to the next; within a
// batch its length stays in a register.
bool RecordWriter::write(const RecordBatch& batch) noexcept {
    // The position and the cached whole part live in locals: kept in the
    // object, every character stored would make the compiler load them
    // again, a chain through memory from one line to the next.
    std::size_t length = wholeLength;
    std::uint64_t value = wholeValue;
    bool negative = wholeNegative;
    char* out = buffer + used;
    std::size_t next4 = 0;
    std::size_t next6 = 0;
    const scan_detail::Ipv6Print print = batch.count6 != 0 ? scan_detail::activeIpv6Print() : nullptr;
    for (std::size_t i = 0; i < batch.count; ++i) {
        if (static_cast<std::size_t>(buffer + BufferBytes - out) < MaxLineChars) [[unlikely]] {
            used = static_cast<std::size_t>(out - buffer);
            if (!drain()) return false;
            out = buffer;
        }
        const float time = batch.packet_time[i];
        FixedTime parts;
        if (splitTime(time, parts) == TimeKind::Fixed) [[likely]] {
            if (parts.whole != value || parts.negative != negative) [[unlikely]] {
                char* text = wholeText;
                if (parts.negative) *text++ = '-';
                length = static_cast<std::size_t>(writeUnsigned(text, parts.whole) - wholeText);
                value = parts.whole;
                negative = parts.negative;
            }
            std::memcpy(out, wholeText, sizeof wholeText);
            out = writePointSixDigits(out + length, parts.millionths);
        } else {
            out = formatTime(out, time);
        }
        out = batch.is_ipv6[i] ? writeRest(out, batch.packet_size[i], batch.packet_addr6[next6++], print)
                               : writeRest(out, batch.packet_size[i], batch.packet_addr[next4++]);
    }
    used = static_cast<std::size_t>(out - buffer);
    wholeLength = length;
    wholeValue = value;
    wholeNegative = negative;
    return !failed;
}

bool RecordWriter::drain() noexcept {
    if (used != 0 && !failed) {
        failed = file.descriptor() >= 0 ? !file.write(buffer, used) : std::fwrite(buffer, 1, used, output) != used;
    }
    used = 0;
    return !failed;
}

bool RecordWriter::flush() noexcept {
    drain();
    if (file.descriptor() < 0 && (std::fflush(output) != 0 || std::ferror(output))) failed = true;
    return !failed;
}

}  // namespace ipveil::trace
