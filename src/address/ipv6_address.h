// Ipv6Address: a 128-bit IPv6 address, and its text forms for trace records.
//
// Text in is whatever POSIX inet_pton(AF_INET6) accepts, as glibc implements
// it (RFC 4291 section 2.2): one to eight groups of 1 to 4 hexadecimal digits
// in either case, at most one "::" standing for one or more zero groups, and
// optionally a dotted quad for the last 32 bits. Text out is the canonical
// form of RFC 5952, so that equal addresses always print alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil {

// 128 bits in network order: bytes[0] holds the first group's high byte.
struct Ipv6Address {
    std::uint8_t bytes[16];
    friend constexpr bool operator==(const Ipv6Address&, const Ipv6Address&) = default;
};

// Longest text formatIpv6Address writes: eight groups of four digits and
// seven colons. The only mixed form it prints, "::ffff:255.255.255.255", is
// 22; a six-group mixed form of 45 is accepted on input but never printed.
inline constexpr std::size_t Ipv6MaxTextChars = 39;

// Parses the whole of [first, last) as glibc's inet_pton(AF_INET6) accepts
// it and returns true; returns false for anything else, and then leaves
// address untouched. Refused among others: empty text, a single leading or
// trailing colon, ":::", a second "::", a "::" standing for no group, nine
// groups, five digits in a group, a dotted quad anywhere but in the last 32
// bits, a component of a dotted quad above 255 or with a leading zero ("01"),
// a zone index ("%eth0"), brackets, a prefix length, whitespace, and NUL.
// Never reads outside [first, last); no allocation, no locale.
bool parseIpv6Address(const char* first, const char* last, Ipv6Address& address) noexcept;

// Writes the RFC 5952 text of address at out and returns its end (no NUL):
// lowercase hexadecimal without leading zeros, the first longest run of two
// or more zero groups written "::" (a lone zero group is "0"), and an
// IPv4-mapped address (::ffff:0:0/96) as "::ffff:a.b.c.d"; no other address
// gets a dotted quad. out needs room for Ipv6MaxTextChars: up to 3 bytes past
// the returned end may be overwritten, but never a byte at or beyond
// out + Ipv6MaxTextChars.
char* formatIpv6Address(char* out, const Ipv6Address& address) noexcept;

}  // namespace ipveil
