// RecordReader: the same records however read(2) cuts the input, quoted line
// breaks kept inside a record, and the length limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "record_reader.h"

namespace {

using ipveil::log::RecordReader;

struct Record {
    std::string text;
    std::string content;
    std::uint64_t line;
    bool operator==(const Record&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Record& r) {
        return out << '{' << testing::PrintToString(r.text) << ", " << testing::PrintToString(r.content) << ", "
                   << r.line << '}';
    }
};

// Reads text through a pipe, handing the reader `chunk` bytes per fill()
// (each write lands whole in one read: nothing else is in the pipe), and
// returns the records with the line each starts on; "TOO LONG" ends the list
// at a record over the limit.
std::vector<Record> readRecords(const std::string& text, std::size_t chunk, char quoteSeparator) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    RecordReader reader(fds[0], quoteSeparator);
    std::vector<Record> records;
    std::size_t written = 0;
    for (;;) {
        if (written < text.size()) {
            const std::size_t n = std::min(chunk, text.size() - written);
            EXPECT_EQ(write(fds[1], text.data() + written, n), static_cast<ssize_t>(n));
            written += n;
        } else if (fds[1] >= 0) {
            close(fds[1]);
            fds[1] = -1;
        }
        const RecordReader::Fill fill = reader.fill();
        EXPECT_NE(fill, RecordReader::Fill::Error);
        for (;;) {
            const std::uint64_t line = reader.lineNumber();
            std::string_view record, content;
            const RecordReader::Next next = reader.next(record, content);
            if (next == RecordReader::Next::TooLong) {
                records.push_back({"TOO LONG", "", line});
                close(fds[0]);
                if (fds[1] >= 0) close(fds[1]);
                return records;
            }
            if (next != RecordReader::Next::Record) break;
            records.push_back({std::string(record), std::string(content), line});
        }
        if (fill == RecordReader::Fill::End) break;
    }
    close(fds[0]);
    return records;
}

TEST(RecordReader, RecordsDoNotDependOnHowReadsCutTheInput) {
    struct Case {
        char quoteSeparator;
        std::string text;
        std::vector<Record> records;
    } cases[] = {
        {0, "a\r\nb\n\nlast", {{"a\r\n", "a", 1}, {"b\n", "b", 2}, {"\n", "", 3}, {"last", "last", 4}}},
        {0, "\"x\ny\"\n", {{"\"x\n", "\"x", 1}, {"y\"\n", "y\"", 2}}},
        // Quoted line breaks stay in the record; "" does not close the
        // quote; a quote inside an unquoted field opens nothing.
        {',', "h,\"a\r\nb\"\r\n\"\"\"\n\",x\na\"b,\nc\"", {{"h,\"a\r\nb\"\r\n", "h,\"a\r\nb\"", 1},
                                                      {"\"\"\"\n\",x\n", "\"\"\"\n\",x", 3},
                                                      {"a\"b,\n", "a\"b,", 5},
                                                      {"c\"", "c\"", 6}}},
        // A quote left open runs to the end of the input, which ends the record.
        {'\t', "\"a\tb\"\t\"c\n", {{"\"a\tb\"\t\"c\n", "\"a\tb\"\t\"c", 1}}},
    };
    for (const Case& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, c.text.size()}) {
            EXPECT_EQ(readRecords(c.text, chunk, c.quoteSeparator), c.records) << c.text << " by " << chunk;
        }
    }
}

TEST(RecordReader, ALineOverTheLimitIsRefusedBeforeAnyOfItIsHandedOut) {
    const std::size_t limit = RecordReader::MaxRecordBytes;
    const std::string longest(limit, 'a');
    // The longest line passes, with either line end and at the end of the input.
    for (const char* end : {"\r\n", "\n", ""}) {
        const auto records = readRecords("x\n" + longest + end + (*end ? "y\n" : ""), 1 << 16, 0);
        ASSERT_EQ(records.size(), *end ? 3u : 2u) << end;
        EXPECT_EQ(records[1].content, longest);
    }
    // One byte more is refused on its line, unended or ended, quoted or not.
    for (char quoteSeparator : {'\0', ','}) {
        for (const char* end : {"", "\n"}) {
            const auto records = readRecords("x\ny\n\"" + longest + end, 1 << 16, quoteSeparator);
            ASSERT_EQ(records.size(), 3u);
            EXPECT_EQ(records[2].text, "TOO LONG");
            EXPECT_EQ(records[2].line, 3u);
        }
    }
}

}  // namespace
