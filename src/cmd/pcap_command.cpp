#include "pcap_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "address_policy.h"
#include "command_keys.h"
#include "file_io.h"
#include "ipveil_version.h"
#include "pcap_loop.h"

namespace ipveil::cmd {

namespace {

constexpr const char* Usage = "usage: ipveil-pcap [OPTION]... INPUT OUTPUT\n";

constexpr const char* Help =
    "usage: ipveil-pcap [OPTION]... INPUT OUTPUT\n"
    "\n"
    "Anonymizes every IPv4 and IPv6 address in the headers of a pcap or pcapng capture with the\n"
    "prefix-preserving mapping of ipveil (the same key, the same images), and writes a capture of\n"
    "the same format to OUTPUT. '-' is standard input or output.\n"
    "\n"
    "  --keep-payload     keep the bytes after the headers (by default they are cut: payloads carry\n"
    "                     addresses and names in clear); with it no frame is cut anywhere\n"
    "  --keep-mac         keep MAC addresses as they are (by default they get a keyed mapping of their own)\n"
    "  --reveal           map images back to the originals, for the key holder (nothing is cut; give\n"
    "                     --keep-mac if the capture was made with it)\n"
    "  --key-file FILE    the key: 64 hexadecimal digits in a file only its owner may access (by default\n"
    "                     the key built in)\n"
    "  --policy FILE      the rules of what stays recognisable (special, preserve P/L, keep P/L, only P/L,\n"
    "                     truncate4 N, truncate6 N; one a line)\n"
    "  --keep-special     the special-purpose blocks stay recognisable (the rule special, with --policy too)\n"
    "  --rekey NEWKEYFILE turn a capture anonymized with the key and policy in force into the one the key\n"
    "                     in NEWKEYFILE gives with the same policy, in one pass (nothing is cut)\n"
    "  --print-key-id     print the key id of the key and policy in force and exit\n"
    "  -h, --help         print this help\n"
    "  --version          print the version\n"
    "\n"
    "Statuses: 0 done, 255 wrong usage, 254 cannot open a file, 253 corrupt capture, 252 read error,\n"
    "251 write error, 250 not a capture, 249 policy refused, 248 key file refused. man ipveil-pcap\n"
    "tells more.\n";

struct Options {
    packet::Policy policy;
    KeyOptions keys;
    bool help = false;
    bool version = false;
    const char* input = nullptr;
    const char* output = nullptr;
};

bool parseOptions(int argc, char** argv, Options& options) {
    int operands = 0;
    bool optionsEnd = false;
    bool missingValue = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!optionsEnd && arg[0] == '-' && arg[1] != '\0') {
            if (takeKeyOption(argc, argv, i, options.keys, missingValue)) continue;
            if (std::strcmp(arg, "--") == 0) {
                optionsEnd = true;
            } else if (std::strcmp(arg, "--keep-payload") == 0) {
                options.policy.keepPayload = true;
            } else if (std::strcmp(arg, "--keep-mac") == 0) {
                options.policy.keepMac = true;
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
    if (options.keys.reveal) options.policy.direction = packet::Direction::Reveal;
    if (options.help || options.version) return true;
    // Rekeying reveals under the key in force on the way: it is neither --reveal nor cuts anything.
    if (missingValue || (options.keys.rekeyFile != nullptr && options.keys.reveal)) return false;
    return options.keys.printKeyId ? operands == 0 : operands == 2;
}

// The summary names the input, so that the lines of many runs (GNU parallel)
// can be told apart.
void printSummary(const char* input, const packet::Counts& counts, const capture::CaptureReader& reader,
                  const KeySetup& keys) {
    const auto n = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
    const std::uint64_t unwalked =
        counts.unknownLink + counts.unknownProtocol + counts.truncated + counts.tooManyAddresses;
    std::fprintf(stderr,
                 "ipveil-pcap: %s: %llu packets, %llu IPv4 and %llu IPv6 addresses, %llu MACs mapped, %llu frames cut "
                 "(%llu after their headers), %llu not walked to their end (%llu unknown link type, %llu unknown "
                 "protocol, %llu truncated, %llu too many addresses), %llu blocks and %llu options dropped, %s\n",
                 isStandard(input) ? "standard input" : input, n(counts.packets), n(counts.ipv4), n(counts.ipv6),
                 n(counts.macs), n(counts.cut), n(counts.cutPayload), n(unwalked), n(counts.unknownLink),
                 n(counts.unknownProtocol), n(counts.truncated), n(counts.tooManyAddresses), n(reader.blocksDropped()),
                 n(reader.optionsDropped()), keyIdSuffix(keys).c_str());
}

// What a pcapng output records of its mapping in its section headers: the
// key id, and the policy its images were made with.
std::string sectionComment(const std::string& id, bool defaultKey, const AddressPolicy& policy) {
    std::string text = "ipveil-pcap key id " + id;
    if (defaultKey) text += " (the public default key)";
    if (!policy.empty()) {
        text += "\npolicy:\n" + policy.canonicalText();
        if (text.back() == '\n') text.pop_back();
    }
    return text;
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
    const bool reveal = options.keys.reveal;
    const bool rekey = options.keys.rekeyFile != nullptr;

    // The key and policy are looked at before any file of the capture's is
    // touched. Every refusal's message names the file, never a digit of a key.
    KeySetup keys;
    if (const int status = setUpKeys(options.keys, keys); status != StatusOk || keys.keyIdPrinted) return status;
    const AddressPolicy& policy = *keys.policy;

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

    // Everything is allocated here, once: no allocation per packet or window.
    auto reader = std::make_unique<capture::CaptureReader>(input);
    const std::string comment = sectionComment(keys.id, keys.defaultKey, policy);
    if (!reveal) reader->setSectionComment(comment.data(), comment.size());
    // Rekeying: revealed under the key in force, then anonymized under the new
    // one, window by window; nothing is cut (the input was cut when it was
    // made) and MACs go the same way unless --keep-mac.
    packet::Policy first = options.policy;
    if (rekey) first = {true, options.policy.keepMac, packet::Direction::Reveal};
    auto rewriter = std::make_unique<packet::FrameRewriter>(keys.key.bytes, first, policy);
    std::unique_ptr<packet::FrameRewriter> then;
    if (rekey)
        then = std::make_unique<packet::FrameRewriter>(
            keys.newKey.bytes, packet::Policy{true, options.policy.keepMac, packet::Direction::Anonymize}, policy);
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

    const PcapOutcome outcome = runPcapLoop(*reader, *writer, *rewriter, frames.get(), count, status, then.get());
    printSummary(options.input, (then ? *then : *rewriter).counts(), *reader, keys);
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
