// ipveil: anonymizes the addresses of a raw text trace.
//
//   ipveil raw-trace-file
//
// Reads records of time, size and IPv4 or IPv6 address, replaces each
// address by its image under the prefix-preserving permutation keyed with
// the key built in at compile time, and writes "%6f\t%u\t%u.%u.%u.%u\n" per
// IPv4 record (the time, the size and the RFC 5952 text per IPv6 record) to
// standard output, in input order. Statuses and messages: command.h.
#include "command.h"

int main(int argc, char** argv) {
    return ipveil::cmd::runCommand(argc, argv, "ipveil", "raw-trace-file", ipveil::cmd::Mapping::Anonymize);
}
