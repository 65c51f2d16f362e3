#include "capture_reader.h"

#include <algorithm>
#include <cstring>

#include "capture_bytes.h"
#include "file_io.h"

namespace ipveil::capture {

namespace {

constexpr std::uint32_t PcapMicroMagic = 0xA1B2C3D4;
constexpr std::uint32_t PcapNanoMagic = 0xA1B23C4D;
constexpr std::uint32_t ByteOrderMagic = 0x1A2B3C4D;
constexpr std::size_t PcapHeaderBytes = 24;
constexpr std::size_t PcapRecordBytes = 16;

bool keepSectionOption(std::uint16_t code) noexcept { return code == 4; }  // shb_userappl
bool keepInterfaceOption(std::uint16_t code) noexcept {
    // if_speed, if_tsresol, if_fcslen, if_tsoffset, if_txspeed, if_rxspeed
    return code == 8 || code == 9 || code == 13 || code == 14 || code == 16 || code == 17;
}
bool keepEnhancedOption(std::uint16_t code) noexcept { return code == 2 || code == 4 || code == 6; }
bool keepObsoleteOption(std::uint16_t code) noexcept { return code == 2; }  // pack_flags
bool keepStatisticsOption(std::uint16_t code) noexcept { return code >= 2 && code <= 8; }

// Versions 1.0 and 1.2 are the section layout readers take; any other may
// be laid out otherwise.
bool knownVersion(const std::uint8_t* section, bool swapped) noexcept {
    const std::uint16_t minor = load16(section + 14, swapped);
    return load16(section + 12, swapped) == 1 && (minor == 0 || minor == 2);
}

// Copies the options of `in` (length bytes) that `keep` accepts to out, in
// order, and ends them with opt_endofopt; out may be in (each kept option
// moves towards the front) and needs room for length + 4 bytes. Returns the
// length written (0 when none is kept), or -1 when an option runs past the
// end. Whatever follows an opt_endofopt is not options and goes.
std::ptrdiff_t scrubOptions(const std::uint8_t* in, std::size_t length, std::uint8_t* out, bool swapped,
                            bool (*keep)(std::uint16_t), std::uint64_t& dropped) noexcept {
    std::size_t at = 0;
    std::size_t put = 0;
    while (length - at >= 4) {
        const std::uint16_t code = load16(in + at, swapped);
        if (code == 0) break;
        const std::size_t room = 4 + padded(load16(in + at + 2, swapped));
        if (room > length - at) return -1;
        if (keep(code)) {
            std::memmove(out + put, in + at, room);
            put += room;
        } else {
            ++dropped;
        }
        at += room;
    }
    if (put == 0) return 0;
    std::memset(out + put, 0, 4);
    return static_cast<std::ptrdiff_t>(put + 4);
}

// The if_fcslen of an interface's options (`length` bytes, already found
// to lie within the block), or 0 when it has none.
std::uint8_t fcsLength(const std::uint8_t* options, std::size_t length, bool swapped) noexcept {
    std::size_t at = 0;
    while (length - at >= 4) {
        const std::uint16_t code = load16(options + at, swapped);
        const std::uint16_t size = load16(options + at + 2, swapped);
        if (code == 0) break;
        if (code == 13 && size >= 1) return options[at + 4];
        at += 4 + padded(size);
    }
    return 0;
}

}  // namespace

CaptureReader::CaptureReader(int fd)
    : fd(fd),
      buffer(new std::uint8_t[BufferBytes + FrameSlackBytes]()),
      queue(new std::uint8_t[MetadataBytes]),
      interfaceLinkType(new std::uint32_t[MaxInterfaces]),
      interfaceSnapLength(new std::uint32_t[MaxInterfaces]),
      interfaceFcsBytes(new std::uint8_t[MaxInterfaces]) {}

ReadStatus CaptureReader::read(Frame* frames, std::size_t max, std::size_t& count) noexcept {
    count = 0;
    queued = 0;
    drained = false;
    if (status != ReadStatus::More) return status;
    for (;;) {
        Step step;
        if (!started) {
            step = startFile();
        } else if (skipping) {
            step = skipBlock();
        } else if (count == max) {
            return ReadStatus::More;
        } else {
            step = fileFormat == Format::Pcap ? pcapRecord(frames[count]) : pcapngBlock(frames[count]);
        }
        switch (step) {
        case Step::Packet:
            frames[count].metadataEnd = static_cast<std::uint32_t>(queued);
            ++count;
            ++packets;
            break;
        case Step::Progress:
            break;
        case Step::WindowFull:
            return ReadStatus::More;
        case Step::Fault:
            return status;
        case Step::NeedMore:
            // Hand over what this window holds before the buffer moves.
            if (count > 0 || queued > 0) {
                drained = true;
                return ReadStatus::More;
            }
            if (atEof) {
                if (begin == end && !skipping) {
                    status = ReadStatus::End;
                    return status;
                }
                corrupt(!started                       ? "the file ends inside its header"
                        : fileFormat == Format::Pcap ? "the file ends inside a packet record"
                                                     : "the file ends inside a block");
                return status;
            }
            if (!refill()) {
                fail(ReadStatus::ReadError);
                return status;
            }
            break;
        }
    }
}

CaptureReader::Step CaptureReader::fail(ReadStatus why) noexcept {
    status = why;
    return Step::Fault;
}

CaptureReader::Step CaptureReader::corrupt(const char* why) noexcept {
    reason = why;
    return fail(ReadStatus::Corrupt);
}

bool CaptureReader::refill() noexcept {
    if (begin > 0) {
        std::memmove(buffer.get(), buffer.get() + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    // Every unit that is held whole fits in half the buffer: it cannot be full here.
    const std::ptrdiff_t got = io::readSome(fd, buffer.get() + end, BufferBytes - end);
    if (got < 0) return false;
    if (got == 0) atEof = true;
    end += static_cast<std::size_t>(got);
    return true;
}

CaptureReader::Step CaptureReader::startFile() noexcept {
    const std::size_t held = end - begin;
    const std::uint8_t* p = buffer.get() + begin;
    if (held < 4) return atEof ? fail(ReadStatus::NotCapture) : Step::NeedMore;
    const std::uint32_t magic = load32(p, false);
    if (magic == PcapMicroMagic || magic == PcapNanoMagic || magic == bswap32(PcapMicroMagic) ||
        magic == bswap32(PcapNanoMagic)) {
        if (held < PcapHeaderBytes) return atEof ? corrupt("the file ends inside its header") : Step::NeedMore;
        fileFormat = Format::Pcap;
        swapped = magic != PcapMicroMagic && magic != PcapNanoMagic;
        // The low 16 bits name the link type and the top 6 the FCS; the bits
        // between are reserved. A header the format does not have (another
        // major version, reserved bits set) would go out as a file no reader
        // takes.
        const std::uint32_t network = load32(p + 20, swapped);
        if (load16(p + 4, swapped) != 2 || (network & 0x03FF0000) != 0) return fail(ReadStatus::NotCapture);
        pcapLinkType = network & 0xFFFF;
        // With the bit above the reserved ones set, the top 4 give the FCS length in 16-bit words.
        pcapFcsBytes = (network & 0x04000000) != 0 ? static_cast<std::uint8_t>((network >> 28) * 2) : 0;
        std::memcpy(queue.get(), p, PcapHeaderBytes);
        queued = PcapHeaderBytes;
        begin += PcapHeaderBytes;
        started = true;
        return Step::Progress;
    }
    if (magic == SectionHeaderBlock) {
        if (held < 12) return atEof ? corrupt("the file ends inside its header") : Step::NeedMore;
        const std::uint32_t order = load32(p + 8, false);
        if (order != ByteOrderMagic && order != bswap32(ByteOrderMagic)) return fail(ReadStatus::NotCapture);
        if (held < 16) return atEof ? corrupt("the file ends inside its header") : Step::NeedMore;
        if (!knownVersion(p, order != ByteOrderMagic)) return fail(ReadStatus::NotCapture);
        fileFormat = Format::Pcapng;
        started = true;
        return Step::Progress;
    }
    return fail(ReadStatus::NotCapture);
}

CaptureReader::Step CaptureReader::pcapRecord(Frame& frame) noexcept {
    const std::size_t held = end - begin;
    if (held < PcapRecordBytes) return Step::NeedMore;
    std::uint8_t* p = buffer.get() + begin;
    const std::uint32_t captured = load32(p + 8, swapped);
    if (captured > MaxPacketBytes) return corrupt("captured length over 262144 bytes");
    if (held < PcapRecordBytes + captured) return Step::NeedMore;
    frame = Frame{p + PcapRecordBytes, captured, load32(p + 12, swapped), pcapLinkType, pcapFcsBytes, p, captured,
                  0, 0, RecordKind::PcapRecord, swapped};
    begin += PcapRecordBytes + captured;
    return Step::Packet;
}

CaptureReader::Step CaptureReader::skipBlock() noexcept {
    if (skipLeft > 0) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(skipLeft, end - begin));
        begin += take;
        skipLeft -= take;
        if (skipLeft > 0) return Step::NeedMore;
    }
    if (end - begin < 4) return Step::NeedMore;
    if (load32(buffer.get() + begin, swapped) != skipTotal) return corrupt("block trailer differs from its length");
    begin += 4;
    skipping = false;
    return Step::Progress;
}

CaptureReader::Step CaptureReader::queueBlock(const std::uint8_t* block, std::uint32_t total, std::uint32_t fixed,
                                              bool (*keep)(std::uint16_t)) noexcept {
    std::uint8_t* out = queue.get() + queued;
    std::memcpy(out, block, fixed);
    const std::ptrdiff_t options =
        scrubOptions(block + fixed, total - 4 - fixed, out + fixed, swapped, keep, droppedOptions);
    if (options < 0) return corrupt("option runs past the end of its block");
    const std::uint32_t written = fixed + static_cast<std::uint32_t>(options) + 4;
    store32(out + 4, written, swapped);
    store32(out + written - 4, written, swapped);
    queued += written;
    return Step::Progress;
}

void CaptureReader::addComment(std::uint8_t* block) noexcept {
    const std::uint32_t total = load32(block + 4, swapped);
    const std::uint32_t room = 4 + padded(static_cast<std::uint32_t>(commentSize));
    // The section header's options start at byte 24: the comment goes first,
    // and an opt_endofopt after it when the block had no options left.
    const bool hadOptions = total > 28;
    std::uint8_t* options = block + 24;
    std::memmove(options + room, options, total - 24);
    const std::uint16_t head[2] = {1, static_cast<std::uint16_t>(commentSize)};  // opt_comment
    for (int i = 0; i < 2; ++i) {
        const std::uint16_t value = swapped ? __builtin_bswap16(head[i]) : head[i];
        std::memcpy(options + 2 * i, &value, 2);
    }
    std::memcpy(options + 4, comment, commentSize);
    std::memset(options + 4 + commentSize, 0, room - 4 - commentSize);
    std::uint32_t written = total + room;
    if (!hadOptions) {
        std::memset(block + written - 4, 0, 4);
        written += 4;
    }
    store32(block + 4, written, swapped);
    store32(block + written - 4, written, swapped);
    queued += written - total;
}

CaptureReader::Step CaptureReader::pcapngBlock(Frame& frame) noexcept {
    const std::size_t held = end - begin;
    if (held < 8) return Step::NeedMore;
    std::uint8_t* p = buffer.get() + begin;
    // The section header's type reads the same in both byte orders; its
    // byte-order magic sets the order of the section it opens.
    const std::uint32_t type = load32(p, swapped);
    bool order = swapped;
    if (type == SectionHeaderBlock) {
        if (held < 12) return Step::NeedMore;
        const std::uint32_t magic = load32(p + 8, false);
        if (magic != ByteOrderMagic && magic != bswap32(ByteOrderMagic))
            return corrupt("section header's byte-order magic is wrong");
        order = magic != ByteOrderMagic;
    }
    const std::uint32_t total = load32(p + 4, order);
    if (total < 12) return corrupt("block length below 12");
    if (total % 4 != 0) return corrupt("block length not a multiple of 4");

    const bool kept = type == SectionHeaderBlock || type == InterfaceBlock || type == EnhancedPacketBlock ||
                      type == SimplePacketBlock || type == ObsoletePacketBlock || type == StatisticsBlock;
    if (!kept) {
        ++droppedBlocks;
        skipping = true;
        skipLeft = total - 12;
        skipTotal = total;
        begin += 8;
        return Step::Progress;
    }
    if (total > MaxBlockBytes) return corrupt("block over 1048576 bytes");
    if (held < total) return Step::NeedMore;
    if (load32(p + total - 4, order) != total) return corrupt("block trailer differs from its length");
    // A metadata block grows by at most the opt_endofopt it is given, and a
    // section header by its comment too.
    const std::size_t commentRoom =
        type == SectionHeaderBlock && commentSize > 0 ? 4 + padded(static_cast<std::uint32_t>(commentSize)) : 0;
    const bool roomInQueue = queued + total + 4 + commentRoom <= MetadataBytes;

    switch (type) {
    case SectionHeaderBlock: {
        if (total < 28) return corrupt("block shorter than its fields");
        if (!knownVersion(p, order)) return corrupt("section of a version other than 1.0 and 1.2");
        if (!roomInQueue) return Step::WindowFull;
        swapped = order;
        interfaces = 0;
        std::uint8_t* out = queue.get() + queued;
        if (queueBlock(p, total, 24, keepSectionOption) == Step::Fault) return Step::Fault;
        std::memset(out + 16, 0xFF, 8);  // section length: unspecified
        if (commentSize > 0) addComment(out);
        break;
    }
    case InterfaceBlock: {
        if (total < 20) return corrupt("block shorter than its fields");
        if (interfaces == MaxInterfaces) return corrupt("more than 65536 interfaces in a section");
        if (!roomInQueue) return Step::WindowFull;
        if (queueBlock(p, total, 16, keepInterfaceOption) == Step::Fault) return Step::Fault;
        interfaceLinkType[interfaces] = load16(p + 8, swapped);
        interfaceSnapLength[interfaces] = load32(p + 12, swapped);
        interfaceFcsBytes[interfaces] = fcsLength(p + 16, total - 20, swapped);
        ++interfaces;
        break;
    }
    case StatisticsBlock: {
        if (total < 24) return corrupt("block shorter than its fields");
        if (load32(p + 8, swapped) >= interfaces) {
            ++droppedBlocks;
            break;
        }
        if (!roomInQueue) return Step::WindowFull;
        if (queueBlock(p, total, 20, keepStatisticsOption) == Step::Fault) return Step::Fault;
        break;
    }
    case SimplePacketBlock: {
        if (total < 16) return corrupt("block shorter than its fields");
        if (interfaces == 0) return corrupt("simple packet before any interface description");
        const std::uint32_t original = load32(p + 8, swapped);
        const std::uint32_t snap = interfaceSnapLength[0];
        const std::uint32_t stored = snap != 0 && snap < original ? snap : original;
        if (stored > MaxPacketBytes) return corrupt("captured length over 262144 bytes");
        if (16 + stored > total) return corrupt("captured length past the end of its block");
        frame = Frame{p + 12, stored, original, interfaceLinkType[0], interfaceFcsBytes[0], p, stored, 0, 0,
                      RecordKind::SimplePacket, swapped};
        begin += total;
        return Step::Packet;
    }
    default: {  // enhanced and obsolete packet blocks share their layout
        const bool enhanced = type == EnhancedPacketBlock;
        if (total < 32) return corrupt("block shorter than its fields");
        const std::uint32_t interface = enhanced ? load32(p + 8, swapped) : load16(p + 8, swapped);
        const std::uint32_t captured = load32(p + 20, swapped);
        if (interface >= interfaces) return corrupt("packet for an interface the section has not described");
        if (captured > MaxPacketBytes) return corrupt("captured length over 262144 bytes");
        const std::uint32_t options = 28 + padded(captured);
        if (options + 4 > total) return corrupt("captured length past the end of its block");
        const std::ptrdiff_t kept = scrubOptions(p + options, total - 4 - options, p + options, swapped,
                                                 enhanced ? keepEnhancedOption : keepObsoleteOption, droppedOptions);
        if (kept < 0) return corrupt("option runs past the end of its block");
        frame = Frame{p + 28, captured, load32(p + 24, swapped), interfaceLinkType[interface],
                      interfaceFcsBytes[interface], p, captured, static_cast<std::uint32_t>(kept), 0,
                      enhanced ? RecordKind::EnhancedPacket : RecordKind::ObsoletePacket, swapped};
        begin += total;
        return Step::Packet;
    }
    }
    begin += total;
    return Step::Progress;
}

}  // namespace ipveil::capture
