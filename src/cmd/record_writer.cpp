#include "record_writer.h"

#include <bit>
#include <charconv>
#include <cstring>

namespace ipveil::trace {

namespace {

// "0" to "99" as two characters each.
constexpr char DigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Decimal digits of value; at most 20.
inline char* writeUnsigned(char* out, std::uint64_t value) noexcept {
    return std::to_chars(out, out + 20, value).ptr;
}

// Exactly six digits, with leading zeros.
inline char* writeSixDigits(char* out, std::uint32_t value) noexcept {
    for (int i = 4; i >= 0; i -= 2) {
        std::memcpy(out + i, DigitPairs + 2 * (value % 100), 2);
        value /= 100;
    }
    return out + 6;
}

}  // namespace

// A float is m * 2^e with m below 2^24, so value * 10^6 is m * 10^6 * 2^e, which
// integer arithmetic rounds exactly; only values of 2^64 and above are left
// to std::to_chars, which is exact too but slower.
char* formatTime(char* out, float value) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const bool negative = (bits >> 31) != 0;
    const std::uint32_t biased = (bits >> 23) & 0xFF;
    const std::uint32_t fraction = bits & 0x7FFFFF;

    if (biased == 0xFF) {  // printf pads "inf" and "nan" to the width of 6
        const char* text = fraction != 0 ? (negative ? "  -nan" : "   nan") : (negative ? "  -inf" : "   inf");
        std::memcpy(out, text, 6);
        return out + 6;
    }

    const std::uint64_t mantissa = biased == 0 ? fraction : (fraction | 0x800000u);
    const int exponent = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    std::uint64_t units;  // value * 10^6, rounded half to even
    if (exponent >= 0) {
        if (exponent > 20) return std::to_chars(out, out + MaxLineChars, double{value}, std::chars_format::fixed, 6).ptr;
        units = (mantissa << exponent) * 1000000u;  // below 2^64: 2^44 * 10^6
    } else {
        const std::uint64_t scaled = mantissa * 1000000u;  // below 2^44
        const int shift = -exponent;
        if (shift >= 46) {
            units = 0;  // below half a unit: scaled < 2^44 <= 2^(shift-2)
        } else {
            units = scaled >> shift;
            const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
            const std::uint64_t half = std::uint64_t{1} << (shift - 1);
            if (rest > half || (rest == half && (units & 1) != 0)) ++units;
        }
    }

    if (negative) *out++ = '-';
    out = writeUnsigned(out, units / 1000000u);
    *out++ = '.';
    return writeSixDigits(out, static_cast<std::uint32_t>(units % 1000000u));
}

char* formatRecord(char* out, float time, std::uint32_t size, std::uint32_t address) noexcept {
    out = formatTime(out, time);
    *out++ = '\t';
    out = writeUnsigned(out, size);
    *out++ = '\t';
    for (int shift = 24; shift >= 0; shift -= 8) {
        out = writeUnsigned(out, (address >> shift) & 0xFF);
        *out++ = shift != 0 ? '.' : '\n';
    }
    return out;
}

bool RecordWriter::drain() noexcept {
    if (used != 0 && !failed) failed = std::fwrite(buffer, 1, used, output) != used;
    used = 0;
    return !failed;
}

bool RecordWriter::flush() noexcept {
    drain();
    if (std::fflush(output) != 0 || std::ferror(output)) failed = true;
    return !failed;
}

}  // namespace ipveil::trace
