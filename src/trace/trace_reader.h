// TraceReader: reads the records of a raw text trace, a batch at a time.
//
// A trace is a stream of records, each three whitespace-separated fields:
//   time     a number as strtof reads it in full (sign, decimals, exponent,
//            hexadecimal, inf, nan), held in single precision; "nan(chars)",
//            which scanf does not read whole, is refused;
//   size     decimal digits with an optional leading '+', at most 4294967295;
//   address  four such numbers joined by dots; whitespace may follow a dot but
//            not precede one. Or, when the field up to whitespace holds a
//            ':', an IPv6 address in a form inet_pton(AF_INET6) accepts.
// Every field ends at whitespace or at the end of the input; line structure
// carries no meaning. These are exactly the records that scanf("%f"), "%u"
// and "%u.%u.%u.%u" (or inet_pton) read from a well-formed trace, but
// anything else -- a
// stray character, a '-' sign, a value above 4294967295, a file that ends
// inside a record -- is reported as malformed instead of being guessed at.
//
// Input is read in large blocks into a buffer owned by the reader; nothing is
// allocated. A single record (from its time to the end of its address) must
// fit in the buffer, which is far beyond any real trace's record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "record_batch.h"
#include "text_scan.h"

namespace ipveil::trace {

enum class ReadResult {
    Record,     // the batch is full; more records may follow
    End,        // the input ended where a record could begin
    Malformed,  // the record starting on line recordLine() is not a record
    ReadError,  // the input could not be read
};

class TraceReader {
public:
    static constexpr std::size_t BufferBytes = 1 << 20;

    // Only the padding after the (empty) contents needs a value.
    explicit TraceReader(std::FILE* input) noexcept : input(input) { std::memset(buffer, 0, PadBytes); }
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    // Replaces the batch's records by the next ones, until it is full
    // (Record) or reading stops (End, Malformed, ReadError); the batch then
    // holds every record read before the stop.
    ReadResult read(RecordBatch& batch) noexcept;

    // The line (from 1) on which the last record read, or the malformed one,
    // starts: the line of its time field.
    std::uint64_t recordLine() const noexcept { return startLine; }

private:
    enum class Parse { Done, NeedMore, Malformed };
    Parse parseRecord(RecordBatch& batch) noexcept;
    bool refill() noexcept;  // false on a read error
    void readIndexed(RecordBatch& batch, scan_detail::IndexPath path) noexcept;

    std::FILE* input;
    std::size_t begin = 0;  // first unread byte
    std::size_t end = 0;    // one past the last byte held
    bool atEof = false;
    std::uint64_t line = 1;  // line of buffer[begin]
    std::uint64_t startLine = 1;
    // The bytes held are followed by PadBytes zero bytes: a '\0' stops every
    // digit and whitespace scan at the end without a bounds check (the scan
    // then tells the end from a '\0' in the input by its position), the
    // parsers may load 8 bytes from any position up to the end, and parseTime
    // may terminate a field there.
    static constexpr std::size_t PadBytes = 8;
    char buffer[BufferBytes + PadBytes];

    // The index: the offsets in buffer, in order, of the bytes from begin up
    // to indexScanned that are not decimal digits, from index[indexHead] up
    // to index[indexTail]; while begin is indexAt. It is kept IndexAhead
    // bytes ahead of the record being read, IndexChunkBlocks blocks of 64
    // bytes at a time; what is left is moved to the front first, at most the
    // IndexAhead bytes before the new blocks.
    static constexpr std::size_t IndexChunkBlocks = 16;
    static constexpr std::size_t IndexAhead = 128;
    static constexpr std::size_t IndexSpace = IndexAhead + 64 * IndexChunkBlocks + scan_detail::IndexSlack;
    std::size_t indexHead = 0;
    std::size_t indexTail = 0;
    std::size_t indexScanned = 0;
    std::size_t indexAt = ~std::size_t{0};
    std::uint32_t index[IndexSpace];
};

}  // namespace ipveil::trace
