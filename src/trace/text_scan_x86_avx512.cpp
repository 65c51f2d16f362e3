// The text path with AVX-512. The index: a block's 64 bytes in one compare,
// and the offsets of the bytes that are not digits packed in one compress
// (VBMI2) and widened to 32 bits sixteen at a time. The record run: a record
// in one vector, its fields' digits taken out by permutes (VBMI) and turned
// into values by multiply-adds. The everyday IPv6 address, read with the same
// instructions (each group's digits gathered into four bytes of a vector in
// one permute, the groups after a "::" moved to their places in one expand),
// and printed (its digits spread to their places in one permute, the leading
// zeros left out in one compress).
#include <immintrin.h>

#include <array>
#include <cstring>

#include "text_scan.h"

// The zero-masked forms of the intrinsics throughout: GCC 12 warns of the
// undefined lanes the others start from.

namespace ipveil::trace::scan_detail {

std::size_t avx512Blocks(const char* p, std::size_t blocks, std::uint32_t base, std::uint32_t* out) noexcept {
    std::uint32_t* const first = out;
    const __m512i lanes = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,
                                          44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26,
                                          25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                                          5, 4, 3, 2, 1, 0);
    const __m512i zero = _mm512_set1_epi8('0');
    const __m512i ten = _mm512_set1_epi8(10);
    for (std::size_t b = 0; b < 64 * blocks; b += 64) {
        const __m512i bytes = _mm512_loadu_si512(p + b);
        const __mmask64 others = _mm512_cmpge_epu8_mask(_mm512_sub_epi8(bytes, zero), ten);
        const auto n = static_cast<unsigned>(_mm_popcnt_u64(_cvtmask64_u64(others)));
        const __m512i packed = _mm512_maskz_compress_epi8(others, lanes);
        const __m512i offset = _mm512_set1_epi32(static_cast<int>(base + static_cast<std::uint32_t>(b)));
        auto store = [&](std::uint32_t* to, __m128i sixteen) {
            _mm512_storeu_si512(to, _mm512_add_epi32(_mm512_maskz_cvtepu8_epi32(0xFFFF, sixteen), offset));
        };
        // A block of a trace mostly holds 8 to 24: the first 32 are stored
        // without waiting to know how many there are.
        store(out, _mm512_maskz_extracti32x4_epi32(0xF, packed, 0));
        store(out + 16, _mm512_maskz_extracti32x4_epi32(0xF, packed, 1));
        if (n > 32) [[unlikely]] {
            store(out + 32, _mm512_maskz_extracti32x4_epi32(0xF, packed, 2));
            store(out + 48, _mm512_maskz_extracti32x4_epi32(0xF, packed, 3));
        }
        out += n;
    }
    return static_cast<std::size_t>(out - first);
}

namespace {

// Which bytes of a vector of text are digits, letters a to f of either case,
// colons and whitespace, bit i for byte i.
struct TextMasks {
    std::uint64_t digits;
    std::uint64_t letters;
    std::uint64_t colons;
    std::uint64_t spaces;

    TextMasks shiftedDown(unsigned by) const noexcept {
        return {digits >> by, letters >> by, colons >> by, spaces >> by};
    }
};

inline TextMasks masksOf(__m512i bytes) noexcept {
    const __m512i lower = _mm512_or_si512(bytes, _mm512_set1_epi8(0x20));
    return {
        _cvtmask64_u64(_mm512_cmplt_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8('0')), _mm512_set1_epi8(10))),
        _cvtmask64_u64(_mm512_cmplt_epu8_mask(_mm512_sub_epi8(lower, _mm512_set1_epi8('a')), _mm512_set1_epi8(6))),
        _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(':'))),
        _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' ')) |
                       _mm512_cmplt_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8('\t')), _mm512_set1_epi8(5))),
    };
}

// The address whose text starts the vector bytes, from the masks of those
// bytes (of which no more than the Ipv6TextWindow a parser may look at are
// set). The shape comes from the masks alone, so the length is known
// before the groups are gathered; the checks are the reader's own parser's:
// the field runs up to the first byte that is neither a hexadecimal digit nor
// a colon, which must be whitespace; runs of colons (one "::" at most, no
// ":::"), no lone colon at either end, no five digits in a group, and eight
// groups without "::", at most seven with it.
inline unsigned ipv6FromVector(__m512i bytes, TextMasks masks, Ipv6Address& address, unsigned& nonDigits) noexcept {
    constexpr unsigned Window = Ipv6TextWindow;
    const std::uint64_t inWindow = (std::uint64_t{1} << Window) - 1;
    const std::uint64_t hex = (masks.digits | masks.letters) & inWindow;
    const std::uint64_t colons = masks.colons & inWindow;

    const std::uint64_t others = ~(hex | colons) | std::uint64_t{1} << (Window - 1);
    const auto length = static_cast<unsigned>(__builtin_ctzll(others));
    if (length > Ipv6MaxTextChars || ((masks.spaces >> length) & 1) == 0) return 0;
    const std::uint64_t field = (std::uint64_t{1} << length) - 1;
    const std::uint64_t c = colons & field;
    const std::uint64_t h = hex & field;
    const std::uint64_t doubled = c & (c >> 1);
    if (c == 0 || (doubled & (doubled - 1)) != 0) return 0;
    const std::uint64_t lone = c & ~(doubled | doubled << 1);
    if (((lone | lone >> (length - 1)) & 1) != 0) return 0;
    if ((h & h >> 1 & h >> 2 & h >> 3 & h >> 4) != 0) return 0;
    const std::uint64_t starts = h & ~(h << 1);
    const std::uint64_t lasts = h & ~(h >> 1);
    const auto count = static_cast<unsigned>(_mm_popcnt_u64(starts));
    if (doubled == 0 ? count != 8 : count > 7) return 0;
    nonDigits = length - static_cast<unsigned>(_mm_popcnt_u64(masks.digits & field));

    // Each byte's value as a digit; a letter's low nibble is 9 less.
    const __m512i low = _mm512_and_si512(bytes, _mm512_set1_epi8(0x0F));
    const __m512i nibbles = _mm512_mask_add_epi8(low, masks.letters, low, _mm512_set1_epi8(9));
    // The positions of each group's first and last digits, group k in byte
    // k, then spread to four bytes each: byte 4k + i is to hold the digit at
    // last - 3 + i, or 0 where that lies before the group's first digit.
    const __m512i positions = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46,
                                              45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28,
                                              27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10,
                                              9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i firsts = _mm512_maskz_compress_epi8(starts, positions);
    const __m512i ends = _mm512_maskz_compress_epi8(lasts, positions);
    const __m512i spread = _mm512_set_epi8(15, 15, 15, 15, 14, 14, 14, 14, 13, 13, 13, 13, 12, 12, 12, 12, 11, 11, 11,
                                           11, 10, 10, 10, 10, 9, 9, 9, 9, 8, 8, 8, 8, 7, 7, 7, 7, 6, 6, 6, 6, 5, 5, 5,
                                           5, 4, 4, 4, 4, 3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
    const __m512i back = _mm512_set_epi8(0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0,
                                         -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1,
                                         -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2, -3, 0, -1, -2,
                                         -3);
    const __m512i from = _mm512_add_epi8(_mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread, ends), back);
    const __m512i groupFirsts = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread, firsts);
    const __mmask64 inGroup = _mm512_cmpge_epi8_mask(from, groupFirsts) & ((std::uint64_t{1} << (4 * count)) - 1);
    const __m512i digits = _mm512_maskz_permutexvar_epi8(inGroup, from, nibbles);
    // Four digits to two bytes, then the bytes of the 16-bit lanes packed:
    // the groups in order, in network order.
    const __m512i pairs = _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x0110));
    __m128i groups = _mm256_castsi256_si128(_mm512_maskz_cvtepi16_epi8(~__mmask32{0}, pairs));
    if (doubled != 0) {
        // The zero groups "::" stands for go where it is.
        const unsigned gap = static_cast<unsigned>(__builtin_ctzll(doubled));
        const auto before = static_cast<unsigned>(_mm_popcnt_u64(starts & ((std::uint64_t{1} << gap) - 1)));
        const unsigned moved = 8 - count;
        const auto filled = static_cast<__mmask8>(0xFF & ~(((1u << moved) - 1) << before));
        groups = _mm_maskz_expand_epi16(filled, groups);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(address.bytes), groups);
    return length;
}

}  // namespace

unsigned avx512Ipv6(const char* p, Ipv6Address& address, unsigned& nonDigits) noexcept {
    const __m512i bytes = _mm512_maskz_loadu_epi8((std::uint64_t{1} << Ipv6TextWindow) - 1, p);
    return ipv6FromVector(bytes, masksOf(bytes), address, nonDigits);
}

namespace {

// The printed form of an address without "::": eight groups of four digits,
// each followed by a colon, in 40 bytes; the leading zeros of each group are
// then left out. Byte j is digit j % 5 of group j / 5: the nibble of address
// byte 2 * (j / 5) + (j % 5) / 2 that HighNibble says.
constexpr unsigned LayoutChars = 40;

constexpr std::uint64_t layoutMask(unsigned wanted) {  // bit j set where j % 5 is wanted (0 to 4)
    std::uint64_t mask = 0;
    for (unsigned j = 0; j < LayoutChars; ++j) mask |= std::uint64_t{j % 5 == wanted} << j;
    return mask;
}
constexpr std::uint64_t FirstDigits = layoutMask(0);
constexpr std::uint64_t SecondDigits = layoutMask(1);
constexpr std::uint64_t LastDigits = layoutMask(3);
constexpr std::uint64_t Colons = layoutMask(4) & ~(std::uint64_t{1} << (LayoutChars - 1));  // none after the last group
constexpr std::uint64_t Digits = layoutMask(0) | layoutMask(1) | layoutMask(2) | layoutMask(3);
constexpr std::uint64_t HighNibble = layoutMask(0) | layoutMask(2);
alignas(64) constexpr auto LayoutBytes = [] {
    std::array<std::uint8_t, 64> bytes{};
    for (unsigned j = 0; j < LayoutChars; ++j) {
        bytes[j] = static_cast<std::uint8_t>(2 * (j / 5) + (j % 5 == 4 ? 0 : j % 5 / 2));
    }
    return bytes;
}();

}  // namespace

// An address with no run of two or more zero groups (so no "::" and no
// dotted quad): the 32 digits spread to their places with one permute, each
// group's leading zeros found from a mask of the zero digits, and the rest
// packed together with one compress. Returns nullptr, having written
// nothing, for any other address.
char* avx512Ipv6Print(char* out, const Ipv6Address& address) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(address.bytes));
    const unsigned zeroGroups = _mm_cmpeq_epi16_mask(bytes, _mm_setzero_si128());
    if ((zeroGroups & (zeroGroups >> 1)) != 0) return nullptr;
    const __m512i from = _mm512_load_si512(LayoutBytes.data());
    const __m512i spread = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, from, _mm512_zextsi128_si512(bytes));
    const __m512i low = _mm512_and_si512(spread, _mm512_set1_epi8(0x0F));
    const __m512i high = _mm512_and_si512(_mm512_srli_epi16(spread, 4), _mm512_set1_epi8(0x0F));
    const __m512i nibbles = _mm512_mask_blend_epi8(HighNibble, low, high);
    const std::uint64_t nonzero = _cvtmask64_u64(_mm512_test_epi8_mask(nibbles, nibbles)) & Digits;
    // A digit is kept once a digit before it in its group is not zero, and
    // the last always.
    std::uint64_t kept = nonzero;
    kept |= (kept << 1) & Digits & ~FirstDigits;
    kept |= (kept << 2) & Digits & ~(FirstDigits | SecondDigits);
    kept |= LastDigits | Colons;
    const __m512i letters = _mm512_maskz_mov_epi8(_mm512_cmpgt_epi8_mask(nibbles, _mm512_set1_epi8(9)),
                                                  _mm512_set1_epi8('a' - '0' - 10));
    const __m512i digits = _mm512_add_epi8(_mm512_add_epi8(nibbles, _mm512_set1_epi8('0')), letters);
    const __m512i text = _mm512_mask_blend_epi8(Colons, digits, _mm512_set1_epi8(':'));
    const __m512i packed = _mm512_maskz_compress_epi8(kept, text);
    const auto length = static_cast<unsigned>(_mm_popcnt_u64(kept));
    _mm512_mask_storeu_epi8(out, (std::uint64_t{1} << length) - 1, packed);
    return out + length;
}

namespace {

// The reader's rounding of a short time (roundShortDecimal), repeated here
// rather than shared: an inline function compiled with this file's flags
// must not be one the other files may end up calling.
constexpr std::uint64_t Tens[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
constexpr double InverseTens[] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};

inline bool roundTime(std::uint64_t digits, unsigned decimals, float& value) noexcept {
    const double close = static_cast<double>(digits) * InverseTens[decimals];
    std::uint64_t bits;
    std::memcpy(&bits, &close, sizeof bits);
    if (((bits & 0x1FFFFFFF) - (0x10000000 - 16)) <= 32) return false;  // near a midpoint: the exact division decides
    value = static_cast<float>(close);
    return true;
}

}  // namespace

// A record lies within 64 bytes of its start, so it is loaded in one vector,
// and the offsets of its separators (for IPv6, of its first three) in another
// from the index. Every byte wanted is then taken from the record by a
// permute: the separators, to be checked, and for each field the eight bytes
// that end with it, with zero for those before its start (leading zeros), in
// the lanes of one vector, where digit pairs, quads and octets are combined
// by multiply-adds. An IPv6 address is read from the record's masks and its
// text moved to the start of a vector.
void avx512RecordRun(RecordRun& run) noexcept {
    const char* const text = run.text;
    const __m256i previous = _mm256_set_epi32(6, 5, 4, 3, 2, 1, 0, 0);
    const __m256i lengthLimits = _mm256_set_epi32(0, 8, 8, 8, 8, 8, 7, 7);  // below these, less one
    // Byte 8k + j of a field's lane: the byte j - 8 from the field's end.
    const __m512i spread = _mm512_set_epi8(7, 7, 7, 7, 7, 7, 7, 7, 6, 6, 6, 6, 6, 6, 6, 6, 5, 5, 5, 5, 5, 5, 5, 5, 4,
                                           4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1,
                                           1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i back = _mm512_set_epi8(-1, -2, -3, -4, -5, -6, -7, -8, -1, -2, -3, -4, -5, -6, -7, -8, -1, -2, -3,
                                         -4, -5, -6, -7, -8, -1, -2, -3, -4, -5, -6, -7, -8, -1, -2, -3, -4, -5, -6,
                                         -7, -8, -1, -2, -3, -4, -5, -6, -7, -8, -1, -2, -3, -4, -5, -6, -7, -8, -1,
                                         -2, -3, -4, -5, -6, -7, -8);
    const __m512i lanes = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,
                                          44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26,
                                          25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                                          5, 4, 3, 2, 1, 0);
    while (run.count < run.capacity && run.tail - run.head >= 8) {
        const auto q = static_cast<std::uint32_t>(run.q);
        // The next eight offsets of the index, from the record's start.
        const __m256i offsets = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(run.index + run.head));
        const __m256i ends = _mm256_sub_epi32(offsets, _mm256_set1_epi32(static_cast<int>(q)));
        const __m256i starts =
            _mm256_maskz_add_epi32(0xFE, _mm256_permutexvar_epi32(previous, ends), _mm256_set1_epi32(1));
        const __m256i lengths = _mm256_sub_epi32(ends, starts);
        const __mmask8 lengthsOk =
            _mm256_cmplt_epu32_mask(_mm256_sub_epi32(lengths, _mm256_set1_epi32(1)), lengthLimits);
        if ((lengthsOk & 0x07) != 0x07) return;  // the time and the size
        // Within 64 bytes now: an IPv4 record has at most 60 from the time's
        // first digit to the address's separator; an IPv6 one must fit.
        const __m512i record = _mm512_maskz_loadu_epi8(run.readable(q), text + q);
        const __m512i endBytes = _mm512_zextsi128_si512(_mm256_maskz_cvtepi32_epi8(0xFF, ends));
        const __m128i separators =
            _mm512_maskz_extracti32x4_epi32(0xF, _mm512_maskz_permutexvar_epi8(0x7F, endBytes, record), 0);
        const __mmask16 dots = _mm_cmpeq_epi8_mask(separators, _mm_set1_epi8('.'));
        const __mmask16 spaces = _mm_cmpeq_epi8_mask(separators, _mm_set1_epi8(' ')) |
                                 _mm_cmplt_epu8_mask(_mm_sub_epi8(separators, _mm_set1_epi8('\t')), _mm_set1_epi8(5));
        if ((dots & 0x07) != 0x01 || (spaces & 0x06) != 0x06) return;
        const __mmask16 newlines = _mm_cmpeq_epi8_mask(separators, _mm_set1_epi8('\n'));

        const __m512i startBytes = _mm512_zextsi128_si512(_mm256_maskz_cvtepi32_epi8(0xFF, starts));
        const __m512i from = _mm512_add_epi8(_mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread, endBytes), back);
        const __m512i fieldStarts = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread, startBytes);
        const __mmask64 inField = _mm512_cmpge_epi8_mask(from, fieldStarts) & 0x00FFFFFFFFFFFFFF;
        const __m512i digits =
            _mm512_and_si512(_mm512_maskz_permutexvar_epi8(inField, from, record), _mm512_set1_epi8(0x0F));
        const __m512i pairs = _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x010A));
        const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00010064));
        const __m512i values = _mm512_add_epi64(_mm512_maskz_mul_epu32(0xFF, quads, _mm512_set1_epi64(10000)),
                                                _mm512_maskz_srli_epi64(0xFF, quads, 32));
        alignas(64) std::uint64_t field[8];
        _mm512_store_si512(field, values);

        std::size_t next;
        std::size_t entries;
        unsigned lineFeeds = static_cast<unsigned>(_mm_popcnt_u32(newlines & 0x06));
        const bool ipv4 = (dots & 0x08) != 0;
        if (ipv4) {  // lanes 3 to 6 are the address's components
            if ((lengthsOk & 0x78) != 0x78 || (dots & 0x7F) != 0x39 || (spaces & 0x40) == 0) return;
            next = run.index[run.head + 6] + 1;
            entries = 7;
            lineFeeds += (newlines >> 6) & 1;
        } else {  // IPv6: the address's text moved to the start of a vector, its masks shifted alike
            const auto address = static_cast<unsigned>(run.index[run.head + 2] - q) + 1;
            const __m512i text6 = _mm512_maskz_permutexvar_epi8(
                ~std::uint64_t{0} >> address, _mm512_add_epi8(lanes, _mm512_set1_epi8(static_cast<char>(address))),
                record);
            unsigned nonDigits;
            const unsigned length =
                ipv6FromVector(text6, masksOf(record).shiftedDown(address), run.addresses6[run.count6], nonDigits);
            if (length == 0 || q + address + length >= run.scanned) return;
            next = q + address + length + 1;
            entries = 3 + nonDigits + 1;
            lineFeeds += text[next - 1] == '\n';
        }
        if (static_cast<unsigned char>(text[next] - '0') > 9) return;  // the next record starts right after
        const auto decimals = static_cast<unsigned>(_mm256_extract_epi32(lengths, 1));
        float time;
        if (!roundTime(field[0] * Tens[decimals] + field[1], decimals, time)) return;
        run.times[run.count] = time;
        run.sizes[run.count] = static_cast<std::uint32_t>(field[2]);
        if (ipv4) {
            run.isIpv6[run.count] = false;
            // packIpv4Record's sum, written out: a file with its own
            // instruction-set flags calls no inline function of another room.
            run.addresses[run.count4++] = (static_cast<std::uint32_t>(field[3]) << 24) +
                                          (static_cast<std::uint32_t>(field[4]) << 16) +
                                          (static_cast<std::uint32_t>(field[5]) << 8) +
                                          static_cast<std::uint32_t>(field[6]);
        } else {
            run.isIpv6[run.count] = true;
            ++run.count6;
        }
        run.newlines += lineFeeds;
        ++run.count;
        run.head += entries;
        run.q = next;
    }
}

}  // namespace ipveil::trace::scan_detail
