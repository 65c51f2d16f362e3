// Fuzzes the capture path: reader, frame rewriter and writer. For any input:
// no crash or out-of-bounds access; the output of every pass is itself a
// capture that reads to its end without a fault; anonymizing (payload and
// MACs kept, MACs mapped) stops where a plain copy stops, with as many
// packets; and revealing the anonymized capture gives back the plain copy
// byte for byte. Rekeying the anonymized capture (revealed, then anonymized
// under another key with the special policy) gives what that key and policy
// give the input. The default policy (payload cut), with the command's
// comment in every section header, must also write a valid capture.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "capture_reader.h"
#include "capture_writer.h"
#include "frame_rewriter.h"

namespace {

using ipveil::capture::ReadStatus;

const std::uint8_t FuzzKey[32] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6, 0xab, 0xf7, 0x15,
                                  0x88, 0x09, 0xcf, 0x4f, 0x3c, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                  0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

int fileWith(const std::vector<std::uint8_t>& bytes) {
    const int fd = memfd_create("capture", 0);
    if (fd < 0) std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put <= 0) std::abort();
        done += static_cast<std::size_t>(put);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::vector<std::uint8_t> contents(int fd) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) std::abort();
    return bytes;
}

struct Pass {
    ReadStatus status;
    std::uint64_t packets;
    std::vector<std::uint8_t> output;
};

const std::uint8_t OtherKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// One run of the command's loop over `input`, rewriting with `rewriter`
// (none: a plain copy), then with `then` if given; section headers get
// `comment` if given.
Pass run(const std::vector<std::uint8_t>& input, ipveil::packet::FrameRewriter* rewriter,
         ipveil::packet::FrameRewriter* then = nullptr, const char* comment = nullptr) {
    constexpr std::size_t Window = ipveil::packet::FrameRewriter::MaxFrames;
    static ipveil::capture::Frame frames[Window];
    static ipveil::packet::Frame views[Window];
    const int in = fileWith(input);
    const int out = memfd_create("output", 0);
    Pass pass{};
    {
        auto reader = std::make_unique<ipveil::capture::CaptureReader>(in);
        auto writer = std::make_unique<ipveil::capture::CaptureWriter>(out);
        if (comment != nullptr) reader->setSectionComment(comment, std::strlen(comment));
        for (;;) {
            std::size_t count = 0;
            pass.status = reader->read(frames, Window, count);
            if (rewriter != nullptr) {
                for (std::size_t i = 0; i < count; ++i)
                    views[i] = {frames[i].data, frames[i].captured, frames[i].linkType, frames[i].fcsPresent(),
                                frames[i].keepsLength()};
                rewriter->rewrite(views, count);
                if (then != nullptr) then->rewrite(views, count);
                for (std::size_t i = 0; i < count; ++i) frames[i].captured = views[i].captured;
            }
            if (!writer->write(*reader, frames, count)) std::abort();
            if (pass.status != ReadStatus::More) break;
        }
        if (!writer->finish()) std::abort();
        pass.packets = reader->packetNumber();
    }
    pass.output = contents(out);
    close(in);
    close(out);
    return pass;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using ipveil::packet::Direction;
    using ipveil::packet::FrameRewriter;
    static FrameRewriter anonymizeWhole(FuzzKey, {true, false, Direction::Anonymize});
    static FrameRewriter revealWhole(FuzzKey, {true, false, Direction::Reveal});
    static FrameRewriter anonymizeCut(FuzzKey, {false, false, Direction::Anonymize});
    static const ipveil::AddressPolicy special = [] {
        ipveil::PolicyError error;
        return *ipveil::AddressPolicy::parse("special", error);
    }();
    static FrameRewriter anonymizeOther(OtherKey, {true, false, Direction::Anonymize}, special);

    const std::vector<std::uint8_t> input(data, data + size);
    const Pass copy = run(input, nullptr);
    if (copy.status == ReadStatus::NotCapture) return 0;
    if (copy.status == ReadStatus::ReadError) std::abort();

    // What was written reads whole: a valid capture of the packets before any fault.
    if (!copy.output.empty()) {
        const Pass again = run(copy.output, nullptr);
        if (again.status != ReadStatus::End || again.output != copy.output) std::abort();
    }

    const Pass anonymized = run(input, &anonymizeWhole);
    if (anonymized.status != copy.status || anonymized.packets != copy.packets) std::abort();
    if (anonymized.output.size() != copy.output.size()) std::abort();
    if (!anonymized.output.empty()) {
        const Pass revealed = run(anonymized.output, &revealWhole);
        if (revealed.status != ReadStatus::End || revealed.output != copy.output) std::abort();
        const Pass rekeyed = run(anonymized.output, &revealWhole, &anonymizeOther);
        if (rekeyed.output != run(copy.output, &anonymizeOther).output) std::abort();
    }

    const Pass cut = run(input, &anonymizeCut, nullptr, "ipveil-pcap key id 0123456789abcdef");
    if (cut.status != copy.status) std::abort();
    if (!cut.output.empty() && run(cut.output, nullptr).status != ReadStatus::End) std::abort();
    return 0;
}
