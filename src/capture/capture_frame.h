// The pieces the capture reader and writer share: the formats, the statuses a
// read ends with, and Frame, one packet as the reader hands it to the packet
// rewriter and the writer takes it back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil::capture {

enum class Format { Pcap, Pcapng };

// The largest packet a capture holds: 256 KiB, the largest snap length. A
// packet whose captured length is beyond it makes the file corrupt.
inline constexpr std::uint32_t MaxPacketBytes = 262144;

enum class ReadStatus {
    More,        // the window is full or the buffer's whole blocks are used; more may follow
    End,         // the input ended after a whole packet or block
    NotCapture,  // the input does not start with a pcap or pcapng header (an empty input too)
    Corrupt,     // a record or block whose lengths do not add up, or that ends early; see packetNumber()
    ReadError,   // the input could not be read (errno tells which)
};

// How a frame's record stands in the file, for the writer.
enum class RecordKind : std::uint8_t {
    PcapRecord,      // 16-byte record header, then the bytes
    EnhancedPacket,  // pcapng block 6: 28 bytes of header, the bytes, padding, options, length
    ObsoletePacket,  // pcapng block 2: laid out as block 6
    SimplePacket,    // pcapng block 3: 12 bytes of header, the bytes, padding, length
};

// One packet, pointing into the reader's buffer; valid until the next read().
// The rewriter may change the bytes in [data, data + captured) and lower
// captured; everything else is the reader's and the writer's. It may load
// (not store) CaptureReader::FrameSlackBytes past data + captured.
struct Frame {
    std::uint8_t* data;
    std::uint32_t captured;  // the writer writes this many bytes
    std::uint32_t original;  // the length on the wire, written as read
    std::uint32_t linkType;  // LINKTYPE_* of its interface (of the file, for pcap)
    // Bytes of frame check sequence that end a frame captured whole (captured
    // equal to original): the file header's FCS length (pcap) or the
    // interface's if_fcslen (pcapng); 0 when none or not known.
    std::uint8_t fcsBytes;

    // Private to the reader and the writer.
    const std::uint8_t* record;  // its record or block header, in the reader's buffer
    std::uint32_t stored;        // captured length as read: its options follow the padded bytes
    std::uint32_t optionBytes;   // its options as scrubbed, opt_endofopt included (0: none)
    std::uint32_t metadataEnd;   // the window's metadata up to here is written before it
    RecordKind kind;
    bool swapped;  // its section's byte order is not the machine's

    // A simple packet block cannot record a shorter captured length: bytes cut
    // from it go out as zeros.
    bool keepsLength() const noexcept { return kind == RecordKind::SimplePacket; }
    // The FCS bytes that end the captured bytes: none unless the frame is
    // whole (a frame cut short has lost its FCS, as tshark reads it too).
    std::uint32_t fcsPresent() const noexcept { return captured == original && stored == original ? fcsBytes : 0; }
};

}  // namespace ipveil::capture
