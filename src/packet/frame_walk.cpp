// The walk's bookkeeping: recording address slots and checksum fields into
// the window, and where the walk got to.
#include "frame_walk.h"

#include <cstring>

namespace ipveil::packet::detail {

namespace {
// The bytes that a record of a link type not walked must keep for Wireshark
// to read the file at all: the fixed pseudo-header some link types begin
// with (none holds an address). Without it the record goes out empty.
std::uint32_t keptPseudoHeader(std::uint32_t linkType, const std::uint8_t* data, std::uint32_t captured) noexcept {
    switch (linkType) {
        case 204: return 1;  // PPP with direction
        case 245: return 2;  // NFC LLCP: adapter, flags
        case 123:            // SunATM: flags, VPI, VCI
        case 139:            // MTP2 with its pseudo-header
        case 201:            // Bluetooth H4 with direction
        case 254: return 4;  // Bluetooth Linux monitor: adapter, opcode
        case 196:            // SITA: flags, signals, errors
        case 209: return 5;  // Linux I2C: bus, flags
        case 197: {
            // ERF: 16 bytes, 8 per extension header, then 2 (Ethernet) or 4 (multichannel, AAL2) by record type.
            if (captured < 16) return 16;
            std::uint32_t type = data[8];
            std::uint32_t bytes = 16;
            for (bool more = (type & 0x80) != 0; more && bytes + 8 <= captured; bytes += 8)
                more = (data[bytes] & 0x80) != 0;
            switch (type & 0x7F) {
                case 2: case 11: case 16: case 20: return bytes + 2;
                case 5: case 6: case 7: case 8: case 9: case 12: case 17: case 18: return bytes + 4;
                default: return bytes;
            }
        }
        default: return 0;
    }
}

// AF_INET, and AF_INET6 as Linux, the BSDs and Darwin number it.
bool loopbackFamilyKnown(std::uint32_t family) noexcept {
    return family == 2 || family == 10 || family == 24 || family == 28 || family == 30;
}
}  // namespace

Walk::Walk(Window& window_, std::uint8_t* data_, std::uint32_t captured_, bool mapMacs_) noexcept
    : window(window_),
      data(data_),
      captured(captured_),
      mapMacs(mapMacs_),
      frameSlots(window_.slotCount),
      frameChecksums(window_.checksumCount),
      frame4(window_.count4),
      frame6(window_.count6),
      frameMacs(window_.countMac) {}

void Walk::run(std::uint32_t linkType) noexcept {
    switch (linkType) {
        case LinkEthernet: ethernet(0, NoEnd); break;
        case LinkRaw:
        case LinkRawAlt12:
        case LinkRawAlt14: ipByVersion(0, NoEnd); break;
        case LinkIpv4: ipv4(0, NoEnd); break;
        case LinkIpv6: ipv6(0, NoEnd); break;
        case LinkNull: {
            // The capturing host's byte order: take whichever order names a family.
            if (!has(0, 4, captured)) return truncated(captured);
            std::uint32_t little = std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 |
                                   std::uint32_t(data[3]) << 24;
            std::uint32_t big =
                std::uint32_t(data[0]) << 24 | std::uint32_t(data[1]) << 16 | std::uint32_t(data[2]) << 8 | data[3];
            loopback(loopbackFamilyKnown(little) ? little : big, 4);
            break;
        }
        case LinkLoop:
            if (!has(0, 4, captured)) return truncated(captured);
            loopback(
                std::uint32_t(data[0]) << 24 | std::uint32_t(data[1]) << 16 | std::uint32_t(data[2]) << 8 | data[3], 4);
            break;
        case LinkLinuxSll:
            // packet type, hardware type, address length, 8 address bytes, protocol
            linuxCooked(0, 4, 6, 14, 16);
            break;
        case LinkLinuxSll2:
            // protocol, reserved, interface, hardware type, packet type, address length, 8 address bytes
            linuxCooked(0, 11, 12, 0, 20);
            break;
        case 144:  // IrDA and LAPD begin with Linux cooked capture's header, which Wireshark needs whole
        case 177: linuxCooked(0, 4, 6, 14, 16); break;
        default: stop(Outcome::UnknownLink, keptPseudoHeader(linkType, data, captured)); break;
    }
}

std::int32_t Walk::address(SlotKind kind, std::uint32_t off, std::uint32_t end, std::uint32_t size,
                           std::uint32_t prefixBits) noexcept {
    if (stopped) return -1;
    std::uint32_t l = limit(end);
    if (off >= l) return -1;
    std::uint32_t present = l - off < size ? l - off : size;
    bool full = window.slotCount - frameSlots >= MaxSlotsPerFrame;
    switch (kind) {
        case SlotKind::Ipv4: full = full || window.count4 - frame4 >= MaxIpv4PerFrame; break;
        case SlotKind::Ipv6: full = full || window.count6 - frame6 >= MaxIpv6PerFrame; break;
        case SlotKind::Mac: full = full || window.countMac - frameMacs >= MaxMacsPerFrame; break;
        case SlotKind::Link: break;  // one a frame at most
        case SlotKind::Pad: break;
    }
    if (full) {
        // Only a frame longer than MaxFrameBytes gets here.
        stop(Outcome::TooManyAddresses, off);
        return -1;
    }
    Slot& slot = window.slots[window.slotCount];
    slot.offset = off;
    slot.kind = kind;
    slot.present = static_cast<std::uint8_t>(present);
    slot.size = static_cast<std::uint8_t>(size);
    slot.prefixBits = static_cast<std::uint8_t>(prefixBits);
    slot.residue = 0;
    switch (kind) {
        case SlotKind::Ipv4: {
            std::uint8_t b[4] = {};
            std::memcpy(b, data + off, present);
            slot.batch = static_cast<std::uint32_t>(window.count4);
            window.in4[window.count4++] =
                std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 | b[3];
            break;
        }
        case SlotKind::Ipv6: {
            Ipv6Address& a = window.in6[window.count6];
            std::memset(a.bytes, 0, sizeof a.bytes);
            std::memcpy(a.bytes, data + off, present);
            slot.batch = static_cast<std::uint32_t>(window.count6++);
            break;
        }
        case SlotKind::Mac:
            slot.batch = static_cast<std::uint32_t>(window.countMac);
            window.macPresent[window.countMac] = static_cast<std::uint8_t>(present);
            window.inMac[window.countMac++] = MacPermutation::fromBytes(data + off, present);
            break;
        case SlotKind::Link: {
            std::uint64_t value = 0;
            for (std::uint32_t i = 0; i < present; ++i) value = value << 8 | data[off + i];
            slot.batch = static_cast<std::uint32_t>(window.countLink);
            window.linkPresent[window.countLink] = static_cast<std::uint8_t>(present);
            window.inLink[window.countLink++] = value;
            break;
        }
        case SlotKind::Pad: break;
    }
    ++window.slotCount;
    return present == size ? static_cast<std::int32_t>(window.slotCount - 1) : -1;
}

void Walk::mac(std::uint32_t off, std::uint32_t end) noexcept {
    if (mapMacs) address(SlotKind::Mac, off, end, 6, 48);
}

void Walk::linkAddress(std::uint32_t off, std::uint32_t end, std::uint32_t size) noexcept {
    if (mapMacs) address(SlotKind::Link, off, end, size, 8 * size);
}

void Walk::pad(std::uint32_t off, std::uint32_t n, PadStyle style) noexcept {
    if (stopped || !padOptions || off >= captured || n == 0) return;
    if (window.slotCount - frameSlots >= MaxSlotsPerFrame) return stop(Outcome::TooManyAddresses, off);
    Slot& slot = window.slots[window.slotCount++];
    slot.offset = off;
    slot.batch = captured - off < n ? captured - off : n;
    slot.kind = SlotKind::Pad;
    slot.present = 0;
    slot.size = static_cast<std::uint8_t>(style == PadStyle::PadN ? n - 2 : 0);  // PadN's own length byte
    slot.prefixBits = static_cast<std::uint8_t>(style);
    slot.residue = 0;
}

void Walk::checksum(std::uint32_t field, std::uint32_t begin, std::uint32_t end, Pseudo pseudo,
                    bool zeroMeansNone) noexcept {
    if (stopped || !has(field, 2, captured)) return;
    if (window.checksumCount - frameChecksums >= MaxChecksumsPerFrame) {
        stop(Outcome::TooManyAddresses, begin);
        return;
    }
    ChecksumField& c = window.checksums[window.checksumCount++];
    c.field = field;
    c.begin = begin;
    c.end = end;
    c.pseudoSrc = pseudo.src;
    c.pseudoDst = pseudo.dst;
    c.zeroMeansNone = zeroMeansNone;
    c.residue = 0;
}

void Walk::reach(std::uint32_t end) noexcept {
    if (stopped || frozen) return;
    std::uint32_t l = limit(end);
    if (l > accounted) accounted = l;
}

void Walk::stop(Outcome why, std::uint32_t at) noexcept {
    if (stopped) return;
    stopped = true;
    outcome = why;
    if (!frozen || limit(at) < accounted) accounted = limit(at);
}

void Walk::truncated(std::uint32_t end) noexcept {
    if (stopped) return;
    if (quoteDepth > 0) {
        reach(end);
        stopped = true;
        return;
    }
    stop(Outcome::Truncated, end);
}

bool Walk::enter(std::uint32_t off) noexcept {
    if (depth >= MaxDepth) {
        stop(Outcome::UnknownProtocol, off);
        return false;
    }
    ++depth;
    return true;
}

void Walk::quote(bool ipv6Packet, std::uint32_t off, std::uint32_t end) noexcept {
    ++quoteDepth;
    if (ipv6Packet)
        ipv6(off, end);
    else
        ipv4(off, end);
    --quoteDepth;
}

}  // namespace ipveil::packet::detail
