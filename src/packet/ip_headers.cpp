// IPv4 with its options, IPv6 with its extension headers, and what they
// carry: TCP, UDP, GRE, IP in IP, and the transports without addresses.
#include "frame_walk.h"

namespace ipveil::packet::detail {

namespace {

// Keeps the nesting depth of one tunnel or quote level.
struct Nest {
    Walk& walk;
    bool ok;
    Nest(Walk& w, std::uint32_t off) noexcept : walk(w), ok(w.enter(off)) {}
    ~Nest() {
        if (ok) walk.leave();
    }
};

// Options the walk knows: those that hold addresses it maps, and those that hold none. Any other may hold
// anything, and is padded over in the default mode.
bool knownIpv4Option(std::uint32_t type) noexcept {
    switch (type) {
        case 0:    // end of options, no-operation
        case 1:
        case 7:    // record route, timestamp, traceroute, loose and strict source route: addresses
        case 68:
        case 82:
        case 131:
        case 137:
        case 130:  // security labels (RIPSO, its extension, CIPSO) and router alert: none
        case 133:
        case 134:
        case 148: return true;
        default: return false;
    }
}

bool knownIpv6Option(std::uint32_t type) noexcept {
    switch (type) {
        case 0:    // Pad1, PadN, tunnel encapsulation limit, router alert, CALIPSO, jumbo payload: none
        case 1:
        case 4:
        case 5:
        case 7:
        case 194:
        case 201: return true;  // home address
        default: return false;
    }
}

bool knownTcpOption(std::uint32_t kind) noexcept {
    switch (kind) {
        case 0:   // end, no-operation, MSS, window scale, SACK, timestamps, MD5 signature, authentication,
        case 1:   // fast open cookie: none
        case 2:
        case 3:
        case 4:
        case 5:
        case 8:
        case 19:
        case 29:
        case 34:
        case 30: return true;  // multipath: its ADD_ADDR holds an address
        default: return false;
    }
}

std::uint32_t endOfPart(std::uint32_t off, std::uint32_t length, std::uint32_t end) noexcept {
    return off + length < end ? off + length : end;
}

}  // namespace

// Whatever named a packet IPv4 or IPv6 (link type, ethertype, protocol,
// loopback family, a quote), its version decides which it is, as for
// Wireshark: an address is never mapped as one of the other family.
void Walk::ipv4(std::uint32_t off, std::uint32_t end) noexcept {
    if (has(off, 1, end) && (byte(off) >> 4) == 6) return ipv6(off, end);
    Nest nest(*this, off);
    if (!nest.ok) return;
    if (!has(off, 1, end)) return truncated(end);
    std::uint32_t version = byte(off) >> 4;
    std::uint32_t headerBytes = (byte(off) & 15) * 4;
    Pseudo pseudo;
    pseudo.src = ipv4Address(off + 12, end);
    pseudo.dst = ipv4Address(off + 16, end);
    if (version != 4 || headerBytes < 20) {
        // Not a header that can be walked: the addresses where they would stand are mapped, and nothing after.
        return stop(Outcome::Truncated, off + 20);
    }
    checksum(off + 10, off, off + headerBytes, Pseudo{}, false);
    if (!has(off, 20, end)) return truncated(end);
    std::uint32_t total = be16(off + 2);
    // A zero total length is a segmentation-offloaded packet: as long as what holds it.
    std::uint32_t packetEnd = total == 0 ? end : endOfPart(off, total, end);
    std::uint32_t optionsEnd = endOfPart(off, headerBytes, end);
    ipv4Options(off + 20, optionsEnd, pseudo);
    if (stopped) return;
    if (!has(off, headerBytes, end)) return truncated(end);
    reach(off + headerBytes);
    if (total != 0 && total < headerBytes) return stop(Outcome::Truncated, off + headerBytes);
    if ((be16(off + 6) & 0x1FFF) != 0) return;  // a later fragment: no transport header
    transport(byte(off + 9), off + headerBytes, packetEnd, pseudo);
}

void Walk::ipv4Options(std::uint32_t off, std::uint32_t end, Pseudo& pseudo) noexcept {
    std::uint32_t p = off;
    while (p < end) {
        if (!has(p, 1, end)) return truncated(end);
        std::uint32_t type = byte(p);
        if (type == 0) return pad(p + 1, end - p - 1, PadStyle::Zero);  // end of options: the rest is padding
        if (type == 1) {
            ++p;
            continue;
        }
        if (!has(p, 2, end)) {
            if (!knownIpv4Option(type)) pad(p, 1, PadStyle::Nop);  // its length is not there
            return truncated(end);
        }
        std::uint32_t length = byte(p + 1);
        if (length < 2 || length > end - p) return stop(Outcome::Truncated, p);
        std::uint32_t optionEnd = p + length;
        // A pointer counts from 1 and names the first free byte: a record route or timestamp slot at or past it
        // holds no address yet.
        std::uint32_t pointer = length >= 3 && has(p, 3, end) ? byte(p + 2) : 0;
        switch (type) {
            case 7:      // record route
            case 131:    // loose and strict source route: every address is the sender's, and the route's last is
            case 137: {  // the final destination (the pseudo-header's) while the route is not done
                std::int32_t last = -1;
                for (std::uint32_t at = p + 3; at < optionEnd; at += 4) {
                    if (type == 7 && at - p + 1 >= pointer) break;
                    // A slot the option's length cuts keeps its leading bytes mapped, as one the snap length cuts.
                    std::int32_t slot = ipv4Address(at, optionEnd);
                    if (at + 4 <= optionEnd) last = slot;
                }
                if (type != 7 && length >= 7 && has(p, 3, end) && pointer <= length) pseudo.dst = last;
                break;
            }
            case 68: {  // timestamp: flag 1 puts an address before each stamp as it is filled, flag 3 prespecifies them
                if (length < 4) {
                    pad(p, length, PadStyle::Nop);
                    break;
                }
                if (!has(p, 4, end)) return truncated(end);
                std::uint32_t flags = byte(p + 3) & 15;
                if (flags == 1 || flags == 3) {
                    for (std::uint32_t at = p + 4; at < optionEnd; at += 8) {
                        if (flags == 1 && at - p + 1 >= pointer) break;
                        ipv4Address(at, optionEnd);
                    }
                } else if (flags != 0) {
                    pad(p, length, PadStyle::Nop);
                }
                break;
            }
            case 82:  // traceroute: identifier, hop counts, then the originator's address
                ipv4Address(p + 8, optionEnd);
                break;
            default:
                if (!knownIpv4Option(type)) pad(p, length, PadStyle::Nop);
                break;
        }
        if (stopped) return;
        p = optionEnd;
    }
}

void Walk::ipv6(std::uint32_t off, std::uint32_t end) noexcept {
    if (has(off, 1, end) && (byte(off) >> 4) == 4) return ipv4(off, end);
    Nest nest(*this, off);
    if (!nest.ok) return;
    if (!has(off, 1, end)) return truncated(end);
    Pseudo pseudo;
    pseudo.ipv6 = true;
    pseudo.src = ipv6Address(off + 8, end);
    pseudo.dst = ipv6Address(off + 24, end);
    if ((byte(off) >> 4) != 6) return stop(Outcome::Truncated, off + 40);
    if (!has(off, 40, end)) return truncated(end);
    std::uint32_t payload = be16(off + 4);
    // Zero: a jumbogram or an offloaded packet, as long as what holds it.
    std::uint32_t packetEnd = payload == 0 ? end : endOfPart(off, 40 + payload, end);
    reach(off + 40);
    std::uint32_t next = byte(off + 6);
    std::uint32_t p = off + 40;
    for (;;) {
        switch (next) {
            case 0:     // hop-by-hop options
            case 60: {  // destination options
                if (!has(p, 2, packetEnd)) return truncated(packetEnd);
                std::uint32_t length = (byte(p + 1) + 1) * 8;
                std::uint32_t headerEnd = endOfPart(p, length, packetEnd);
                for (std::uint32_t q = p + 2; q < headerEnd;) {
                    if (!has(q, 1, headerEnd)) return truncated(headerEnd);
                    if (byte(q) == 0) {  // Pad1
                        ++q;
                        continue;
                    }
                    if (!has(q, 2, headerEnd)) {
                        if (!knownIpv6Option(byte(q))) pad(q, 1, PadStyle::Zero);  // its length is not there: Pad1
                        return truncated(headerEnd);
                    }
                    std::uint32_t optionLength = byte(q + 1);
                    if (optionLength > headerEnd - q - 2) return stop(Outcome::Truncated, q);
                    if (byte(q) == 201) {
                        // Home address: the pseudo-header's source (RFC 6275); one the option's length cuts keeps
                        // its leading bytes mapped.
                        std::int32_t home = ipv6Address(q + 2, q + 2 + optionLength);
                        if (optionLength >= 16) pseudo.src = home;
                    } else if (!knownIpv6Option(byte(q))) {
                        pad(q, 2 + optionLength, PadStyle::PadN);
                    }
                    q += 2 + optionLength;
                }
                if (stopped) return;
                if (!has(p, length, packetEnd)) return truncated(packetEnd);
                reach(p + length);
                next = byte(p);
                p += length;
                break;
            }
            case 43: {  // routing
                if (!has(p, 4, packetEnd)) return truncated(packetEnd);
                std::uint32_t length = (byte(p + 1) + 1) * 8;
                std::uint32_t headerEnd = endOfPart(p, length, packetEnd);
                std::uint32_t type = byte(p + 2);
                bool routing = byte(p + 3) != 0;  // segments left: the destination is not the final one
                if (type == 0 || type == 2) {
                    std::int32_t last = -1;
                    // An address the header's or the packet's length cuts keeps its leading bytes mapped.
                    for (std::uint32_t at = p + 8; at < headerEnd; at += 16) {
                        std::int32_t slot = ipv6Address(at, headerEnd);
                        if (at + 16 <= headerEnd) last = slot;
                    }
                    if (routing && length >= 24) pseudo.dst = last;
                } else if (type == 4) {
                    // Segment routing: the list is in reverse, the final destination first.
                    if (!has(p, 5, packetEnd)) return truncated(packetEnd);
                    std::uint32_t segments = byte(p + 4) + 1;
                    if (8 + 16 * segments > length) return stop(Outcome::Truncated, p);
                    for (std::uint32_t i = 0; i < segments; ++i) {
                        std::int32_t slot = ipv6Address(p + 8 + 16 * i, headerEnd);
                        if (i == 0 && routing) pseudo.dst = slot;
                    }
                } else {
                    return stop(Outcome::UnknownProtocol, p);
                }
                if (stopped) return;
                if (!has(p, length, packetEnd)) return truncated(packetEnd);
                reach(p + length);
                next = byte(p);
                p += length;
                break;
            }
            case 44: {  // fragment
                if (!has(p, 8, packetEnd)) return truncated(packetEnd);
                reach(p + 8);
                next = byte(p);
                bool later = (be16(p + 2) >> 3) != 0;
                p += 8;
                if (later) return;  // no transport header
                break;
            }
            case 51: {  // authentication header
                if (!has(p, 2, packetEnd)) return truncated(packetEnd);
                std::uint32_t length = (byte(p + 1) + 2) * 4;
                if (!has(p, length, packetEnd)) return truncated(packetEnd);
                reach(p + length);
                next = byte(p);
                p += length;
                break;
            }
            default: return transport(next, p, packetEnd, pseudo);
        }
    }
}

void Walk::transport(std::uint32_t protocol, std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept {
    for (;;) {
        switch (protocol) {
            case 6: return tcp(off, end, pseudo);
            case 17: return udp(off, end, pseudo);
            case 1: return icmp(off, end);
            case 58: return icmp6(off, end, pseudo);
            case 2: return igmp(off, end);
            case 4: return ipv4(off, end);
            case 41: return ipv6(off, end);
            case 47: return gre(off, end);
            case 59:  // no next header
                return;
            case 50:  // ESP: the rest is ciphertext
                if (!has(off, 8, end)) return truncated(end);
                return reach(off + 8);
            case 132:  // SCTP: its CRC covers no pseudo-header; the chunks (with addresses) are payload
                if (!has(off, 12, end)) return truncated(end);
                return reach(off + 12);
            case 51: {  // authentication header over IPv4
                if (!has(off, 2, end)) return truncated(end);
                std::uint32_t length = (byte(off + 1) + 2) * 4;
                if (!has(off, length, end)) return truncated(end);
                reach(off + length);
                protocol = byte(off);
                off += length;
                continue;
            }
            default:
                if (!checksummedOnly(protocol, off, end, pseudo)) stop(Outcome::UnknownProtocol, off);
                return;
        }
    }
}

// Transports whose checksum covers the pseudo-header, so the addresses this
// walk changes, but whose bodies it does not walk (they may hold addresses):
// the checksum takes the pseudo-header's change, the bytes before any that
// may hold an address are accounted for, and the walk ends there.
bool Walk::checksummedOnly(std::uint32_t protocol, std::uint32_t off, std::uint32_t end,
                           const Pseudo& pseudo) noexcept {
    std::uint32_t field = 0;      // offset of the checksum field
    std::uint32_t clear = 0;      // leading bytes that hold no address
    std::uint32_t covered = end;  // where what the checksum covers ends
    bool withPseudo = true;
    bool zeroMeansNone = false;
    switch (protocol) {
        case 33:  // DCCP: its CsCov counts 4-byte words of data past the header, 0 for all
            field = 6;
            clear = 8;
            if (has(off, 6, end) && (byte(off + 5) & 15) != 0)
                covered = endOfPart(off, (byte(off + 4) + (byte(off + 5) & 15) - 1) * 4, end);
            break;
        case 136:  // UDP-Lite: its checksum coverage in bytes, 0 for all; a zero checksum is none, as UDP's
            field = 6;
            clear = 8;
            zeroMeansNone = true;
            if (has(off, 6, end) && be16(off + 4) != 0) covered = endOfPart(off, be16(off + 4), end);
            break;
        case 112:  // VRRP: version 3 takes the pseudo-header over IPv4 too, version 2 none
            field = 6;
            clear = 8;
            withPseudo = has(off, 1, end) && (byte(off) >> 4) == 3;
            break;
        case 103:  // PIM: a pseudo-header over IPv6 only
            field = 2;
            clear = 4;
            withPseudo = pseudo.ipv6;
            break;
        case 89:  // OSPFv3 takes IPv6's pseudo-header, OSPFv2 none; the router ID after the length may be an address
            field = 12;
            clear = 4;
            withPseudo = pseudo.ipv6 && has(off, 1, end) && byte(off) == 3;
            break;
        case 135:  // Mobility header, IPv6's
            if (!pseudo.ipv6) return false;
            field = 4;
            clear = 6;
            break;
        case 139:  // HIP: the host identity tags follow
            field = 4;
            clear = 8;
            break;
        default: return false;
    }
    if (withPseudo) checksum(off + field, off, covered, pseudo, zeroMeansNone);
    if (!has(off, clear, end)) {
        truncated(end);
    } else {
        reach(off + clear);
        if (off + clear < limit(end)) stop(Outcome::UnknownProtocol, off + clear);
    }
    return true;
}

void Walk::tcp(std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept {
    checksum(off + 16, off, end, pseudo, false);
    if (!has(off, 20, end)) return truncated(end);
    std::uint32_t headerBytes = (byte(off + 12) >> 4) * 4;
    if (headerBytes < 20) return stop(Outcome::Truncated, off + 20);
    std::uint32_t headerEnd = endOfPart(off, headerBytes, end);
    for (std::uint32_t p = off + 20; p < headerEnd;) {
        if (!has(p, 1, headerEnd)) return truncated(headerEnd);
        std::uint32_t kind = byte(p);
        if (kind == 0) {  // end of options: the rest is padding
            pad(p + 1, headerEnd - p - 1, PadStyle::Zero);
            break;
        }
        if (kind == 1) {
            ++p;
            continue;
        }
        if (!has(p, 2, headerEnd)) {
            if (!knownTcpOption(kind)) pad(p, 1, PadStyle::Nop);  // its length is not there
            return truncated(headerEnd);
        }
        std::uint32_t length = byte(p + 1);
        if (length < 2 || length > headerEnd - p) return stop(Outcome::Truncated, p);
        switch (kind) {
            case 30: {  // multipath TCP
                if (length < 3 || !has(p, 3, headerEnd)) break;
                std::uint32_t subtype = byte(p + 2) >> 4;
                if (subtype == 3) {
                    // ADD_ADDR: an address ID, then the address, IPv6 when the first version's nibble says so or
                    // there is room for it; one the option's length cuts keeps its leading bytes mapped.
                    std::uint32_t version = byte(p + 2) & 15;
                    if (version == 6 || (version != 4 && length >= 20))
                        ipv6Address(p + 4, p + length);
                    else
                        ipv4Address(p + 4, p + length);
                } else if (subtype > 8) {  // past the fast close and reset: unknown
                    pad(p, length, PadStyle::Nop);
                }
                break;
            }
            default:
                if (!knownTcpOption(kind)) pad(p, length, PadStyle::Nop);
                break;
        }
        p += length;
    }
    if (stopped) return;
    if (!has(off, headerBytes, end)) return truncated(end);
    reach(off + headerBytes);
}

void Walk::udp(std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept {
    checksum(off + 6, off, end, pseudo, true);
    if (!has(off, 8, end)) return truncated(end);
    reach(off + 8);
}

void Walk::gre(std::uint32_t off, std::uint32_t end) noexcept {
    if (!has(off, 4, end)) return truncated(end);
    std::uint32_t flags = be16(off);
    std::uint32_t protocol = be16(off + 2);
    // Version 0 only; source routing (R) is long obsolete.
    if ((flags & 7) != 0 || (flags & 0x4000) != 0) return stop(Outcome::UnknownProtocol, off + 4);
    bool hasChecksum = (flags & 0x8000) != 0;
    std::uint32_t headerBytes = 4 + (hasChecksum ? 4 : 0) + ((flags & 0x2000) ? 4 : 0) + ((flags & 0x1000) ? 4 : 0);
    if (hasChecksum) checksum(off + 4, off, end, Pseudo{}, false);
    if (!has(off, headerBytes, end)) return truncated(end);
    reach(off + headerBytes);
    std::uint32_t inner = off + headerBytes;
    ethertype(protocol, inner, end);
}

}  // namespace ipveil::packet::detail
