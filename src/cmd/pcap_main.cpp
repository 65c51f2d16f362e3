// ipveil-pcap: anonymizes the addresses of a pcap or pcapng capture into a
// capture of the same format.
//
//   ipveil-pcap [--keep-payload] [--keep-mac] [--reveal] INPUT OUTPUT
//
// Options, statuses and messages: pcap_command.cpp and man/ipveil-pcap.1.
#include "pcap_command.h"

int main(int argc, char** argv) { return ipveil::cmd::runPcapCommand(argc, argv); }
