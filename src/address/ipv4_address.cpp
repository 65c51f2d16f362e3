#include "ipv4_address.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ipv4_format.h"

namespace ipveil {

bool parseIpv4Address(const char* first, const char* last, std::uint32_t& address) noexcept {
    // "0.0.0.0" to "255.255.255.255": any other length is no quad.
    const std::ptrdiff_t n = last - first;
    if (n < 7 || n > 15) return false;
    // Without a branch on the digits: the number of digits in a component is
    // what varies from address to address, and a branch on it is mispredicted
    // about once a component. The text goes into a buffer after three '0's,
    // which stand for the digits a short component lacks, with zero bytes
    // after it, which are neither digits nor dots.
    unsigned char text[3 + 16 + 3] = {'0', '0', '0'};
    if (n >= 8) {
        std::memcpy(text + 3, first, 8);
        std::memcpy(text + 3 + n - 8, last - 8, 8);
    } else {
        std::memcpy(text + 3, first, 4);
        std::memcpy(text + 3 + n - 4, last - 4, 4);
    }
#if defined(__SSE2__)
    // SSE2 is in every x86-64 CPU: sixteen bytes at once, put together in
    // registers (a 16-byte load of the buffer just written would wait for
    // the smaller stores to land), zero past the text.
    std::uint64_t low;
    std::uint64_t high = 0;
    if (n >= 8) {
        std::uint64_t tail;
        std::memcpy(&low, first, 8);
        std::memcpy(&tail, last - 8, 8);
        if (n > 8) high = tail >> (8 * (16 - n));
    } else {
        std::uint32_t head;
        std::uint32_t tail;
        std::memcpy(&head, first, 4);
        std::memcpy(&tail, last - 4, 4);
        low = head | static_cast<std::uint64_t>(tail) << 24;
    }
    const __m128i bytes = _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
    const __m128i offsets = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    const auto dots = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))));
    const auto digits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(offsets, _mm_set1_epi8(9)), offsets)));
#else
    unsigned dots = 0;
    unsigned digits = 0;
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned char c = text[3 + i];
        dots |= static_cast<unsigned>(c == '.') << i;
        digits |= static_cast<unsigned>(static_cast<unsigned>(c - '0') <= 9) << i;
    }
#endif
    // The three dots (with stand-ins past the text, where ok is false anyway)
    // and the components between them; exactly three dots leave none over.
    unsigned rest = dots | 0x70000u;
    unsigned ends[4];
    for (int c = 0; c < 3; ++c) {
        ends[c] = static_cast<unsigned>(std::countr_zero(rest));
        rest &= rest - 1;
    }
    bool ok = (dots | digits) == (1u << n) - 1 && ends[2] < 16 && (rest & 0xFFFFu) == 0;
    ends[3] = static_cast<unsigned>(n);
    std::uint32_t value = 0;
    unsigned start = 0;
    for (int c = 0; c < 4; ++c) {
        const unsigned end = ends[c];
        const unsigned length = end - start;  // wraps on a misplaced dot, and ok is false
        const unsigned char* last3 = text + 3 + end;
        const unsigned component = static_cast<unsigned>(last3[-1] - '0') +
                                   10 * static_cast<unsigned>(last3[-2] - '0') * (length >= 2) +
                                   100 * static_cast<unsigned>(last3[-3] - '0') * (length >= 3);
        // inet_pton refuses a leading zero, so "0" stands alone.
        ok &= length >= 1 && length <= 3 && component <= 255 && !(length >= 2 && text[3 + start] == '0');
        value = value << 8 | (component & 0xFF);
        start = end + 1;
    }
    if (!ok) return false;
    address = value;
    return true;
}

const char* parseIpv4RecordComponent(const char* first, const char* last, std::uint32_t& value) noexcept {
    const char* p = first;
    if (p != last && *p == '+') ++p;
    const char* const digits = p;
    std::uint64_t v = 0;
    for (; p != last && *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 0xFFFFFFFFu) return nullptr;
    }
    if (p == digits) return nullptr;
    value = static_cast<std::uint32_t>(v);
    return p;
}

bool parseIpv4Record(const char* first, const char* last, std::uint32_t& address) noexcept {
    std::uint32_t components[4];
    for (int c = 0; c < 4; ++c) {
        first = parseIpv4RecordComponent(first, last, components[c]);
        if (first == nullptr) return false;
        if (c < 3) {
            if (first == last || *first != '.') return false;
            ++first;
        }
    }
    if (first != last) return false;
    address = packIpv4Record(components);
    return true;
}

char* formatIpv4Address(char* out, std::uint32_t address) noexcept {
    return address_detail::formatDottedQuad(out, address);
}

}  // namespace ipveil
