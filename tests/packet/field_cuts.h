// Raw IP frames in which a length field (an option's, an extension header's,
// an IP packet's) ends inside an address field the rewriter walks, `keep`
// bytes into it. The field's whole bytes stay in the frame, past the length
// field's end, where the walk reads them as whatever comes next. For the
// property that no byte of an input address survives the default mode, and
// as seeds of the capture fuzzer.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "frame_cases.h"

namespace ipveil::packet::test {

struct FieldCut {
    std::string name;
    std::vector<std::size_t> keeps;  // the cuts a length field can make: bytes of the field inside it
    std::function<Packet(const Mapper&, std::size_t keep)> build;
};

inline std::vector<std::size_t> upTo(std::size_t n, std::size_t step = 1) {
    std::vector<std::size_t> v;
    for (std::size_t k = 0; k <= n; k += step) v.push_back(k);
    return v;
}

// An IPv4 packet with `options` and a TCP header carrying `tcpOptions`.
inline Packet ipv4With(const Mapper& m, const Bytes& options, const Bytes& tcpOptions = {}) {
    Ipv4Options o;
    o.options = options;
    return ipv4(m.v4(A), m.v4(B), tcp(1, 2, tcpOptions, Payload), o);
}

// The IPv6 packet's payload length, set to end `bytes` after its header.
inline Packet withPayloadLength(Packet p, std::size_t bytes) {
    set16(p.bytes, 4, static_cast<unsigned>(bytes));
    return p;
}

inline std::vector<FieldCut> fieldCuts() {
    std::vector<FieldCut> c;
    auto u8 = [](std::size_t v) { return static_cast<std::uint8_t>(v); };
    c.push_back({"RecordRouteByOptionLength", upTo(4), [u8](const Mapper& m, std::size_t k) {
                     Bytes b = {7, u8(7 + k), 40};  // every slot filled
                     append(b, v4Bytes(m.v4(C)));
                     append(b, v4Bytes(m.v4(D)));
                     return ipv4With(m, b);
                 }});
    c.push_back({"TimestampByOptionLength", upTo(4), [u8](const Mapper& m, std::size_t k) {
                     Bytes b = {68, u8(12 + k), 40, 0x01};
                     append(b, v4Bytes(m.v4(C)));
                     put32(b, 0x01020304);
                     append(b, v4Bytes(m.v4(D)));
                     return ipv4With(m, b);
                 }});
    c.push_back({"LooseRouteByOptionLength", upTo(4), [u8](const Mapper& m, std::size_t k) {
                     Bytes b = {131, u8(3 + k), 4};
                     append(b, v4Bytes(m.v4(C)));
                     return ipv4With(m, b);
                 }});
    c.push_back({"TracerouteByOptionLength", upTo(4), [u8](const Mapper& m, std::size_t k) {
                     Bytes b = {82, u8(8 + k), 0, 1, 0, 2, 0xFF, 0xFF};
                     append(b, v4Bytes(m.v4(C)));
                     return ipv4With(m, b);
                 }});
    c.push_back({"IcmpQuoteByTotalLength", upTo(8), [](const Mapper& m, std::size_t k) {
                     Packet offending = ipv4(m.v4(B), m.v4(D), udp(33434, 53, Payload));
                     Ipv4Options o;
                     o.totalLength = static_cast<unsigned>(20 + 8 + 12 + k);  // ends in the quote's addresses
                     return ipv4(m.v4(E), m.v4(B), icmp(3, 3, withHeader({0, 0, 0, 0}, offending).bytes), o);
                 }});
    c.push_back({"MultipathAddAddressByOptionLength", upTo(4), [u8](const Mapper& m, std::size_t k) {
                     Bytes t = {30, u8(4 + k), 0x30, 7};
                     append(t, v4Bytes(m.v4(D)));
                     return ipv4With(m, {}, t);
                 }});
    c.push_back({"MultipathAddAddress6ByOptionLength", upTo(16), [u8](const Mapper& m, std::size_t k) {
                     Bytes t = {30, u8(4 + k), 0x36, 8};  // the first version's IPv6 form
                     putV6(t, m.v6(R6));
                     return ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, t, Payload));
                 }});
    c.push_back({"RoutingType0ByHeaderLength", upTo(16, 8), [u8](const Mapper& m, std::size_t k) {
                     Ipv6Options o;
                     o.extensions = {routing(0, 2, {m.v6(R6), m.v6(P6)})};
                     o.extensions[0].bytes[1] = u8((24 + k) / 8 - 1);
                     // No next header: the rest of the cut address is payload.
                     return ipv6(m.v6(S6), m.v6(D6), carried(59, Packet{}), o);
                 }});
    c.push_back({"RoutingType2ByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Ipv6Options o;
                     o.extensions = {routing(2, 1, {m.v6(H6)})};
                     return withPayloadLength(ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, {}, Payload), o), 8 + k);
                 }});
    c.push_back({"SegmentRoutingByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Ipv6Options o;
                     o.extensions = {routing(4, 1, {m.v6(P6), m.v6(R6)})};
                     return withPayloadLength(ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload), o), 8 + 16 + k);
                 }});
    c.push_back({"HomeAddressByOptionLength", upTo(16), [u8](const Mapper& m, std::size_t k) {
                     Bytes home = homeAddressOption(m.v6(H6));
                     home[1] = u8(k);
                     Ipv6Options o;
                     o.extensions = {optionsHeader(60, home)};
                     return ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload), o);
                 }});
    c.push_back({"Icmpv6QuoteOfRoutingHeaderByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Ipv6Options o;
                     o.extensions = {routing(0, 1, {m.v6(R6)})};
                     Packet offending = ipv6(m.v6(D6), m.v6(P6), udp(1, 2, Payload), o);
                     Packet p = ipv6(m.v6(S6), m.v6(D6), icmp6(1, 4, withHeader({0, 0, 0, 0}, offending).bytes));
                     return withPayloadLength(p, 8 + 40 + 8 + k);
                 }});
    auto advertisement = [](const Mapper& m) {
        Bytes body = {64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
        append(body, rdnssOption({m.v6(D6), m.v6(R6)}));
        return body;
    };
    c.push_back({"RdnssByOptionLength", upTo(16, 8), [u8, advertisement](const Mapper& m, std::size_t k) {
                     Bytes body = advertisement(m);
                     body[12 + 1] = u8((8 + 16 + k) / 8);
                     return ipv6(m.v6(H6), m.v6(G6), icmp6(134, 0, body));
                 }});
    c.push_back({"RdnssByPayloadLength", upTo(16), [advertisement](const Mapper& m, std::size_t k) {
                     return withPayloadLength(ipv6(m.v6(H6), m.v6(G6), icmp6(134, 0, advertisement(m))),
                                              16 + 8 + 16 + k);
                 }});
    c.push_back({"NeighbourTargetByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Bytes body = {0, 0, 0, 0};
                     putV6(body, m.v6(D6));
                     return withPayloadLength(ipv6(m.v6(S6), m.v6(G6), icmp6(135, 0, body)), 8 + k);
                 }});
    c.push_back({"MldSourceByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Bytes body = {0x27, 0x10, 0, 0};
                     putV6(body, m.v6(G6));
                     append(body, {2, 125, 0, 1});
                     putV6(body, m.v6(S6));
                     return withPayloadLength(ipv6(m.v6(H6), m.v6(G6), icmp6(130, 0, body)), 28 + k);
                 }});
    c.push_back({"IgmpSourceByTotalLength", upTo(4), [](const Mapper& m, std::size_t k) {
                     Bytes query = {0x11, 100, 0, 0};
                     append(query, v4Bytes(m.v4(0xEF010203)));
                     append(query, {2, 125, 0, 1});
                     append(query, v4Bytes(m.v4(C)));
                     Ipv4Options o;
                     o.totalLength = static_cast<unsigned>(20 + 12 + k);
                     return ipv4(m.v4(A), m.v4(0xE0000001), igmp(query), o);
                 }});
    c.push_back({"IcmpRedirectGatewayByTotalLength", upTo(4), [](const Mapper& m, std::size_t k) {
                     Ipv4Options o;
                     o.totalLength = static_cast<unsigned>(20 + 4 + k);
                     return ipv4(m.v4(E), m.v4(B), icmp(5, 1, v4Bytes(m.v4(C))), o);
                 }});
    c.push_back({"IcmpRouterAdvertisementByTotalLength", upTo(4), [](const Mapper& m, std::size_t k) {
                     Bytes body = {2, 2, 0x07, 0x08};
                     append(body, v4Bytes(m.v4(C)));
                     put32(body, 0);
                     append(body, v4Bytes(m.v4(D)));
                     put32(body, 0);
                     Ipv4Options o;
                     o.totalLength = static_cast<unsigned>(20 + 16 + k);
                     return ipv4(m.v4(C), m.v4(0xE0000001), icmp(9, 0, body), o);
                 }});
    c.push_back({"Igmpv3ReportSourceByTotalLength", upTo(4), [](const Mapper& m, std::size_t k) {
                     Bytes report = {0x22, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1};
                     append(report, v4Bytes(m.v4(0xEF010204)));
                     append(report, v4Bytes(m.v4(B)));
                     Ipv4Options o;
                     o.totalLength = static_cast<unsigned>(20 + 16 + k);
                     return ipv4(m.v4(A), m.v4(0xE0000016), igmp(report), o);
                 }});
    c.push_back({"Ipv6InIpv4ByTotalLength", upTo(32), [](const Mapper& m, std::size_t k) {
                     Packet inner = ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload));
                     Ipv4Options o;
                     o.totalLength = static_cast<unsigned>(20 + 8 + k);  // ends in the inner source or destination
                     return ipv4(m.v4(A), m.v4(B), carried(41, inner), o);
                 }});
    c.push_back({"Icmpv6QuoteByPayloadLength", upTo(32), [](const Mapper& m, std::size_t k) {
                     Packet offending = ipv6(m.v6(D6), m.v6(R6), tcp(1, 2, {}, Payload));
                     Packet p = ipv6(m.v6(S6), m.v6(D6), icmp6(1, 4, withHeader({0, 0, 0, 0}, offending).bytes));
                     return withPayloadLength(p, 8 + 8 + k);
                 }});
    c.push_back({"NdRedirectDestinationByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Bytes body = {0, 0, 0, 0};
                     putV6(body, m.v6(R6));
                     putV6(body, m.v6(D6));
                     return withPayloadLength(ipv6(m.v6(H6), m.v6(S6), icmp6(137, 0, body)), 24 + k);
                 }});
    c.push_back({"NdPrefixAndRouteByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Bytes body = {64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
                     append(body, routeOption(m.prefix(R6, 64), 64, 16));
                     append(body, prefixOption(m.prefix(P6, 64), 64));
                     // In the route's prefix, then (past 8) in the prefix information's.
                     std::size_t in = k <= 8 ? 16 + 8 + k : 16 + 24 + 16 + k;
                     return withPayloadLength(ipv6(m.v6(H6), m.v6(G6), icmp6(134, 0, body)), in);
                 }});
    c.push_back({"MldV2ReportSourceByPayloadLength", upTo(16), [](const Mapper& m, std::size_t k) {
                     Bytes body = {0, 0, 0, 1, 4, 0, 0, 1};
                     putV6(body, m.v6(G6));
                     putV6(body, m.v6(S6));
                     return withPayloadLength(ipv6(m.v6(H6), m.v6(G6), icmp6(143, 0, body)), 8 + 20 + k);
                 }});
    return c;
}

}  // namespace ipveil::packet::test
