// CaptureReader: reads a pcap or pcapng capture from a descriptor, a window of
// packets at a time, in constant memory.
//
// pcap: the microsecond (a1b2c3d4) and nanosecond (a1b23c4d) magics in either
// byte order, any snap length; version 2 with the link type's reserved bits
// clear (any other header is NotCapture: no reader would take it back). The
// file header is queued as read, so the output keeps its byte order, magic,
// snap length and link type, and every record keeps its time and original
// length. A record may hold more than the snap length or than its original
// length: it is copied as it is.
//
// pcapng: every section, each in its own byte order; interfaces with their
// link types; enhanced (6), simple (3) and obsolete (2) packet blocks.
// Sections of version 1.0 and 1.2, the ones readers take: a first section of
// another version is NotCapture, a later one Corrupt. Section headers,
// interface descriptions and interface statistics are queued for the writer,
// scrubbed of what can identify the site where the capture was taken; every
// other block is dropped and counted:
//   - dropped blocks: name resolution (4), decryption secrets (10), custom
//     (0x00000BAD, 0x40000BAD), and every type this reader does not know
//     (systemd journal, process information, local use...);
//   - options are kept only when they carry no identity, and every other one
//     (opt_comment, custom options 2988/2989/19372/19373, anything unknown)
//     is dropped and counted:
//       section header:   shb_userappl, which names the capturing program;
//                         shb_hardware and shb_os are dropped, as they can
//                         name the machine (uname -a holds the host name);
//       interface:        if_speed, if_tsresol, if_fcslen, if_tsoffset,
//                         if_txspeed, if_rxspeed; if_name, if_description,
//                         if_IPv4addr, if_IPv6addr, if_MACaddr, if_EUIaddr,
//                         if_filter (a filter names hosts), if_os,
//                         if_hardware and the time zones (if_tzone,
//                         if_iana_tzname, which place the site) are dropped;
//       enhanced packet:  epb_flags, epb_dropcount, epb_queue; epb_hash (a
//                         hash of the original frame identifies it, and is
//                         wrong once the frame is rewritten), epb_packetid,
//                         epb_verdict, the process and thread ids are dropped;
//       obsolete packet:  pack_flags; pack_hash is dropped;
//       statistics:       isb_starttime, isb_endtime and the counters.
//     Options kept stay in order, end with opt_endofopt and are padded to 32
//     bits; a block whose options are all dropped has none;
//   - the section length of a section header is set to -1 (unspecified): the
//     section's blocks change length;
//   - interface statistics for an interface the section has not described
//     are dropped.
// A simple packet block's captured length is its interface's snap length or
// its original length, whichever is less: it cannot say it holds fewer bytes,
// so the writer fills the bytes the rewriter cut with zeros.
//
// Frames that end with their FCS: a pcap file header whose link type has the
// FCS bit (0x04000000) set gives its length in 16-bit words in the top 4
// bits; a pcapng interface gives it in if_fcslen. Frame::fcsBytes is that
// length (0 when unknown); only a frame captured whole holds it.
//
// Corrupt: a record or block that ends before the input does, a record whose
// captured length is beyond MaxPacketBytes, a block whose total length is not
// a multiple of 4, is less than 12 or than its own fields, or differs from its
// trailing copy, an option running past its block, a packet block for an
// interface the section has not described (or beyond MaxInterfaces), a
// section header whose byte-order magic is wrong, and a block that is kept
// (section header, interface, statistics, packet) but longer than
// MaxBlockBytes. A dropped block may be of any length: it is skipped as it
// streams past. A file that starts with a magic but ends inside its file
// header (or its first section header) is Corrupt at packet 1, and nothing
// can be written for it.
//
// The window: read() fills the caller's frames and queues, in the metadata
// queue, the scrubbed header and metadata blocks that stand before, between
// and after them, so that writing the window (CaptureWriter::write) keeps the
// file's order. Every status comes with a window -- on Corrupt and ReadError
// it holds every whole packet before the fault, and the file header is queued
// even when no packet follows -- so the caller writes it before it stops.
// Nothing is allocated after the constructor. A command's loop:
//
//     CaptureReader reader(in);
//     CaptureWriter writer(out);
//     ReadStatus status;
//     do {
//         status = reader.read(frames, N, count);
//         ...rewrite frames[0, count): bytes in place, captured lowered...
//         if (!writer.write(reader, frames, count)) ...write error...
//     } while (status == ReadStatus::More);
//     if (!writer.finish()) ...write error...
//     ...then End, or the status and reader.packetNumber()...
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "capture_frame.h"

namespace ipveil::capture {

class CaptureReader {
public:
    static constexpr std::size_t BufferBytes = 2 << 20;    // input, read in large blocks
    static constexpr std::size_t MaxBlockBytes = 1 << 20;  // the longest block that is kept
    static constexpr std::size_t MetadataBytes = 5 << 18;  // the window's queued metadata: a kept block and more
    static constexpr std::size_t MaxInterfaces = 65536;    // interfaces described per section
    // Bytes that may be loaded past the end of any frame's captured bytes
    // (of no meaning), so a header walk may load whole words near the end.
    static constexpr std::size_t FrameSlackBytes = 64;

    explicit CaptureReader(int fd);
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Replaces the window by the next one: up to `max` (at least 1) frames in
    // `frames`, their count in `count`, and the metadata around them. More
    // may come with no frames (a window of metadata only). Once a status
    // other than More has been returned, every later call returns it again
    // with an empty window.
    ReadStatus read(Frame* frames, std::size_t max, std::size_t& count) noexcept;

    // The format, once the first read has recognised one.
    Format format() const noexcept { return fileFormat; }

    // The number (from 1) of the last packet read; at a Corrupt status, of
    // the packet at which the input went wrong (one more than the packets
    // read, as the fault can lie in a block before it).
    std::uint64_t packetNumber() const noexcept { return packets + (status == ReadStatus::Corrupt ? 1 : 0); }

    // At a Corrupt status, what is wrong, in a few words ("block trailer
    // differs from its length"); else "".
    const char* faultReason() const noexcept { return status == ReadStatus::Corrupt ? reason : ""; }

    // True when the window took every whole unit the buffer held, so the
    // next read waits for input: the time to hand the output over.
    bool inputDrained() const noexcept { return drained; }

    // A comment for every section header queued from now on: an opt_comment
    // of its own before the options kept (the input's comments are dropped
    // all the same), for what the writing command records about its output.
    // The text must outlive the reader, and be at most MaxCommentBytes long
    // (longer is cut there).
    static constexpr std::size_t MaxCommentBytes = 65535;
    void setSectionComment(const char* text, std::size_t size) noexcept {
        comment = text;
        commentSize = size < MaxCommentBytes ? size : MaxCommentBytes;
    }

    std::uint64_t blocksDropped() const noexcept { return droppedBlocks; }
    std::uint64_t optionsDropped() const noexcept { return droppedOptions; }

    // The window's metadata, for the writer: whole records and blocks, ready
    // to be written. A frame's metadataEnd says how much of it goes before
    // the frame; the rest goes after the window's last frame.
    const std::uint8_t* metadata() const noexcept { return queue.get(); }
    std::size_t metadataSize() const noexcept { return queued; }

private:
    enum class Step { Packet, Progress, NeedMore, WindowFull, Fault };

    Step startFile() noexcept;
    Step pcapRecord(Frame& frame) noexcept;
    Step pcapngBlock(Frame& frame) noexcept;
    Step skipBlock() noexcept;
    Step fail(ReadStatus why) noexcept;
    Step corrupt(const char* why) noexcept;  // a Corrupt fault, and why
    bool refill() noexcept;  // false on a read error
    // Puts the section comment into the section header just queued at block.
    void addComment(std::uint8_t* block) noexcept;

    // Copies the block's fixed part of `fixed` bytes, then its options
    // scrubbed with `keep`, to the metadata queue.
    Step queueBlock(const std::uint8_t* block, std::uint32_t total, std::uint32_t fixed,
                    bool (*keep)(std::uint16_t)) noexcept;

    int fd;
    std::unique_ptr<std::uint8_t[]> buffer;
    std::unique_ptr<std::uint8_t[]> queue;
    std::unique_ptr<std::uint32_t[]> interfaceLinkType;
    std::unique_ptr<std::uint32_t[]> interfaceSnapLength;
    std::unique_ptr<std::uint8_t[]> interfaceFcsBytes;
    std::size_t begin = 0;  // first byte not yet parsed
    std::size_t end = 0;    // one past the last byte held
    std::size_t queued = 0;
    bool atEof = false;
    bool started = false;
    bool swapped = false;  // the file's (pcap) or the section's (pcapng) byte order is not the machine's
    Format fileFormat = Format::Pcap;
    std::uint32_t pcapLinkType = 0;
    std::uint8_t pcapFcsBytes = 0;
    std::uint32_t interfaces = 0;
    std::uint64_t skipLeft = 0;    // bytes of a dropped block still to pass, before its trailing length
    std::uint32_t skipTotal = 0;   // its total length, which the trailing copy must equal
    bool skipping = false;
    bool drained = false;
    ReadStatus status = ReadStatus::More;
    const char* reason = "";
    const char* comment = nullptr;
    std::size_t commentSize = 0;
    std::uint64_t packets = 0;
    std::uint64_t droppedBlocks = 0;
    std::uint64_t droppedOptions = 0;
};

}  // namespace ipveil::capture
