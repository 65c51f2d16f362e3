// Link layers: Ethernet with VLAN tags and MPLS, Linux cooked capture v1 and
// v2, BSD loopback, raw IP; and the ethertypes they carry.
#include "frame_walk.h"

namespace ipveil::packet::detail {

void Walk::ethernet(std::uint32_t off, std::uint32_t end) noexcept {
    if (!enter(off)) return;
    mac(off, end);
    mac(off + 6, end);
    if (!has(off, 14, end)) {
        truncated(end);
    } else {
        reach(off + 14);
        ethertype(be16(off + 12), off + 14, end);
    }
    leave();
}

// `off` is where the payload of the type field just read begins. The one list
// of types walked, whoever names the type: Ethernet, Linux cooked capture,
// GRE.
void Walk::ethertype(std::uint32_t type, std::uint32_t off, std::uint32_t end) noexcept {
    for (;;) {
        switch (type) {
            case 0x0800: return ipv4(off, end);
            case 0x86DD: return ipv6(off, end);
            case 0x0806:  // ARP
            case 0x8035:  // RARP
                return arp(off, end);
            case 0x8847:  // MPLS unicast and multicast
            case 0x8848: return mpls(off, end);
            case 0x6558: return ethernet(off, end);  // transparent Ethernet bridging
            case 0x8864: {  // PPPoE session: version, code, session, length, then PPP's protocol
                if (!has(off, 8, end)) return truncated(end);
                std::uint32_t protocol = be16(off + 6);
                reach(off + 8);
                // IPCP, LCP and the rest negotiate addresses and names: not walked.
                if (protocol == 0x0021) return ipv4(off + 8, end);
                if (protocol == 0x0057) return ipv6(off + 8, end);
                return stop(Outcome::UnknownProtocol, off + 8);
            }
            case 0x8100:  // 802.1Q, 802.1ad and the older QinQ tag: TCI, then the next type
            case 0x88A8:
            case 0x9100:
                if (!has(off, 4, end)) return truncated(end);
                reach(off + 4);
                type = be16(off + 2);
                off += 4;
                continue;
            default: return stop(Outcome::UnknownProtocol, off);
        }
    }
}

void Walk::mpls(std::uint32_t off, std::uint32_t end) noexcept {
    for (;;) {
        if (!has(off, 4, end)) return truncated(end);
        bool bottom = (byte(off + 2) & 1) != 0;
        off += 4;
        reach(off);
        if (bottom) break;
    }
    // No type after the stack: IP tells itself by its version.
    ipByVersion(off, end);
}

void Walk::linuxCooked(std::uint32_t off, std::uint32_t lengthAt, std::uint32_t addressAt, std::uint32_t protocolAt,
                       std::uint32_t headerBytes) noexcept {
    std::uint32_t lengthBytes = headerBytes == 16 ? 2 : 1;
    // Cut before the address length: what is there holds no address.
    if (!has(off, lengthAt + lengthBytes, captured)) return truncated(captured);
    // v1 gives the length in two bytes, v2 in one; the field holds the first 8 bytes.
    std::uint32_t length = headerBytes == 16 ? be16(off + lengthAt) : byte(off + lengthAt);
    std::uint32_t hardware = be16(off + (headerBytes == 16 ? 2 : 8));
    std::uint32_t at = off + addressAt;
    if (length == 6) {
        mac(at, at + 6);
    } else if (length == 4) {
        // IP tunnels (ARPHRD_TUNNEL, _IPGRE, _SIT) give the peer's IPv4 address.
        ipv4Address(at, at + 4);
    } else if (length == 16 && (hardware == 769 || hardware == 823)) {
        // IPv6 tunnels (ARPHRD_TUNNEL6, _IP6GRE): the peer's address, its first half kept here.
        address(SlotKind::Ipv6, at, at + 8, 8, 64);
    } else if (length != 0) {
        // Any other kind (EUI-64, short addresses, the first 8 bytes of a longer one): a link address.
        std::uint32_t size = length < 8 ? length : 8;
        linkAddress(at, at + size, size);
    }
    if (!has(off, headerBytes, captured)) return truncated(captured);
    reach(off + headerBytes);
    ethertype(be16(off + protocolAt), off + headerBytes, NoEnd);
}

void Walk::loopback(std::uint32_t family, std::uint32_t off) noexcept {
    reach(off);
    if (family == 2) return ipv4(off, NoEnd);
    if (family == 10 || family == 24 || family == 28 || family == 30) return ipv6(off, NoEnd);
    stop(Outcome::UnknownProtocol, off);
}

void Walk::ipByVersion(std::uint32_t off, std::uint32_t end) noexcept {
    if (!has(off, 1, end)) return truncated(end);
    std::uint32_t version = byte(off) >> 4;
    if (version == 4) return ipv4(off, end);
    if (version == 6) return ipv6(off, end);
    stop(Outcome::UnknownProtocol, off);
}

}  // namespace ipveil::packet::detail
