// Synthetic captures for the capture benchmarks: a classic pcap file of
// Ethernet frames with right IPv4 header, TCP and UDP checksums, addresses
// uniformly random, 80 % IPv4 TCP, 10 % IPv4 UDP, 10 % IPv6 TCP, frame sizes
// 64 to 1514 bytes, times a few microseconds apart.
//
//   gen_capture BYTES SNAPLEN SEED > capture.pcap
//
// Packets are added until the file holds about BYTES bytes; a snap length
// below the frame size cuts every frame there, as tcpdump -s does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

void put16(std::uint8_t* p, unsigned v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

std::uint32_t sum16(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    return sum;
}

unsigned fold(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return ~sum & 0xffff;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: gen_capture BYTES SNAPLEN SEED\n");
        return 2;
    }
    const unsigned long long target = std::strtoull(argv[1], nullptr, 10);
    const auto snaplen = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    std::mt19937_64 rng(std::strtoull(argv[3], nullptr, 10));

    // The host's byte order, as tcpdump writes it.
    const std::uint32_t header[6] = {0xa1b2c3d4, 0x00040002, 0, 0, snaplen, 1};
    std::fwrite(header, sizeof header, 1, stdout);
    unsigned long long written = sizeof header;
    std::vector<std::uint8_t> frame(1514);
    std::uint64_t micros = 1700000000ull * 1000000;
    while (written < target) {
        const unsigned kind = static_cast<unsigned>(rng() % 10);
        const bool v6 = kind == 9;
        const bool udp = kind == 8;
        const std::size_t size = 64 + rng() % (1514 - 64 + 1);
        std::uint8_t* f = frame.data();
        for (std::size_t i = 0; i < size; ++i) f[i] = static_cast<std::uint8_t>(rng());
        f[0] &= 0xfe;  // unicast destination
        f[6] &= 0xfe;
        put16(f + 12, v6 ? 0x86dd : 0x0800);
        std::uint8_t* ip = f + 14;
        const std::size_t ipLength = size - 14;
        std::uint8_t* l4;
        std::uint32_t pseudo;
        if (v6) {
            ip[0] = 0x60;
            put16(ip + 4, static_cast<unsigned>(ipLength - 40));
            ip[6] = 6;
            ip[7] = 64;
            l4 = ip + 40;
            pseudo = sum16(ip + 8, 32) + 6 + static_cast<std::uint32_t>(ipLength - 40);
        } else {
            ip[0] = 0x45;
            ip[1] = 0;
            put16(ip + 2, static_cast<unsigned>(ipLength));
            ip[6] = 0x40;  // don't fragment
            ip[7] = 0;
            ip[8] = 64;
            ip[9] = udp ? 17 : 6;
            put16(ip + 10, 0);
            put16(ip + 10, fold(sum16(ip, 20)));
            l4 = ip + 20;
            pseudo = sum16(ip + 12, 8) + ip[9] + static_cast<std::uint32_t>(ipLength - 20);
        }
        const std::size_t l4Length = static_cast<std::size_t>(f + size - l4);
        if (udp) {
            put16(l4 + 4, static_cast<unsigned>(l4Length));
            put16(l4 + 6, 0);
            unsigned sum = fold(sum16(l4, l4Length, pseudo));
            put16(l4 + 6, sum == 0 ? 0xffff : sum);
        } else {
            l4[12] = 0x50;  // data offset 5, no options
            put16(l4 + 16, 0);
            put16(l4 + 16, fold(sum16(l4, l4Length, pseudo)));
        }
        micros += 1 + rng() % 20;
        const auto captured = static_cast<std::uint32_t>(size < snaplen ? size : snaplen);
        const std::uint32_t record[4] = {static_cast<std::uint32_t>(micros / 1000000),
                                         static_cast<std::uint32_t>(micros % 1000000), captured,
                                         static_cast<std::uint32_t>(size)};
        std::fwrite(record, sizeof record, 1, stdout);
        std::fwrite(f, 1, captured, stdout);
        written += sizeof record + captured;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
