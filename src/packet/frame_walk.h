// The header walk of one frame, and the window of pending work it records
// into: where each address stands, which checksum fields cover which bytes.
// Internal to the packet room; the walk functions are spread over
// link_layers.cpp, ip_headers.cpp and icmp_messages.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame_rewriter.h"
#include "ipv6_address.h"

namespace ipveil::packet::detail {

// The end of a header stack not held in anything but the frame: only the
// snap length bounds it.
inline constexpr std::uint32_t NoEnd = 0xFFFFFFFF;

// Nested IP, Ethernet and quoted headers walked at most: deep enough for any
// real stack of tunnels and quotes; deeper is an unknown protocol.
inline constexpr int MaxDepth = 16;

// Link: a link-layer address of another length than a MAC's (1 to 8 bytes).
enum class SlotKind : std::uint8_t { Ipv4, Ipv6, Mac, Link, Pad };

// How a Pad slot overwrites an option it does not know (default mode only):
// with no-operation bytes (IPv4, TCP), zeros (past an end of options), or one
// IPv6 PadN option of the same length.
enum class PadStyle : std::uint8_t { Nop, Zero, PadN };

struct Slot {
    std::uint32_t offset;  // from the frame's first byte
    std::uint32_t batch;   // index in its family's batch arrays; for a Pad, the bytes it covers
    SlotKind kind;
    std::uint8_t present;     // bytes captured, from the first (the rest of the field is past the snap length)
    std::uint8_t size;        // bytes of the field: 4, 16, 6, or 8 for an 8-byte IPv6 prefix; 1-8 for a link address
    std::uint8_t prefixBits;  // leading bits mapped; the rest of the field is kept as it stands (Pad: its PadStyle)
    std::uint64_t residue;    // checksum residue of the change at an even offset, set at write-back
};

struct ChecksumField {
    std::uint32_t field;  // offset of the 16-bit field
    std::uint32_t begin;  // bytes covered: [begin, end) of the frame
    std::uint32_t end;
    std::int32_t pseudoSrc;  // slots in the pseudo-header (window indices), or -1
    std::int32_t pseudoDst;
    bool zeroMeansNone;     // UDP
    std::uint64_t residue;  // of the field's own change, set when fixed
};

// A frame of the common shape (Ethernet, IPv4 without options or IPv6 without
// extension headers, TCP without options or UDP, all captured) is recorded
// without slots and checksum fields: the write-back knows where everything
// stands. Any other frame is General.
enum class Shape : std::uint8_t { General, Ipv4, Ipv6 };

struct PendingFrame {
    Frame* frame;
    std::uint32_t slotBegin, slotEnd;
    std::uint32_t checksumBegin, checksumEnd;
    std::uint32_t length;  // to write
    // Where the walked bytes end: the FCS, if any, follows. A frame whose
    // record keeps its length has [length, walkable) zeroed instead of cut;
    // a 4-byte FCS left in the output carries the change (crcBefore: of the
    // walked bytes as read).
    std::uint32_t walkable;
    std::uint32_t crcBefore;
    bool zeroCut;
    bool carryFcs;
    // Common shapes only: the batch index of the source address (the
    // destination follows it) and of the source MAC (the destination follows
    // it; unused when MACs are kept), where the transport checksum stands,
    // and whether it is UDP's.
    Shape shape;
    bool mapMacs;
    bool zeroMeansNone;
    std::uint16_t transportChecksum;
    std::uint32_t addressBatch;
    std::uint32_t macBatch;
};

// The most slots of each family one frame of MaxFrameBytes can hold: slots
// never overlap, an IPv4 address takes 4 bytes, a MAC 6, an IPv6 address or
// prefix at least 16 (an 8-byte route prefix sits in a 16-byte option), a
// padded option 2 (the zeros past an end of options, one a header of at
// least 20), and one more may be cut short at the end.
inline constexpr std::size_t MaxIpv4PerFrame = FrameRewriter::MaxFrameBytes / 4 + 1;
inline constexpr std::size_t MaxIpv6PerFrame = FrameRewriter::MaxFrameBytes / 16 + 1;
inline constexpr std::size_t MaxMacsPerFrame = FrameRewriter::MaxFrameBytes / 6 + 1;
inline constexpr std::size_t MaxSlotsPerFrame = FrameRewriter::MaxFrameBytes / 2 + 1;
// Two checksums per IP level at most (the IPv4 header's, and a transport's
// or GRE's), MaxDepth levels.
inline constexpr std::size_t MaxChecksumsPerFrame = 2 * MaxDepth + 2;

struct Window {
    // Room for a whole window of ordinary frames (a handful of addresses and
    // two or three checksums each) plus one frame at its limits; a window
    // that runs short is mapped early and the next begins.
    static constexpr std::size_t Ordinary = 8 * FrameRewriter::MaxFrames;
    static constexpr std::size_t SlotCapacity = Ordinary + MaxSlotsPerFrame;
    static constexpr std::size_t Ipv4Capacity = Ordinary + MaxIpv4PerFrame;
    static constexpr std::size_t Ipv6Capacity = Ordinary + MaxIpv6PerFrame;
    static constexpr std::size_t MacCapacity = Ordinary + MaxMacsPerFrame;
    static constexpr std::size_t ChecksumCapacity = 4 * FrameRewriter::MaxFrames + MaxChecksumsPerFrame;

    Slot slots[SlotCapacity];
    std::size_t slotCount = 0;
    ChecksumField checksums[ChecksumCapacity];
    std::size_t checksumCount = 0;
    PendingFrame frames[FrameRewriter::MaxFrames];
    std::size_t frameCount = 0;

    // The addresses of the window, per family, one entry per slot: each is
    // mapped by its own AES work (32 blocks an IPv4 address, 128 an IPv6
    // one), whatever else the window holds; nothing is looked up by address.
    std::uint32_t in4[Ipv4Capacity], out4[Ipv4Capacity];
    std::size_t count4 = 0;
    Ipv6Address in6[Ipv6Capacity], out6[Ipv6Capacity];
    std::size_t count6 = 0;
    std::uint64_t inMac[MacCapacity], outMac[MacCapacity];
    std::uint8_t macPresent[MacCapacity];
    std::size_t countMac = 0;
    // Link addresses of other lengths, at most one a frame (Linux cooked
    // capture's): the bytes present, first byte most significant.
    std::uint64_t inLink[FrameRewriter::MaxFrames], outLink[FrameRewriter::MaxFrames];
    std::uint8_t linkPresent[FrameRewriter::MaxFrames];
    std::size_t countLink = 0;

    void clear() noexcept { slotCount = checksumCount = frameCount = count4 = count6 = countMac = countLink = 0; }

    // Whether a frame at its limits still fits.
    bool roomForFrame() const noexcept {
        return frameCount < FrameRewriter::MaxFrames && slotCount + MaxSlotsPerFrame <= SlotCapacity &&
               count4 + MaxIpv4PerFrame <= Ipv4Capacity && count6 + MaxIpv6PerFrame <= Ipv6Capacity &&
               countMac + MaxMacsPerFrame <= MacCapacity && checksumCount + MaxChecksumsPerFrame <= ChecksumCapacity;
    }
};

enum class Outcome : std::uint8_t { Complete, UnknownLink, UnknownProtocol, Truncated, TooManyAddresses };

// Records a frame of a common shape (see Shape) into the window, as the
// general walk would map and cut it; false, with nothing recorded, for any
// other. Then `accounted` is where its headers end (the walk is Complete).
bool walkCommonShape(Window& window, PendingFrame& pending, const std::uint8_t* data, std::uint32_t captured,
                     bool mapMacs, std::uint32_t& accounted) noexcept;

// Addresses whose change a transport checksum's pseudo-header carries.
struct Pseudo {
    std::int32_t src = -1;
    std::int32_t dst = -1;
    bool ipv6 = false;  // whose pseudo-header: some transports take one over IPv6 only
};

class Walk {
public:
    Walk(Window& window, std::uint8_t* data, std::uint32_t captured, bool mapMacs) noexcept;

    // Walks the whole frame; then accounted and outcome say where it got.
    void run(std::uint32_t linkType) noexcept;

    std::uint32_t accounted = 0;  // bytes of headers walked, from the start
    Outcome outcome = Outcome::Complete;

    // Link layers (link_layers.cpp).
    void ethernet(std::uint32_t off, std::uint32_t end) noexcept;
    void ethertype(std::uint32_t type, std::uint32_t off, std::uint32_t end) noexcept;
    void mpls(std::uint32_t off, std::uint32_t end) noexcept;
    void linuxCooked(std::uint32_t off, std::uint32_t lengthAt, std::uint32_t addressAt, std::uint32_t protocolAt,
                     std::uint32_t headerBytes) noexcept;
    void loopback(std::uint32_t family, std::uint32_t off) noexcept;
    void ipByVersion(std::uint32_t off, std::uint32_t end) noexcept;

    // IP and what it carries (ip_headers.cpp).
    void ipv4(std::uint32_t off, std::uint32_t end) noexcept;
    void ipv4Options(std::uint32_t off, std::uint32_t end, Pseudo& pseudo) noexcept;
    void ipv6(std::uint32_t off, std::uint32_t end) noexcept;
    void transport(std::uint32_t protocol, std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept;
    void tcp(std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept;
    void udp(std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept;
    void gre(std::uint32_t off, std::uint32_t end) noexcept;
    // Transports walked no further than their checksum: false if `protocol` is none of them.
    bool checksummedOnly(std::uint32_t protocol, std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept;

    // ICMP, ICMPv6, IGMP, ARP (icmp_messages.cpp).
    void icmp(std::uint32_t off, std::uint32_t end) noexcept;
    void icmp6(std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept;
    void ndOptions(std::uint32_t off, std::uint32_t end) noexcept;
    void igmp(std::uint32_t off, std::uint32_t end) noexcept;
    void arp(std::uint32_t off, std::uint32_t end) noexcept;

    // Helpers (frame_walk.cpp).
    std::uint32_t limit(std::uint32_t end) const noexcept { return end < captured ? end : captured; }
    bool has(std::uint32_t off, std::uint32_t n, std::uint32_t end) const noexcept {
        std::uint32_t l = limit(end);
        return off <= l && n <= l - off;
    }
    std::uint32_t byte(std::uint32_t off) const noexcept { return data[off]; }
    std::uint32_t be16(std::uint32_t off) const noexcept { return std::uint32_t(data[off]) << 8 | data[off + 1]; }
    // Records the address field of `size` bytes at off (the part before
    // `end` and the snap length); returns its window index if it is whole,
    // else -1.
    std::int32_t address(SlotKind kind, std::uint32_t off, std::uint32_t end, std::uint32_t size,
                         std::uint32_t prefixBits) noexcept;
    std::int32_t ipv4Address(std::uint32_t off, std::uint32_t end) noexcept {
        return address(SlotKind::Ipv4, off, end, 4, 32);
    }
    std::int32_t ipv6Address(std::uint32_t off, std::uint32_t end) noexcept {
        return address(SlotKind::Ipv6, off, end, 16, 128);
    }
    void mac(std::uint32_t off, std::uint32_t end) noexcept;
    // A link address of `size` bytes (1 to 8) but a MAC's; mapped with the MACs' key.
    void linkAddress(std::uint32_t off, std::uint32_t end, std::uint32_t size) noexcept;
    // Overwrites the `n` bytes at off (those captured) in the default mode,
    // an option it does not know: it may hold an address.
    void pad(std::uint32_t off, std::uint32_t n, PadStyle style) noexcept;
    // Records the checksum field at `field`, covering [begin, end) and the
    // pseudo-header's addresses; skipped if the field is not captured whole.
    void checksum(std::uint32_t field, std::uint32_t begin, std::uint32_t end, Pseudo pseudo,
                  bool zeroMeansNone) noexcept;
    // The headers are accounted for up to `end` (clipped to the snap length).
    void reach(std::uint32_t end) noexcept;
    // The walk ends: `outcome`, accounted up to `at`.
    void stop(Outcome why, std::uint32_t at) noexcept;
    // A header runs past `end` or the snap length: all that is there was
    // walked. Inside a quote that is the normal case, not a fault.
    void truncated(std::uint32_t end) noexcept;
    // Enter / leave a nested header stack (tunnel, quote); false if too deep.
    bool enter(std::uint32_t off) noexcept;
    void leave() noexcept { --depth; }
    // Walks a quoted IPv4 or IPv6 packet in [off, end): the innermost headers.
    void quote(bool ipv6Packet, std::uint32_t off, std::uint32_t end) noexcept;

    bool stopped = false;
    int quoteDepth = 0;
    bool frozen = false;         // the innermost headers were passed: accounted stays where it is
    bool padOptions = false;     // the default mode: options it does not know are padded over (see pad)

private:
    Window& window;
    std::uint8_t* data;
    std::uint32_t captured;
    bool mapMacs;
    int depth = 0;
    std::size_t frameSlots;  // the window's counts when the walk started
    std::size_t frameChecksums;
    std::size_t frame4, frame6, frameMacs;
};

}  // namespace ipveil::packet::detail
