// Frames built byte by byte for the packet room's tests, inside out: a
// transport, then IP around it (which fills the transport's checksum from
// its own pseudo-header), then the link layer. Every checksum is computed
// in full here, independently of the rewriter's incremental update, and can
// be skewed on purpose to make it wrong by a known amount.
//
// Every address goes through a Mapper, so one template gives both the input
// frame (identity) and the frame the rewriter must produce (the images).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ipv6_address.h"
#include "mac_permutation.h"
#include "prefix_anonymizer.h"

namespace ipveil::packet::test {

using Bytes = std::vector<std::uint8_t>;

// A header stack and what follows it; `headers` is where the headers-only cut falls.
struct Packet {
    Bytes bytes;
    std::size_t headers = 0;
};

struct Mapper {
    const PrefixAnonymizer* ip = nullptr;  // null: identity
    const MacPermutation* macs = nullptr;  // null: MACs kept
    // The frame of the default mode: options the rewriter does not know padded over.
    bool padded = false;
    // If set, the bytes of every address handed out (a prefix's whole mapped bytes), to find them in a frame.
    std::vector<std::vector<std::uint8_t>>* drawn = nullptr;
    std::uint32_t v4(std::uint32_t a) const {
        std::uint32_t r = ip ? ip->anonymize(a) : a;
        if (drawn)
            drawn->push_back({std::uint8_t(r >> 24), std::uint8_t(r >> 16), std::uint8_t(r >> 8), std::uint8_t(r)});
        return r;
    }
    Ipv6Address v6(const Ipv6Address& a) const {
        Ipv6Address r = ip ? ip->anonymize(a) : a;
        if (drawn) drawn->emplace_back(r.bytes, r.bytes + 16);
        return r;
    }
    std::uint64_t mac(std::uint64_t m) const {
        std::uint64_t r = macs ? macs->anonymize(m) : m;
        if (drawn) {
            drawn->emplace_back();
            for (int i = 0; i < 6; ++i) drawn->back().push_back(std::uint8_t(r >> (40 - 8 * i)));
        }
        return r;
    }
    // A link address of n bytes other than a MAC's.
    std::uint64_t link(std::uint64_t a, std::size_t n) const { return macs ? macs->anonymizeLink(a, n) : a; }
    // A prefix of `bits` bits: the image's first bits, the rest as it stands.
    Ipv6Address prefix(const Ipv6Address& a, int bits) const {
        if (!ip) return a;
        Ipv6Address image = ip->anonymize(a);
        if (drawn) drawn->emplace_back(image.bytes, image.bytes + bits / 8);
        for (int i = 0; i < 16; ++i) {
            int mapped = bits - 8 * i;
            if (mapped >= 8) continue;
            std::uint8_t mask = mapped <= 0 ? 0 : static_cast<std::uint8_t>(0xFF00u >> mapped);
            image.bytes[i] = static_cast<std::uint8_t>((image.bytes[i] & mask) | (a.bytes[i] & ~mask));
        }
        return image;
    }
};

inline void put8(Bytes& b, unsigned v) { b.push_back(static_cast<std::uint8_t>(v)); }
inline void put16(Bytes& b, unsigned v) {
    put8(b, v >> 8);
    put8(b, v);
}
inline void put32(Bytes& b, std::uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}
inline void putV6(Bytes& b, const Ipv6Address& a) { b.insert(b.end(), a.bytes, a.bytes + 16); }
inline void putMac(Bytes& b, std::uint64_t m) {
    for (int i = 0; i < 6; ++i) put8(b, static_cast<unsigned>(m >> (40 - 8 * i)));
}
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
inline void set16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

inline Ipv6Address v6(std::uint64_t high, std::uint64_t low) {
    Ipv6Address a{};
    for (int i = 0; i < 8; ++i) {
        a.bytes[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
        a.bytes[8 + i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    }
    return a;
}

// The one's-complement sum of n bytes from an even offset, as a residue mod 0xFFFF: the plain RFC 1071 loop.
inline std::uint32_t sumOf(const std::uint8_t* p, std::size_t n) {
    std::uint64_t s = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) s += std::uint32_t(p[i]) << 8 | p[i + 1];
    if (n & 1) s += std::uint32_t(p[n - 1]) << 8;
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<std::uint32_t>(s % 0xFFFF);
}

// Writes the field at `at` for data summing to `rest` (with the field zero),
// made wrong by `skew`: zero sums as 0x0000, or as 0xFFFF for UDP.
inline void fillChecksum(Bytes& b, std::size_t at, std::uint32_t rest, std::uint32_t skew, bool udp) {
    std::uint32_t x = (rest + skew) % 0xFFFF;
    if (!udp && x == 0) x = 0xFFFF;
    set16(b, at, ~x & 0xFFFF);
}

// A transport for IP to carry, its checksum to be filled with IP's pseudo-header.
struct Upper {
    Packet packet;
    std::uint8_t protocol = 0;
    int checksumAt = -1;  // -1: none to fill (or already filled)
    bool udp = false;
    std::uint32_t skew = 0;
    std::size_t covered = 0;  // bytes the checksum covers (UDP-Lite, DCCP), 0: all
};

inline Upper tcp(unsigned sport, unsigned dport, const Bytes& options = {}, const Bytes& payload = {},
                 std::uint32_t skew = 0) {
    Upper u;
    Bytes& b = u.packet.bytes;
    put16(b, sport);
    put16(b, dport);
    put32(b, 0x11223344);
    put32(b, 0x55667788);
    std::size_t words = 5 + (options.size() + 3) / 4;
    put8(b, static_cast<unsigned>(words << 4));
    put8(b, 0x18);
    put16(b, 512);
    put16(b, 0);
    put16(b, 0);
    append(b, options);
    while (b.size() < words * 4) put8(b, 0);
    u.packet.headers = b.size();
    append(b, payload);
    u.protocol = 6;
    u.checksumAt = 16;
    u.skew = skew;
    return u;
}

inline Upper udp(unsigned sport, unsigned dport, const Bytes& payload = {}, std::uint32_t skew = 0,
                 bool withChecksum = true) {
    Upper u;
    Bytes& b = u.packet.bytes;
    put16(b, sport);
    put16(b, dport);
    put16(b, static_cast<unsigned>(8 + payload.size()));
    put16(b, 0);
    u.packet.headers = 8;
    append(b, payload);
    u.protocol = 17;
    u.checksumAt = withChecksum ? 6 : -1;
    u.udp = true;
    u.skew = skew;
    return u;
}

// ICMP and IGMP: the checksum covers the message alone, filled here.
inline Upper plainChecksummed(std::uint8_t protocol, const Bytes& headers, const Bytes& payload, std::uint32_t skew,
                              std::size_t headerCount) {
    Upper u;
    u.packet.bytes = headers;
    append(u.packet.bytes, payload);
    u.packet.headers = headerCount;
    fillChecksum(u.packet.bytes, 2, sumOf(u.packet.bytes.data(), u.packet.bytes.size()), skew, false);
    u.protocol = protocol;
    return u;
}

// type, code, checksum, then `body` (headers), then payload.
inline Upper icmp(unsigned type, unsigned code, const Bytes& body, const Bytes& payload = {}, std::uint32_t skew = 0,
                  std::optional<std::size_t> headers = {}) {
    Bytes h;
    put8(h, type);
    put8(h, code);
    put16(h, 0);
    append(h, body);
    return plainChecksummed(1, h, payload, skew, headers ? *headers : h.size());
}

inline Upper igmp(const Bytes& message, std::uint32_t skew = 0) {
    return plainChecksummed(2, message, {}, skew, message.size());
}

// ICMPv6: the checksum takes IPv6's pseudo-header.
inline Upper icmp6(unsigned type, unsigned code, const Bytes& body, const Bytes& payload = {}, std::uint32_t skew = 0,
                   std::optional<std::size_t> headers = {}) {
    Upper u;
    Bytes& b = u.packet.bytes;
    put8(b, type);
    put8(b, code);
    put16(b, 0);
    append(b, body);
    u.packet.headers = headers ? *headers : b.size();
    append(b, payload);
    u.protocol = 58;
    u.checksumAt = 2;
    u.skew = skew;
    return u;
}

// A transport whose checksum takes the pseudo-header, of which only `headers` bytes are walked.
inline Upper pseudoChecksummed(std::uint8_t protocol, const Bytes& bytes, int checksumAt, std::size_t headers,
                               std::size_t covered = 0, bool udp = false) {
    Upper u;
    u.packet.bytes = bytes;
    u.packet.headers = headers;
    u.protocol = protocol;
    u.checksumAt = checksumAt;
    u.covered = covered;
    u.udp = udp;
    return u;
}

// A packet carried whole (IP in IP: 4, 41).
inline Upper carried(std::uint8_t protocol, const Packet& inner) {
    Upper u;
    u.packet = inner;
    u.protocol = protocol;
    return u;
}

inline Upper gre(unsigned type, const Packet& inner, bool withChecksum, bool withKey, std::uint32_t skew = 0) {
    Upper u;
    Bytes& b = u.packet.bytes;
    put16(b, (withChecksum ? 0x8000 : 0) | (withKey ? 0x2000 : 0));
    put16(b, type);
    if (withChecksum) put32(b, 0);
    if (withKey) put32(b, 0xABCDEF01);
    std::size_t headerBytes = b.size();
    append(b, inner.bytes);
    u.packet.headers = headerBytes + inner.headers;
    if (withChecksum) fillChecksum(b, 4, sumOf(b.data(), b.size()), skew, false);
    u.protocol = 47;
    return u;
}

struct Ipv4Options {
    Bytes options;                          // padded here to whole words
    std::optional<std::uint32_t> finalDst;  // the pseudo-header's destination, if not the header's
    unsigned fragment = 0;                  // flags and offset field
    std::uint32_t skew = 0;                 // of the header checksum
    std::optional<unsigned> totalLength;    // as written, if not the true one
};

inline Packet ipv4(std::uint32_t src, std::uint32_t dst, const Upper& up, const Ipv4Options& o = {}) {
    Packet p;
    Bytes& b = p.bytes;
    Bytes options = o.options;
    while (options.size() % 4) options.push_back(0);
    std::size_t headerBytes = 20 + options.size();
    std::size_t total = headerBytes + up.packet.bytes.size();
    put8(b, static_cast<unsigned>(0x40 | headerBytes / 4));
    put8(b, 0);
    put16(b, o.totalLength ? *o.totalLength : static_cast<unsigned>(total));
    put16(b, 0x1234);
    put16(b, o.fragment);
    put8(b, 64);
    put8(b, up.protocol);
    put16(b, 0);
    put32(b, src);
    put32(b, dst);
    append(b, options);
    fillChecksum(b, 10, sumOf(b.data(), headerBytes), o.skew, false);
    append(b, up.packet.bytes);
    p.headers = headerBytes + up.packet.headers;
    if (up.checksumAt >= 0) {
        Bytes pseudo;
        put32(pseudo, src);
        put32(pseudo, o.finalDst ? *o.finalDst : dst);
        put16(pseudo, up.protocol);
        put16(pseudo, static_cast<unsigned>(up.packet.bytes.size()));
        std::size_t covered = up.covered ? up.covered : up.packet.bytes.size();
        std::uint32_t rest = (sumOf(pseudo.data(), pseudo.size()) + sumOf(b.data() + headerBytes, covered)) % 0xFFFF;
        fillChecksum(b, headerBytes + static_cast<std::size_t>(up.checksumAt), rest, up.skew, up.udp);
    }
    return p;
}

// An IPv6 extension header: its type and its bytes, the next-header byte left for the chain to fill.
struct Extension {
    std::uint8_t type;
    Bytes bytes;
};

// Hop-by-hop (0) or destination options (60) holding `options`, padded with PadN.
inline Extension optionsHeader(std::uint8_t type, const Bytes& options) {
    Extension e{type, {0, 0}};
    append(e.bytes, options);
    std::size_t pad = (8 - e.bytes.size() % 8) % 8;
    if (pad == 1) {
        put8(e.bytes, 0);
    } else if (pad >= 2) {
        put8(e.bytes, 1);
        put8(e.bytes, static_cast<unsigned>(pad - 2));
        for (std::size_t i = 2; i < pad; ++i) put8(e.bytes, 0);
    }
    e.bytes[1] = static_cast<std::uint8_t>(e.bytes.size() / 8 - 1);
    return e;
}

inline Bytes homeAddressOption(const Ipv6Address& a) {
    Bytes b{201, 16};
    putV6(b, a);
    return b;
}

// Routing header type 0 or 2 (addresses in order) or 4 (segment list, final destination first).
inline Extension routing(unsigned type, unsigned segmentsLeft, const std::vector<Ipv6Address>& addresses) {
    Extension e{43, {0, 0}};
    put8(e.bytes, type);
    put8(e.bytes, segmentsLeft);
    if (type == 4) {
        put8(e.bytes, static_cast<unsigned>(addresses.size() - 1));
        put8(e.bytes, 0);
        put16(e.bytes, 0);
    } else {
        put32(e.bytes, 0);
    }
    for (const auto& a : addresses) putV6(e.bytes, a);
    e.bytes[1] = static_cast<std::uint8_t>(e.bytes.size() / 8 - 1);
    return e;
}

inline Extension fragmentHeader(unsigned offset, bool more) {
    Extension e{44, {0, 0}};
    put16(e.bytes, offset << 3 | (more ? 1 : 0));
    put32(e.bytes, 0xCAFE);
    return e;
}

struct Ipv6Options {
    std::vector<Extension> extensions;
    std::optional<Ipv6Address> pseudoSrc;  // home address
    std::optional<Ipv6Address> pseudoDst;  // final destination of a routing header
    bool carriesTransport = true;          // false: a later fragment
};

inline Packet ipv6(const Ipv6Address& src, const Ipv6Address& dst, const Upper& up, const Ipv6Options& o = {}) {
    Packet p;
    Bytes& b = p.bytes;
    Bytes chain;
    for (std::size_t i = 0; i < o.extensions.size(); ++i) {
        Bytes e = o.extensions[i].bytes;
        e[0] = i + 1 < o.extensions.size() ? o.extensions[i + 1].type : up.protocol;
        append(chain, e);
    }
    put32(b, 0x60000000);
    put16(b, static_cast<unsigned>(chain.size() + up.packet.bytes.size()));
    put8(b, o.extensions.empty() ? up.protocol : o.extensions[0].type);
    put8(b, 64);
    putV6(b, src);
    putV6(b, dst);
    append(b, chain);
    std::size_t upperAt = b.size();
    append(b, up.packet.bytes);
    p.headers = upperAt + (o.carriesTransport ? up.packet.headers : 0);
    if (up.checksumAt >= 0) {
        Bytes pseudo;
        putV6(pseudo, o.pseudoSrc ? *o.pseudoSrc : src);
        putV6(pseudo, o.pseudoDst ? *o.pseudoDst : dst);
        put32(pseudo, static_cast<std::uint32_t>(up.packet.bytes.size()));
        put32(pseudo, up.protocol);
        std::size_t covered = up.covered ? up.covered : up.packet.bytes.size();
        std::uint32_t rest = (sumOf(pseudo.data(), pseudo.size()) + sumOf(b.data() + upperAt, covered)) % 0xFFFF;
        fillChecksum(b, upperAt + static_cast<std::size_t>(up.checksumAt), rest, up.skew, up.udp);
    }
    return p;
}

// What an ICMP error quotes: the first `keep` bytes of the offending packet.
inline Packet quoted(const Packet& offending, std::size_t keep) {
    Packet q;
    q.bytes.assign(offending.bytes.begin(),
                   offending.bytes.begin() + static_cast<std::ptrdiff_t>(std::min(keep, offending.bytes.size())));
    q.headers = std::min(offending.headers, q.bytes.size());
    return q;
}

inline Packet withHeader(const Bytes& header, const Packet& inner) {
    Packet p;
    p.bytes = header;
    append(p.bytes, inner.bytes);
    p.headers = header.size() + inner.headers;
    return p;
}

inline Packet ethernet(std::uint64_t dst, std::uint64_t src, unsigned type, const Packet& inner,
                       const std::vector<unsigned>& tags = {}) {
    Bytes h;
    putMac(h, dst);
    putMac(h, src);
    for (unsigned tpid : tags) {
        put16(h, tpid);
        put16(h, 0x0064);
    }
    put16(h, type);
    return withHeader(h, inner);
}

inline Packet mpls(unsigned labels, const Packet& inner) {
    Bytes h;
    for (unsigned i = 0; i < labels; ++i) put32(h, (1000 + i) << 12 | (i + 1 == labels ? 0x100 : 0) | 64);
    return withHeader(h, inner);
}

}  // namespace ipveil::packet::test
