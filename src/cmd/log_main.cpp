// ipveil-log: anonymizes the addresses of a log (Zeek, CSV, TSV, JSON lines,
// free text, or one address a line) in place, every other byte as it was.
//
//   ipveil-log [OPTION]... INPUT OUTPUT
//
// Options, statuses and messages: log_command.cpp and man/ipveil-log.1.
#include "log_command.h"

int main(int argc, char** argv) { return ipveil::cmd::runLogCommand(argc, argv); }
