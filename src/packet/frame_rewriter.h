// FrameRewriter: anonymizes (or reveals) the addresses of captured frames in
// place, a window of frames at a time.
//
// Each frame's headers are walked from its link layer inwards (Ethernet with
// VLAN tags, MPLS and PPPoE, Linux cooked v1/v2, raw, BSD loopback; IPv4 with
// its options, IPv6 with its extension headers, tunnels of IP in IP and GRE;
// TCP, UDP, ICMP and ICMPv6 with their quotes, neighbour discovery, MLD,
// IGMP, ARP; DCCP, UDP-Lite, VRRP, PIM, OSPF, the mobility header and HIP up
// to their checksums, which take the pseudo-header's change), recording
// where every address stands and which checksums cover it. IP is told by its
// version, whatever named it. All the addresses of the window are then mapped in one batch call per
// family (each with its own AES work, as PrefixAnonymizer promises: nothing
// is looked up by address), MACs by MacPermutation, written back, and the
// checksums updated incrementally (checksum.h), inner ones first, so that a
// right checksum stays right and a wrong one stays wrong by the same
// difference, also on frames cut by the snap length. Transport checksums take
// the final destination of a source route or routing header, and an IPv6
// home address, into their pseudo-header.
//
// The walk reads only bytes that the rewriting never changes (lengths, types,
// flags), so revealing walks the very same layout as anonymizing did, and
// with keepPayload revealing gives back every input byte.
//
// Cuts (Anonymize without keepPayload): a frame walked to its end is cut after
// its innermost header; a frame that cannot be walked to its end (unknown
// link type, ethertype or protocol, a truncated or inconsistent header) has
// the addresses at the places it could account for mapped and is cut after
// the last header it accounted for (a link type not walked keeps the fixed
// pseudo-header without which Wireshark refuses the file). A cut frame's
// checksums are those of the whole frame rewritten. Frames with bytes not
// walked are counted by reason in every policy. Reveal never cuts; keepPayload
// cuts only a frame longer than MaxFrameBytes with more addresses than fit
// (see below). In the same mode an IPv4, IPv6 or TCP option it does not know
// (it may hold an address) is overwritten by padding of its length, the
// checksums covering it taking the change; the layout stays, so the walk of
// the output is that of the input, but revealing cannot give those bytes back.
//
// A record that keeps its length (Frame::keepsLength: a pcapng simple packet
// block, which cannot say it holds fewer bytes) is cut by zeroing instead:
// the bytes from the cut to the FCS become zeros, and every checksum covering
// them takes that change as it takes the addresses', so a right one stays
// right over the zeros.
//
// A frame check sequence (Frame::fcsBytes) is neither header nor payload: the
// walk ends before it. A 4-byte one, the CRC-32 of Ethernet, carries the
// change of the bytes it covers (frame_check.h): right stays right, wrong
// stays wrong, and revealing gives its bytes back. A frame shortened by a cut
// goes out without it: a frame captured shorter than its original length has
// no FCS to check. An FCS of another length is left as it stands.
//
// Addresses cut short by the snap length keep the leading bytes of their
// image: prefix preservation makes those depend only on the bytes present. A
// checksum field cut in two is left as it stands; one covering an address cut
// short takes the change of the bytes that are there (the rest is unknown).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "mac_permutation.h"
#include "prefix_anonymizer.h"

namespace ipveil::packet {

enum class Direction { Anonymize, Reveal };

struct Policy {
    bool keepPayload = false;
    bool keepMac = false;
    Direction direction = Direction::Anonymize;
};

// LINKTYPE_* values as they stand in pcap and pcapng headers.
inline constexpr std::uint32_t LinkNull = 0, LinkEthernet = 1, LinkRaw = 101, LinkLoop = 108, LinkLinuxSll = 113,
                               LinkIpv4 = 228, LinkIpv6 = 229, LinkLinuxSll2 = 276;
// DLT values that some systems write for raw IP instead of 101.
inline constexpr std::uint32_t LinkRawAlt12 = 12, LinkRawAlt14 = 14;

struct Frame {
    std::uint8_t* data;      // the captured bytes, rewritten in place
    std::uint32_t captured;  // in: captured length; out: the length to write (<= in: headers-only cut)
    std::uint32_t linkType;
    // Bytes of frame check sequence ending the captured bytes (0: none); a
    // 4-byte one is the link layer's CRC-32 over the bytes before it.
    std::uint32_t fcsBytes = 0;
    // The record cannot be shortened: a cut zeroes the bytes after the
    // headers instead, and captured stays as it was.
    bool keepsLength = false;
};

struct Counts {
    std::uint64_t packets = 0;
    std::uint64_t ipv4 = 0;  // address slots mapped (a slot cut short by the snap length counts)
    std::uint64_t ipv6 = 0;
    std::uint64_t macs = 0;  // MACs and link addresses of other lengths
    std::uint64_t cut = 0;   // frames shortened, whatever the reason
    std::uint64_t cutPayload = 0;  // walked to the end: the headers-only cut
    // Frames with bytes the walk did not reach, by why it ended, in every
    // policy (cut, kept with keepPayload, or revealed as they stand).
    std::uint64_t unknownLink = 0;       // a link type it does not walk
    std::uint64_t unknownProtocol = 0;   // an ethertype, IP protocol, message type or option it does not walk
    std::uint64_t truncated = 0;         // a header inconsistent with itself or its container
    std::uint64_t tooManyAddresses = 0;  // a frame longer than MaxFrameBytes with more addresses than fit (always cut)
};

namespace detail {
struct Window;
}

class FrameRewriter {
public:
    static constexpr std::size_t MaxFrames = 512;  // per rewrite() call
    // Every frame of up to MaxFrameBytes captured bytes (the capture formats'
    // largest snap length) fits the window whole, however many addresses it
    // holds: the window is mapped early to make room for it. A longer frame
    // with more addresses than a frame of MaxFrameBytes can hold is cut at the
    // first one beyond, whatever the policy, so that none goes out in clear.
    static constexpr std::size_t MaxFrameBytes = 262144;

    // key: 32 bytes, as PrefixAnonymizer takes; the MAC permutation's key is
    // derived from it. addressPolicy goes to the address mapping (MACs keep
    // their own rules); the empty one maps as without a policy.
    FrameRewriter(const std::uint8_t* key, Policy policy, const AddressPolicy& addressPolicy = AddressPolicy());
    ~FrameRewriter();
    FrameRewriter(const FrameRewriter&) = delete;
    FrameRewriter& operator=(const FrameRewriter&) = delete;

    // Rewrites frames[0..count) in place, count <= MaxFrames (more are taken
    // MaxFrames at a time). Sets each frame's captured to the length to write.
    void rewrite(Frame* frames, std::size_t count) noexcept;

    const Counts& counts() const noexcept { return totals; }
    const Policy& policy() const noexcept { return rules; }

private:
    void flush() noexcept;

    Policy rules;
    Counts totals;
    PrefixAnonymizer addresses;
    MacPermutation macs;
    std::unique_ptr<detail::Window> window;  // the fixed buffers, allocated once
};

}  // namespace ipveil::packet
