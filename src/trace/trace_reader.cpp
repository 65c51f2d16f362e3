#include "trace_reader.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ipveil::trace {

namespace {

// isspace() of the "C" locale, which is what scanf skips.
inline bool isSpace(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr double PowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t IntegerPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// digits / 10^decimals in single precision, as strtof rounds it, for digits
// at most 2^53 and decimals at most 22: then digits / 10^decimals is one
// correctly rounded double operation. Rounding that double to float gives
// strtof's result unless the double lies exactly halfway between two floats
// (then the true value may lie on either side) or the float would be
// subnormal; those cases return false and are left to strtof.
inline bool roundDecimal(std::uint64_t digits, int decimals, bool negative, float& value) noexcept {
    const double exact = static_cast<double>(digits) / PowersOfTen[decimals];
    const auto bits = std::bit_cast<std::uint64_t>(exact);
    if ((bits & 0x1FFFFFFF) == 0x10000000) [[unlikely]] return false;  // halfway between two floats
    if (digits != 0 && exact < 0x1p-126) [[unlikely]] return false;     // subnormal float
    const float rounded = static_cast<float>(exact);
    value = negative ? -rounded : rounded;
    return true;
}

// A plain decimal such as 1234.567890, without strtof.
bool parsePlainDecimal(const char* p, const char* last, float& value) noexcept {
    bool negative = false;
    if (p != last && (*p == '-' || *p == '+')) negative = *p++ == '-';
    std::uint64_t digits = 0;
    int count = 0;
    int decimals = 0;
    bool point = false;
    bool any = false;
    for (; p != last; ++p) {
        if (isDigit(*p)) {
            any = true;
            if (digits == 0 && *p == '0') {
                if (point) ++decimals;
                continue;  // leading zeros cost no precision
            }
            if (++count > 15) return false;
            digits = digits * 10 + static_cast<unsigned>(*p - '0');
            if (point) ++decimals;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (!any || decimals > 22) return false;
    return roundDecimal(digits, decimals, negative, value);
}

// Word-at-a-time helpers for the reader, whose buffer has at least 8
// readable bytes from any position up to its end. They treat the bytes as a
// number with the first byte lowest, whatever the machine's byte order.
inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

constexpr std::uint64_t EachByte = 0x0101010101010101;

// How many of the 8 bytes, from the first, are decimal digits (0 to 8).
inline unsigned digitRun(std::uint64_t word) noexcept {
    // A digit is 0x30 to 0x39: high nibble 3, and a low nibble that does not
    // carry into the high one when 6 is added. A byte of notDigit is nonzero
    // exactly where the byte is not a digit; no step carries between bytes.
    const std::uint64_t notDigit = ((word & (0xF0 * EachByte)) ^ (0x30 * EachByte)) |
                                   (((word & (0x0F * EachByte)) + 0x06 * EachByte) & (0xF0 * EachByte));
    const std::uint64_t marks = (((notDigit & (0x7F * EachByte)) + 0x7F * EachByte) | notDigit) & (0x80 * EachByte);
    return static_cast<unsigned>(std::countr_zero(marks)) / 8;
}

// The value of the first count (1 to 8) bytes, which are digits: they are
// moved to the top so that the zero bytes below act as leading zeros, then
// neighbouring digits, pairs and quads are combined by multiplications.
inline std::uint32_t digitsValue(std::uint64_t word, unsigned count) noexcept {
    word <<= 8 * (8 - count);
    word = ((word & (0x0F * EachByte)) * (1 + (10 << 8))) >> 8;
    word = ((word & 0x00FF00FF00FF00FF) * (1 + (100 << 16))) >> 16;
    return static_cast<std::uint32_t>(((word & 0x0000FFFF0000FFFF) * (1 + (10000ULL << 32))) >> 32);
}

// parseUnsigned for a field at p in the reader's buffer, whose end is last.
// 1 to 7 digits, the sizes and address components of real traces, are read
// in one step; the run cannot pass last, where a '\0' is. The rest ('+',
// leading zeros beyond, long values, no digits) takes parseUnsigned.
inline const char* parseUnsignedInBuffer(const char* p, const char* last, std::uint32_t& value) noexcept {
    const std::uint64_t word = load8(p);
    const unsigned count = digitRun(word);
    if (count - 1 < 7) [[likely]] {
        value = digitsValue(word, count);
        return p + count;
    }
    return parseUnsigned(p, last, value);
}

// The usual time field of a trace in the reader's buffer: 1 to 7 digits, a
// point and 1 to 7 decimals, followed by whitespace. Returns its end, or
// nullptr for anything else, which parseTime then reads (so a field ending
// with the bytes held is left to it too). With at most 14 digits in all the
// value is what parsePlainDecimal computes, rounded the same way.
inline char* parseUsualTime(char* p, float& value) noexcept {
    const std::uint64_t wholeWord = load8(p);
    const unsigned whole = digitRun(wholeWord);
    if (whole - 1 >= 7 || p[whole] != '.') return nullptr;
    char* const fraction = p + whole + 1;
    const std::uint64_t fractionWord = load8(fraction);
    const unsigned decimals = digitRun(fractionWord);
    if (decimals - 1 >= 7 || !isSpace(fraction[decimals])) return nullptr;
    const std::uint64_t digits =
        digitsValue(wholeWord, whole) * IntegerPowersOfTen[decimals] + digitsValue(fractionWord, decimals);
    if (!roundDecimal(digits, static_cast<int>(decimals), false, value)) [[unlikely]] return nullptr;
    return fraction + decimals;
}

// Bit i set where p[i], of the 32 bytes from p, is not a decimal digit.
inline std::uint32_t nonDigitMask32(const char* p) noexcept {
#if defined(__SSE2__)
    // Signed byte compares: bytes from 0x80 up are negative, so no digit.
    const __m128i belowZero = _mm_set1_epi8('0' - 1);
    const __m128i aboveNine = _mm_set1_epi8('9' + 1);
    auto digits = [&](const char* q) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i isDigit = _mm_and_si128(_mm_cmpgt_epi8(bytes, belowZero), _mm_cmplt_epi8(bytes, aboveNine));
        return static_cast<std::uint32_t>(_mm_movemask_epi8(isDigit));
    };
    return ~(digits(p) | digits(p + 16) << 16);
#else
    std::uint32_t mask = 0;
    for (int i = 0; i < 32; ++i) mask |= std::uint32_t{!isDigit(p[i])} << i;
    return mask;
#endif
}

// The usual record, as a whole: time "D.D", size "D", address "D.D.D.D",
// where D is 1 to 7 digits (1 to 8 for the unsigned fields, whose values then
// stay below 10^8), the fields apart by one whitespace character and the
// address followed by one, all within the 32 bytes from p. Returns the end of
// the address and the number of line feeds between the fields, or nullptr
// for anything else, which the field-by-field parse then reads.
//
// One mask of the non-digit bytes gives every field's position at once, so
// no field waits for the one before it to be scanned. The fields' values are
// exactly what the field-by-field parse gives: it would read the same digits
// between the same separators.
inline const char* parseUsualRecord(const char* p, TraceRecord& record, std::uint64_t& newlines) noexcept {
    std::uint32_t stops = nonDigitMask32(p);
    // The separators, in order; a missing one shows as 32.
    unsigned at[7];
    for (unsigned& position : at) {
        position = static_cast<unsigned>(std::countr_zero(stops));
        stops &= stops - 1;
    }
    if (at[6] == 32) return nullptr;
    // Every field has 1 to 8 digits (ends apart by 2 to 9).
    if (at[0] - 1 >= 8) return nullptr;
    for (int i = 1; i < 7; ++i) {
        if (at[i] - at[i - 1] - 2 >= 8) return nullptr;
    }
    if (p[at[0]] != '.' || !isSpace(p[at[1]]) || !isSpace(p[at[2]]) || p[at[3]] != '.' || p[at[4]] != '.' ||
        p[at[5]] != '.' || !isSpace(p[at[6]])) {
        return nullptr;
    }
    // The time: at most 7 digits on each side of the point, 14 in all.
    const unsigned whole = at[0];
    const unsigned decimals = at[1] - at[0] - 1;
    if (whole == 8 || decimals == 8) return nullptr;
    const std::uint64_t digits =
        digitsValue(load8(p), whole) * IntegerPowersOfTen[decimals] + digitsValue(load8(p + at[0] + 1), decimals);
    if (!roundDecimal(digits, static_cast<int>(decimals), false, record.packet_time)) [[unlikely]] return nullptr;

    record.packet_size = digitsValue(load8(p + at[1] + 1), at[2] - at[1] - 1);
    for (int i = 0; i < 4; ++i) record.packet_addr[i] = digitsValue(load8(p + at[i + 2] + 1), at[i + 3] - at[i + 2] - 1);
    newlines = (p[at[1]] == '\n') + (p[at[2]] == '\n');
    return p + at[6];
}

}  // namespace

bool parseTime(char* first, char* last, float& value) noexcept {
    if (first == last) return false;
    if (parsePlainDecimal(first, last, value)) [[likely]] return true;
    // strtof skips leading whitespace, which a field never has; the field is
    // terminated in place for it.
    const char saved = *last;
    *last = '\0';
    char* stop = nullptr;
    const float parsed = std::strtof(first, &stop);
    *last = saved;
    if (stop != last) return false;
    // strtof takes "nan(chars)" whole, but scanf reads only its "nan" and
    // fails on the rest; a trace that scanf cannot read is not accepted.
    if (std::memchr(first, '(', static_cast<std::size_t>(last - first)) != nullptr) return false;
    value = parsed;
    return true;
}

const char* parseUnsigned(const char* first, const char* last, std::uint32_t& value) noexcept {
    const char* p = first;
    if (p != last && *p == '+') ++p;
    const char* digitsStart = p;
    std::uint64_t v = 0;
    for (; p != last && isDigit(*p); ++p) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 0xFFFFFFFFu) return nullptr;
    }
    if (p == digitsStart) return nullptr;
    value = static_cast<std::uint32_t>(v);
    return p;
}

bool TraceReader::refill() noexcept {
    // Keep the unread bytes (a record in progress) and fill the rest.
    if (begin > 0) {
        std::memmove(buffer, buffer + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    bool ok = true;
    while (end < BufferBytes && !atEof) {
        const std::size_t got = std::fread(buffer + end, 1, BufferBytes - end, input);
        end += got;
        if (got == 0 || end < BufferBytes) {
            if (std::ferror(input)) {
                ok = false;
                break;
            }
            if (std::feof(input)) atEof = true;
            if (got == 0 && !atEof) {  // neither data nor end: treat as a read failure
                ok = false;
                break;
            }
        }
    }
    std::memset(buffer + end, 0, PadBytes);
    return ok;
}

ReadResult TraceReader::next(TraceRecord& record) noexcept {
    for (;;) {
        // Whitespace between records is consumed as it streams past; the
        // '\0' after the bytes held ends the loop.
        while (isSpace(buffer[begin])) {
            if (buffer[begin] == '\n') ++line;
            ++begin;
        }
        if (begin == end) {
            if (atEof) return ReadResult::End;
            begin = end = 0;
            if (!refill()) return ReadResult::ReadError;
            continue;
        }

        startLine = line;
        switch (parseRecord(record)) {
            case Parse::Done:
                begin = recordEnd;
                line += recordNewlines;
                return ReadResult::Record;
            case Parse::Malformed:
                return ReadResult::Malformed;
            case Parse::NeedMore:
                // The record runs past the bytes held. At the end of input it
                // is truncated; a record filling the whole buffer is refused.
                if (atEof || (begin == 0 && end == BufferBytes)) return ReadResult::Malformed;
                if (!refill()) return ReadResult::ReadError;
                break;
        }
    }
}

// Parses the record at buffer[begin], which is not whitespace. A field that
// reaches the end of the bytes held may go on in the input, so unless the
// input has ended the record is parsed again after a refill.
TraceReader::Parse TraceReader::parseRecord(TraceRecord& record) noexcept {
    char* const last = buffer + end;
    char* p = buffer + begin;
    std::uint64_t newlines = 0;

    // The '\0' at last is not whitespace, so the loop needs no bounds check.
    auto skipSpace = [&]() -> bool {
        while (isSpace(*p)) {
            if (*p == '\n') ++newlines;
            ++p;
        }
        return p != last;
    };
    auto fieldEnd = [&](char* from) {
        while (from != last && !isSpace(*from)) ++from;
        return from;
    };
    // A field ending at the last byte held is complete only at end of input.
    const Parse more = atEof ? Parse::Malformed : Parse::NeedMore;

    // 32 bytes and the 8 that a field's last digits are loaded with must lie
    // before last; real traces meet this for all but a record per buffer.
    if (last - p > 32) [[likely]] {
        if (const char* const usualEnd = parseUsualRecord(p, record, newlines)) [[likely]] {
            recordEnd = static_cast<std::size_t>(usualEnd - buffer);
            recordNewlines = newlines;
            return Parse::Done;
        }
    }

    if (char* const timeEnd = parseUsualTime(p, record.packet_time)) [[likely]] {
        p = timeEnd;
    } else {
        char* const fieldLast = fieldEnd(p);
        if (fieldLast == last && !atEof) return Parse::NeedMore;
        if (!parseTime(p, fieldLast, record.packet_time)) return Parse::Malformed;
        p = fieldLast;
    }

    if (!skipSpace()) [[unlikely]] return more;
    const char* sizeEnd = parseUnsignedInBuffer(p, last, record.packet_size);
    if (sizeEnd == last && !atEof) [[unlikely]] return Parse::NeedMore;
    if (sizeEnd == nullptr || (sizeEnd != last && !isSpace(*sizeEnd))) [[unlikely]] {
        return fieldEnd(p) == last ? more : Parse::Malformed;
    }
    p = const_cast<char*>(sizeEnd);

    for (int i = 0; i < 4; ++i) {
        if (!skipSpace()) [[unlikely]] return more;  // before the address, or after a dot
        const char* stop = parseUnsignedInBuffer(p, last, record.packet_addr[i]);
        if (stop == last) [[unlikely]] {
            if (!atEof) return Parse::NeedMore;
            if (i < 3) return Parse::Malformed;
        } else if (stop == nullptr) [[unlikely]] {
            return fieldEnd(p) == last ? more : Parse::Malformed;
        } else if (i < 3 ? *stop != '.' : !isSpace(*stop)) [[unlikely]] {
            return Parse::Malformed;
        }
        p = const_cast<char*>(stop) + (i < 3 ? 1 : 0);
    }

    recordEnd = static_cast<std::size_t>(p - buffer);
    recordNewlines = newlines;
    return Parse::Done;
}

}  // namespace ipveil::trace
