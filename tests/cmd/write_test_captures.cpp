// Writes the packet room's test frames as captures, for the tests that run
// ipveil-pcap on them and read the results with tshark:
//   DIR/link-N.pcap  every frame of link type N, microsecond pcap in the
//                    machine's byte order (Ethernet: nanosecond, swapped);
//   DIR/all.pcapng   every frame, one interface per link type (time
//                    resolutions differ), each frame also cut to 54 bytes;
//   DIR/fcs.pcap     every Ethernet frame with its FCS, right and then
//                    wrong, the FCS length in the file header's link type;
//   DIR/simple.pcapng, DIR/simple-fcs.pcapng
//                    every Ethernet frame as a simple packet block (without,
//                    then with an FCS, right and wrong) and as an enhanced
//                    packet block with an FCS (if_fcslen), right and wrong.
// or, as `write_test_captures DIR cuts` (for the capture fuzzer's seeds: their
// checksums and dissections are not the tshark check's to judge):
//   DIR/cuts.pcap    raw IP frames with an address field cut by a length
//                    field, at every cut.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "field_cuts.h"
#include "frame_cases.h"

namespace {

using ipveil::packet::test::Bytes;

void put32(Bytes& out, std::uint32_t v, bool swapped = false) {
    if (swapped) v = __builtin_bswap32(v);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + 4);
}
void put16(Bytes& out, std::uint16_t v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + 2);
}

// Ethernet's CRC-32, bit by bit: the FCS as it is sent, low byte first. A
// wrong one differs in one bit.
Bytes withFcs(Bytes frame, bool right) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    crc = ~crc ^ (right ? 0 : 0x100);
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return frame;
}

void putBlock(Bytes& file, std::uint32_t type, const Bytes& body) {
    put32(file, type);
    put32(file, static_cast<std::uint32_t>(12 + body.size()));
    file.insert(file.end(), body.begin(), body.end());
    put32(file, static_cast<std::uint32_t>(12 + body.size()));
}

Bytes padded(Bytes bytes) {
    bytes.resize((bytes.size() + 3) & ~std::size_t{3}, 0);
    return bytes;
}

// A section of two Ethernet interfaces: 0 with simple packet blocks (with an
// FCS when `simpleFcs`), 1 with enhanced packet blocks and an FCS.
Bytes simpleCapture(const std::vector<Bytes>& frames, bool simpleFcs) {
    Bytes file;
    Bytes section;
    put32(section, 0x1A2B3C4D);
    put16(section, 1);
    put16(section, 0);
    put32(section, 0xffffffff);
    put32(section, 0xffffffff);
    putBlock(file, 0x0A0D0D0A, section);
    for (const bool fcs : {simpleFcs, true}) {
        Bytes interface;
        put16(interface, 1);
        put16(interface, 0);
        put32(interface, 0);
        if (fcs) {
            put16(interface, 13);  // if_fcslen: 4
            put16(interface, 1);
            interface.insert(interface.end(), {4, 0, 0, 0});
            put32(interface, 0);
        }
        putBlock(file, 1, interface);
    }
    std::uint32_t when = 1;
    for (const Bytes& frame : frames) {
        for (const bool right : {true, false}) {
            const Bytes simple = simpleFcs ? withFcs(frame, right) : frame;
            Bytes body;
            put32(body, static_cast<std::uint32_t>(simple.size()));
            const Bytes data = padded(simple);
            body.insert(body.end(), data.begin(), data.end());
            putBlock(file, 3, body);

            const Bytes enhanced = withFcs(frame, right);
            body.clear();
            put32(body, 1);
            put32(body, 0);
            put32(body, when++);
            put32(body, static_cast<std::uint32_t>(enhanced.size()));
            put32(body, static_cast<std::uint32_t>(enhanced.size()));
            const Bytes enhancedData = padded(enhanced);
            body.insert(body.end(), enhancedData.begin(), enhancedData.end());
            putBlock(file, 6, body);
            if (!simpleFcs) break;  // without an FCS there is no wrong one
        }
    }
    return file;
}

bool save(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 3 && std::string(argv[2]) == "cuts")) {
        std::fprintf(stderr, "usage: write_test_captures DIR [cuts]\n");
        return 2;
    }
    const std::string dir = argv[1];
    ipveil::packet::test::Mappings mappings;
    const auto cases = ipveil::packet::test::cases();

    if (argc == 3) {
        Bytes file;
        for (std::uint32_t v : {0xa1b2c3d4u, 0x00040002u, 0u, 0u, 65535u, ipveil::packet::LinkRaw}) put32(file, v);
        std::uint32_t second = 1700000000;
        for (const auto& f : ipveil::packet::test::fieldCuts()) {
            for (const std::size_t keep : f.keeps) {
                const Bytes frame = f.build(mappings.identity, keep).bytes;
                for (std::uint32_t v : {second++, 0u, static_cast<std::uint32_t>(frame.size()),
                                        static_cast<std::uint32_t>(frame.size())})
                    put32(file, v);
                file.insert(file.end(), frame.begin(), frame.end());
            }
        }
        return save(dir + "/cuts.pcap", file) ? 0 : 1;
    }

    std::map<std::uint32_t, std::vector<Bytes>> byLink;
    for (const auto& c : cases) byLink[c.linkType].push_back(c.build(mappings.identity).bytes);

    std::uint32_t second = 1700000000;
    for (const auto& [link, frames] : byLink) {
        const bool swapped = link == ipveil::packet::LinkEthernet;
        Bytes file;
        put32(file, swapped ? 0xa1b23c4d : 0xa1b2c3d4, swapped);
        // Version 2.4: two 16-bit fields in the file's byte order.
        put32(file, swapped ? 0x00020004 : 0x00040002, swapped);
        put32(file, 0, swapped);
        put32(file, 0, swapped);
        put32(file, 65535, swapped);
        put32(file, link, swapped);
        std::uint32_t fraction = 1;
        for (const Bytes& frame : frames) {
            put32(file, second++, swapped);
            put32(file, fraction++, swapped);
            put32(file, static_cast<std::uint32_t>(frame.size()), swapped);
            put32(file, static_cast<std::uint32_t>(frame.size()), swapped);
            file.insert(file.end(), frame.begin(), frame.end());
        }
        if (!save(dir + "/link-" + std::to_string(link) + ".pcap", file)) return 1;
    }

    // pcapng: a section header, one interface per link type, then every frame
    // whole and cut to 54 bytes, interfaces taking turns.
    Bytes file;
    put32(file, 0x0A0D0D0A);
    put32(file, 28);
    put32(file, 0x1A2B3C4D);
    put16(file, 1);
    put16(file, 0);
    put32(file, 0xffffffff);
    put32(file, 0xffffffff);
    put32(file, 28);
    std::map<std::uint32_t, std::uint32_t> interfaceOf;
    for (const auto& entry : byLink) {
        const std::uint32_t link = entry.first;
        const std::uint32_t id = static_cast<std::uint32_t>(interfaceOf.size());
        interfaceOf[link] = id;
        // Odd interfaces in nanoseconds (if_tsresol 9), the others in microseconds.
        const bool nano = id % 2 == 1;
        put32(file, 1);
        put32(file, nano ? 32 : 20);
        put16(file, static_cast<std::uint16_t>(link));
        put16(file, 0);
        put32(file, 0);  // no snap length limit
        if (nano) {
            put16(file, 9);  // if_tsresol
            put16(file, 1);
            file.insert(file.end(), {9, 0, 0, 0});
            put32(file, 0);  // opt_endofopt
        }
        put32(file, nano ? 32 : 20);
    }
    std::uint64_t when = 1700000000000000ull;
    for (const auto& c : cases) {
        const Bytes frame = c.build(mappings.identity).bytes;
        for (const std::size_t keep : {frame.size(), std::min<std::size_t>(frame.size(), 54)}) {
            const std::uint32_t id = interfaceOf[c.linkType];
            const std::uint64_t stamp = id % 2 == 1 ? when * 1000 + 7 : when;
            when += 1000;
            const auto padded = static_cast<std::uint32_t>((keep + 3) & ~std::size_t{3});
            const std::uint32_t total = 32 + padded;
            put32(file, 6);
            put32(file, total);
            put32(file, id);
            put32(file, static_cast<std::uint32_t>(stamp >> 32));
            put32(file, static_cast<std::uint32_t>(stamp));
            put32(file, static_cast<std::uint32_t>(keep));
            put32(file, static_cast<std::uint32_t>(frame.size()));
            file.insert(file.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(keep));
            file.resize(file.size() + (padded - keep), 0);
            put32(file, total);
        }
    }
    if (!save(dir + "/all.pcapng", file)) return 1;

    const std::vector<Bytes>& ethernet = byLink[ipveil::packet::LinkEthernet];
    Bytes fcs;
    put32(fcs, 0xa1b2c3d4);
    put32(fcs, 0x00040002);
    put32(fcs, 0);
    put32(fcs, 0);
    put32(fcs, 65535);
    put32(fcs, ipveil::packet::LinkEthernet | 0x04000000 | 2u << 28);  // FCS known: 2 words of 16 bits
    for (const Bytes& frame : ethernet) {
        for (const bool right : {true, false}) {
            const Bytes data = withFcs(frame, right);
            put32(fcs, second++);
            put32(fcs, 0);
            put32(fcs, static_cast<std::uint32_t>(data.size()));
            put32(fcs, static_cast<std::uint32_t>(data.size()));
            fcs.insert(fcs.end(), data.begin(), data.end());
        }
    }
    if (!save(dir + "/fcs.pcap", fcs)) return 1;
    if (!save(dir + "/simple.pcapng", simpleCapture(ethernet, false))) return 1;
    return save(dir + "/simple-fcs.pcapng", simpleCapture(ethernet, true)) ? 0 : 1;
}
