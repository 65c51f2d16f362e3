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
// address field without whitespace: four components as
// parseIpv4RecordComponent reads them, joined by dots, packed as
// packIpv4Record packs them. False, with address untouched, for anything
// else.
bool parseIpv4Record(const char* first, const char* last, std::uint32_t& address) noexcept;

// Reads one component of the record form from first: decimal digits with an
// optional leading '+', at most 4294967295 (what "%u" reads, without its
// sign and wrap-around). Returns the position after the digits, or nullptr,
// with value untouched, when there are no digits or the value is larger.
// The trace reads its size field by the same rule.
const char* parseIpv4RecordComponent(const char* first, const char* last, std::uint32_t& value) noexcept;

// The address of four record components, first octet first: each is added
// at its octet's place modulo 2^32, so that one above 255 carries into the
// octets before it, as the trace's packing of scanf's four values does.
constexpr std::uint32_t packIpv4Record(const std::uint32_t (&components)[4]) noexcept {
    return (components[0] << 24) + (components[1] << 16) + (components[2] << 8) + components[3];
}

// Writes the dotted quad of address at out, as inet_ntop does, and returns
// its end (no NUL). out needs room for Ipv4MaxTextChars: up to 3 bytes past
// the returned end may be overwritten, but never a byte at or beyond
// out + Ipv4MaxTextChars.
char* formatIpv4Address(char* out, std::uint32_t address) noexcept;

}  // namespace ipveil
