// The capture reader and writer: pcap copied byte for byte, pcapng copied
// with the site's metadata left out (against files built by hand without it,
// and against tshark's reading of both), captured lengths lowered by a
// rewriter, hostile files stopped at the right packet with a valid capture
// written before it, and captures far larger than the buffers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "capture_builder.h"
#include "capture_reader.h"
#include "capture_writer.h"

namespace ipveil::capture::test {
namespace {

using namespace std::string_literals;

constexpr std::uint32_t Micro = 0xA1B2C3D4;
constexpr std::uint32_t Nano = 0xA1B23C4D;

Bytes readFile(const std::string& path) {
    Bytes bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
        std::fclose(f);
    }
    return bytes;
}

std::string output(const std::string& command) {
    std::string out;
    std::FILE* pipe = popen(command.c_str(), "r");
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

class TempFile {
public:
    TempFile() {
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir != nullptr ? dir : "/tmp") + "/ipveil-capture.XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd >= 0) close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
    void write(const Bytes& bytes) const {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    Bytes read() const { return readFile(path); }
    std::string path;
};

struct Copied {
    ReadStatus status;
    std::uint64_t packet;
    std::uint64_t frames = 0;
    std::uint64_t blocksDropped;
    std::uint64_t optionsDropped;
    std::string reason;
    Bytes output;
};

using Rewrite = std::function<void(Frame&)>;

// Reads fd to its end through windows of `window` frames, rewriting each
// frame, and writes every window, as the command does.
Copied copyFrom(int fd, std::size_t window, const Rewrite& rewrite = {}, const std::string& comment = "") {
    TempFile out;
    const int outFd = open(out.path.c_str(), O_WRONLY | O_TRUNC);
    auto reader = std::make_unique<CaptureReader>(fd);
    reader->setSectionComment(comment.data(), comment.size());
    auto writer = std::make_unique<CaptureWriter>(outFd);
    std::vector<Frame> frames(window);
    Copied run{};
    for (;;) {
        std::size_t count = 0;
        run.status = reader->read(frames.data(), window, count);
        run.frames += count;
        if (rewrite) {
            for (std::size_t i = 0; i < count; ++i) rewrite(frames[i]);
        }
        EXPECT_TRUE(writer->write(*reader, frames.data(), count));
        if (run.status != ReadStatus::More) break;
    }
    EXPECT_TRUE(writer->finish());
    close(outFd);
    run.packet = reader->packetNumber();
    run.blocksDropped = reader->blocksDropped();
    run.optionsDropped = reader->optionsDropped();
    run.reason = reader->faultReason();
    run.output = out.read();
    return run;
}

Copied copyThrough(const Bytes& input, std::size_t window = 64, const Rewrite& rewrite = {},
                   const std::string& comment = "") {
    TempFile in;
    in.write(input);
    const int fd = open(in.path.c_str(), O_RDONLY);
    Copied run = copyFrom(fd, window, rewrite, comment);
    close(fd);
    return run;
}

// tshark's reading of a file: the fields of every frame, or "" when tshark
// is not installed. A complaint on standard error (a damaged file, a cut
// packet) fails the test.
std::string tsharkFrames(const Bytes& file) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) return "";
    TempFile in;
    TempFile errors;
    in.write(file);
    const std::string command = "tshark -r " + in.path +
                                " -T fields -e frame.time_epoch -e frame.len -e frame.cap_len -e frame.interface_id"
                                " -e frame.encap_type 2>" + errors.path;
    const std::string out = output(command);
    const Bytes said = errors.read();
    std::string complaints(said.begin(), said.end());
    // tshark run as root says so; that is no complaint about the file.
    const std::string root = "Running as user \"root\" and group \"root\". This could be dangerous.\n";
    if (complaints.rfind(root, 0) == 0) complaints.erase(0, root.size());
    EXPECT_EQ(complaints, "");
    return out;
}

bool contains(const Bytes& haystack, const std::string& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// pcap files of every magic and byte order, with no packets, with packets cut
// by the snap length, empty and of the largest size, come out byte for byte,
// through windows of any size.
TEST(CaptureRoundTrip, PcapIsCopiedByteForByte) {
    for (const bool big : {false, true}) {
        for (const std::uint32_t magic : {Micro, Nano}) {
            const Bytes header = pcapHeader(big, magic, 96, 1);
            Bytes file = header;
            append(file, pcapRecord(big, 1700000000, 999999, payload(96, 1), 1514));
            append(file, pcapRecord(big, 1700000001, 5, payload(0, 2), 60));
            append(file, pcapRecord(big, 1700000002, 999999999, payload(MaxPacketBytes, 3), MaxPacketBytes));
            append(file, pcapRecord(big, 1700000003, 7, payload(40, 4), 20));  // captured beyond original: kept
            for (const std::size_t window : {1, 3, 1000}) {
                const Copied empty = copyThrough(header, window);
                EXPECT_EQ(empty.status, ReadStatus::End);
                EXPECT_EQ(empty.output, header);
                const Copied run = copyThrough(file, window);
                EXPECT_EQ(run.status, ReadStatus::End);
                EXPECT_EQ(run.frames, 4u);
                EXPECT_EQ(run.packet, 4u);
                EXPECT_EQ(run.output, file) << big << magic << window;
            }
        }
    }
}

// Frames carry their bytes, lengths and link type, and a rewriter's lower
// captured length goes out in the record, the original length unchanged.
TEST(CaptureRoundTrip, PcapFramesAndLoweredLengths) {
    for (const bool big : {false, true}) {
        // The FCS length stands in the link type's top bits.
        Bytes file = pcapHeader(big, Nano, 65535, 0x30000000 | 113);
        Bytes expected = file;
        for (unsigned i = 0; i < 20; ++i) {
            const Bytes data = payload(i * 37, i);
            append(file, pcapRecord(big, i, i * 1000, data, i * 37 + 5));
            append(expected, pcapRecord(big, i, i * 1000, Bytes(data.begin(), data.begin() + i * 37 / 3), i * 37 + 5));
        }
        unsigned seen = 0;
        const Copied run = copyThrough(file, 7, [&](Frame& frame) {
            EXPECT_EQ(frame.linkType, 113u);
            EXPECT_EQ(frame.captured, seen * 37);
            EXPECT_EQ(frame.original, seen * 37 + 5);
            EXPECT_EQ(Bytes(frame.data, frame.data + frame.captured), payload(seen * 37, seen));
            frame.captured /= 3;
            ++seen;
        });
        EXPECT_EQ(run.status, ReadStatus::End);
        EXPECT_EQ(run.output, expected);
        // tshark: every frame, its captured length as cut and its length unchanged.
        const std::string fields = tsharkFrames(run.output);
        if (fields.empty()) continue;
        std::string lengths;
        for (unsigned i = 0; i < 20; ++i) {
            lengths += std::to_string(i * 37 + 5) + " " + std::to_string(i * 37 / 3) + "\n";
        }
        std::string shown;
        for (std::size_t at = 0, next; at < fields.size(); at = next + 1) {
            next = fields.find('\n', at);
            const std::size_t len = fields.find('\t', at) + 1;
            const std::size_t cap = fields.find('\t', len) + 1;
            shown += fields.substr(len, cap - 1 - len) + " " + fields.substr(cap, fields.find('\t', cap) - cap) + "\n";
        }
        EXPECT_EQ(shown, lengths);
    }
}

// A pcapng file of two sections in the two byte orders, interfaces of
// different link types and time resolutions, every packet block and
// statistics, all of whose options carry no identity, comes out byte for
// byte; tshark reads the same frames from both.
Bytes plainPcapng(bool firstBig) {
    Bytes file;
    for (const bool big : {firstBig, !firstBig}) {
        append(file, sectionHeader(big, {{4, text("a capturing program")}}));
        append(file, interface(big, 1, 0, {{9, {9}}, {14, u64Value(big, 100)}}));  // nanoseconds
        append(file, interface(big, 101, 96, {{13, {4}}}));                         // raw IP, microseconds
        append(file, enhancedPacket(big, 0, 1700000000123456789ull, payload(60, 1), 60, {{2, u32Value(big, 1)}}));
        append(file, enhancedPacket(big, 1, 1700000000123456ull, payload(96, 2), 1400));
        append(file, obsoletePacket(big, 1, 1700000001000000ull, payload(20, 3), 20, {{2, u32Value(big, 2)}}));
        append(file, statistics(big, 0, 1700000002000000000ull, {{2, u64Value(big, 5)}, {4, u64Value(big, 3)}}));
        append(file, enhancedPacket(big, 0, 1700000003000000000ull, payload(0, 4), 0));
    }
    // Simple packets take interface 0 of their section, whose snap length is none.
    append(file, simplePacket(!firstBig, payload(77, 5), 77));
    return file;
}

TEST(CaptureRoundTrip, PcapngWithNothingToScrubIsCopiedByteForByte) {
    for (const bool big : {false, true}) {
        const Bytes file = plainPcapng(big);
        for (const std::size_t window : {1, 2, 100}) {
            const Copied run = copyThrough(file, window);
            EXPECT_EQ(run.status, ReadStatus::End);
            EXPECT_EQ(run.frames, 9u);
            EXPECT_EQ(run.blocksDropped, 0u);
            EXPECT_EQ(run.output, file);
        }
        // Section and interfaces only: they are written though no packet follows.
        const Bytes header = Bytes(file.begin(), file.begin() + 28 + 16 + 20 + 4 + 16 + 20 + 16 + 12);
        ASSERT_EQ(header.size() % 4, 0u);
        EXPECT_EQ(copyThrough(header).output, header);
    }
}

// Everything that can identify the site is gone, counted, and replaced by
// nothing: the output is exactly the file built without it. tshark reads
// the same frames, times (nanosecond interfaces too), lengths, interfaces
// and link types from both.
TEST(CaptureScrub, PcapngLosesWhatNamesTheSite) {
    for (const bool big : {false, true}) {
        const Options comment = {{1, text("secret-comment")}};
        const Options custom = {{2988, text("\x00\x00\x7f\x00secret-custom"s)}, {19373, text("1234secret-nocopy")}};
        Bytes file;
        Bytes expected;
        Options shb = {{1, text("secret-comment")}, {2, text("secret-hardware")}, {3, text("secret-os myhost")},
                       {4, text("a program")}};
        append(shb, custom);
        append(file, sectionHeader(big, shb, 4000));  // a section length that scrubbing makes wrong
        append(expected, sectionHeader(big, {{4, text("a program")}}));
        const Options idb = {{2, text("secret-name")}, {3, text("secret-description")},
                             {4, {192, 0, 2, 1, 255, 255, 255, 0}}, {5, payload(17, 9)}, {6, {2, 0, 0, 1, 2, 3}},
                             {7, payload(8, 8)}, {9, {9}}, {11, text("\x00host secret-filter"s)},
                             {12, text("secret-ifos")}, {15, text("secret-ifhardware")}, {1, text("secret-comment")}};
        append(file, interface(big, 1, 262144, idb));
        append(expected, interface(big, 1, 262144, {{9, {9}}}));
        append(file, nameResolution(big, "secret-host.example"));
        append(file, interface(big, 113, 0, comment));  // all options go: none is left
        append(expected, interface(big, 113, 0));
        append(file, block(big, 10, Builder(big).u32(0x544c534b).u32(14).raw(text("secret-keylog")).pad4().bytes));
        append(file, block(big, 0x00000BAD, Builder(big).u32(32473).raw(text("secret-custom-block")).pad4().bytes));
        append(file, block(big, 0x40000BAD, Builder(big).u32(32473).raw(text("secret-nocopy-block")).pad4().bytes));
        append(file, block(big, 0x80000001, text("secret-local")));  // a type it does not know
        Options epb = {{2, u32Value(big, 1)}, {3, text("\x02secret-hash-0123456789")}, {4, u64Value(big, 7)}};
        append(epb, comment);
        append(epb, custom);
        append(file, enhancedPacket(big, 0, 1700000000123456789ull, payload(60, 1), 1000, epb));
        append(expected, enhancedPacket(big, 0, 1700000000123456789ull, payload(60, 1), 1000,
                                        {{2, u32Value(big, 1)}, {4, u64Value(big, 7)}}));
        append(file, obsoletePacket(big, 1, 1700000000000001ull, payload(30, 2), 30,
                                    {{3, text("\x02secret-hash")}, {1, text("secret-comment")}}));
        append(expected, obsoletePacket(big, 1, 1700000000000001ull, payload(30, 2), 30));
        append(file, statistics(big, 1, 5, {{1, text("secret-comment")}, {2, u64Value(big, 1)}}));
        append(expected, statistics(big, 1, 5, {{2, u64Value(big, 1)}}));
        append(file, statistics(big, 7, 5));  // of an interface never described
        append(file, enhancedPacket(big, 1, 1700000001000000ull, payload(8, 3), 8, comment));
        append(expected, enhancedPacket(big, 1, 1700000001000000ull, payload(8, 3), 8));

        const Copied run = copyThrough(file);
        EXPECT_EQ(run.status, ReadStatus::End);
        EXPECT_EQ(run.frames, 3u);
        EXPECT_EQ(run.blocksDropped, 6u);
        EXPECT_EQ(run.optionsDropped, 5u + 10u + 1u + 4u + 2u + 1u + 1u);
        EXPECT_EQ(run.output, expected);
        EXPECT_FALSE(contains(run.output, "secret"));
        // tshark shows the custom blocks as records with no time: they are not packets.
        std::string packets;
        const std::string all = tsharkFrames(file);
        for (std::size_t at = 0, next; at < all.size(); at = next + 1) {
            next = all.find('\n', at);
            if (all[at] != '\t') packets += all.substr(at, next + 1 - at);
        }
        EXPECT_EQ(tsharkFrames(run.output), packets);
        EXPECT_EQ(tsharkFrames(run.output), tsharkFrames(expected));
    }
}

// The command's comment goes into every section header, first among its
// options, padded, in the section's byte order, with an end of options when
// it is alone; the input's own comments go all the same.
TEST(CaptureScrub, SectionHeadersCarryTheCommandsComment) {
    for (const bool big : {false, true}) {
        for (const std::string& comment : {"key id 0123"s, "eight ch"s}) {
            const Options sections[] = {{{1, text("secret-comment")}, {4, text("a program")}}, {},
                                        {{1, text("secret-comment")}}};
            const Options withComment[] = {{{1, text(comment)}, {4, text("a program")}}, {{1, text(comment)}},
                                           {{1, text(comment)}}};
            Bytes file;
            Bytes expected;
            for (int i = 0; i < 3; ++i) {
                append(file, sectionHeader(big, sections[i]));
                append(expected, sectionHeader(big, withComment[i]));
                for (const Bytes& block : {interface(big, 1, 262144),
                                           enhancedPacket(big, 0, 1700000000123456789ull, payload(60, 1), 60)}) {
                    append(file, block);
                    append(expected, block);
                }
            }
            for (const std::size_t window : {1, 64}) {
                const Copied run = copyThrough(file, window, {}, comment);
                EXPECT_EQ(run.status, ReadStatus::End);
                EXPECT_EQ(run.optionsDropped, 2u);
                EXPECT_EQ(run.output, expected);
            }
            EXPECT_EQ(tsharkFrames(copyThrough(file, 64, {}, comment).output), tsharkFrames(file));
        }
    }
}

// Lowered captured lengths are written with their block lengths and padding
// recomputed and options kept; a simple packet's cut bytes go out as zeros.
// tshark reads every frame with cap_len as set and len unchanged.
TEST(CaptureRewrite, PcapngLoweredLengthsAreRewrittenBlocks) {
    for (const bool big : {false, true}) {
        const Options flags = {{2, u32Value(big, 1)}};
        Bytes file = sectionHeader(big);
        append(file, interface(big, 1, 50));
        Bytes expected = file;
        for (unsigned i = 0; i < 12; ++i) {
            const Bytes data = payload(40 + i, i);
            const auto cut = static_cast<std::uint32_t>(i * 3);
            append(file, enhancedPacket(big, 0, i, data, 1500, flags));
            append(expected, enhancedPacket(big, 0, i, Bytes(data.begin(), data.begin() + cut), 1500, flags));
            append(file, obsoletePacket(big, 0, i, data, 1500));
            append(expected, obsoletePacket(big, 0, i, Bytes(data.begin(), data.begin() + cut), 1500));
            // The snap length of 50 makes a simple packet of 1500 hold 50 bytes.
            const Bytes simple = payload(50, i);
            append(file, simplePacket(big, simple, 1500));
            Bytes zeroed(simple.begin(), simple.begin() + cut);
            zeroed.resize(50, 0);
            append(expected, simplePacket(big, zeroed, 1500));
        }
        unsigned seen = 0;
        const Copied run = copyThrough(file, 5, [&](Frame& frame) { frame.captured = seen++ / 3 * 3; });
        EXPECT_EQ(run.status, ReadStatus::End);
        EXPECT_EQ(run.output, expected);
        const std::string fields = tsharkFrames(run.output);
        if (!fields.empty()) {
            EXPECT_EQ(fields, tsharkFrames(expected));
        }
    }
}

// The FCS length comes from the pcap link type's FCS bits or the interface's
// if_fcslen, and is present only in a frame captured whole.
TEST(CaptureRewrite, FcsLengthIsTheFileHeadersOrTheInterfaces) {
    struct Case {
        const char* name;
        Bytes file;
        std::vector<std::uint32_t> present;  // fcsPresent() of each frame
    };
    const Bytes data = payload(64, 1);
    const Bytes part(data.begin(), data.begin() + 40);
    std::vector<Case> cases;
    for (const bool big : {false, true}) {
        Bytes pcap = pcapHeader(big, Micro, 65535, 1 | 0x04000000 | 2u << 28);
        append(pcap, pcapRecord(big, 1, 0, data, 64));
        append(pcap, pcapRecord(big, 2, 0, part, 64));
        cases.push_back({"pcap with FCS bits", pcap, {4, 0}});
        Bytes plain = pcapHeader(big, Micro, 65535, 1);
        append(plain, pcapRecord(big, 1, 0, data, 64));
        cases.push_back({"pcap without", plain, {0}});

        Bytes ng = sectionHeader(big);
        append(ng, interface(big, 1, 0, {{13, Bytes{4}}}));
        append(ng, interface(big, 1, 0, {{9, Bytes{6}}}));
        append(ng, interface(big, 1, 0, {{2, text("eth0")}, {13, Bytes{2}}}));
        append(ng, enhancedPacket(big, 0, 1, data, 64));
        append(ng, enhancedPacket(big, 1, 2, data, 64));
        append(ng, enhancedPacket(big, 2, 3, data, 64));
        append(ng, enhancedPacket(big, 0, 4, part, 64));
        append(ng, simplePacket(big, data, 64));
        append(ng, obsoletePacket(big, 2, 5, data, 64));
        cases.push_back({"pcapng if_fcslen", ng, {4, 0, 2, 0, 4, 2}});
    }
    for (const Case& c : cases) {
        std::vector<std::uint32_t> present;
        const Copied run = copyThrough(c.file, 64, [&](Frame& frame) { present.push_back(frame.fcsPresent()); });
        EXPECT_EQ(run.status, ReadStatus::End) << c.name;
        EXPECT_EQ(present, c.present) << c.name;
    }
}

struct Hostile {
    const char* name;
    Bytes input;
    ReadStatus status;
    std::uint64_t packet;
    Bytes written;  // the valid capture of the whole packets before the fault
};

std::vector<Hostile> hostileFiles() {
    std::vector<Hostile> cases;
    const Bytes pcap = pcapHeader(false, Micro, 65535, 1);
    Bytes twoPackets = pcap;
    append(twoPackets, pcapRecord(false, 1, 1, payload(70, 1), 70));
    append(twoPackets, pcapRecord(false, 2, 2, payload(80, 2), 80));
    const auto plus = [](Bytes a, const Bytes& b) {
        append(a, b);
        return a;
    };
    const auto cut = [](Bytes a, std::size_t drop) {
        // erase, not resize: GCC's sanitizer build cannot see that drop <= size.
        a.erase(a.end() - static_cast<std::ptrdiff_t>(drop), a.end());
        return a;
    };
    cases.push_back({"empty file", {}, ReadStatus::NotCapture, 0, {}});
    cases.push_back({"three bytes", {0xD4, 0xC3, 0xB2}, ReadStatus::NotCapture, 0, {}});
    cases.push_back({"garbage", text("GET / HTTP/1.1\r\nHost: example\r\n\r\n"), ReadStatus::NotCapture, 0, {}});
    cases.push_back({"pcap header truncated", cut(pcap, 1), ReadStatus::Corrupt, 1, {}});
    {
        Bytes version = twoPackets;
        version[4] = 3;  // major version 3
        cases.push_back({"pcap of another version", version, ReadStatus::NotCapture, 0, {}});
        Bytes reserved = twoPackets;
        reserved[22] = 1;  // a reserved bit of the link type
        cases.push_back({"pcap link type reserved bits", reserved, ReadStatus::NotCapture, 0, {}});
    }
    cases.push_back({"pcap record header truncated", plus(twoPackets, Bytes(15, 0)), ReadStatus::Corrupt, 3,
                     twoPackets});
    cases.push_back({"pcap packet truncated", cut(plus(twoPackets, pcapRecord(false, 3, 3, payload(90, 3), 90)), 1),
                     ReadStatus::Corrupt, 3, twoPackets});
    cases.push_back({"pcap caplen beyond 256 KiB",
                     plus(twoPackets, pcapRecord(false, 3, 3, payload(MaxPacketBytes + 1, 3), MaxPacketBytes + 1)),
                     ReadStatus::Corrupt, 3, twoPackets});

    const Bytes ng = plus(sectionHeader(false), interface(false, 1, 0));
    const Bytes ngTwo = plus(plus(ng, enhancedPacket(false, 0, 1, payload(33, 1), 33)),
                             enhancedPacket(false, 0, 2, payload(44, 2), 44));
    const Bytes next = enhancedPacket(false, 0, 3, payload(20, 3), 20);  // 52 bytes
    const auto withLength = [&](Bytes block, std::uint32_t total, bool both) {
        for (int i = 0; i < 4; ++i) block[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
        if (both) {
            for (int i = 0; i < 4; ++i) block[block.size() - 4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
        }
        return block;
    };
    cases.push_back({"pcapng byte-order magic wrong", cut(Bytes{0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0, 1, 2, 3, 4}, 0),
                     ReadStatus::NotCapture, 0, {}});
    cases.push_back({"pcapng section header truncated", cut(sectionHeader(false), 4), ReadStatus::Corrupt, 1, {}});
    cases.push_back({"pcapng block truncated", plus(ngTwo, cut(next, 4)), ReadStatus::Corrupt, 3, ngTwo});
    cases.push_back({"pcapng length not a multiple of 4", plus(ngTwo, withLength(next, 50, false)),
                     ReadStatus::Corrupt, 3, ngTwo});
    cases.push_back({"pcapng length below 12", plus(ngTwo, withLength(next, 8, false)), ReadStatus::Corrupt, 3,
                     ngTwo});
    {
        Bytes lie = next;
        lie[lie.size() - 4] = 48;
        cases.push_back({"pcapng trailing length differs", plus(ngTwo, lie), ReadStatus::Corrupt, 3, ngTwo});
    }
    {
        Bytes lie = withLength(next, 56, false);
        lie.resize(56);  // the trailing length reads 0x00000000... a lie either way
        cases.push_back({"pcapng trailing length in the packet bytes", plus(ngTwo, lie), ReadStatus::Corrupt, 3,
                         ngTwo});
    }
    {
        Bytes beyond = next;  // captured length 60: past the block's 52 bytes
        beyond[20] = 60;
        cases.push_back({"pcapng captured length beyond the block", plus(ngTwo, beyond), ReadStatus::Corrupt, 3,
                         ngTwo});
    }
    cases.push_back({"pcapng packet block shorter than its fields", plus(ngTwo, block(false, 6, Bytes(16, 0))),
                     ReadStatus::Corrupt, 3, ngTwo});
    cases.push_back({"pcapng option past its block",
                     plus(ngTwo, withLength(enhancedPacket(false, 0, 3, payload(20, 3), 20, {{2, Bytes(4, 0)}}), 60,
                                            true)),
                     ReadStatus::Corrupt, 3, ngTwo});
    {
        Bytes option = interface(false, 1, 0, {{2, text("name")}});
        option[18] = 200;  // if_name's length past the block
        cases.push_back({"pcapng interface option past its block", plus(ngTwo, option), ReadStatus::Corrupt, 3,
                         ngTwo});
    }
    cases.push_back({"pcapng packet of an interface not described",
                     plus(ngTwo, enhancedPacket(false, 1, 3, payload(20, 3), 20)), ReadStatus::Corrupt, 3, ngTwo});
    cases.push_back({"pcapng simple packet before any interface",
                     plus(sectionHeader(false), simplePacket(false, payload(8, 1), 8)), ReadStatus::Corrupt, 1,
                     sectionHeader(false)});
    cases.push_back({"pcapng caplen beyond 256 KiB",
                     plus(ngTwo, enhancedPacket(false, 0, 3, payload(MaxPacketBytes + 4, 3), MaxPacketBytes + 4)),
                     ReadStatus::Corrupt, 3, ngTwo});
    cases.push_back({"pcapng dropped block truncated", plus(ngTwo, cut(nameResolution(false, "host"), 2)),
                     ReadStatus::Corrupt, 3, ngTwo});
    cases.push_back({"pcapng dropped block's trailing length differs",
                     plus(ngTwo, withLength(nameResolution(false, "host"), 24, false)), ReadStatus::Corrupt, 3, ngTwo});
    cases.push_back({"pcapng second section's magic wrong", plus(ngTwo, Bytes{0x0A, 0x0D, 0x0D, 0x0A, 28, 0, 0, 0, 1, 2,
                                                                              3, 4}),
                     ReadStatus::Corrupt, 3, ngTwo});
    {
        Bytes version = sectionHeader(false);
        version[12] = 2;  // version 2.0
        cases.push_back({"pcapng first section of another version", plus(version, ngTwo), ReadStatus::NotCapture, 0,
                         {}});
        cases.push_back({"pcapng later section of another version", plus(ngTwo, version), ReadStatus::Corrupt, 3,
                         ngTwo});
    }
    cases.push_back({"pcapng bytes after the last block", plus(ngTwo, Bytes{6, 0, 0}), ReadStatus::Corrupt, 3, ngTwo});
    return cases;
}

// Each fault ends the read with its status and packet number, and what was
// written is exactly the capture of the whole packets before it, which
// tshark reads without complaint.
TEST(CaptureHostile, FaultsStopAtTheirPacketAfterAValidCapture) {
    for (const Hostile& c : hostileFiles()) {
        for (const std::size_t window : {1, 64}) {
            const Copied run = copyThrough(c.input, window);
            EXPECT_EQ(run.status, c.status) << c.name;
            if (c.status == ReadStatus::Corrupt) {
                EXPECT_EQ(run.packet, c.packet) << c.name;
            }
            EXPECT_EQ(run.output, c.written) << c.name;
        }
        if (!c.written.empty()) tsharkFrames(c.written);
    }
}

// Each fault says which it is, as tshark does: faults that stop at the same
// packet are told apart.
TEST(CaptureHostile, FaultsSayWhatIsWrong) {
    const std::map<std::string, std::string> reasons = {
        {"pcap header truncated", "the file ends inside its header"},
        {"pcap record header truncated", "the file ends inside a packet record"},
        {"pcap packet truncated", "the file ends inside a packet record"},
        {"pcap caplen beyond 256 KiB", "captured length over 262144 bytes"},
        {"pcapng section header truncated", "the file ends inside a block"},
        {"pcapng block truncated", "the file ends inside a block"},
        {"pcapng length not a multiple of 4", "block length not a multiple of 4"},
        {"pcapng length below 12", "block length below 12"},
        {"pcapng trailing length differs", "block trailer differs from its length"},
        {"pcapng trailing length in the packet bytes", "block trailer differs from its length"},
        {"pcapng captured length beyond the block", "captured length past the end of its block"},
        {"pcapng packet block shorter than its fields", "block shorter than its fields"},
        // Its length was set to cut the option, which leaves the trailer elsewhere.
        {"pcapng option past its block", "block trailer differs from its length"},
        {"pcapng interface option past its block", "option runs past the end of its block"},
        {"pcapng packet of an interface not described", "packet for an interface the section has not described"},
        {"pcapng simple packet before any interface", "simple packet before any interface description"},
        {"pcapng caplen beyond 256 KiB", "captured length over 262144 bytes"},
        {"pcapng dropped block truncated", "the file ends inside a block"},
        {"pcapng dropped block's trailing length differs", "block trailer differs from its length"},
        {"pcapng second section's magic wrong", "section header's byte-order magic is wrong"},
        {"pcapng later section of another version", "section of a version other than 1.0 and 1.2"},
        {"pcapng bytes after the last block", "the file ends inside a block"},
    };
    for (const Hostile& c : hostileFiles()) {
        const Copied run = copyThrough(c.input, 64);
        if (c.status != ReadStatus::Corrupt) {
            EXPECT_EQ(run.reason, "") << c.name;
            continue;
        }
        const auto expected = reasons.find(c.name);
        ASSERT_NE(expected, reasons.end()) << c.name;
        EXPECT_EQ(run.reason, expected->second) << c.name;
    }
}

// A descriptor that cannot be read is a read error; an output that cannot be
// written fails the write.
TEST(CaptureHostile, ReadAndWriteErrors) {
    const int directory = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    CaptureReader reader(directory);
    Frame frames[4];
    std::size_t count = 1;
    EXPECT_EQ(reader.read(frames, 4, count), ReadStatus::ReadError);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(reader.read(frames, 4, count), ReadStatus::ReadError);
    close(directory);

    TempFile in;
    in.write(plainPcapng(false));
    const int fd = open(in.path.c_str(), O_RDONLY);
    const int full = open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    CaptureReader source(fd);
    CaptureWriter writer(full);
    EXPECT_EQ(source.read(frames, 4, count), ReadStatus::More);
    EXPECT_FALSE(writer.write(source, frames, count) && writer.finish());
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(writer.write(source, frames, count));
    EXPECT_FALSE(writer.finish());
    close(full);
    close(fd);
}

// Captures written by Wireshark's own tools: pcap of both time resolutions
// come out byte for byte; a pcapng merged from an Ethernet capture in
// nanoseconds and a raw IP one in microseconds, with a capture comment and
// packet comments, keeps its packets, times, lengths, interfaces and link
// types as tshark and capinfos read them, and loses the comments, interface
// names and operating system the tools wrote.
TEST(CaptureTools, WiresharkToolCapturesKeepTheirPacketsAndLoseTheirNames) {
    if (std::system("for tool in text2pcap editcap mergecap capinfos tshark; do command -v $tool || exit 1; done"
                    " >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "Wireshark's tools are not installed";
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/ipveil-capture-tools.XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string script =
        "cd " + dir + " && set -e\n"
        "printf '0000  ff ff ff ff ff ff 00 11 22 33 44 55 08 00 45 00\\n"
        "0010  00 1c 00 01 00 00 40 11 00 00 c0 a8 01 01 c0 a8\\n0020  01 02 00 35 00 35 00 08 00 00\\n' >ether.txt\n"
        "printf '0000  45 00 00 1c 00 01 00 00 40 11 00 00 0a 00 00 01\\n"
        "0010  0a 00 00 02 00 35 00 35 00 08 00 00\\n' >raw.txt\n"
        "text2pcap -q -F pcap ether.txt ether.pcap 2>/dev/null\n"
        "text2pcap -q -F pcap -l 101 raw.txt raw.pcap 2>/dev/null\n"
        "text2pcap -q -l 101 raw.txt raw.pcapng 2>/dev/null\n"
        "editcap -F nsecpcap ether.pcap ethern.pcap 2>/dev/null\n"
        "editcap -t 0.123456789 ethern.pcap nano.pcap 2>/dev/null\n"
        "mergecap -F pcapng -w merged.pcapng nano.pcap raw.pcapng nano.pcap 2>/dev/null\n"
        "editcap -a 1:secret-packet -a 3:secret-packet --capture-comment secret-capture merged.pcapng in.pcapng"
        " 2>/dev/null\n";
    ASSERT_EQ(std::system(script.c_str()), 0);
    for (const char* pcap : {"/raw.pcap", "/nano.pcap"}) {
        const Bytes file = readFile(dir + pcap);
        ASSERT_FALSE(file.empty());
        EXPECT_EQ(copyThrough(file).output, file) << pcap;
    }
    const Bytes input = readFile(dir + "/in.pcapng");
    ASSERT_TRUE(contains(input, "secret") && contains(input, "Fake IF") && contains(input, "Linux"));
    const Copied run = copyThrough(input);
    EXPECT_EQ(run.status, ReadStatus::End);
    EXPECT_EQ(run.frames, 3u);
    for (const char* name : {"secret", "Fake IF", "Linux", "Generated from"}) EXPECT_FALSE(contains(run.output, name));
    EXPECT_TRUE(contains(run.output, "Mergecap"));  // shb_userappl names the program
    const std::string frames = tsharkFrames(input);
    EXPECT_NE(frames.find(".123457789\t42\t42\t0\t1\n"), std::string::npos) << frames;
    EXPECT_EQ(tsharkFrames(run.output), frames);
    TempFile out;
    out.write(run.output);
    const std::string info =
        " 2>/dev/null | grep -E 'Number of packets|Encapsulation =|Number of interfaces|precision'";
    const std::string expected = output("capinfos " + dir + "/in.pcapng" + info);
    EXPECT_NE(expected, "");
    EXPECT_EQ(output("capinfos " + out.path + info), expected);
    EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
}

// Any bytes in, a valid capture out: files broken at random (cut short,
// bytes overwritten, bytes inserted) end with a status, and what was written
// reads back to its end with as many packets and copies to itself, already
// scrubbed. tshark reads the first few without complaint.
TEST(CaptureHostile, BrokenFilesStillWriteValidCaptures) {
    std::vector<Bytes> seeds = {plainPcapng(false), plainPcapng(true)};
    Bytes pcap = pcapHeader(true, Micro, 200, 1);
    for (unsigned i = 0; i < 6; ++i) append(pcap, pcapRecord(true, i, i, payload(i * 40, i), i * 50));
    seeds.push_back(pcap);
    unsigned checked = 0;
    std::uint32_t state = 12345;
    const auto next = [&] {
        state = state * 1103515245 + 12345;
        return state >> 8;
    };
    for (unsigned round = 0; round < 1500; ++round) {
        Bytes file = seeds[round % seeds.size()];
        switch (next() % 3) {
        case 0:
            file.resize(next() % file.size());
            break;
        case 1:
            for (unsigned n = next() % 4 + 1; n > 0; --n) {
                file[next() % file.size()] = static_cast<std::uint8_t>(next());
            }
            break;
        default:
            file.insert(file.begin() + next() % file.size(), next() % 8 + 1, static_cast<std::uint8_t>(next()));
            break;
        }
        const Copied run = copyThrough(file, next() % 4 + 1);
        ASSERT_TRUE(run.status == ReadStatus::End || run.status == ReadStatus::Corrupt ||
                    run.status == ReadStatus::NotCapture)
            << round;
        if (run.output.empty()) continue;
        const Copied again = copyThrough(run.output);
        EXPECT_EQ(again.status, ReadStatus::End) << round;
        EXPECT_EQ(again.frames, run.frames) << round;
        EXPECT_TRUE(again.output == run.output) << round;
        if (checked++ < 20) tsharkFrames(run.output);
    }
}

// Captures many times the buffers stream through, from a file and from a
// pipe that hands them over in odd pieces: packets of every size up to the
// largest, a dropped block longer than the input buffer, and more metadata
// between two packets than a window holds.
TEST(CaptureStreaming, CapturesLargerThanTheBuffers) {
    Bytes pcap = pcapHeader(true, Nano, 262144, 1);
    Bytes ng = sectionHeader(false);
    append(ng, interface(false, 1, 0));
    Bytes ngExpected = ng;
    std::uint64_t packets = 0;
    for (unsigned i = 0; pcap.size() < (9u << 20); ++i, ++packets) {
        const std::size_t size = i % 50 == 0 ? MaxPacketBytes : (i * 7919) % 1600;
        const Bytes data = payload(size, i);
        append(pcap, pcapRecord(true, i, i, data, static_cast<std::uint32_t>(size + 1)));
        const Bytes packet = enhancedPacket(false, 0, i, data, static_cast<std::uint32_t>(size));
        append(ng, packet);
        append(ngExpected, packet);
        if (i == 200) {
            // More statistics between two packets than one window's metadata holds.
            for (unsigned n = 0; n < 1500; ++n) {
                append(ng, statistics(false, 0, n, {{4, payload(1000, n)}}));
                append(ngExpected, statistics(false, 0, n, {{4, payload(1000, n)}}));
            }
        }
        if (i == 100) {
            Bytes names = Builder(false).u16(1).u16(8).u32(0x0A000001).raw(text("host")).bytes;
            while (names.size() < (3u << 20)) append(names, Bytes(names.begin(), names.begin() + 12));
            append(names, Bytes(4, 0));
            append(ng, block(false, 4, names));
        }
    }
    for (const Bytes* file : {&pcap, &ng}) {
        const Bytes& expected = file == &pcap ? pcap : ngExpected;
        const Copied run = copyThrough(*file, 200);
        EXPECT_EQ(run.status, ReadStatus::End);
        EXPECT_EQ(run.frames, packets);
        EXPECT_TRUE(run.output == expected);

        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        std::thread feeder([&] {
            for (std::size_t at = 0; at < file->size(); at += 7777) {
                if (write(ends[1], file->data() + at, std::min<std::size_t>(7777, file->size() - at)) < 0) break;
            }
            close(ends[1]);
        });
        const Copied piped = copyFrom(ends[0], 1000);
        feeder.join();
        close(ends[0]);
        EXPECT_EQ(piped.status, ReadStatus::End);
        EXPECT_TRUE(piped.output == expected);
    }
}

// A capture that comes in through a pipe, as from tcpdump -w -, goes out
// as its packets come in: the window written before the reader waits for
// more is handed over whole.
TEST(CaptureStreaming, LivePipeComesOutAsItComesIn) {
    int in[2];
    int out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    CaptureReader reader(in[0]);
    CaptureWriter writer(out[1]);
    Frame frames[64];
    std::size_t count = 0;
    for (unsigned i = 0; i < 3; ++i) {
        Bytes chunk = i == 0 ? pcapHeader(false, Micro, 65535, 1) : Bytes{};
        append(chunk, pcapRecord(false, i, i, payload(100, i), 100));
        ASSERT_EQ(write(in[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        EXPECT_EQ(reader.read(frames, 64, count), ReadStatus::More);
        EXPECT_EQ(count, 1u);
        EXPECT_TRUE(writer.write(reader, frames, count));
        Bytes received(chunk.size());
        ASSERT_EQ(read(out[0], received.data(), received.size()), static_cast<ssize_t>(received.size()));
        EXPECT_EQ(received, chunk);
    }
    close(in[1]);
    EXPECT_EQ(reader.read(frames, 64, count), ReadStatus::End);
    EXPECT_TRUE(writer.write(reader, frames, count));
    EXPECT_TRUE(writer.finish());
    close(in[0]);
    close(out[0]);
    close(out[1]);
}

}  // namespace
}  // namespace ipveil::capture::test
