// Fuzzes ipveil-log's path: record reader, log format and slot mapper, as the
// command runs them. The first byte chooses the format (Zeek, CSV, TSV, JSON
// by paths or every address, free text, one address a line) and the CSV
// columns, the rest is the log. For any input
// nothing may crash or read out of bounds; revealing the anonymized log gives
// its canonical form C, which anonymizes to the same log again and reveals
// to itself byte for byte; and each run finds the same number of addresses,
// the runs over an output reading it to its end.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "log_format.h"
#include "prefix_anonymizer.h"
#include "record_reader.h"
#include "slot_mapper.h"

namespace {

using namespace ipveil::log;

const std::uint8_t FuzzKey[32] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6, 0xab, 0xf7, 0x15,
                                  0x88, 0x09, 0xcf, 0x4f, 0x3c, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                  0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

const ipveil::PrefixAnonymizer& anonymizer() {
    static const ipveil::PrefixAnonymizer instance(FuzzKey);
    return instance;
}

struct Run {
    std::string output;
    std::uint64_t addresses = 0;
    std::uint64_t stopLine = 0;  // 0: read to the end
};

std::unique_ptr<LogFormat> makeFormat(std::uint8_t choice) {
    std::vector<std::string> columns = {"src", std::to_string(1 + (choice >> 4) % 4)};
    switch (choice % 8) {
        case 0:
            return makeZeekFormat();
        case 1:
            return makeDelimitedFormat(',', columns);
        case 2:
            return makeDelimitedFormat('\t', columns);
        case 3:
            return makeJsonFormat({"a", "id.orig_h", "b.c"}, false);
        case 4:
            return makeJsonFormat({"a"}, true);
        case 5:
        case 6:
            return makeTextFormat();
        default:
            return makeLinesFormat();
    }
}

bool isFreeText(std::uint8_t choice) { return choice % 8 == 5 || choice % 8 == 6; }

// The command's loop over text held in a memory file, a block per read.
Run run(Direction direction, std::uint8_t choice, const std::string& text) {
    const int fd = memfd_create("log", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    const auto format = makeFormat(choice);
    RecordReader reader(fd, format->quoteSeparator());
    SlotMapper mapper(anonymizer(), direction);
    const bool strict = (choice & 8) != 0;
    Run result;
    std::vector<TextSlot> slots;
    for (bool more = true; more && result.stopLine == 0;) {
        const RecordReader::Fill fill = reader.fill();
        if (fill == RecordReader::Fill::Error) std::abort();
        more = fill == RecordReader::Fill::More;
        for (;;) {
            const std::uint64_t line = reader.lineNumber();
            std::string_view record, content;
            const RecordReader::Next next = reader.next(record, content);
            if (next == RecordReader::Next::TooLong) result.stopLine = line;
            if (next != RecordReader::Next::Record) break;
            slots.clear();
            if (!format->scan(content, slots)) {
                result.stopLine = line;
                break;
            }
            if (mapper.add(record, slots.data(), slots.size(), strict) != slots.size()) {
                result.stopLine = line;
                break;
            }
        }
        mapper.flush(result.output);
    }
    close(fd);
    result.addresses = mapper.counts().ipv4 + mapper.counts().ipv6;
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t choice = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const Run anonymized = run(Direction::Anonymize, choice, text);
    const Run canonical = run(Direction::Reveal, choice, anonymized.output);
    if (isFreeText(choice)) {
        // Every image is found again, so revealing maps each back. The
        // canonical text of an original may join the text after it ("::"
        // before ":0g" reads as netstat's ":::0"), so the revealed log is not
        // read again.
        if (canonical.addresses != anonymized.addresses || canonical.stopLine != 0) std::abort();
        return 0;
    }
    const Run again = run(Direction::Anonymize, choice, canonical.output);
    const Run back = run(Direction::Reveal, choice, again.output);
    if (again.output != anonymized.output || back.output != canonical.output) std::abort();
    // The output holds only the lines taken before any fault, so the runs
    // over it read to its end.
    for (const Run* other : {&canonical, &again, &back})
        if (other->addresses != anonymized.addresses || other->stopLine != 0) std::abort();
    return 0;
}
