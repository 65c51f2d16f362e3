#include "trace_reader.h"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "field_parse.h"
#include "file_io.h"
#include "ipv4_address.h"
#include "text_scan.h"

namespace ipveil::trace {

namespace {

using detail::digitRun;
using detail::digitsValue;
using detail::IntegerPowersOfTen;
using detail::isSpace;
using detail::load8;

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
// value is what parseTime computes, rounded the same way.
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
    if (!detail::roundShortDecimal(digits, decimals, value)) [[unlikely]] return nullptr;
    return fraction + decimals;
}

// The whole-record path reads this many bytes from a record's start, and up
// to 8 more for the last field's digits.
constexpr std::size_t Window = 64;

// Bit i set where p[i], of the Window bytes from p, is not a decimal digit.
inline std::uint64_t nonDigitMask(const char* p) noexcept {
#if defined(__SSE2__)
    // Signed byte compares: bytes from 0x80 up are negative, so no digit.
    const __m128i belowZero = _mm_set1_epi8('0' - 1);
    const __m128i aboveNine = _mm_set1_epi8('9' + 1);
    auto digits = [&](const char* q) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i isDigit = _mm_and_si128(_mm_cmpgt_epi8(bytes, belowZero), _mm_cmplt_epi8(bytes, aboveNine));
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(isDigit)));
    };
    return ~(digits(p) | digits(p + 16) << 16 | digits(p + 32) << 32 | digits(p + 48) << 48);
#else
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < Window; ++i) mask |= std::uint64_t{!detail::isDigit(p[i])} << i;
    return mask;
#endif
}

#if defined(__SSE2__)
// 0xFF in each byte that is a hexadecimal digit of either case, else 0.
inline __m128i hexBytes(__m128i bytes) noexcept {
    const __m128i lower = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    const __m128i isDigit =
        _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)));
    const __m128i isLetter =
        _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(lower, _mm_set1_epi8('f' + 1)));
    return _mm_or_si128(isDigit, isLetter);
}
#endif

// An IPv6 address's text is looked at in its first Ipv6Window bytes, which
// hold the longest the whole-record path takes and the byte after it.
constexpr std::size_t Ipv6Window = scan_detail::Ipv6TextWindow;

#if defined(__SSE2__)
// Scans the Ipv6Window bytes from p: bit i of hex is set where p[i] is a
// hexadecimal digit of either case, of colons where it is ':'. And at
// values[2 * i], the two bytes in network order of the digits up to and
// including p[i], the last four at most and none before a byte that is not a
// digit: at a group's last digit, the group's value. Every position at once:
// neighbouring digits, then neighbouring pairs, are combined across the
// vectors. The byte before p must not be a digit.
inline void scanIpv6Text(const char* p, std::uint64_t& hex, std::uint64_t& colons, std::uint64_t& digits,
                         std::uint8_t* values) noexcept {
    const __m128i zero = _mm_setzero_si128();
    digits = 0;
    __m128i previousNibbles = zero;
    __m128i previousHex = zero;
    __m128i previousPairs = zero;
    hex = 0;
    colons = 0;
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i isHex = hexBytes(bytes);
        const __m128i isDigit =
            _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(bytes, _mm_set1_epi8('9' + 1)));
        digits |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(isDigit))} << (16 * k);
        hex |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(isHex))} << (16 * k);
        const __m128i isColon = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(':'));
        colons |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(isColon))} << (16 * k);
        // A digit's low nibble is its value; a letter's (above '@') is 9 less.
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('@')), _mm_set1_epi8(9));
        const __m128i nibbles = _mm_and_si128(_mm_add_epi8(_mm_and_si128(bytes, _mm_set1_epi8(0x0F)), letters), isHex);
        // Each byte's neighbours before it, from the previous vector at its start.
        const __m128i nibbles1 = _mm_or_si128(_mm_slli_si128(nibbles, 1), _mm_srli_si128(previousNibbles, 15));
        const __m128i pairs = _mm_or_si128(nibbles, _mm_slli_epi16(nibbles1, 4));  // no nibble crosses a byte
        const __m128i hex1 = _mm_or_si128(_mm_slli_si128(isHex, 1), _mm_srli_si128(previousHex, 15));
        const __m128i hex2 = _mm_or_si128(_mm_slli_si128(isHex, 2), _mm_srli_si128(previousHex, 14));
        const __m128i pairs2 = _mm_or_si128(_mm_slli_si128(pairs, 2), _mm_srli_si128(previousPairs, 14));
        // The pair two before is the high byte only if both digits between
        // the two pairs' ends are of this group.
        const __m128i high = _mm_and_si128(pairs2, _mm_and_si128(hex1, hex2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 32 * k), _mm_unpacklo_epi8(high, pairs));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 32 * k + 16), _mm_unpackhi_epi8(high, pairs));
        previousNibbles = nibbles;
        previousHex = isHex;
        previousPairs = pairs;
    }
}
#else
// Bit i of hex set where p[i], of the Ipv6Window bytes from p, is a
// hexadecimal digit of either case, of colons where it is ':'.
inline void scanIpv6Text(const char* p, std::uint64_t& hex, std::uint64_t& colons, std::uint64_t& digits) noexcept {
    hex = 0;
    colons = 0;
    digits = 0;
    for (std::size_t i = 0; i < Ipv6Window; ++i) {
        const char lower = static_cast<char>(p[i] | 0x20);
        digits |= std::uint64_t{detail::isDigit(p[i])} << i;
        hex |= std::uint64_t{detail::isDigit(p[i]) || (lower >= 'a' && lower <= 'f')} << i;
        colons |= std::uint64_t{p[i] == ':'} << i;
    }
}
#endif

// std::popcount without the library call it becomes on a CPU that may lack
// the instruction; the masks here have at most 40 bits.
inline unsigned bitCount(std::uint64_t x) noexcept {
    x -= (x >> 1) & 0x5555555555555555;
    x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<unsigned>((x * 0x0101010101010101) >> 56);
}

#if !defined(__SSE2__)
// The value of the first count (1 to 4) bytes at p, which are hexadecimal
// digits, as the two bytes of a group in network order, the first lowest.
inline std::uint32_t hexGroup(const char* p, unsigned count) noexcept {
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    word <<= 8 * (4 - count);  // zero bytes in front act as leading zeros
    // A digit's low nibble is its value; a letter's (bit 6 set) is 9 less.
    const std::uint32_t nibbles = (word & 0x0F0F0F0F) + ((word >> 6) & 0x01010101) * 9;
    const std::uint32_t bytes = ((nibbles << 4) | (nibbles >> 8)) & 0x00FF00FF;
    return (bytes & 0xFF) | (bytes >> 8);
}
#endif

// The usual IPv6 address at p, followed by whitespace: groups of 1 to 4
// hexadecimal digits in either case joined by single colons, with at most one
// "::" -- every form inet_pton takes but the one ending in a dotted quad.
// Stores it and returns the field's length; returns 0 for anything else,
// which parseIpv6Address then reads (or refuses). The Ipv6Window bytes from
// p must be readable.
//
// Masks of the digits and colons show the whole shape at once: runs of
// colons (one "::" at most, no ":::"), a lone colon at either end, runs of
// five digits, and the number of groups, which must be eight without "::" and
// at most seven with it. Then each group's value is taken where its digits
// end; those after the "::" move right by the groups it stands for.
inline unsigned parseUsualIpv6(const char* p, Ipv6Address& address, unsigned& nonDigits) noexcept {
    std::uint64_t hex;
    std::uint64_t colons;
    std::uint64_t digits;
#if defined(__SSE2__)
    std::uint8_t values[2 * Ipv6Window];
    scanIpv6Text(p, hex, colons, digits, values);
#else
    scanIpv6Text(p, hex, colons, digits);
#endif
    const std::uint64_t others = ~(hex | colons) | std::uint64_t{1} << (Ipv6Window - 1);
    const auto length = static_cast<unsigned>(__builtin_ctzll(others));
    if (length > Ipv6MaxTextChars || !isSpace(p[length])) return 0;
    const std::uint64_t field = (std::uint64_t{1} << length) - 1;
    const std::uint64_t c = colons & field;
    const std::uint64_t h = hex & field;
    const std::uint64_t doubled = c & (c >> 1);  // bit i: colons at i and i + 1
    if (c == 0 || (doubled & (doubled - 1)) != 0) return 0;  // not IPv6; two "::" or a ":::"
    const std::uint64_t lone = c & ~(doubled | doubled << 1);
    if (((lone | lone >> (length - 1)) & 1) != 0) return 0;  // a single colon first or last
    if ((h & h >> 1 & h >> 2 & h >> 3 & h >> 4) != 0) return 0;  // five digits in a group
    std::uint64_t starts = h & ~(h << 1);
    const unsigned count = bitCount(starts);
    if (doubled == 0 ? count != 8 : count > 7) return 0;
    nonDigits = length - bitCount(digits & field);

    const unsigned gap = doubled == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(doubled));
    const unsigned moved = 8 - count;  // zero groups the "::" stands for
    // Stored in place, group by group: read back whole from a copy, the
    // small stores could not be forwarded to the load.
    std::uint8_t* const bytes = address.bytes;
    std::memset(bytes, 0, sizeof address.bytes);
#if defined(__SSE2__)
    std::uint64_t lasts = h & ~(h >> 1);
    if (doubled == 0) {  // eight groups in their places
#pragma GCC unroll 8
        for (unsigned k = 0; k < 8; ++k) {
            std::memcpy(bytes + 2 * k, values + 2 * __builtin_ctzll(lasts), 2);
            lasts &= lasts - 1;
        }
        return length;
    }
    for (unsigned k = 0; k < count; ++k) {
        const auto last = static_cast<unsigned>(__builtin_ctzll(lasts));
        lasts &= lasts - 1;
        const unsigned g = k + (last > gap ? moved : 0);
        std::memcpy(bytes + 2 * g, values + 2 * last, 2);
    }
#else
    for (unsigned k = 0; k < count; ++k) {
        const auto start = static_cast<unsigned>(__builtin_ctzll(starts));
        starts &= starts - 1;
        const auto digits = static_cast<unsigned>(__builtin_ctzll(~h >> start));
        const std::uint32_t value = hexGroup(p + start, digits);
        const unsigned g = k + (start > gap ? moved : 0);
        bytes[2 * g] = static_cast<std::uint8_t>(value);
        bytes[2 * g + 1] = static_cast<std::uint8_t>(value >> 8);
    }
#endif
    return length;
}

// The usual record, as a whole: time "D.D", size "D", then an IPv4 address
// "D.D.D.D" or an IPv6 one as parseUsualIpv6 takes it, where D is 1 to 7
// digits (1 to 8 for the unsigned fields, whose values then stay below
// 10^8), the fields apart by one whitespace character and the address
// followed by one; an IPv4 record lies within the first Window - 8 bytes
// from p, an IPv6 one within the first Reach. Stores the record as record i
// of the batch and as its IPv4 address count4 or IPv6 address count6, adding
// one to that count, and returns the end of the whitespace after it, adding
// the line feeds in the record to newlines; returns nullptr for anything
// else, which the field-by-field parse then reads.
//
// One mask of the non-digit bytes gives every field's position at once, so
// no field waits for the one before it to be scanned. The fields' values are
// exactly what the field-by-field parse gives: it would read the same digits
// between the same separators.
constexpr std::size_t Reach = 27 + Ipv6Window;  // the address starts within 27 bytes
static_assert(Reach >= Window);

inline const char* parseUsualRecord(const char* p, RecordBatch& batch, std::size_t i, std::size_t& count4,
                                    std::size_t& count6, std::uint64_t& newlines) noexcept {
    // The separators, in order. The last eight bytes of the window are taken
    // as separators, so that seven are always found; a record must end
    // before them.
    std::uint64_t stops = nonDigitMask(p) | 0xFF00000000000000;
    unsigned at[7];
#pragma GCC unroll 7
    for (int f = 0; f < 7; ++f) {
        at[f] = static_cast<unsigned>(__builtin_ctzll(stops));
        stops &= stops - 1;
    }
    // The time and the size: every field has 1 to 8 digits (ends apart by 2
    // to 9), so the address starts within 27 bytes.
    if (at[0] - 1 >= 8 || at[1] - at[0] - 2 >= 8 || at[2] - at[1] - 2 >= 8) return nullptr;
    if (p[at[0]] != '.' || !isSpace(p[at[1]]) || !isSpace(p[at[2]])) return nullptr;
    // The time: at most 7 digits on each side of the point, 14 in all.
    const unsigned whole = at[0];
    const unsigned decimals = at[1] - at[0] - 1;
    if (whole == 8 || decimals == 8) return nullptr;
    const std::uint64_t digits =
        digitsValue(load8(p), whole) * IntegerPowersOfTen[decimals] + digitsValue(load8(p + at[0] + 1), decimals);
    if (!detail::roundShortDecimal(digits, decimals, batch.packet_time[i])) [[unlikely]] return nullptr;
    batch.packet_size[i] = digitsValue(load8(p + at[1] + 1), at[2] - at[1] - 1);
    newlines += (p[at[1]] == '\n') + (p[at[2]] == '\n');

    if (p[at[3]] != '.') {
        const char* const address = p + at[2] + 1;
        unsigned nonDigits;
        const unsigned length = parseUsualIpv6(address, batch.packet_addr6[count6], nonDigits);
        if (length == 0) return nullptr;
        ++count6;
        batch.is_ipv6[i] = true;
        newlines += address[length] == '\n';
        return address + length + 1;
    }

    if (at[6] >= Window - 8) return nullptr;
    bool lengthsOk = true;
#pragma GCC unroll 4
    for (int f = 3; f < 7; ++f) lengthsOk &= at[f] - at[f - 1] - 2 < 8;
    if (!lengthsOk) return nullptr;
    if (p[at[4]] != '.' || p[at[5]] != '.' || !isSpace(p[at[6]])) return nullptr;
    std::uint32_t a[4];
#pragma GCC unroll 4
    for (int c = 0; c < 4; ++c) a[c] = digitsValue(load8(p + at[c + 2] + 1), at[c + 3] - at[c + 2] - 1);
    batch.packet_addr[count4++] = packIpv4Record(a);
    batch.is_ipv6[i] = false;
    newlines += p[at[6]] == '\n';
    return p + at[6] + 1;
}

}  // namespace

bool TraceReader::refill() noexcept {
    // Keep the unread bytes (a record in progress) and fill the rest.
    if (begin > 0) {
        std::memmove(buffer, buffer + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    bool ok = true;
    const int fd = fileno(input);
    while (end < BufferBytes && !atEof && fd >= 0) {
        const std::ptrdiff_t got = io::readSome(fd, buffer + end, BufferBytes - end);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) atEof = true;
        end += static_cast<std::size_t>(got);
    }
    // A stream without a descriptor (in memory) is read through stdio.
    while (end < BufferBytes && !atEof && fd < 0) {
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
    indexAt = ~std::size_t{0};
    return ok;
}

// The everyday records, as parseUsualRecord takes them, read from the index
// of the bytes that are not digits: in an IPv4 record those are exactly its
// seven separators, so every field's place is known from the index alone,
// and the next record's start is a guess the CPU makes right without waiting
// for this one. An IPv6 address is read by the path's parser or
// parseUsualIpv6, which say how many entries of the index it has. Where the
// path has a record run, runs of records are left to it. Stops, leaving
// begin at the record, at the first record of another shape, and within a
// few blocks of the end of the bytes held; the index stays for the next call
// while begin does not move.
void TraceReader::readIndexed(RecordBatch& batch, scan_detail::IndexPath path) noexcept {
    if (indexAt != begin) {
        indexHead = indexTail = 0;
        indexScanned = begin;
    }
    const char* const b = buffer;
    std::size_t q = begin;
    std::size_t head = indexHead;
    std::size_t tail = indexTail;
    std::size_t scanned = indexScanned;
    std::size_t count = batch.count;
    std::size_t count4 = batch.count4;
    std::size_t count6 = batch.count6;
    std::uint64_t lines = line;
    while (count < RecordBatch::Capacity) {
        // The index well ahead: an IPv4 record has 7 entries, an IPv6 one lies
        // within 27 + Ipv6Window bytes (and must end before scanned).
        if (tail - head < 12 || scanned < q + IndexAhead) {
            if (scanned + 64 > end) break;
            std::memmove(index, index + head, (tail - head) * sizeof index[0]);
            tail -= head;
            head = 0;
            const std::size_t blocks = std::min(IndexChunkBlocks, (end - scanned) / 64);
            tail += path.blocks(b + scanned, blocks, static_cast<std::uint32_t>(scanned), index + tail);
            scanned += 64 * blocks;
            continue;
        }
        if (path.records != nullptr) {
            // A run of everyday records, read in vectors.
            scan_detail::RecordRun run{b,
                                       end + PadBytes,
                                       scanned,
                                       index,
                                       head,
                                       tail,
                                       q,
                                       count,
                                       count4,
                                       count6,
                                       RecordBatch::Capacity,
                                       0,
                                       batch.packet_time,
                                       batch.packet_size,
                                       batch.is_ipv6,
                                       batch.packet_addr,
                                       batch.packet_addr6};
            path.records(run);
            if (run.count != count) {
                head = run.head;
                q = run.q;
                count = run.count;
                count4 = run.count4;
                count6 = run.count6;
                lines += run.newlines;
                continue;
            }
        }
        const std::uint32_t* const at = index + head;
        // The time and the size, as in parseUsualRecord.
        if (at[0] - q - 1 >= 7 || at[1] - at[0] - 2 >= 7 || at[2] - at[1] - 2 >= 8) break;
        if (b[at[0]] != '.' || !isSpace(b[at[1]]) || !isSpace(b[at[2]])) break;
        const auto whole = static_cast<unsigned>(at[0] - q);
        const unsigned decimals = at[1] - at[0] - 1;
        const std::uint64_t digits = digitsValue(load8(b + q), whole) * IntegerPowersOfTen[decimals] +
                                     digitsValue(load8(b + at[0] + 1), decimals);
        if (!detail::roundShortDecimal(digits, decimals, batch.packet_time[count])) [[unlikely]] break;
        batch.packet_size[count] = digitsValue(load8(b + at[1] + 1), at[2] - at[1] - 1);
        std::uint64_t newlines = (b[at[1]] == '\n') + (b[at[2]] == '\n');
        std::size_t next;
        if (b[at[3]] == '.') {
            bool lengthsOk = true;
#pragma GCC unroll 4
            for (int f = 3; f < 7; ++f) lengthsOk &= at[f] - at[f - 1] - 2 < 8;
            if (!lengthsOk || b[at[4]] != '.' || b[at[5]] != '.' || !isSpace(b[at[6]])) break;
            std::uint32_t a[4];
#pragma GCC unroll 4
            for (int c = 0; c < 4; ++c) a[c] = digitsValue(load8(b + at[c + 2] + 1), at[c + 3] - at[c + 2] - 1);
            batch.packet_addr[count4++] = packIpv4Record(a);
            batch.is_ipv6[count] = false;
            newlines += b[at[6]] == '\n';
            next = at[6] + 1;
            head += 7;
        } else {
            const std::size_t address = at[2] + 1;
            if (address + Ipv6Window > end) break;
            unsigned nonDigits;
            Ipv6Address& stored = batch.packet_addr6[count6];
            const unsigned length = path.ipv6 != nullptr ? path.ipv6(b + address, stored, nonDigits)
                                                         : parseUsualIpv6(b + address, stored, nonDigits);
            if (length == 0 || address + length >= scanned) break;
            ++count6;
            batch.is_ipv6[count] = true;
            newlines += b[address + length] == '\n';
            next = address + length + 1;
            head += 3 + nonDigits + 1;  // the time's point, two separators, the address's, the one after it
        }
        ++count;
        lines += newlines;
        q = next;
        while (q < scanned && isSpace(b[q])) {  // more whitespace: each byte of it is in the index
            lines += b[q] == '\n';
            ++q;
            ++head;
        }
    }
    begin = q;
    indexAt = q;
    indexHead = head;
    indexTail = tail;
    indexScanned = scanned;
    line = lines;
    batch.count = count;
    batch.count4 = count4;
    batch.count6 = count6;
}

ReadResult TraceReader::read(RecordBatch& batch) noexcept {
    batch.clear();
    const scan_detail::IndexPath path = scan_detail::activeIndexPath();
    while (batch.count < RecordBatch::Capacity) {
        if (path.blocks != nullptr) {
            readIndexed(batch, path);
            if (batch.count == RecordBatch::Capacity) break;
        }
        // The everyday records, whole, each scanned as it is read: without
        // the index, and with it where it stopped, if the record is one
        // after all (one too near the end of the bytes held for the index,
        // or after more whitespace than it had); then back to the index.
        // The reader's position and the batch's counts are kept in
        // registers: kept in the objects, every byte stored would make the
        // compiler load them again, a chain through memory from one record
        // to the next.
        {
            const char* q = buffer + begin;
            const char* const fastEnd = buffer + end - (Reach + 8);
            std::size_t count = batch.count;
            std::size_t count4 = batch.count4;
            std::size_t count6 = batch.count6;
            std::uint64_t lines = line;
            bool any = false;
            while (count < RecordBatch::Capacity && q <= fastEnd) {
                while (isSpace(*q)) lines += *q++ == '\n';
                if (q > fastEnd) break;
                std::uint64_t newlines = 0;
                const char* const usualEnd = parseUsualRecord(q, batch, count, count4, count6, newlines);
                if (usualEnd == nullptr) [[unlikely]] break;
                q = usualEnd;
                lines += newlines;
                ++count;
                any = true;
                if (path.blocks != nullptr) break;
            }
            begin = static_cast<std::size_t>(q - buffer);
            line = lines;
            batch.count = count;
            batch.count4 = count4;
            batch.count6 = count6;
            if (count == RecordBatch::Capacity) break;
            if (any && path.blocks != nullptr) continue;
        }

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

        // What the whole-record path did not take: a record of another
        // shape, or one too near the end of the bytes held for its window
        // and the 8 bytes a last field's digits are loaded with.
        startLine = line;
        switch (parseRecord(batch)) {
            case Parse::Done:
                break;
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
    startLine = line;
    return ReadResult::Record;
}

// Parses the record at buffer[begin], which is not whitespace, onto the end
// of the batch, and on success moves begin past it. A field that
// reaches the end of the bytes held may go on in the input, so unless the
// input has ended the record is parsed again after a refill.
TraceReader::Parse TraceReader::parseRecord(RecordBatch& batch) noexcept {
    char* const last = buffer + end;
    char* p = buffer + begin;
    std::uint64_t newlines = 0;
    const std::size_t i = batch.count;

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

    if (char* const timeEnd = parseUsualTime(p, batch.packet_time[i])) [[likely]] {
        p = timeEnd;
    } else {
        char* const fieldLast = fieldEnd(p);
        if (fieldLast == last && !atEof) return Parse::NeedMore;
        if (!parseTime(p, fieldLast, batch.packet_time[i])) return Parse::Malformed;
        p = fieldLast;
    }

    if (!skipSpace()) [[unlikely]] return more;
    const char* sizeEnd = parseUnsignedInBuffer(p, last, batch.packet_size[i]);
    if (sizeEnd == last && !atEof) [[unlikely]] return Parse::NeedMore;
    if (sizeEnd == nullptr || (sizeEnd != last && !isSpace(*sizeEnd))) [[unlikely]] {
        return fieldEnd(p) == last ? more : Parse::Malformed;
    }
    p = const_cast<char*>(sizeEnd);

    if (!skipSpace()) [[unlikely]] return more;
    // An address holding a ':' before its end is IPv6, a single field that
    // ends at whitespace; an IPv4 address may have whitespace after a dot.
    // Until the field's end is held, which it is cannot be told.
    char* const addressLast = fieldEnd(p);
    if (addressLast == last && !atEof) return Parse::NeedMore;
    if (std::memchr(p, ':', static_cast<std::size_t>(addressLast - p)) != nullptr) {
        if (!parseIpv6Address(p, addressLast, batch.packet_addr6[batch.count6])) return Parse::Malformed;
        ++batch.count6;
        batch.is_ipv6[i] = true;
        ++batch.count;
        begin = static_cast<std::size_t>(addressLast - buffer);
        line += newlines;
        return Parse::Done;
    }

    std::uint32_t a[4];
    for (int c = 0; c < 4; ++c) {
        if (!skipSpace()) [[unlikely]] return more;  // before the address, or after a dot
        const char* stop = parseUnsignedInBuffer(p, last, a[c]);
        if (stop == last) [[unlikely]] {
            if (!atEof) return Parse::NeedMore;
            if (c < 3) return Parse::Malformed;
        } else if (stop == nullptr) [[unlikely]] {
            return fieldEnd(p) == last ? more : Parse::Malformed;
        } else if (c < 3 ? *stop != '.' : !isSpace(*stop)) [[unlikely]] {
            return Parse::Malformed;
        }
        p = const_cast<char*>(stop) + (c < 3 ? 1 : 0);
    }
    batch.packet_addr[batch.count4++] = packIpv4Record(a);
    batch.is_ipv6[i] = false;
    ++batch.count;

    begin = static_cast<std::size_t>(p - buffer);
    line += newlines;
    return Parse::Done;
}

}  // namespace ipveil::trace
