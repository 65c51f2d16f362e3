// RecordBatch: a run of trace records on their way from the reader through
// the anonymizer to the writer, held field by field so that each stage works
// on whole arrays: the anonymizer takes all the IPv4 addresses in one call
// and all the IPv6 addresses in another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ipv6_address.h"

namespace ipveil::trace {

struct RecordBatch {
    // Enough records to keep the AES units busy for a good while per call,
    // few enough that the batch stays in the first-level cache.
    static constexpr std::size_t Capacity = 256;

    std::size_t count = 0;   // records
    std::size_t count4 = 0;  // of which have an IPv4 address
    std::size_t count6 = 0;  // and an IPv6 address
    float packet_time[Capacity];
    std::uint32_t packet_size[Capacity];
    bool is_ipv6[Capacity];
    // The addresses of the IPv4 records, in record order: the dotted quad
    // packed into 32 bits, first component in the most significant byte;
    // components above 255 have carried into their neighbours, modulo 2^32.
    std::uint32_t packet_addr[Capacity];
    // The addresses of the IPv6 records, in record order.
    Ipv6Address packet_addr6[Capacity];

    void clear() noexcept { count = count4 = count6 = 0; }
};

}  // namespace ipveil::trace
