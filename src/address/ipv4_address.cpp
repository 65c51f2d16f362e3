#include "ipv4_address.h"

namespace ipveil {

bool parseIpv4Address(const char* first, const char* last, std::uint32_t& address) noexcept {
    std::uint32_t value = 0;
    for (int c = 0; c < 4; ++c) {
        if (first == last || *first < '0' || *first > '9') return false;
        unsigned component = static_cast<unsigned>(*first++ - '0');
        // inet_pton refuses a leading zero, so "0" stands alone.
        while (first != last && *first >= '0' && *first <= '9') {
            if (component == 0) return false;
            component = component * 10 + static_cast<unsigned>(*first++ - '0');
            if (component > 255) return false;
        }
        value = value << 8 | component;
        if (c < 3) {
            if (first == last || *first != '.') return false;
            ++first;
        }
    }
    if (first != last) return false;
    address = value;
    return true;
}

bool parseIpv4Record(const char* first, const char* last, std::uint32_t& address) noexcept {
    std::uint32_t value = 0;
    for (int c = 0; c < 4; ++c) {
        if (first != last && *first == '+') ++first;
        if (first == last || *first < '0' || *first > '9') return false;
        std::uint64_t component = 0;
        while (first != last && *first >= '0' && *first <= '9') {
            component = component * 10 + static_cast<unsigned>(*first++ - '0');
            if (component > 0xFFFFFFFFu) return false;
        }
        value += static_cast<std::uint32_t>(component) << (8 * (3 - c));
        if (c < 3) {
            if (first == last || *first != '.') return false;
            ++first;
        }
    }
    if (first != last) return false;
    address = value;
    return true;
}

char* formatIpv4Address(char* out, std::uint32_t address) noexcept {
    for (int c = 0; c < 4; ++c) {
        const unsigned part = (address >> (8 * (3 - c))) & 0xFF;
        if (part >= 100) *out++ = static_cast<char>('0' + part / 100);
        if (part >= 10) *out++ = static_cast<char>('0' + part / 10 % 10);
        *out++ = static_cast<char>('0' + part % 10);
        if (c < 3) *out++ = '.';
    }
    return out;
}

}  // namespace ipveil
