// ipveil-reveal: for the holder of the key, the inverse of ipveil.
//
//   ipveil-reveal anonymized-trace-file
//
// Reads a trace in the same format as ipveil (what ipveil writes is such a
// trace), replaces each address by its original under the key built in at
// compile time, and writes the records as ipveil would print them
// unanonymized. Statuses and messages: command.h, as for ipveil.
#include "command.h"

int main(int argc, char** argv) {
    return ipveil::cmd::runCommand(argc, argv, "ipveil-reveal", "anonymized-trace-file",
                                   ipveil::cmd::Mapping::Deanonymize);
}
