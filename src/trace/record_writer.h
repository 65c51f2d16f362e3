// RecordWriter: writes anonymized records in the trace output format,
// "%6f\t%u\t%u.%u.%u.%u\n" -- byte for byte what printf prints -- or, for an
// IPv6 record, "%6f\t%u\t" and the address's RFC 5952 text and a line feed,
// through one reused buffer that is handed to the output stream in large
// writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "file_io.h"
#include "record_batch.h"

namespace ipveil::trace {

// Room for a line: a sign, 39 integer digits of FLT_MAX, 7 for ".dddddd",
// two tabs, 10 digits of size, 39 of IPv6 address and the line feed make 99;
// the formatters may store a few bytes past the end.
inline constexpr std::size_t MaxLineChars = 112;

// Writes printf("%6f", double(value)) at out (room for MaxLineChars: bytes
// just past the end may be overwritten) and returns the end: fixed notation,
// six decimals rounded half to even, "inf"/"nan" padded to 6.
char* formatTime(char* out, float value) noexcept;

// Writes one whole output line at out (room for MaxLineChars, of which bytes
// past the end may be overwritten) and returns the end.
char* formatRecord(char* out, float time, std::uint32_t size, std::uint32_t address) noexcept;
char* formatRecord(char* out, float time, std::uint32_t size, const Ipv6Address& address) noexcept;

class RecordWriter {
public:
    static constexpr std::size_t BufferBytes = 1 << 17;

    // A stream with a descriptor is written through it, whole lines at a
    // time, so a write that fails part way leaves a regular file cut back to
    // its last whole line; a stream without one (in memory) through stdio.
    explicit RecordWriter(std::FILE* output) noexcept : output(output), file(fileno(output)) {}
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Queues the batch's lines, in order; false once a write has failed.
    bool write(const RecordBatch& batch) noexcept;

    // Hands everything queued to the stream and flushes it; false if any
    // write failed.
    bool flush() noexcept;

private:
    bool drain() noexcept;

    std::FILE* output;
    io::OutputFile file;
    std::size_t used = 0;
    bool failed = false;
    // The sign and whole part of the last time written, as text.
    std::uint64_t wholeValue = ~std::uint64_t{0};
    bool wholeNegative = false;
    std::size_t wholeLength = 0;
    char wholeText[24] = {};  // a sign and 20 digits at most
    char buffer[BufferBytes];
};

}  // namespace ipveil::trace
