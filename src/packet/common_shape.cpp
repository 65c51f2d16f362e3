// The walk of the frames that make up most captures: Ethernet, then IPv4
// without options or IPv6 without extension headers, then TCP without
// options or UDP, every header captured. They are recorded in a few stores,
// with the layout the write-back knows, instead of slot by slot; every other
// frame takes the general walk.
#include <cstring>

#include "frame_walk.h"

namespace ipveil::packet::detail {

namespace {

constexpr std::uint32_t EthernetBytes = 14;

std::uint32_t be16(const std::uint8_t* p) noexcept { return std::uint32_t(p[0]) << 8 | p[1]; }

std::uint32_t be32(const std::uint8_t* p) noexcept {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The transport header at `transport` when it is TCP without options or UDP,
// captured whole and within the IP packet's `length` (0: as long as the
// frame); its checksum field's offset, or 0 for any other.
std::uint32_t transportChecksum(const std::uint8_t* data, std::uint32_t captured, std::uint32_t protocol,
                                std::uint32_t transport, std::uint32_t length, std::uint32_t ipBytes,
                                bool& zeroMeansNone) noexcept {
    if (protocol == 6) {
        if (captured < transport + 20 || (length != 0 && length < ipBytes + 20) || (data[transport + 12] >> 4) != 5)
            return 0;
        zeroMeansNone = false;
        return transport + 16;
    }
    if (protocol == 17) {
        if (captured < transport + 8 || (length != 0 && length < ipBytes + 8)) return 0;
        zeroMeansNone = true;
        return transport + 6;
    }
    return 0;
}

}  // namespace

bool walkCommonShape(Window& window, PendingFrame& pending, const std::uint8_t* data, std::uint32_t captured,
                     bool mapMacs, std::uint32_t& accounted) noexcept {
    if (captured < EthernetBytes + 28) return false;
    const std::uint32_t type = be16(data + 12);
    const std::uint8_t* ip = data + EthernetBytes;
    std::uint32_t field = 0;
    bool zeroMeansNone = false;
    if (type == 0x0800) {
        // Version 4, no options, not a later fragment.
        if (ip[0] != 0x45 || (be16(ip + 6) & 0x1FFF) != 0) return false;
        field = transportChecksum(data, captured, ip[9], EthernetBytes + 20, be16(ip + 2), 20, zeroMeansNone);
        if (field == 0) return false;
        pending.shape = Shape::Ipv4;
        pending.addressBatch = static_cast<std::uint32_t>(window.count4);
        window.in4[window.count4] = be32(ip + 12);
        window.in4[window.count4 + 1] = be32(ip + 16);
        window.count4 += 2;
    } else if (type == 0x86DD) {
        if ((ip[0] >> 4) != 6) return false;
        field = transportChecksum(data, captured, ip[6], EthernetBytes + 40, be16(ip + 4), 0, zeroMeansNone);
        if (field == 0) return false;
        pending.shape = Shape::Ipv6;
        pending.addressBatch = static_cast<std::uint32_t>(window.count6);
        std::memcpy(window.in6[window.count6].bytes, ip + 8, 16);
        std::memcpy(window.in6[window.count6 + 1].bytes, ip + 24, 16);
        window.count6 += 2;
    } else {
        return false;
    }
    pending.mapMacs = mapMacs;
    if (mapMacs) {
        pending.macBatch = static_cast<std::uint32_t>(window.countMac);
        window.inMac[window.countMac] = MacPermutation::fromBytes(data, 6);
        window.inMac[window.countMac + 1] = MacPermutation::fromBytes(data + 6, 6);
        window.macPresent[window.countMac] = window.macPresent[window.countMac + 1] = 6;
        window.countMac += 2;
    }
    pending.zeroMeansNone = zeroMeansNone;
    pending.transportChecksum = static_cast<std::uint16_t>(field);
    accounted = field + (zeroMeansNone ? 2 : 4);
    return true;
}

}  // namespace ipveil::packet::detail
