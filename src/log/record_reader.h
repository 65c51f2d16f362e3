// RecordReader: the records of a log, read from a descriptor in blocks.
//
// A record is a line, or for CSV and TSV a line that goes on past line breaks
// inside a double-quoted field (RFC 4180). The reader holds one block and at
// most one record of MaxRecordBytes beyond it, so memory does not grow with the
// log; a longer record is a fault, reported before any of its bytes is handed
// out. Each fill() is one read(2), so a caller that writes what it has after
// every fill() never holds an answer behind a read that waits for input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace ipveil::log {

class RecordReader {
public:
    // The longest record, without its line end.
    static constexpr std::size_t MaxRecordBytes = 1 << 20;
    // The most one fill() asks of read(2).
    static constexpr std::size_t BlockBytes = 1 << 17;

    enum class Fill { More, End, Error };
    enum class Next { Record, NeedMore, TooLong };

    // quoteSeparator: the field separator of a format whose double-quoted
    // fields may hold line breaks, or 0 for one line a record.
    explicit RecordReader(int fd, char quoteSeparator = 0);

    void setQuoteSeparator(char separator) noexcept { quoteSeparator = separator; }

    // Reads once more: More, End at the end of the input, or Error (errno
    // tells which; EINTR once a stop signal is caught). Records handed out
    // before stay valid until this is called again.
    Fill fill() noexcept;

    // The next whole record of what has been read: `record` with its line end
    // ("\n" or "\r\n"; none for a last line without one), `content` without
    // it. NeedMore when none is whole yet; at the end of the input, what is
    // left is a last record. TooLong when the record at lineNumber() holds
    // more than MaxRecordBytes; nothing of it is handed out.
    Next next(std::string_view& record, std::string_view& content) noexcept;

    // The line the next record starts on (the one at fault after TooLong),
    // counting from 1.
    std::uint64_t lineNumber() const noexcept { return line; }
    // Lines handed out: line ends, and a last line without one.
    std::uint64_t lines() const noexcept { return linesOut; }
    // The bytes read and not yet handed out, for telling the format.
    std::string_view pending() const noexcept { return {buffer.get() + begin, size - begin}; }

private:
    // Where the record from `begin` ends (one past its '\n'), or 0 when its
    // end is not yet read; counts its line breaks into `breaks`.
    std::size_t findEnd() noexcept;

    int fd;
    char quoteSeparator;
    std::unique_ptr<char[]> buffer;
    std::size_t begin = 0;    // first byte not handed out
    std::size_t scanned = 0;  // how far the search for its end has gone
    std::size_t size = 0;
    bool ended = false;
    // The quoting state at `scanned`.
    bool inQuotes = false;
    bool quoteMayOpen = true;  // at a field's start, or just after a closing quote
    std::uint64_t breaks = 0;  // line breaks inside the record so far
    std::uint64_t line = 1;
    std::uint64_t linesOut = 0;
};

}  // namespace ipveil::log
