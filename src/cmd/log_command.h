// The body of the ipveil-log command: its options, its files, its messages,
// its summary and its exit statuses.
#pragma once

#include "command_keys.h"

namespace ipveil::cmd {

// Exit statuses of ipveil-log (the man page lists their messages); those it
// shares with ipveil-pcap have the same numbers.
enum LogStatus : int {
    LogOk = StatusOk,
    LogUsage = StatusUsage,            // wrong options or operands, or the output is the input
    LogCannotOpen = StatusCannotOpen,  // "Cannot open file PATH"
    LogMalformed = 253,                // "PATH, line N: REASON": a log it cannot read on (see the man page)
    LogReadError = StatusReadError,    // "Cannot read file PATH"
    LogWriteError = StatusWriteError,  // "Cannot write output"
    LogBadPolicy = StatusBadPolicy,    // a policy refused
    LogBadKey = StatusBadKey,          // a key file refused
};

// Runs ipveil-log with its command line and returns the exit status.
int runLogCommand(int argc, char** argv);

}  // namespace ipveil::cmd
