#include "trace_reader.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace ipveil::trace {

namespace {

// isspace() of the "C" locale, which is what scanf skips.
inline bool isSpace(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr double PowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common case, a plain decimal such as 1234.567890, without strtof.
// With at most 2^53 as digits and at most 22 decimals, digits / 10^decimals
// is one correctly rounded double operation. Rounding that double to float
// gives strtof's result unless the double lies exactly halfway between two
// floats (then the true value may lie on either side) or the float would be
// subnormal; those cases return false and take strtof.
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
    const double exact = static_cast<double>(digits) / PowersOfTen[decimals];
    const auto bits = std::bit_cast<std::uint64_t>(exact);
    if ((bits & 0x1FFFFFFF) == 0x10000000) return false;  // halfway between two floats
    if (digits != 0 && exact < 0x1p-126) return false;     // subnormal float
    const float rounded = static_cast<float>(exact);
    value = negative ? -rounded : rounded;
    return true;
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
    while (end < BufferBytes && !atEof) {
        const std::size_t got = std::fread(buffer + end, 1, BufferBytes - end, input);
        end += got;
        if (got == 0 || end < BufferBytes) {
            if (std::ferror(input)) return false;
            if (std::feof(input)) atEof = true;
            if (got == 0 && !atEof) return false;  // neither data nor end: treat as a read failure
        }
    }
    return true;
}

ReadResult TraceReader::next(TraceRecord& record) noexcept {
    for (;;) {
        // Whitespace between records is consumed as it streams past.
        while (begin != end && isSpace(buffer[begin])) {
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

    auto skipSpace = [&]() -> bool {
        while (p != last && isSpace(*p)) {
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

    char* timeEnd = fieldEnd(p);
    if (timeEnd == last && !atEof) return Parse::NeedMore;
    if (!parseTime(p, timeEnd, record.packet_time)) return Parse::Malformed;
    p = timeEnd;

    if (!skipSpace()) return more;
    const char* sizeEnd = parseUnsigned(p, last, record.packet_size);
    if (sizeEnd == last && !atEof) return Parse::NeedMore;
    if (sizeEnd == nullptr || (sizeEnd != last && !isSpace(*sizeEnd))) {
        return fieldEnd(p) == last ? more : Parse::Malformed;
    }
    p = const_cast<char*>(sizeEnd);

    for (int i = 0; i < 4; ++i) {
        if (!skipSpace()) return more;  // before the address, or after a dot
        const char* stop = parseUnsigned(p, last, record.packet_addr[i]);
        if (stop == last) {
            if (!atEof) return Parse::NeedMore;
            if (i < 3) return Parse::Malformed;
        } else if (stop == nullptr) {
            return fieldEnd(p) == last ? more : Parse::Malformed;
        } else if (i < 3 ? *stop != '.' : !isSpace(*stop)) {
            return Parse::Malformed;
        }
        p = const_cast<char*>(stop) + (i < 3 ? 1 : 0);
    }

    recordEnd = static_cast<std::size_t>(p - buffer);
    recordNewlines = newlines;
    return Parse::Done;
}

}  // namespace ipveil::trace
