// Fuzzes the IPv6 text forms against the C library. For any input,
// parseIpv6Address must accept exactly what inet_pton(AF_INET6) accepts, with
// the same 16 bytes (input with a NUL, which inet_pton would stop at, must be
// refused), and an accepted address must print within Ipv6MaxTextChars and
// parse back to itself. The first 16 bytes of the input, taken as an address,
// must print and parse back likewise, so the printer sees every address.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ipv6_address.h"

namespace {

void checkPrintsAndParsesBack(const ipveil::Ipv6Address& address) {
    char text[ipveil::Ipv6MaxTextChars + 1];
    char* end = ipveil::formatIpv6Address(text, address);
    if (end <= text || end > text + ipveil::Ipv6MaxTextChars) std::abort();
    ipveil::Ipv6Address again;
    if (!ipveil::parseIpv6Address(text, end, again) || again != address) std::abort();
    *end = '\0';
    std::uint8_t theirs[16];
    if (inet_pton(AF_INET6, text, theirs) != 1 || std::memcmp(theirs, address.bytes, 16) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exactly sized copy, so that AddressSanitizer sees any read past the end.
    char* const input = static_cast<char*>(std::malloc(size + 1));
    if (input == nullptr) std::abort();
    std::memcpy(input, data, size);
    ipveil::Ipv6Address ours;
    const bool accepted = ipveil::parseIpv6Address(input, input + size, ours);
    input[size] = '\0';
    std::uint8_t theirs[16];
    const bool hasNul = std::memchr(data, 0, size) != nullptr;
    const bool theyAccept = !hasNul && inet_pton(AF_INET6, input, theirs) == 1;
    std::free(input);

    if (accepted != theyAccept) std::abort();
    if (accepted) {
        if (std::memcmp(ours.bytes, theirs, 16) != 0) std::abort();
        checkPrintsAndParsesBack(ours);
    }
    if (size >= 16) {
        ipveil::Ipv6Address raw;
        std::memcpy(raw.bytes, data, 16);
        checkPrintsAndParsesBack(raw);
    }
    return 0;
}
