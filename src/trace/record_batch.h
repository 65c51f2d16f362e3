// RecordBatch: a run of trace records on their way from the reader through
// the anonymizer to the writer, held field by field so that each stage works
// on whole arrays: the anonymizer takes every address in one call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil::trace {

struct RecordBatch {
    // Enough records to keep the AES units busy for a good while per call,
    // few enough that the batch stays in the first-level cache.
    static constexpr std::size_t Capacity = 256;

    std::size_t count = 0;
    float packet_time[Capacity];
    std::uint32_t packet_size[Capacity];
    // The dotted quad packed into 32 bits, first component in the most
    // significant byte; components above 255 have carried into their
    // neighbours, modulo 2^32.
    std::uint32_t packet_addr[Capacity];
};

}  // namespace ipveil::trace
