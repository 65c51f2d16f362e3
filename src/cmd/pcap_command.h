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
};

// Runs ipveil-pcap with its command line and returns the exit status.
int runPcapCommand(int argc, char** argv);

}  // namespace ipveil::cmd
