// Where one value to map lies in a line of a log: the log formats find slots,
// one mapping step parses and maps what they hold, and the line is written
// again around them, as the packet walk hands slots to the frame rewriter.
#pragma once

#include <cstdint>

namespace ipveil::log {

// Bytes [begin, end) of a line, counted from its first byte. The text may be
// an address, a subnet "ADDRESS/LENGTH", or a value that is neither (a '-',
// a host name), which is left as it is and counted.
struct TextSlot {
    std::uint32_t begin;
    std::uint32_t end;
};

}  // namespace ipveil::log
