#include "log_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"
#include "free_text_scanner.h"
#include "ipveil_version.h"
#include "log_format.h"
#include "prefix_anonymizer.h"
#include "record_reader.h"
#include "slot_mapper.h"

namespace ipveil::cmd {

namespace {

constexpr const char* Usage = "usage: ipveil-log [OPTION]... INPUT OUTPUT\n";

constexpr const char* Help =
    "usage: ipveil-log [OPTION]... INPUT OUTPUT\n"
    "\n"
    "Anonymizes the IPv4 and IPv6 addresses of a log with the prefix-preserving mapping of ipveil\n"
    "(the same key, the same images), writing every other byte as it was. '-' is standard input or\n"
    "output.\n"
    "\n"
    "  --format FORMAT    zeek (found without the option from its #separator line), csv, tsv, json,\n"
    "                     text, or lines (one address a line, each answered at once)\n"
    "  --column NAME|N    csv, tsv: a column to map, by its name in the header or its number from 1\n"
    "                     (repeatable)\n"
    "  --field PATH       json: a field to map, as a dotted path (id.orig_h; repeatable)\n"
    "  --every-address    json: also every string value that is an address or a subnet\n"
    "  --strict           stop at a value that is not an address where one should stand (by default\n"
    "                     it is left as it is and counted)\n"
    "  --reveal           map images back to the originals, for the key holder\n"
    "  --key-file FILE    the key: 64 hexadecimal digits in a file only its owner may access (by default\n"
    "                     the key built in)\n"
    "  --policy FILE      the rules of what stays recognisable (special, preserve P/L, keep P/L, only P/L,\n"
    "                     truncate4 N, truncate6 N; one a line)\n"
    "  --keep-special     the special-purpose blocks stay recognisable (the rule special, with --policy too)\n"
    "  --rekey NEWKEYFILE turn a log anonymized with the key and policy in force into the one the key in\n"
    "                     NEWKEYFILE gives with the same policy, in one pass\n"
    "  --print-key-id     print the key id of the key and policy in force and exit\n"
    "  -h, --help         print this help\n"
    "  --version          print the version\n"
    "\n"
    "Statuses: 0 done, 255 wrong usage, 254 cannot open a file, 253 a log it cannot read on (a value\n"
    "not an address with --strict, a line over 1 MiB, a bad header), 252 read error, 251 write error,\n"
    "249 policy refused, 248 key file refused. man ipveil-log tells more.\n";

enum class Format { Detect, Zeek, Csv, Tsv, Json, Text, Lines };

struct Options {
    KeyOptions keys;
    Format format = Format::Detect;
    std::vector<std::string> columns;
    std::vector<std::string> fields;
    bool everyAddress = false;
    bool strict = false;
    bool help = false;
    bool version = false;
    const char* input = nullptr;
    const char* output = nullptr;
};

bool formatNamed(const char* name, Format& format) {
    static constexpr struct {
        const char* name;
        Format format;
    } formats[] = {{"zeek", Format::Zeek}, {"csv", Format::Csv}, {"tsv", Format::Tsv},
                   {"json", Format::Json}, {"text", Format::Text}, {"lines", Format::Lines}};
    for (const auto& known : formats) {
        if (std::strcmp(name, known.name) == 0) {
            format = known.format;
            return true;
        }
    }
    return false;
}

bool parseOptions(int argc, char** argv, Options& options) {
    int operands = 0;
    bool optionsEnd = false;
    bool missingValue = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!optionsEnd && arg[0] == '-' && arg[1] != '\0') {
            if (takeKeyOption(argc, argv, i, options.keys, missingValue)) continue;
            const char* value = nullptr;
            if (std::strcmp(arg, "--") == 0) {
                optionsEnd = true;
            } else if (valueOption(argc, argv, i, "--format", value)) {
                if (value == nullptr || !formatNamed(value, options.format)) return false;
            } else if (valueOption(argc, argv, i, "--column", value)) {
                if (value == nullptr || *value == '\0') return false;
                options.columns.emplace_back(value);
            } else if (valueOption(argc, argv, i, "--field", value)) {
                if (value == nullptr || *value == '\0') return false;
                options.fields.emplace_back(value);
            } else if (std::strcmp(arg, "--every-address") == 0) {
                options.everyAddress = true;
            } else if (std::strcmp(arg, "--strict") == 0) {
                options.strict = true;
            } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
                options.help = true;
            } else if (std::strcmp(arg, "--version") == 0) {
                options.version = true;
            } else {
                return false;
            }
            continue;
        }
        if (operands == 0) options.input = arg;
        if (operands == 1) options.output = arg;
        ++operands;
    }
    if (options.help || options.version) return true;
    if (missingValue || (options.keys.rekeyFile != nullptr && options.keys.reveal)) return false;
    // Each format's own options, and what it needs of them.
    const bool delimited = options.format == Format::Csv || options.format == Format::Tsv;
    const bool json = options.format == Format::Json;
    if (delimited != !options.columns.empty()) return false;
    if (!json && (!options.fields.empty() || options.everyAddress)) return false;
    if (json && options.fields.empty() && !options.everyAddress) return false;
    return options.keys.printKeyId ? operands == 0 : operands == 2;
}

std::unique_ptr<log::LogFormat> makeFormat(const Options& options) {
    switch (options.format) {
        case Format::Zeek:
            return log::makeZeekFormat();
        case Format::Csv:
            return log::makeDelimitedFormat(',', options.columns);
        case Format::Tsv:
            return log::makeDelimitedFormat('\t', options.columns);
        case Format::Json:
            return log::makeJsonFormat(options.fields, options.everyAddress);
        case Format::Text:
            return log::makeTextFormat();
        case Format::Lines:
            return log::makeLinesFormat();
        default:
            return nullptr;
    }
}

const char* inputName(const char* path) { return isStandard(path) ? "standard input" : path; }

// The summary names the input, so that the lines of many runs (GNU parallel)
// can be told apart.
void printSummary(const char* input, const log::RecordReader& reader, const log::SlotCounts& counts,
                  const KeySetup& keys) {
    const auto n = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
    std::fprintf(stderr, "ipveil-log: %s: %llu lines, %llu IPv4 and %llu IPv6 addresses, %llu values left as they were, %s\n",
                 inputName(input), n(reader.lines()), n(counts.ipv4), n(counts.ipv6), n(counts.left),
                 keyIdSuffix(keys).c_str());
}

// Why the run stopped, when not at the end of the input.
struct Stop {
    int status = LogOk;
    std::uint64_t line = 0;
    std::string reason;
};

}  // namespace

int runLogCommand(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return LogUsage;
    }
    if (options.help) {
        std::fputs(Help, stdout);
        return std::fflush(stdout) == 0 ? LogOk : LogWriteError;
    }
    if (options.version) {
        std::printf("ipveil-log %s\n", Version);
        return std::fflush(stdout) == 0 ? LogOk : LogWriteError;
    }
    const bool reveal = options.keys.reveal;
    const bool rekey = options.keys.rekeyFile != nullptr;

    // The key and policy are looked at before any file of the log's is
    // touched. Every refusal's message names the file, never a digit of a key.
    KeySetup keys;
    if (const int status = setUpKeys(options.keys, keys); status != StatusOk || keys.keyIdPrinted) return status;

    const int input = isStandard(options.input) ? STDIN_FILENO : open(options.input, O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        std::fprintf(stderr, "Cannot open file %s\n", options.input);
        return LogCannotOpen;
    }
    if (sameFile(input, options.output)) {
        std::fprintf(stderr, "Input and output are the same file: %s\n",
                     isStandard(options.output) ? options.input : options.output);
        return LogUsage;
    }
    // A write past the file size limit fails like a full disk, so the output
    // is cut back to its last whole line instead of ending inside one.
    io::ignoreFileSizeSignal();
    // Interrupted, the output still ends with a whole line: the lines read
    // go out, then the signal ends the process.
    io::catchStopSignals();

    const PrefixAnonymizer anonymizer(keys.key.bytes, *keys.policy);
    std::unique_ptr<PrefixAnonymizer> target;
    if (rekey) target = std::make_unique<PrefixAnonymizer>(keys.newKey.bytes, *keys.policy);
    const log::Direction direction =
        rekey ? log::Direction::Rekey : reveal ? log::Direction::Reveal : log::Direction::Anonymize;
    log::SlotMapper mapper(anonymizer, direction, target.get());

    // Without --format, the log must show itself a Zeek log in its first
    // bytes; the output is created only once it has (or the format was
    // given), so a wrong input leaves no empty file behind.
    auto reader = std::make_unique<log::RecordReader>(input);
    log::RecordReader::Fill fill = reader->fill();
    const bool detecting = options.format == Format::Detect;
    if (detecting) {
        constexpr std::size_t Enough = 11;  // "#separator "
        while (fill == log::RecordReader::Fill::More && reader->pending().size() < Enough) fill = reader->fill();
        if (fill != log::RecordReader::Fill::Error && !log::looksLikeZeek(reader->pending()) &&
            !reader->pending().empty()) {
            std::fprintf(stderr, "%s: not a Zeek log; give its format with --format\n", inputName(options.input));
            return LogMalformed;
        }
        options.format = Format::Zeek;
    }
    // Nothing is written of an input that failed before its format was known.
    if (fill == log::RecordReader::Fill::Error && (reader->pending().empty() || detecting)) {
        if (io::stopSignal() != 0) io::endByStopSignal();
        std::fprintf(stderr, "Cannot read file %s\n", options.input);
        return LogReadError;
    }
    const std::unique_ptr<log::LogFormat> format = makeFormat(options);
    reader->setQuoteSeparator(format->quoteSeparator());

    // A revealed log is as secret as the original: only its owner may read it.
    const int outputFd = isStandard(options.output)
                             ? STDOUT_FILENO
                             : open(options.output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, reveal ? 0600 : 0666);
    if (outputFd < 0) {
        std::fprintf(stderr, "Cannot open file %s\n", options.output);
        return LogCannotOpen;
    }
    io::OutputFile output(outputFd);

    // Every read(2) is answered before the next: what it completed goes out
    // in one write, so a pipeline that writes one address and waits for its
    // image gets it, and a file goes through in large blocks.
    Stop stop;
    std::vector<log::TextSlot> slots;
    std::vector<log::ParsedSlot> parsed;
    const bool freeText = options.format == Format::Text;
    std::string out;
    for (;;) {
        while (stop.status == LogOk) {
            const std::uint64_t line = reader->lineNumber();
            std::string_view record;
            std::string_view content;
            const log::RecordReader::Next next = reader->next(record, content);
            if (next == log::RecordReader::Next::TooLong)
                stop = {LogMalformed, line, "longer than " + std::to_string(log::RecordReader::MaxRecordBytes) + " bytes"};
            if (next != log::RecordReader::Next::Record) break;
            if (freeText) {
                // Every slot of free text is an address the scan has parsed.
                parsed.clear();
                log::findAddresses(content, parsed);
                mapper.add(record, parsed.data(), parsed.size());
                continue;
            }
            slots.clear();
            if (!format->scan(content, slots)) {
                stop = {LogMalformed, line, format->fault()};
                break;
            }
            const std::size_t taken = mapper.add(record, slots.data(), slots.size(), options.strict);
            if (taken != slots.size())
                stop = {LogMalformed, line,
                        "not an address at byte " + std::to_string(slots[taken].begin + 1) + " (--strict)"};
        }
        out.clear();
        mapper.flush(out);
        if (!out.empty() && !output.write(out.data(), out.size())) break;
        if (stop.status != LogOk || fill != log::RecordReader::Fill::More || io::stopSignal() != 0) break;
        fill = reader->fill();
    }

    printSummary(options.input, *reader, mapper.counts(), keys);
    if (output.failed() || (!isStandard(options.output) && close(outputFd) != 0)) {
        std::fputs("Cannot write output\n", stderr);
        if (io::stopSignal() != 0) io::endByStopSignal();
        return LogWriteError;
    }
    // Reading stopped for the signal, not for a fault of the input.
    if (io::stopSignal() != 0) io::endByStopSignal();
    if (stop.status != LogOk) {
        std::fprintf(stderr, "%s, line %llu: %s\n", inputName(options.input),
                     static_cast<unsigned long long>(stop.line), stop.reason.c_str());
        return stop.status;
    }
    if (fill == log::RecordReader::Fill::Error) {
        std::fprintf(stderr, "Cannot read file %s\n", options.input);
        return LogReadError;
    }
    return LogOk;
}

}  // namespace ipveil::cmd
