// The body of the ipveil-pcap command: its options, its files, its messages,
// its summary and its exit statuses.
#pragma once

namespace ipveil::cmd {

// Exit statuses of ipveil-pcap (the man page lists their messages).
enum PcapStatus : int {
    PcapOk = 0,
    PcapUsage = 255,       // wrong options or operands, or the output is the input
    PcapCannotOpen = 254,  // "Cannot open file PATH" (input or output)
    PcapCorrupt = 253,     // "Corrupt capture at packet N"
    PcapReadError = 252,   // "Cannot read file PATH"
    PcapWriteError = 251,  // "Cannot write output"
    PcapNotCapture = 250,  // "Not a capture: PATH"
    PcapBadPolicy = 249,   // "Bad policy in PATH, line N: ...", or a truncating policy to reveal with
    PcapBadKey = 248,      // a key file refused: not a file, open to others, not 64 hexadecimal digits
};

// Runs ipveil-pcap with its command line and returns the exit status.
int runPcapCommand(int argc, char** argv);

}  // namespace ipveil::cmd
