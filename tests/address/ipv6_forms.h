// Random IPv6 addresses and random texts that denote them, shared by the
// address tests and the trace tests.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ipv6_address.h"

namespace ipveil::address_test {

using ipveil::Ipv6Address;

inline unsigned group(const Ipv6Address& address, int i) { return address.bytes[2 * i] << 8 | address.bytes[2 * i + 1]; }

inline bool isMapped(const Ipv6Address& a) {
    return std::memcmp(a.bytes, "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12) == 0;
}

// Zero groups are likely, so that runs of every length and position occur,
// and so are addresses in and around ::ffff:0:0/96.
inline Ipv6Address randomAddress(std::mt19937_64& rng) {
    Ipv6Address address;
    for (int i = 0; i < 8; ++i) {
        const unsigned value = rng() % 3 == 0 ? 0 : static_cast<unsigned>(rng() >> (64 - 4 * (1 + rng() % 4)));
        address.bytes[2 * i] = static_cast<std::uint8_t>(value >> 8);
        address.bytes[2 * i + 1] = static_cast<std::uint8_t>(value);
    }
    if (rng() % 8 == 0) {  // IPv4-mapped, or one byte away from it
        std::memcpy(address.bytes, "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12);
        if (rng() % 2 == 0) address.bytes[rng() % 12] = static_cast<std::uint8_t>(rng());
    }
    return address;
}

// One of the many texts that denote address: any stretch of zero groups, even
// a single one, as "::"; leading zeros; either case; and perhaps the last 32
// bits as a dotted quad.
inline std::string randomForm(const Ipv6Address& address, std::mt19937_64& rng) {
    const bool quad = rng() % 3 == 0;
    const int groups = quad ? 6 : 8;
    std::vector<std::string> pieces;
    for (int i = 0; i < groups; ++i) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%0*x", static_cast<int>(1 + rng() % 4), group(address, i));
        for (char* c = digits; *c != '\0'; ++c) {
            if (rng() % 2 == 0) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
        }
        pieces.emplace_back(digits);
    }
    if (quad) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%u.%u.%u.%u", address.bytes[12], address.bytes[13], address.bytes[14],
                      address.bytes[15]);
        pieces.emplace_back(digits);
    }
    int start = static_cast<int>(rng() % groups);
    int end = start;
    while (end < groups && group(address, end) == 0 && rng() % 4 != 0) ++end;
    std::string text;
    for (int i = 0; i < static_cast<int>(pieces.size()); ++i) {
        if (i == start && end > start) {
            text += "::";
            i = end - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        text += pieces[i];
    }
    return text;
}

}  // namespace ipveil::address_test
