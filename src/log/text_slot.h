// Where one value to map lies in a line of a log: the log formats find slots,
// one mapping step parses and maps what they hold, and the line is written
// again around them, as the packet walk hands slots to the frame rewriter.
#pragma once

#include <cstdint>

#include "ipv6_address.h"

namespace ipveil::log {

// Bytes [begin, end) of a line, counted from its first byte. The text may be
// an address, a subnet "ADDRESS/LENGTH", or a value that is neither (a '-',
// a host name), which is left as it is and counted.
struct TextSlot {
    std::uint32_t begin;
    std::uint32_t end;
};

// A slot that holds an address its scanner has already parsed (free text
// parses every candidate to tell an address from what only looks like one),
// so that the mapping step takes the value as it is instead of parsing the
// text again.
struct ParsedSlot {
    std::uint32_t begin;
    std::uint32_t addressEnd;  // where "/LENGTH" starts, or end
    std::uint32_t end;
    std::int16_t length;       // the subnet's prefix length, or -1
    bool isIpv6;
    std::uint32_t ipv4;        // the address of its family
    Ipv6Address ipv6;
};

}  // namespace ipveil::log
