#include "record_reader.h"

#include <cstring>

#include "address_text.h"
#include "file_io.h"

namespace ipveil::log {

RecordReader::RecordReader(int fd, char quoteSeparator)
    : fd(fd), quoteSeparator(quoteSeparator), buffer(new char[MaxRecordBytes + BlockBytes + 2]) {}

RecordReader::Fill RecordReader::fill() noexcept {
    if (ended) return Fill::End;
    if (begin > 0) {
        std::memmove(buffer.get(), buffer.get() + begin, size - begin);
        size -= begin;
        scanned -= begin;
        begin = 0;
    }
    // next() has refused a record over the limit before the buffer could fill,
    // so there is room for a block (and the '\r' '\n' that may end the longest
    // record).
    const std::ptrdiff_t got = io::readSome(fd, buffer.get() + size, BlockBytes);
    if (got < 0) return Fill::Error;
    if (got == 0) {
        ended = true;
        return Fill::End;
    }
    size += static_cast<std::size_t>(got);
    return Fill::More;
}

std::size_t RecordReader::findEnd() noexcept {
    const char* data = buffer.get();
    if (quoteSeparator == 0) {
        // Inline rather than memchr: most records are a few hundred bytes.
        const char* found = findEither(data + scanned, data + size, '\n', '\n');
        if (found == data + size) {
            scanned = size;
            return 0;
        }
        breaks = 1;
        return static_cast<std::size_t>(found - data) + 1;
    }
    // RFC 4180: a quote opens a quoted field only at the field's start (or
    // right after a closing quote, where "" stands for one quote); inside, a
    // line break belongs to the field. A quote anywhere else is text.
    for (std::size_t i = scanned; i < size; ++i) {
        const char c = data[i];
        if (inQuotes) {
            if (c == '"') {
                inQuotes = false;
                quoteMayOpen = true;
            } else if (c == '\n') {
                ++breaks;
            }
        } else if (c == '"' && quoteMayOpen) {
            inQuotes = true;
        } else if (c == '\n') {
            ++breaks;
            scanned = i;
            return i + 1;
        } else {
            quoteMayOpen = c == quoteSeparator;
        }
    }
    scanned = size;
    return 0;
}

RecordReader::Next RecordReader::next(std::string_view& record, std::string_view& content) noexcept {
    if (begin == size) return Next::NeedMore;
    std::size_t end = findEnd();
    if (end == 0 && !ended) {
        // One more byte may be the '\r' before the longest record's '\n'.
        return size - begin > MaxRecordBytes + 1 ? Next::TooLong : Next::NeedMore;
    }
    if (end == 0) {
        end = size;  // the last line, without a line end
        ++breaks;
    }
    const char* first = buffer.get() + begin;
    std::size_t length = end - begin;
    record = {first, length};
    if (length > 0 && first[length - 1] == '\n') --length;
    if (length > 0 && first[length - 1] == '\r') --length;
    if (length > MaxRecordBytes) return Next::TooLong;
    content = {first, length};
    begin = end;
    scanned = end;
    inQuotes = false;
    quoteMayOpen = true;
    line += breaks;
    linesOut += breaks;
    breaks = 0;
    return Next::Record;
}

}  // namespace ipveil::log
