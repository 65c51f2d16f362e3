// IPv4 addresses as text: the dotted quad of inet_pton and inet_ntop, which
// logs carry, and the looser record form the trace reads with scanf.
//
// An IPv4 address is a std::uint32_t, first octet most significant.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil {

// Longest text formatIpv4Address writes: "255.255.255.255".
inline constexpr std::size_t Ipv4MaxTextChars = 15;

// Parses the whole of [first, last) as glibc's inet_pton(AF_INET) accepts
// it and returns true: exactly four decimal components from 0 to 255 joined
// by dots, none with a leading zero ("01") or a sign. Anything else
// ("1.2.3", "1.2.3.4.5", " 1.2.3.4", "256.0.0.1") is false and leaves
// address untouched. No allocation, no locale.
bool parseIpv4Address(const char* first, const char* last, std::uint32_t& address) noexcept;

// Parses the whole of [first, last) as the trace's "%u.%u.%u.%u" reads one
// address field without whitespace: four components of decimal digits with
// an optional '+', each at most 4294967295, joined by dots; a component above
// 255 carries into the ones before it, modulo 2^32, as the trace's packing
// does. False, with address untouched, for anything else.
bool parseIpv4Record(const char* first, const char* last, std::uint32_t& address) noexcept;

// Writes the dotted quad of address at out, as inet_ntop does, and returns
// its end (no NUL). out needs room for Ipv4MaxTextChars.
char* formatIpv4Address(char* out, std::uint32_t address) noexcept;

}  // namespace ipveil
