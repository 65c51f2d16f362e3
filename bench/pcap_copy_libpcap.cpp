// The libpcap peer of ipveil-pcap's benchmark: the loop a tool built on
// libpcap runs to copy a capture, pcap_open_offline, pcap_next_ex and
// pcap_dump, with no rewriting at all.
//
//   pcap_copy_libpcap IN OUT
#include <pcap/pcap.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pcap_copy_libpcap IN OUT\n");
        return 2;
    }
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(argv[1], error);
    if (in == nullptr) {
        std::fprintf(stderr, "%s\n", error);
        return 1;
    }
    pcap_dumper_t* out = pcap_dump_open(in, argv[2]);
    if (out == nullptr) {
        std::fprintf(stderr, "%s\n", pcap_geterr(in));
        return 1;
    }
    pcap_pkthdr* header;
    const u_char* data;
    int got;
    while ((got = pcap_next_ex(in, &header, &data)) == 1) pcap_dump(reinterpret_cast<u_char*>(out), header, data);
    pcap_dump_close(out);
    pcap_close(in);
    return got == PCAP_ERROR_BREAK ? 0 : 1;
}
