// The body of the ipveil and ipveil-reveal commands: the argument, the trace,
// the messages and the exit statuses, which the two share.
#pragma once

#include "record_loop.h"

namespace ipveil::cmd {

// Runs a command named `name` whose one argument is described by `operand`
// in its usage message. Returns the exit status: 0 when the whole trace was
// written; -1 wrong argument count; -2 trace cannot be opened; -3 malformed
// record (every record before it has been written); -4 trace cannot be read;
// -5 output cannot be written.
int runCommand(int argc, char** argv, const char* name, const char* operand, Mapping mapping);

}  // namespace ipveil::cmd
