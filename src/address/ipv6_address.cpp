#include "ipv6_address.h"

#include <array>
#include <bit>
#include <cstring>

#include "ipv4_address.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ipveil {

namespace {

constexpr std::uint8_t NotHex = 0xFF;

// Each character's hexadecimal value, NotHex for anything else.
constexpr auto HexValues = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(NotHex);
    for (unsigned i = 0; i < 10; ++i) values['0' + i] = static_cast<std::uint8_t>(i);
    for (unsigned i = 0; i < 6; ++i) {
        values['a' + i] = static_cast<std::uint8_t>(10 + i);
        values['A' + i] = static_cast<std::uint8_t>(10 + i);
    }
    return values;
}();

// Reads the whole of [p, last) as the dotted quad that glibc accepts in the
// last 32 bits, inet_pton(AF_INET)'s form, into out[0..3].
bool parseDottedQuad(const char* p, const char* last, std::uint8_t* out) noexcept {
    std::uint32_t address;
    if (!parseIpv4Address(p, last, address)) return false;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
    return true;
}

// The text writers build characters in integers, the first character in the
// lowest byte, and store four at once whatever the machine's byte order.
inline void store(char* out, std::uint32_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    std::memcpy(out, &word, sizeof word);
}

// "00" to "ff" as two characters each.
constexpr auto HexPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<std::uint16_t, 256> pairs{};
    for (unsigned i = 0; i < 256; ++i) {
        pairs[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(digits[i >> 4]) |
                                              static_cast<unsigned char>(digits[i & 15]) << 8);
    }
    return pairs;
}();

// For each set of zero groups (bit i for group i), the run that "::" replaces:
// the first longest run of two or more, as start | length << 4; 0 if none.
constexpr auto ZeroRuns = [] {
    std::array<std::uint8_t, 256> runs{};
    for (unsigned zeros = 0; zeros < 256; ++zeros) {
        unsigned bestStart = 0;
        unsigned bestLength = 1;  // a run must beat 1 to count
        for (unsigned start = 0; start < 8;) {
            unsigned length = 0;
            while (start + length < 8 && (zeros >> (start + length) & 1) != 0) ++length;
            if (length > bestLength) {
                bestStart = start;
                bestLength = length;
            }
            start += length + 1;
        }
        runs[zeros] = bestLength > 1 ? static_cast<std::uint8_t>(bestStart | bestLength << 4) : 0;
    }
    return runs;
}();

// One group in lowercase without leading zeros. The four-byte store may
// overwrite up to 3 bytes past the returned end.
inline char* writeGroup(char* out, unsigned group) noexcept {
    const std::uint32_t text = HexPairs[group >> 8] | std::uint32_t{HexPairs[group & 0xFF]} << 16;
    const unsigned length = (static_cast<unsigned>(std::bit_width(group | 1)) + 3) / 4;
    store(out, text >> (8 * (4 - length)));
    return out + length;
}

// Groups [from, to), each followed by a colon.
inline char* writeGroupsWithColons(char* out, const unsigned* groups, unsigned from, unsigned to) noexcept {
    for (unsigned i = from; i < to; ++i) {
        out = writeGroup(out, groups[i]);
        *out++ = ':';
    }
    return out;
}

}  // namespace

// One scan: hex digits accumulate into the current group, a colon stores it
// (an empty group marks the "::"), and a dot hands the current token, from
// its first character, to the dotted-quad reader, which must then reach
// last. The groups after "::" are moved to the end once their count is known.
bool parseIpv6Address(const char* first, const char* last, Ipv6Address& address) noexcept {
    const char* p = first;
    if (p == last) return false;
    if (*p == ':' && (++p == last || *p != ':')) return false;  // a leading colon only as half of "::"

    std::uint8_t bytes[16];
    unsigned used = 0;  // bytes of groups read so far
    int gap = -1;       // where the "::" stands, in bytes
    unsigned value = 0;
    unsigned digits = 0;
    const char* token = p;
    while (p != last) {
        const auto c = static_cast<unsigned char>(*p);
        if (const unsigned hex = HexValues[c]; hex != NotHex) [[likely]] {
            if (++digits > 4) return false;
            value = value << 4 | hex;
            ++p;
            continue;
        }
        if (c == ':') {
            ++p;
            token = p;
            if (digits == 0) {  // the second colon of "::"
                if (gap >= 0) return false;
                gap = static_cast<int>(used);
                continue;
            }
            if (p == last || used == 16) return false;  // a trailing single colon, or a ninth group
            bytes[used] = static_cast<std::uint8_t>(value >> 8);
            bytes[used + 1] = static_cast<std::uint8_t>(value);
            used += 2;
            value = 0;
            digits = 0;
            continue;
        }
        if (c == '.' && used <= 12) {
            if (!parseDottedQuad(token, last, bytes + used)) return false;
            used += 4;
            digits = 0;
            break;
        }
        return false;
    }
    if (digits != 0) {
        if (used == 16) return false;
        bytes[used] = static_cast<std::uint8_t>(value >> 8);
        bytes[used + 1] = static_cast<std::uint8_t>(value);
        used += 2;
    }
    if (gap >= 0) {
        if (used == 16) return false;  // "::" must stand for at least one group
        const unsigned start = static_cast<unsigned>(gap);
        const unsigned tail = used - start;
        std::memmove(bytes + 16 - tail, bytes + start, tail);
        std::memset(bytes + start, 0, 16 - tail - start);
    } else if (used != 16) {
        return false;
    }
    std::memcpy(address.bytes, bytes, sizeof bytes);
    return true;
}

// Every store lands within out + Ipv6MaxTextChars: the group at position i of
// the text starts at most at 5 * i, and its four-byte store ends at most at
// 5 * i + 4, which is 39 for the eighth.
#if defined(__SSE2__)
namespace {

// An address without a run of two or more zero groups, the commonest kind:
// eight groups and seven colons. Every group's length, and from their running
// sums every group's place, is known at once, so the groups are stored
// independently rather than each waiting for the one before to end. Returns
// nullptr, having written nothing, for an address with such a run.
inline char* formatEightGroups(char* out, const Ipv6Address& address) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(address.bytes));
    const __m128i groups = _mm_or_si128(_mm_slli_epi16(bytes, 8), _mm_srli_epi16(bytes, 8));  // 16-bit values
    const __m128i isZero = _mm_cmpeq_epi16(groups, _mm_setzero_si128());
    const auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(isZero, isZero))) & 0xFF;
    if (ZeroRuns[zeros] != 0) return nullptr;
    // Each group's digits, 1 to 4, and a colon: unsigned compares, by way
    // of flipping the sign bit.
    const __m128i flipped = _mm_xor_si128(groups, _mm_set1_epi16(-0x8000));
    auto atLeast = [&](int value) {
        return _mm_cmpgt_epi16(flipped, _mm_set1_epi16(static_cast<short>((value - 1) ^ 0x8000)));
    };
    const __m128i pieces =
        _mm_sub_epi16(_mm_set1_epi16(2), _mm_add_epi16(_mm_add_epi16(atLeast(0x10), atLeast(0x100)), atLeast(0x1000)));
    std::uint64_t lengths;  // byte i: group i's digits and its colon
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&lengths), _mm_packus_epi16(pieces, pieces));
    if constexpr (std::endian::native == std::endian::big) lengths = __builtin_bswap64(lengths);
    const std::uint64_t ends = lengths * 0x0101010101010101;  // byte i: where group i + 1 starts
    // The 32 digits, with leading zeros, in order.
    const __m128i low = _mm_and_si128(bytes, _mm_set1_epi8(0x0F));
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0F));
    auto text = [](__m128i nibbles) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
        return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
    };
    char digits[32];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digits), text(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digits + 16), text(_mm_unpackhi_epi8(high, low)));
#pragma GCC unroll 8
    for (unsigned i = 0; i < 8; ++i) {
        const unsigned start = i == 0 ? 0 : static_cast<unsigned>(ends >> (8 * i - 8)) & 0xFF;
        const unsigned count = (static_cast<unsigned>(lengths >> (8 * i)) & 0xFF) - 1;
        std::uint32_t word;
        std::memcpy(&word, digits + 4 * i, sizeof word);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        store(out + start, word >> (8 * (4 - count)));  // the group's last count digits
        if (i < 7) out[start + count] = ':';
    }
    return out + (ends >> 56) - 1;
}

}  // namespace
#endif

char* formatIpv6Address(char* out, const Ipv6Address& address) noexcept {
#if defined(__SSE2__)
    if (char* const end = formatEightGroups(out, address)) [[likely]] return end;
#endif
    unsigned groups[8];
    unsigned zeros = 0;
    for (unsigned i = 0; i < 8; ++i) {
        groups[i] = unsigned{address.bytes[2 * i]} << 8 | address.bytes[2 * i + 1];
        zeros |= unsigned{groups[i] == 0} << i;
    }

    if ((zeros & 0x1F) == 0x1F && groups[5] == 0xFFFF) {  // IPv4-mapped
        std::memcpy(out, "::ffff:", 7);
        const std::uint32_t ipv4 = std::uint32_t{address.bytes[12]} << 24 | std::uint32_t{address.bytes[13]} << 16 |
                                   std::uint32_t{address.bytes[14]} << 8 | address.bytes[15];
        return formatIpv4Address(out + 7, ipv4);  // stores nothing past out + 7 + Ipv4MaxTextChars
    }

    const unsigned run = ZeroRuns[zeros];
    if (run == 0) {
        out = writeGroupsWithColons(out, groups, 0, 7);
        return writeGroup(out, groups[7]);
    }
    const unsigned start = run & 7;
    const unsigned end = start + (run >> 4);
    out = writeGroupsWithColons(out, groups, 0, start);
    if (start == 0) *out++ = ':';
    *out++ = ':';
    if (end == 8) return out;
    out = writeGroupsWithColons(out, groups, end, 7);
    return writeGroup(out, groups[7]);
}

}  // namespace ipveil
