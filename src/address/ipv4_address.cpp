#include "ipv4_address.h"

#include "ipv4_format.h"

namespace ipveil {

namespace {

// The value of the digit at p, or 10 or more for any other byte.
inline unsigned digitAt(const char* p) noexcept { return static_cast<unsigned>(static_cast<unsigned char>(*p) - '0'); }

}  // namespace

bool parseIpv4Address(const char* first, const char* last, std::uint32_t& address) noexcept {
    // "0.0.0.0" to "255.255.255.255": any other length is no quad.
    if (last - first < 7 || last - first > 15) return false;
    std::uint32_t value = 0;
    const char* p = first;
    for (int c = 0; c < 4; ++c) {
        // One to three digits, unrolled; inet_pton refuses a leading zero,
        // so "0" stands alone.
        if (p == last) return false;
        unsigned component = digitAt(p);
        if (component > 9) return false;
        ++p;
        if (p != last && digitAt(p) <= 9) {
            if (component == 0) return false;
            component = component * 10 + digitAt(p++);
            if (p != last && digitAt(p) <= 9) {
                component = component * 10 + digitAt(p++);
                if (component > 255) return false;
            }
        }
        value = value << 8 | component;
        if (c < 3) {
            if (p == last || *p != '.') return false;
            ++p;
        }
    }
    if (p != last) return false;
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
