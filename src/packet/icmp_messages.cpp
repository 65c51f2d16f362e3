// ICMP with its quoted headers, ICMPv6 with neighbour discovery and MLD,
// IGMP, and ARP: the messages that carry addresses in their bodies.
#include "frame_walk.h"

namespace ipveil::packet::detail {

namespace {
// Where a message's own length ends, for messages whose version is told by
// their length (MLD, IGMP queries): its IP payload's end, or the snap length.
std::uint32_t messageEnd(std::uint32_t end, std::uint32_t captured) noexcept { return end == NoEnd ? captured : end; }
}  // namespace

void Walk::icmp(std::uint32_t off, std::uint32_t end) noexcept {
    checksum(off + 2, off, end, Pseudo{}, false);
    if (!has(off, 4, end)) return truncated(end);
    std::uint32_t type = byte(off);
    switch (type) {
        case 5:  // redirect: the gateway, then the quote
            ipv4Address(off + 4, end);
            [[fallthrough]];
        case 3:   // destination unreachable
        case 4:   // source quench
        case 11:  // time exceeded
        case 12:  // parameter problem
            if (!has(off, 8, end)) return truncated(end);
            reach(off + 8);
            return quote(false, off + 8, end);
        case 9: {  // router advertisement: entries of `size` words, each starting with an address
            if (!has(off, 8, end)) return truncated(end);
            std::uint32_t entries = byte(off + 4);
            std::uint32_t size = byte(off + 5) * 4;
            if (size < 4) return stop(Outcome::Truncated, off + 8);
            reach(off + 8);
            for (std::uint32_t i = 0, at = off + 8; i < entries; ++i, at += size) {
                if (!has(at, 1, end)) return truncated(end);
                ipv4Address(at, end);
                if (!has(at, size, end)) return truncated(end);
                reach(at + size);
            }
            return;
        }
        case 0:   // echo reply
        case 8:   // echo request
        case 10:  // router solicitation
        case 13:  // timestamp, information, address mask: no addresses in the fixed part
        case 14:
        case 15:
        case 16:
        case 17:
        case 18:
        case 42:  // extended echo (its body names interfaces and addresses: payload)
        case 43:
            if (!has(off, 8, end)) return truncated(end);
            return reach(off + 8);
        default: return stop(Outcome::UnknownProtocol, off + 4);
    }
}

void Walk::icmp6(std::uint32_t off, std::uint32_t end, const Pseudo& pseudo) noexcept {
    checksum(off + 2, off, end, pseudo, false);
    if (!has(off, 4, end)) return truncated(end);
    std::uint32_t type = byte(off);
    switch (type) {
        case 1:  // destination unreachable, packet too big, time exceeded, parameter problem
        case 2:
        case 3:
        case 4:
            if (!has(off, 8, end)) return truncated(end);
            reach(off + 8);
            return quote(true, off + 8, end);
        case 128:  // echo
        case 129:
            if (!has(off, 8, end)) return truncated(end);
            return reach(off + 8);
        case 130: {  // MLD query; v2 when longer than v1's 24 bytes
            ipv6Address(off + 8, end);
            if (!has(off, 24, end)) return truncated(end);
            reach(off + 24);
            if (messageEnd(end, captured) - off < 28) return;
            if (!has(off, 28, end)) return truncated(end);
            reach(off + 28);
            std::uint32_t sources = be16(off + 26);
            for (std::uint32_t i = 0, at = off + 28; i < sources; ++i, at += 16) {
                if (!has(at, 1, end)) return truncated(end);
                ipv6Address(at, end);
                if (!has(at, 16, end)) return truncated(end);
                reach(at + 16);
            }
            return;
        }
        case 131:  // MLDv1 report and done
        case 132:
            ipv6Address(off + 8, end);
            if (!has(off, 24, end)) return truncated(end);
            return reach(off + 24);
        case 143: {  // MLDv2 report: records of a group and its sources
            if (!has(off, 8, end)) return truncated(end);
            reach(off + 8);
            std::uint32_t records = be16(off + 6);
            std::uint32_t at = off + 8;
            for (std::uint32_t r = 0; r < records; ++r) {
                if (!has(at, 4, end)) return truncated(end);
                std::uint32_t aux = byte(at + 1) * 4;
                std::uint32_t sources = be16(at + 2);
                ipv6Address(at + 4, end);
                for (std::uint32_t i = 0; i < sources; ++i) {
                    std::uint32_t source = at + 20 + 16 * i;
                    if (!has(source, 1, end)) return truncated(end);
                    ipv6Address(source, end);
                }
                std::uint32_t recordBytes = 20 + 16 * sources + aux;
                if (!has(at, recordBytes, end)) return truncated(end);
                reach(at + recordBytes);
                at += recordBytes;
            }
            return;
        }
        case 133:  // router solicitation
            if (!has(off, 8, end)) return truncated(end);
            reach(off + 8);
            return ndOptions(off + 8, end);
        case 134:  // router advertisement
            if (!has(off, 16, end)) return truncated(end);
            reach(off + 16);
            return ndOptions(off + 16, end);
        case 135:  // neighbour solicitation and advertisement: the target
        case 136:
            ipv6Address(off + 8, end);
            if (!has(off, 24, end)) return truncated(end);
            reach(off + 24);
            return ndOptions(off + 24, end);
        case 137:  // redirect: target and destination
            ipv6Address(off + 8, end);
            ipv6Address(off + 24, end);
            if (!has(off, 40, end)) return truncated(end);
            reach(off + 40);
            return ndOptions(off + 40, end);
        default: return stop(Outcome::UnknownProtocol, off + 4);
    }
}

void Walk::ndOptions(std::uint32_t off, std::uint32_t end) noexcept {
    std::uint32_t stopAt = messageEnd(end, captured);
    for (std::uint32_t p = off; p < stopAt;) {
        if (!has(p, 2, end)) return stop(Outcome::Truncated, p);  // a type without its length may be anything
        std::uint32_t type = byte(p);
        std::uint32_t length = byte(p + 1) * 8;
        if (length == 0 || length > stopAt - p) return stop(Outcome::Truncated, p);
        std::uint32_t optionEnd = p + length;
        switch (type) {
            case 1:  // source and target link-layer address: a MAC on Ethernet
            case 2:
                if (length != 8) return stop(Outcome::UnknownProtocol, p);
                mac(p + 2, optionEnd);
                break;
            case 3: {  // prefix information: the prefix's first L bits
                if (length != 32) return stop(Outcome::Truncated, p);
                if (!has(p, 3, end)) return truncated(end);
                std::uint32_t bits = byte(p + 2) < 128 ? byte(p + 2) : 128;
                address(SlotKind::Ipv6, p + 16, optionEnd, 16, bits);
                break;
            }
            case 4:  // redirected header: its quote holds the innermost headers
                if (!has(p, 8, end)) return truncated(end);
                reach(p + 8);
                quote(true, p + 8, optionEnd);
                // The frame is cut after the quote, but the options after it are still walked: kept whole, they go
                // out mapped, and cut, the checksum still takes their change, as for the whole frame.
                if (outcome != Outcome::Complete) return;
                stopped = false;
                frozen = true;
                break;
            case 24: {  // route information: a prefix of 0, 8 or 16 bytes, its first L bits
                if (length > 24) return stop(Outcome::Truncated, p);
                if (!has(p, 3, end)) return truncated(end);
                std::uint32_t bytes = length - 8;
                std::uint32_t bits = byte(p + 2) < bytes * 8 ? byte(p + 2) : bytes * 8;
                if (bytes != 0) address(SlotKind::Ipv6, p + 8, optionEnd, bytes, bits);
                break;
            }
            case 25:  // recursive DNS servers; one the option's length cuts keeps its leading bytes mapped
                for (std::uint32_t at = p + 8; at < optionEnd; at += 16) ipv6Address(at, optionEnd);
                break;
            case 5:  // MTU, advertisement interval, home agent information, nonce, RA flags: no addresses
            case 7:
            case 8:
            case 14:
            case 26: break;
            default:  // DNSSL carries names; what it does not know may carry anything
                return stop(Outcome::UnknownProtocol, p);
        }
        if (stopped) return;
        if (!has(p, length, end)) return truncated(end);
        reach(optionEnd);
        p = optionEnd;
    }
}

void Walk::igmp(std::uint32_t off, std::uint32_t end) noexcept {
    checksum(off + 2, off, end, Pseudo{}, false);
    if (!has(off, 4, end)) return truncated(end);
    std::uint32_t type = byte(off);
    switch (type) {
        case 0x11:  // query; v3 when longer than 8 bytes
            ipv4Address(off + 4, end);
            if (!has(off, 8, end)) return truncated(end);
            reach(off + 8);
            if (messageEnd(end, captured) - off < 12) return;
            if (!has(off, 12, end)) return truncated(end);
            reach(off + 12);
            for (std::uint32_t i = 0, sources = be16(off + 10), at = off + 12; i < sources; ++i, at += 4) {
                if (!has(at, 1, end)) return truncated(end);
                ipv4Address(at, end);
                if (!has(at, 4, end)) return truncated(end);
                reach(at + 4);
            }
            return;
        case 0x12:  // v1 and v2 reports, leave
        case 0x16:
        case 0x17:
            ipv4Address(off + 4, end);
            if (!has(off, 8, end)) return truncated(end);
            return reach(off + 8);
        case 0x22: {  // v3 report: records of a group and its sources
            if (!has(off, 8, end)) return truncated(end);
            reach(off + 8);
            std::uint32_t records = be16(off + 6);
            std::uint32_t at = off + 8;
            for (std::uint32_t r = 0; r < records; ++r) {
                if (!has(at, 4, end)) return truncated(end);
                std::uint32_t aux = byte(at + 1) * 4;
                std::uint32_t sources = be16(at + 2);
                ipv4Address(at + 4, end);
                for (std::uint32_t i = 0; i < sources; ++i) {
                    std::uint32_t source = at + 8 + 4 * i;
                    if (!has(source, 1, end)) return truncated(end);
                    ipv4Address(source, end);
                }
                std::uint32_t recordBytes = 8 + 4 * sources + aux;
                if (!has(at, recordBytes, end)) return truncated(end);
                reach(at + recordBytes);
                at += recordBytes;
            }
            return;
        }
        default: return stop(Outcome::UnknownProtocol, off + 4);
    }
}

void Walk::arp(std::uint32_t off, std::uint32_t end) noexcept {
    if (!has(off, 8, end)) return truncated(end);
    std::uint32_t hardwareBytes = byte(off + 4);
    std::uint32_t protocolBytes = byte(off + 5);
    if ((hardwareBytes != 6 && hardwareBytes != 0) || (protocolBytes != 4 && protocolBytes != 16))
        return stop(Outcome::UnknownProtocol, off + 8);
    reach(off + 8);
    std::uint32_t at = off + 8;
    for (int side = 0; side < 2; ++side) {  // sender, then target
        if (hardwareBytes != 0) mac(at, end);
        at += hardwareBytes;
        if (protocolBytes == 4)
            ipv4Address(at, end);
        else
            ipv6Address(at, end);
        at += protocolBytes;
    }
    if (!has(off, at - off, end)) return truncated(end);
    reach(at);
}

}  // namespace ipveil::packet::detail
