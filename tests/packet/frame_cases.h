// The frame templates the packet room's tests share: one per link layer,
// header, option, tunnel and quote the rewriter walks, each built through a
// Mapper so that it gives both the input and the expected output.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frame_rewriter.h"
#include "packet_builder.h"

namespace ipveil::packet::test {

inline const std::uint8_t Key[32] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6, 0xab, 0xf7, 0x15,
                                     0x88, 0x09, 0xcf, 0x4f, 0x3c, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                     0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};

constexpr std::uint32_t A = 0x0A000001, B = 0xC0A80102, C = 0xC0A80203, D = 0x08080808, E = 0x7F000001;
inline const Ipv6Address S6 = v6(0x20010db800000001ull, 0x1), D6 = v6(0x20010db8ffff0000ull, 0x2);
inline const Ipv6Address R6 = v6(0x20010db800000002ull, 0xabcd), H6 = v6(0xfe80000000000000ull, 0x0211223344556677ull);
inline const Ipv6Address G6 = v6(0xff02000000000000ull, 0x16), P6 = v6(0x20010db8abcd1234ull, 0x5555555555555555ull);
constexpr std::uint64_t M1 = 0x001122334455, M2 = 0x02AABBCCDDEE, Bcast = 0xFFFFFFFFFFFF, Mcast = 0x01005E000016;

inline const Bytes Payload = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', 13, 10, 1, 2, 3};

inline Bytes v4Bytes(std::uint32_t a) {
    Bytes b;
    put32(b, a);
    return b;
}

inline Packet eth4(const Mapper& m, const Packet& ip) { return ethernet(m.mac(M1), m.mac(M2), 0x0800, ip); }
inline Packet eth6(const Mapper& m, const Packet& ip) { return ethernet(m.mac(M1), m.mac(M2), 0x86DD, ip); }

// ND options.
inline Bytes linkLayerOption(unsigned type, std::uint64_t mac) {
    Bytes b{static_cast<std::uint8_t>(type), 1};
    putMac(b, mac);
    return b;
}
inline Bytes prefixOption(const Ipv6Address& prefix, unsigned bits) {
    Bytes b{3, 4, static_cast<std::uint8_t>(bits), 0xC0};
    put32(b, 86400);
    put32(b, 14400);
    put32(b, 0);
    putV6(b, prefix);
    return b;
}
inline Bytes routeOption(const Ipv6Address& prefix, unsigned bits, unsigned prefixBytes) {
    Bytes b{24, static_cast<std::uint8_t>(1 + prefixBytes / 8), static_cast<std::uint8_t>(bits), 0x08};
    put32(b, 1800);
    b.insert(b.end(), prefix.bytes, prefix.bytes + prefixBytes);
    return b;
}
inline Bytes rdnssOption(const std::vector<Ipv6Address>& servers) {
    Bytes b{25, static_cast<std::uint8_t>(1 + 2 * servers.size()), 0, 0};
    put32(b, 600);
    for (const auto& s : servers) putV6(b, s);
    return b;
}

struct Case {
    std::string name;
    std::uint32_t linkType;
    std::function<Packet(const Mapper&)> build;
    // Addresses stand past the headers-only cut: the cut frame's checksums take their change too, which
    // revealing the cut frame cannot undo.
    bool mapsPastCut = false;
    // Options it does not know, padded over in the default mode (Mapper::padded): revealing cannot undo that.
    bool padsOver = false;
};

inline std::vector<Case> cases() {
    std::vector<Case> c;
    c.push_back({"EthernetIpv4TcpWithOptions", LinkEthernet, [](const Mapper& m) {
                     return eth4(m, ipv4(m.v4(A), m.v4(B), tcp(40000, 80, {2, 4, 5, 0xb4, 1, 3, 3, 7}, Payload)));
                 }});
    c.push_back({"WrongChecksumsStayWrong", LinkEthernet, [](const Mapper& m) {
                     Ipv4Options o;
                     o.skew = 7;
                     return eth4(m, ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload, 1000), o));
                 }});
    c.push_back({"UdpZeroChecksumStaysZero", LinkEthernet,
                 [](const Mapper& m) { return eth4(m, ipv4(m.v4(C), m.v4(D), udp(53, 5353, Payload, 0, false))); }});
    c.push_back({"VlanStackIpv6Udp", LinkEthernet, [](const Mapper& m) {
                     return ethernet(m.mac(M1), m.mac(Mcast), 0x86DD,
                                     ipv6(m.v6(S6), m.v6(D6), udp(500, 4500, Payload, 3)), {0x88A8, 0x8100, 0x9100});
                 }});
    c.push_back({"MplsIpv4", LinkEthernet, [](const Mapper& m) {
                     return ethernet(m.mac(M1), m.mac(M2), 0x8847,
                                     mpls(3, ipv4(m.v4(A), m.v4(E), tcp(1, 2, {}, Payload))));
                 }});
    c.push_back({"MplsIpv6", LinkEthernet, [](const Mapper& m) {
                     return ethernet(m.mac(M1), m.mac(M2), 0x8848,
                                     mpls(1, ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload))));
                 }});
    c.push_back({"PppoeIpv4", LinkEthernet, [](const Mapper& m) {
                     Packet ip = ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload));
                     Bytes h = {0x11, 0, 0x12, 0x34};
                     put16(h, static_cast<unsigned>(ip.bytes.size() + 2));
                     put16(h, 0x0021);
                     return ethernet(m.mac(M1), m.mac(M2), 0x8864, withHeader(h, ip), {0x8100});
                 }});
    c.push_back({"Ipv4RecordRouteTimestampLooseRoute", LinkEthernet, [](const Mapper& m) {
                     Ipv4Options o;
                     Bytes& b = o.options;
                     b = {7, 11, 8};  // record route, two slots, the second not filled yet
                     append(b, v4Bytes(m.v4(C)));
                     put32(b, 0);
                     append(b, {68, 12, 13, 0x01});  // timestamp with addresses, filled
                     append(b, v4Bytes(m.v4(E)));
                     put32(b, 0x01020304);
                     append(b, {131, 11, 4});  // NOP, loose source route, not done: final destination last
                     append(b, v4Bytes(m.v4(C)));
                     append(b, v4Bytes(m.v4(0x0B0C0D0E)));
                     o.finalDst = m.v4(0x0B0C0D0E);
                     return eth4(m, ipv4(m.v4(A), m.v4(B), tcp(7, 8, {}, Payload), o));
                 }});
    c.push_back({"IcmpQuotesPartlyFilledRecordRouteAndTimestamp", LinkEthernet, [](const Mapper& m) {
                     Ipv4Options o;
                     Bytes& b = o.options;
                     b = {7, 11, 8};  // record route, one of two slots filled
                     append(b, v4Bytes(m.v4(C)));
                     put32(b, 0);
                     append(b, {68, 20, 13, 0x01});  // timestamp with addresses, one of two entries filled
                     append(b, v4Bytes(m.v4(D)));
                     put32(b, 0x01020304);
                     put32(b, 0);
                     put32(b, 0);
                     Packet offending = ipv4(m.v4(B), m.v4(A), udp(33434, 53, Payload), o);
                     Packet q = quoted(offending, 20 + 32 + 8);
                     return eth4(m, ipv4(m.v4(E), m.v4(B),
                                         icmp(11, 0, withHeader({0, 0, 0, 0}, q).bytes, {}, 0, 8 + q.headers)));
                 }});
    c.push_back({"Ipv4OptionsKnownKeptUnknownPadded", LinkEthernet,
                 [](const Mapper& m) {
                     Ipv4Options o;  // a right header checksum, a wrong TCP one
                     Bytes& b = o.options;
                     b = {82, 12, 0x12, 0x34, 0, 3, 0xFF, 0xFF};  // traceroute: the originator's address last
                     append(b, v4Bytes(m.v4(C)));
                     append(b, {148, 4, 0, 0});                       // router alert
                     append(b, {134, 10, 0, 0, 0, 1, 1, 4, 0, 3});    // CIPSO
                     Bytes unknown = {0x9E, 6};                       // unknown, an address inside
                     append(unknown, v4Bytes(D));
                     append(b, m.padded ? Bytes(6, 1) : unknown);
                     append(b, {0});  // end of options, then what should be zeros
                     append(b, m.padded ? Bytes(3, 0) : Bytes{0xAB, 0xCD, 0xEF});
                     Bytes t = {2, 4, 5, 0xB4, 30, 9, 0x30, 1};  // MSS; an MPTCP ADD_ADDR one byte past its address
                     append(t, v4Bytes(m.v4(D)));
                     append(t, {0x55});
                     append(t, m.padded ? Bytes(6, 1) : Bytes{0x4C, 6, 0x0A, 0, 0, 9});  // unknown
                     return eth4(m, ipv4(m.v4(A), m.v4(B), tcp(7, 8, t, Payload, 5), o));
                 },
                 false, true});
    c.push_back({"Ipv6UnknownOptionsPadded", LinkIpv6,
                 [](const Mapper& m) {
                     Ipv6Options o;
                     Bytes hop = {5, 2, 0, 0};  // router alert, then SMF_DPD tagged with an IPv6 address
                     Bytes dpd = {8, 18, 0x4F};
                     putV6(dpd, R6);
                     append(dpd, {0x77});
                     if (m.padded) {
                         dpd.assign(20, 0);
                         dpd[0] = 1;
                         dpd[1] = 18;
                     }
                     append(hop, dpd);
                     Bytes dest = homeAddressOption(m.v6(H6));
                     append(dest, m.padded ? Bytes{1, 4, 0, 0, 0, 0} : Bytes{0x3E, 4, 0x20, 0x01, 0x0d, 0xb8});
                     o.extensions = {optionsHeader(0, hop), optionsHeader(60, dest)};
                     o.pseudoSrc = m.v6(H6);
                     return ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, {}, Payload, 9), o);
                 },
                 false, true});
    c.push_back({"Ipv4StrictRouteDone", LinkEthernet, [](const Mapper& m) {
                     Ipv4Options o;
                     o.options = {68, 20, 13, 0x03};  // timestamp, prespecified addresses
                     for (std::uint32_t a : {B, E}) {
                         append(o.options, v4Bytes(m.v4(a)));
                         put32(o.options, 0x01020304);
                     }
                     append(o.options, {1, 137, 7, 8});  // pointer past the route: the header's destination is final
                     append(o.options, v4Bytes(m.v4(C)));
                     return eth4(m, ipv4(m.v4(A), m.v4(B), udp(7, 8, Payload), o));
                 }});
    c.push_back({"Ipv6HopByHopHomeAddress", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {optionsHeader(0, {5, 2, 0, 0}), optionsHeader(60, homeAddressOption(m.v6(H6)))};
                     o.pseudoSrc = m.v6(H6);
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, {}, Payload), o));
                 }});
    c.push_back({"Ipv6RoutingType0", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {routing(0, 2, {m.v6(R6), m.v6(P6)})};
                     o.pseudoDst = m.v6(P6);
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload), o));
                 }});
    c.push_back({"Ipv6RoutingType2", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {routing(2, 1, {m.v6(H6)})};
                     o.pseudoDst = m.v6(H6);
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, {}, Payload), o));
                 }});
    c.push_back({"Ipv6SegmentRouting", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {routing(4, 1, {m.v6(P6), m.v6(R6), m.v6(D6)})};
                     o.pseudoDst = m.v6(P6);
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), icmp6(128, 0, {0, 1, 0, 1}, Payload), o));
                 }});
    c.push_back({"Ipv6SegmentRoutingDone", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {routing(4, 0, {m.v6(D6), m.v6(R6)})};
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), udp(9, 9, Payload), o));
                 }});
    c.push_back({"Ipv6FirstFragment", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {fragmentHeader(0, true)};
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload), o));
                 }});
    c.push_back({"Ipv6LaterFragment", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {fragmentHeader(185, false)};
                     o.carriesTransport = false;
                     Upper up = udp(1, 2, Payload);
                     up.checksumAt = -1;  // bytes of the middle of a datagram, not a header
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), up, o));
                 }});
    c.push_back({"Ipv4LaterFragment", LinkEthernet, [](const Mapper& m) {
                     Ipv4Options o;
                     o.fragment = 0x2010;
                     Upper up = carried(6, Packet{Payload, 0});
                     return eth4(m, ipv4(m.v4(A), m.v4(B), up, o));
                 }});
    c.push_back({"Ipv4InIpv4", LinkEthernet, [](const Mapper& m) {
                     Packet inner = ipv4(m.v4(C), m.v4(D), tcp(1, 2, {}, Payload, 5));
                     return eth4(m, ipv4(m.v4(A), m.v4(B), carried(4, inner)));
                 }});
    c.push_back({"Ipv6InIpv4", LinkRaw, [](const Mapper& m) {
                     Packet inner = ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload));
                     return ipv4(m.v4(A), m.v4(B), carried(41, inner));
                 }});
    c.push_back({"Ipv4InIpv6", LinkIpv6, [](const Mapper& m) {
                     Packet inner = ipv4(m.v4(C), m.v4(D), udp(1, 2, Payload));
                     return ipv6(m.v6(S6), m.v6(D6), carried(4, inner));
                 }});
    c.push_back({"GreChecksumKeyIpv4", LinkEthernet, [](const Mapper& m) {
                     Packet inner = ipv4(m.v4(C), m.v4(D), udp(1, 2, Payload));
                     return eth4(m, ipv4(m.v4(A), m.v4(B), gre(0x0800, inner, true, true)));
                 }});
    c.push_back({"GreWrongChecksumIpv6", LinkEthernet, [](const Mapper& m) {
                     Packet inner = ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, {}, Payload));
                     return eth4(m, ipv4(m.v4(A), m.v4(B), gre(0x86DD, inner, true, false, 99)));
                 }});
    c.push_back({"GreEthernet", LinkEthernet, [](const Mapper& m) {
                     Packet inner = ethernet(m.mac(0x00AABBCCDDEE), m.mac(M1), 0x0800,
                                             ipv4(m.v4(C), m.v4(D), tcp(1, 2, {}, Payload)));
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), gre(0x6558, inner, false, true)));
                 }});
    c.push_back({"IcmpEcho", LinkEthernet, [](const Mapper& m) {
                     return eth4(m, ipv4(m.v4(A), m.v4(B), icmp(8, 0, {0, 1, 0, 2}, Payload)));
                 }});
    c.push_back({"IcmpUnreachableQuotesUdp", LinkEthernet, [](const Mapper& m) {
                     Packet offending = ipv4(m.v4(B), m.v4(D), udp(33434, 53, Payload));
                     Packet q = quoted(offending, 28);
                     return eth4(m, ipv4(m.v4(E), m.v4(B),
                                         icmp(3, 3, withHeader({0, 0, 0, 0}, q).bytes, {}, 0, 8 + q.headers)));
                 }});
    c.push_back({"IcmpRedirectGatewayQuotesTcp", LinkEthernet, [](const Mapper& m) {
                     Packet offending = ipv4(m.v4(B), m.v4(D), tcp(5555, 443, {}, Payload));
                     Packet q = quoted(offending, 28);
                     return eth4(m, ipv4(m.v4(E), m.v4(B),
                                         icmp(5, 1, withHeader(v4Bytes(m.v4(C)), q).bytes, {}, 0, 8 + q.headers)));
                 }});
    c.push_back({"IcmpErrorQuotingIcmpErrorWithTrailer", LinkEthernet, [](const Mapper& m) {
                     Packet first = ipv4(m.v4(C), m.v4(D), udp(1, 2, Payload));
                     Packet q1 = quoted(first, 28);
                     Packet error =
                         ipv4(m.v4(E), m.v4(C), icmp(11, 0, withHeader({0, 0, 0, 0}, q1).bytes, {}, 0, 8 + q1.headers));
                     Packet q2 = quoted(error, error.bytes.size());
                     Packet outer = ipv4(m.v4(A), m.v4(B),
                                         icmp(12, 0, withHeader({0x14, 0, 0, 0}, q2).bytes, {}, 0, 8 + q2.headers));
                     Packet frame = eth4(m, outer);
                     append(frame.bytes, Bytes(6, 0));  // Ethernet padding past the IP packet
                     return frame;
                 }});
    c.push_back({"IcmpRouterAdvertisement", LinkEthernet, [](const Mapper& m) {
                     Bytes body = {2, 2, 0x07, 0x08};
                     for (std::uint32_t a : {C, D}) {
                         append(body, v4Bytes(m.v4(a)));
                         put32(body, 0);
                     }
                     return eth4(m, ipv4(m.v4(C), m.v4(0xE0000001), icmp(9, 0, body)));
                 }});
    c.push_back({"Igmpv2Report", LinkEthernet, [](const Mapper& m) {
                     Bytes msg = {0x16, 0, 0, 0};
                     append(msg, v4Bytes(m.v4(0xEF010203)));
                     return eth4(m, ipv4(m.v4(A), m.v4(0xEF010203), igmp(msg, 1)));
                 }});
    c.push_back({"Igmpv3Report", LinkEthernet, [](const Mapper& m) {
                     Bytes report = {0x22, 0, 0, 0, 0, 0, 0, 2};
                     append(report, {1, 1, 0, 1});  // one source, one aux word
                     append(report, v4Bytes(m.v4(0xEF010204)));
                     append(report, v4Bytes(m.v4(B)));
                     put32(report, 0xAAAAAAAA);
                     append(report, {2, 0, 0, 0});
                     append(report, v4Bytes(m.v4(0xEF010205)));
                     return eth4(m, ipv4(m.v4(A), m.v4(0xE0000016), igmp(report)));
                 }});
    c.push_back({"Igmpv3Query", LinkIpv4, [](const Mapper& m) {
                     Bytes query = {0x11, 100, 0, 0};
                     append(query, v4Bytes(m.v4(0xEF010203)));
                     append(query, {2, 125, 0, 2});
                     append(query, v4Bytes(m.v4(C)));
                     append(query, v4Bytes(m.v4(D)));
                     return ipv4(m.v4(A), m.v4(0xE0000001), igmp(query));
                 }});
    c.push_back({"Icmpv6UnreachableQuotesTcp", LinkEthernet, [](const Mapper& m) {
                     Packet offending = ipv6(m.v6(D6), m.v6(R6), tcp(1, 2, {}, Payload));
                     Packet q = quoted(offending, 70);
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6),
                                         icmp6(1, 4, withHeader({0, 0, 0, 0}, q).bytes, {}, 0, 8 + q.headers)));
                 }});
    c.push_back({"Icmpv6PacketTooBigQuotesUdpWrong", LinkEthernet, [](const Mapper& m) {
                     Packet offending = ipv6(m.v6(D6), m.v6(R6), udp(1, 2, Payload, 321));
                     Packet q = quoted(offending, offending.bytes.size());
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6),
                                         icmp6(2, 0, withHeader({0, 0, 5, 0}, q).bytes, {}, 77, 8 + q.headers)));
                 }});
    c.push_back({"MldV1ReportAfterRouterAlert", LinkEthernet, [](const Mapper& m) {
                     Ipv6Options o;
                     o.extensions = {optionsHeader(0, {5, 2, 0, 0})};
                     Bytes body = {0, 0, 0, 0};
                     putV6(body, m.v6(G6));
                     return eth6(m, ipv6(m.v6(H6), m.v6(G6), icmp6(131, 0, body), o));
                 }});
    c.push_back({"MldV2Query", LinkEthernet, [](const Mapper& m) {
                     Bytes body = {0x27, 0x10, 0, 0};
                     putV6(body, m.v6(G6));
                     append(body, {2, 125, 0, 2});
                     putV6(body, m.v6(S6));
                     putV6(body, m.v6(R6));
                     return eth6(m, ipv6(m.v6(H6), m.v6(G6), icmp6(130, 0, body)));
                 }});
    c.push_back({"MldV2Report", LinkEthernet, [](const Mapper& m) {
                     Bytes body = {0, 0, 0, 2};
                     append(body, {4, 1, 0, 2});
                     putV6(body, m.v6(G6));
                     putV6(body, m.v6(S6));
                     putV6(body, m.v6(R6));
                     put32(body, 0x12345678);
                     append(body, {3, 0, 0, 0});
                     putV6(body, m.v6(v6(0xff0e000000000000ull, 0x101)));
                     return eth6(m, ipv6(m.v6(H6), m.v6(v6(0xff02000000000000ull, 0x16)), icmp6(143, 0, body)));
                 }});
    c.push_back({"NeighbourSolicitationAndAdvertisement", LinkEthernet, [](const Mapper& m) {
                     Bytes body = {0, 0, 0, 0};
                     putV6(body, m.v6(D6));
                     append(body, linkLayerOption(1, m.mac(M2)));
                     return eth6(m,
                                 ipv6(m.v6(S6), m.v6(v6(0xff02000000000000ull, 0x1ff000002ull)), icmp6(135, 0, body)));
                 }});
    c.push_back({"NeighbourAdvertisementWrong", LinkLinuxSll2, [](const Mapper& m) {
                     Bytes body = {0x60, 0, 0, 0};
                     putV6(body, m.v6(D6));
                     append(body, linkLayerOption(2, m.mac(M1)));
                     Packet ip = ipv6(m.v6(D6), m.v6(S6), icmp6(136, 0, body, {}, 4242));
                     Bytes h = {0x86, 0xDD, 0, 0, 0, 0, 0, 3, 0, 1, 4, 6};
                     putMac(h, m.mac(M1));
                     append(h, {0, 0});
                     return withHeader(h, ip);
                 }});
    c.push_back({"RouterAdvertisementOptions", LinkEthernet, [](const Mapper& m) {
                     Bytes body = {64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
                     append(body, linkLayerOption(1, m.mac(M2)));
                     append(body, {5, 1, 0, 0, 0, 0, 0x05, 0xDC});
                     append(body, prefixOption(m.prefix(P6, 64), 64));
                     append(body, prefixOption(m.prefix(R6, 37), 37));
                     append(body, routeOption(m.prefix(P6, 48), 48, 8));
                     append(body, routeOption(m.prefix(R6, 0), 0, 0));
                     append(body, routeOption(m.prefix(S6, 100), 100, 16));
                     append(body, rdnssOption({m.v6(D6), m.v6(R6)}));
                     return eth6(m, ipv6(m.v6(H6), m.v6(v6(0xff02000000000000ull, 1)), icmp6(134, 0, body)));
                 }});
    c.push_back({"RedirectWithRedirectedHeader", LinkEthernet,
                 [](const Mapper& m) {
                     Bytes body = {0, 0, 0, 0};
                     putV6(body, m.v6(R6));
                     putV6(body, m.v6(D6));
                     append(body, linkLayerOption(2, m.mac(M1)));
                     Packet offending = ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload));
                     Packet q = quoted(offending, 56);  // whole 8-byte units
                     Bytes option = {4, static_cast<std::uint8_t>(1 + q.bytes.size() / 8), 0, 0, 0, 0, 0, 0};
                     std::size_t headers = 4 + body.size() + 8 + q.headers;
                     append(body, option);
                     append(body, q.bytes);
                     // After the quote: cut away, but mapped when kept.
                     append(body, linkLayerOption(2, m.mac(M2)));
                     return eth6(m, ipv6(m.v6(H6), m.v6(S6), icmp6(137, 0, body, {}, 0, headers)));
                 },
                 true});
    c.push_back({"ArpRequestToBroadcast", LinkEthernet, [](const Mapper& m) {
                     Bytes arp = {0, 1, 8, 0, 6, 4, 0, 1};
                     putMac(arp, m.mac(M1));
                     put32(arp, m.v4(B));
                     putMac(arp, m.mac(0));
                     put32(arp, m.v4(C));
                     Packet frame = ethernet(m.mac(Bcast), m.mac(M1), 0x0806, Packet{arp, arp.size()});
                     append(frame.bytes, Bytes(18, 0));
                     return frame;
                 }});
    c.push_back({"Rarp", LinkEthernet, [](const Mapper& m) {
                     Bytes arp = {0, 1, 8, 0, 6, 4, 0, 3};
                     putMac(arp, m.mac(M2));
                     put32(arp, m.v4(0));
                     putMac(arp, m.mac(M2));
                     put32(arp, m.v4(0));
                     return ethernet(m.mac(Bcast), m.mac(M2), 0x8035, Packet{arp, arp.size()});
                 }});
    c.push_back({"LinuxCookedV1", LinkLinuxSll, [](const Mapper& m) {
                     Bytes h = {0, 4, 0, 1, 0, 6};
                     putMac(h, m.mac(M2));
                     append(h, {0, 0, 0x08, 0x00});
                     return withHeader(h, ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload)));
                 }});
    c.push_back({"LinuxCookedV1GreTunnelAddress", LinkLinuxSll, [](const Mapper& m) {
                     Bytes h = {0, 0, 0x03, 0x0A, 0, 4};
                     put32(h, m.v4(D));
                     append(h, {0, 0, 0, 0, 0x86, 0xDD});
                     return withHeader(h, ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload)));
                 }});
    c.push_back({"NullLittleEndianIpv4", LinkNull, [](const Mapper& m) {
                     return withHeader({2, 0, 0, 0}, ipv4(m.v4(E), m.v4(E), udp(1, 2, Payload)));
                 }});
    c.push_back({"NullBigEndianIpv6", LinkNull, [](const Mapper& m) {
                     return withHeader({0, 0, 0, 30}, ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, {}, Payload)));
                 }});
    c.push_back({"LoopIpv6", LinkLoop, [](const Mapper& m) {
                     return withHeader({0, 0, 0, 24}, ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload)));
                 }});
    for (std::uint32_t link : {LinkRaw, LinkRawAlt12, LinkRawAlt14, LinkIpv4})
        c.push_back({"RawIpv4Link" + std::to_string(link), link,
                     [](const Mapper& m) { return ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload)); }});
    c.push_back({"RawIpv6", LinkRaw, [](const Mapper& m) { return ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload)); }});
    // Transports walked no further than their checksum, which covers the pseudo-header's addresses.
    auto dccp = [](unsigned coverage) {
        Bytes b;
        put16(b, 5001);
        put16(b, 5002);
        append(b, {4, static_cast<std::uint8_t>(coverage), 0, 0, 0x05, 0, 0, 0, 0, 1, 2, 3});  // Data, X=1
        append(b, Payload);
        return pseudoChecksummed(33, b, 6, 8, coverage ? 16 + 4 * (coverage - 1) : 0);
    };
    auto udpLite = [](unsigned coverage) {
        Bytes b;
        put16(b, 7000);
        put16(b, 7001);
        put16(b, coverage);
        put16(b, 0);
        append(b, Payload);
        return pseudoChecksummed(136, b, 6, 8, coverage, true);
    };
    // VRRPv3 advertisement: version 3, type 1, VRID, priority, no addresses, interval.
    const Upper vrrp = pseudoChecksummed(112, {0x31, 7, 100, 0, 0, 100, 0, 0}, 6, 8);
    c.push_back({"DccpOverIpv4", LinkEthernet,
                 [=](const Mapper& m) { return eth4(m, ipv4(m.v4(A), m.v4(B), dccp(0))); }});
    c.push_back({"DccpPartialCoverageOverIpv6", LinkIpv6,
                 [=](const Mapper& m) { return ipv6(m.v6(S6), m.v6(D6), dccp(2)); }});
    c.push_back({"UdpLiteOverIpv4", LinkRaw, [=](const Mapper& m) { return ipv4(m.v4(C), m.v4(D), udpLite(0)); }});
    c.push_back({"UdpLitePartialCoverageOverIpv6", LinkEthernet,
                 [=](const Mapper& m) { return eth6(m, ipv6(m.v6(S6), m.v6(D6), udpLite(8))); }});
    c.push_back({"Vrrpv3OverIpv4", LinkEthernet,
                 [=](const Mapper& m) { return eth4(m, ipv4(m.v4(B), m.v4(0xE0000012), vrrp)); }});
    c.push_back({"Vrrpv3OverIpv6", LinkEthernet, [=](const Mapper& m) {
                     return eth6(m, ipv6(m.v6(H6), m.v6(v6(0xff02000000000000ull, 0x12)), vrrp));
                 }});
    c.push_back({"PimHelloOverIpv6", LinkEthernet, [](const Mapper& m) {
                     Upper hello = pseudoChecksummed(103, {0x20, 0, 0, 0, 0, 1, 0, 2, 0, 105}, 2, 4);
                     return eth6(m, ipv6(m.v6(H6), m.v6(v6(0xff02000000000000ull, 0xd)), hello));
                 }});
    c.push_back({"MobilityBindingUpdateFromHome", LinkEthernet, [](const Mapper& m) {
                     // Sequence, flags, lifetime, then PadN to whole 8 bytes; the home address is the pseudo-header's.
                     Upper update =
                         pseudoChecksummed(135, {59, 1, 5, 0, 0, 0, 0, 9, 0x80, 0, 0, 100, 1, 2, 0, 0}, 4, 6);
                     Ipv6Options o;
                     o.extensions = {optionsHeader(60, homeAddressOption(m.v6(H6)))};
                     o.pseudoSrc = m.v6(H6);
                     return eth6(m, ipv6(m.v6(S6), m.v6(D6), update, o));
                 }});
    // IP whose version is not the one its label names: the version decides.
    auto v6Udp = [](const Mapper& m) {
        return ipv6(m.v6(S6), m.v6(v6(0x262000fe00000000ull, 9)), udp(5353, 53, Payload));  // 2620:fe::9
    };
    c.push_back({"Ipv6UnderIpv4LinkType", LinkIpv4, v6Udp});
    c.push_back({"Ipv6UnderIpv4Ethertype", LinkEthernet,
                 [=](const Mapper& m) { return ethernet(m.mac(M1), m.mac(M2), 0x0800, v6Udp(m)); }});
    c.push_back({"Ipv4UnderIpv6Ethertype", LinkEthernet, [](const Mapper& m) {
                     return ethernet(m.mac(M1), m.mac(M2), 0x86DD, ipv4(m.v4(A), m.v4(B), tcp(1, 2, {}, Payload)));
                 }});
    c.push_back({"Ipv6InIpv4ProtocolFour", LinkRaw,
                 [=](const Mapper& m) { return ipv4(m.v4(A), m.v4(B), carried(4, v6Udp(m))); }});
    c.push_back({"GreIpv4TypeCarryingIpv6", LinkEthernet,
                 [=](const Mapper& m) { return eth4(m, ipv4(m.v4(A), m.v4(B), gre(0x0800, v6Udp(m), true, false))); }});
    c.push_back({"PppoeIpv4ProtocolCarryingIpv6", LinkEthernet, [=](const Mapper& m) {
                     Packet ip = v6Udp(m);
                     Bytes h = {0x11, 0, 0x12, 0x34};
                     put16(h, static_cast<unsigned>(ip.bytes.size() + 2));
                     put16(h, 0x0021);
                     return ethernet(m.mac(M1), m.mac(M2), 0x8864, withHeader(h, ip));
                 }});
    c.push_back({"NullIpv4FamilyCarryingIpv6", LinkNull,
                 [=](const Mapper& m) { return withHeader({2, 0, 0, 0}, v6Udp(m)); }});
    // Linux cooked capture and GRE take the ethertypes Ethernet takes.
    c.push_back({"LinuxCookedPppoe", LinkLinuxSll, [](const Mapper& m) {
                     Packet ip = ipv4(m.v4(A), m.v4(B), udp(1, 2, Payload));
                     Bytes pppoe = {0x11, 0, 0x12, 0x34};
                     put16(pppoe, static_cast<unsigned>(ip.bytes.size() + 2));
                     put16(pppoe, 0x0021);
                     Bytes h = {0, 0, 0, 1, 0, 6};
                     putMac(h, m.mac(M1));
                     append(h, {0, 0, 0x88, 0x64});
                     return withHeader(h, withHeader(pppoe, ip));
                 }});
    c.push_back({"GreMpls", LinkEthernet, [](const Mapper& m) {
                     Packet inner = mpls(2, ipv4(m.v4(C), m.v4(D), tcp(1, 2, {}, Payload)));
                     return eth4(m, ipv4(m.v4(A), m.v4(B), gre(0x8847, inner, false, false)));
                 }});
    // Link addresses of other lengths than a MAC's.
    c.push_back({"LinuxCookedEui64", LinkLinuxSll, [](const Mapper& m) {
                     Bytes h = {0, 0, 0x03, 0x21, 0, 8};  // ARPHRD_IEEE802154
                     put32(h, static_cast<std::uint32_t>(m.link(0x0211223344556677ull, 8) >> 32));
                     put32(h, static_cast<std::uint32_t>(m.link(0x0211223344556677ull, 8)));
                     append(h, {0x86, 0xDD});
                     return withHeader(h, ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload)));
                 }});
    c.push_back({"LinuxCookedV2ShortAddress", LinkLinuxSll2, [](const Mapper& m) {
                     Bytes h = {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0x01, 0x18, 0, 3};  // ARPHRD_CAN, 3 bytes
                     std::uint64_t a = m.link(0xABCDEF, 3);
                     append(h, {static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                                static_cast<std::uint8_t>(a), 0, 0, 0, 0, 0});
                     return withHeader(h, ipv4(m.v4(A), m.v4(B), udp(1, 2, Payload)));
                 }});
    c.push_back({"LinuxCookedIpv6TunnelPeer", LinkLinuxSll, [](const Mapper& m) {
                     Bytes h = {0, 0, 0x03, 0x01, 0, 16};  // ARPHRD_TUNNEL6: the peer's first 8 bytes
                     Ipv6Address peer = m.prefix(R6, 64);
                     h.insert(h.end(), peer.bytes, peer.bytes + 8);
                     append(h, {0x86, 0xDD});
                     return withHeader(h, ipv6(m.v6(S6), m.v6(D6), udp(1, 2, Payload)));
                 }});
    c.push_back({"MultipathTcpAddAddress", LinkIpv4, [](const Mapper& m) {
                     Bytes options = {30, 8, 0x31, 7};
                     append(options, v4Bytes(m.v4(D)));
                     return ipv4(m.v4(A), m.v4(B), tcp(1, 2, options, Payload));
                 }});
    c.push_back({"MultipathTcpAddAddress6", LinkIpv6, [](const Mapper& m) {
                     Bytes options = {30, 20, 0x31, 8};
                     putV6(options, m.v6(R6));
                     return ipv6(m.v6(S6), m.v6(D6), tcp(1, 2, options, Payload));
                 }});
    c.push_back({"AuthenticationHeaderThenEsp", LinkIpv6, [](const Mapper& m) {
                     Ipv6Options o;
                     Extension ah{51, {0, 4, 0, 0, 1, 2, 3, 4, 0, 0, 0, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}};
                     o.extensions = {ah};
                     Upper esp = carried(50, Packet{{0, 0, 1, 0, 0, 0, 0, 1, 0xEE, 0xEE, 0xEE}, 8});
                     return ipv6(m.v6(S6), m.v6(D6), esp, o);
                 }});
    return c;
}

struct Mappings {
    PrefixAnonymizer ip{Key};
    MacPermutation macs{Key};
    Mapper identity;
    Mapper image(bool keepMac, bool padded = false) const {
        Mapper m{&ip, keepMac ? nullptr : &macs};
        m.padded = padded;
        return m;
    }
};

// One frame through a rewriter of its own; returns the bytes to write.
// One rewriter per policy for the whole test run: a rewriter's window is
// several megabytes, and the property tests rewrite frames by the hundred
// thousand (under the sanitizers each new window costs milliseconds). A
// rewriter keeps nothing from one call to the next but its counts.
inline FrameRewriter& rewriterFor(Policy policy) {
    thread_local std::unique_ptr<FrameRewriter> rewriters[2][2][2];
    auto& slot = rewriters[policy.keepPayload][policy.keepMac][policy.direction == Direction::Reveal];
    if (!slot) slot = std::make_unique<FrameRewriter>(Key, policy);
    return *slot;
}

inline Bytes rewritten(Bytes bytes, std::uint32_t linkType, Policy policy, std::uint32_t* captured = nullptr) {
    FrameRewriter& rewriter = rewriterFor(policy);
    Frame frame{bytes.data(), static_cast<std::uint32_t>(bytes.size()), linkType};
    rewriter.rewrite(&frame, 1);
    bytes.resize(frame.captured);
    if (captured) *captured = frame.captured;
    return bytes;
}

}  // namespace ipveil::packet::test
