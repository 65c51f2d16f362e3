#include "pcap_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "file_io.h"
#include "ipveil_key.h"
#include "ipveil_version.h"
#include "pcap_loop.h"

namespace ipveil::cmd {

namespace {

constexpr const char* Usage = "usage: ipveil-pcap [--keep-payload] [--keep-mac] [--reveal] INPUT OUTPUT\n";

constexpr const char* Help =
    "usage: ipveil-pcap [--keep-payload] [--keep-mac] [--reveal] INPUT OUTPUT\n"
    "\n"
    "Anonymizes every IPv4 and IPv6 address in the headers of a pcap or pcapng capture with the\n"
    "prefix-preserving mapping of ipveil (the same key, the same images), and writes a capture of\n"
    "the same format to OUTPUT. '-' is standard input or output.\n"
    "\n"
    "  --keep-payload  keep the bytes after the headers (by default they are cut: payloads carry\n"
    "                  addresses and names in clear); with it no frame is cut anywhere\n"
    "  --keep-mac      keep MAC addresses as they are (by default they get a keyed mapping of their own)\n"
    "  --reveal        map images back to the originals, for the key holder (nothing is cut; give\n"
    "                  --keep-mac if the capture was made with it)\n"
    "  -h, --help      print this help\n"
    "  --version       print the version\n"
    "\n"
    "Statuses: 0 done, 255 wrong usage, 254 cannot open a file, 253 corrupt capture, 252 read error,\n"
    "251 write error, 250 not a capture. man ipveil-pcap tells more.\n";

struct Options {
    packet::Policy policy;
    bool help = false;
    bool version = false;
    const char* input = nullptr;
    const char* output = nullptr;
};

bool parseOptions(int argc, char** argv, Options& options) {
    int operands = 0;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!optionsEnd && arg[0] == '-' && arg[1] != '\0') {
            if (std::strcmp(arg, "--") == 0) {
                optionsEnd = true;
            } else if (std::strcmp(arg, "--keep-payload") == 0) {
                options.policy.keepPayload = true;
            } else if (std::strcmp(arg, "--keep-mac") == 0) {
                options.policy.keepMac = true;
            } else if (std::strcmp(arg, "--reveal") == 0) {
                options.policy.direction = packet::Direction::Reveal;
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
    return options.help || options.version || operands == 2;
}

bool isStandard(const char* path) { return std::strcmp(path, "-") == 0; }

// The output is the input's regular file, named or not (`in.pcap - >>
// in.pcap`): writing it would truncate the capture before it is read, or
// feed the command its own output. A named output is looked at before it is
// opened, since opening it truncates it.
bool sameFile(int input, const char* outputPath) {
    struct stat in;
    struct stat out;
    if (fstat(input, &in) != 0 || !S_ISREG(in.st_mode)) return false;
    const int found = isStandard(outputPath) ? fstat(STDOUT_FILENO, &out) : stat(outputPath, &out);
    return found == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// The summary names the input, so that the lines of many runs (GNU parallel)
// can be told apart.
void printSummary(const char* input, const packet::Counts& counts, const capture::CaptureReader& reader) {
    const auto n = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
    const std::uint64_t unwalked =
        counts.unknownLink + counts.unknownProtocol + counts.truncated + counts.tooManyAddresses;
    std::fprintf(stderr,
                 "ipveil-pcap: %s: %llu packets, %llu IPv4 and %llu IPv6 addresses, %llu MACs mapped, %llu frames cut "
                 "(%llu after their headers), %llu not walked to their end (%llu unknown link type, %llu unknown "
                 "protocol, %llu truncated, %llu too many addresses), %llu blocks and %llu options dropped\n",
                 isStandard(input) ? "standard input" : input, n(counts.packets), n(counts.ipv4), n(counts.ipv6),
                 n(counts.macs), n(counts.cut), n(counts.cutPayload), n(unwalked), n(counts.unknownLink),
                 n(counts.unknownProtocol), n(counts.truncated), n(counts.tooManyAddresses), n(reader.blocksDropped()),
                 n(reader.optionsDropped()));
}

}  // namespace

int runPcapCommand(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return PcapUsage;
    }
    if (options.help) {
        std::fputs(Help, stdout);
        return std::fflush(stdout) == 0 ? PcapOk : PcapWriteError;
    }
    if (options.version) {
        std::printf("ipveil-pcap %s\n", Version);
        return std::fflush(stdout) == 0 ? PcapOk : PcapWriteError;
    }
    const bool reveal = options.policy.direction == packet::Direction::Reveal;

    const int input = isStandard(options.input) ? STDIN_FILENO : open(options.input, O_RDONLY | O_CLOEXEC);
    if (input < 0) {
        std::fprintf(stderr, "Cannot open file %s\n", options.input);
        return PcapCannotOpen;
    }
    if (sameFile(input, options.output)) {
        std::fprintf(stderr, "Input and output are the same file: %s\n",
                     isStandard(options.output) ? options.input : options.output);
        return PcapUsage;
    }
    // A write past the file size limit fails like a full disk, so the output
    // is cut back to its last whole packet instead of ending inside one.
    io::ignoreFileSizeSignal();
    // Interrupted, the output still ends with a whole packet: the packets read
    // go out, then the signal ends the process.
    io::catchStopSignals();

    std::uint8_t key[32];
    std::memcpy(key, BuiltInKey, sizeof key);
    // Everything is allocated here, once: no allocation per packet or window.
    auto reader = std::make_unique<capture::CaptureReader>(input);
    auto rewriter = std::make_unique<packet::FrameRewriter>(key, options.policy);
    auto frames = std::make_unique<capture::Frame[]>(PcapWindowFrames);

    // The output is created only once the input has shown itself a capture,
    // so a wrong input leaves no empty file behind.
    std::size_t count = 0;
    capture::ReadStatus status = reader->read(frames.get(), PcapWindowFrames, count);
    if (io::stopSignal() != 0 && count == 0 && reader->metadataSize() == 0) io::endByStopSignal();
    if (status == capture::ReadStatus::NotCapture) {
        std::fprintf(stderr, "Not a capture: %s\n", options.input);
        return PcapNotCapture;
    }
    if (status == capture::ReadStatus::ReadError && count == 0 && reader->metadataSize() == 0) {
        std::fprintf(stderr, "Cannot read file %s\n", options.input);
        return PcapReadError;
    }
    if (status == capture::ReadStatus::Corrupt && count == 0 && reader->metadataSize() == 0) {
        std::fprintf(stderr, "Corrupt capture at packet %llu: %s\n",
                     static_cast<unsigned long long>(reader->packetNumber()), reader->faultReason());
        return PcapCorrupt;
    }
    // A revealed capture is as secret as the original: only its owner may read it.
    const int output = isStandard(options.output)
                           ? STDOUT_FILENO
                           : open(options.output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, reveal ? 0600 : 0666);
    if (output < 0) {
        std::fprintf(stderr, "Cannot open file %s\n", options.output);
        return PcapCannotOpen;
    }
    auto writer = std::make_unique<capture::CaptureWriter>(output);

    const PcapOutcome outcome = runPcapLoop(*reader, *writer, *rewriter, frames.get(), count, status);
    printSummary(options.input, rewriter->counts(), *reader);
    if (outcome.writeFailed || (!isStandard(options.output) && close(output) != 0)) {
        std::fputs("Cannot write output\n", stderr);
        if (io::stopSignal() != 0) io::endByStopSignal();
        return PcapWriteError;
    }
    // Reading stopped for the signal, not for a fault of the input.
    if (io::stopSignal() != 0) io::endByStopSignal();
    switch (outcome.stop) {
        case capture::ReadStatus::Corrupt:
            std::fprintf(stderr, "Corrupt capture at packet %llu: %s\n",
                         static_cast<unsigned long long>(reader->packetNumber()), reader->faultReason());
            return PcapCorrupt;
        case capture::ReadStatus::ReadError:
            std::fprintf(stderr, "Cannot read file %s\n", options.input);
            return PcapReadError;
        default:
            return PcapOk;
    }
}

}  // namespace ipveil::cmd
