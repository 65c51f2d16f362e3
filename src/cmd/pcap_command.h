// The body of the ipveil-pcap command: its options, its files, its messages,
// its summary and its exit statuses.
#pragma once

#include "command_keys.h"

namespace ipveil::cmd {

// Exit statuses of ipveil-pcap (the man page lists their messages).
enum PcapStatus : int {
    PcapOk = StatusOk,
    PcapUsage = StatusUsage,            // wrong options or operands, or the output is the input
    PcapCannotOpen = StatusCannotOpen,  // "Cannot open file PATH" (input or output)
    PcapCorrupt = 253,                  // "Corrupt capture at packet N"
    PcapReadError = StatusReadError,    // "Cannot read file PATH"
    PcapWriteError = StatusWriteError,  // "Cannot write output"
    PcapNotCapture = 250,               // "Not a capture: PATH"
    PcapBadPolicy = StatusBadPolicy,    // "Bad policy in PATH, line N: ...", or a truncating policy to reveal with
    PcapBadKey = StatusBadKey,          // a key file refused: not a file, open to others, not 64 hexadecimal digits
};

// Runs ipveil-pcap with its command line and returns the exit status.
int runPcapCommand(int argc, char** argv);

}  // namespace ipveil::cmd
