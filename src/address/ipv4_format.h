// formatIpv4Address's body, inline for the trace writer, whose loop over
// lines shows the cost of a call; everything else calls formatIpv4Address
// (ipv4_address.h), which is this. Internal to the project: not installed.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace ipveil::address_detail {

// A dot and 0 to 255 after it, as text, the dot in the lowest byte: so a
// word stored little-endian writes ".0" to ".255" and zeros after.
inline constexpr auto DotAndOctet = [] {
    std::array<std::uint32_t, 256> texts{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint32_t text = '.';
        unsigned length = 1;
        if (i >= 100) text |= std::uint32_t{'0' + i / 100} << (8 * length++);
        if (i >= 10) text |= std::uint32_t{'0' + i / 10 % 10} << (8 * length++);
        texts[i] = text | std::uint32_t{'0' + i % 10} << (8 * length);
    }
    return texts;
}();

// The four bytes of word at out, the lowest first, whatever the machine's
// byte order.
inline void store(char* out, std::uint32_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    std::memcpy(out, &word, sizeof word);
}

// The lengths of the four octets' texts, each with one dot, as the bytes of
// a word (the first octet's in the lowest), summed through the bytes above:
// byte k is where octet k + 1's dot would stand, plus one. Computed rather
// than looked up with the text: in the trace writer the next field, and the
// next line, start where this text ends, so a length that waited for a load
// would hold up everything after it.
inline std::uint32_t dottedEnds(std::uint32_t address) noexcept {
    // Per byte b: bit 7 set where b >= 10, and where b >= 100, without
    // carries between bytes.
    const std::uint32_t low = address & 0x7F7F7F7F;
    const std::uint32_t atLeast10 = ((low + 0x76767676) | address) & 0x80808080;
    const std::uint32_t atLeast100 = ((low + 0x1C1C1C1C) | address) & 0x80808080;
    const std::uint32_t lengths = 0x02020202 + (atLeast10 >> 7) + (atLeast100 >> 7);
    return __builtin_bswap32(lengths) * 0x01010101;  // at most 16, so no byte carries
}

// Each octet's text is one four-byte store, placed from the running sums of
// the lengths, so that no store waits for the one before it to end. The
// first octet's drops the dot; each later one's starts with its dot, and
// its zeros past the text are overwritten by the next store. The last store
// starts at the last dot, at most 11, so nothing lands at 15 or beyond.
inline char* formatDottedQuad(char* out, std::uint32_t address) noexcept {
    const std::uint32_t ends = dottedEnds(address);
    store(out, DotAndOctet[address >> 24] >> 8);
    store(out + (ends & 0xFF) - 1, DotAndOctet[(address >> 16) & 0xFF]);
    store(out + ((ends >> 8) & 0xFF) - 1, DotAndOctet[(address >> 8) & 0xFF]);
    store(out + ((ends >> 16) & 0xFF) - 1, DotAndOctet[address & 0xFF]);
    return out + (ends >> 24) - 1;
}

}  // namespace ipveil::address_detail
