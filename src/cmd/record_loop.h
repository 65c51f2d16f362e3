// The command's record loop: batches of records from the trace reader,
// through the anonymizer in one call per batch, to the record writer.
#pragma once

#include "prefix_anonymizer.h"
#include "record_writer.h"
#include "trace_reader.h"

namespace ipveil::cmd {

// Which way the addresses go: ipveil anonymizes, ipveil-reveal restores.
enum class Mapping { Anonymize, Deanonymize };

struct LoopOutcome {
    trace::ReadResult stop;  // why reading stopped: End, Malformed or ReadError
    bool writeFailed;        // the output could not be written (reading may have stopped early)
};

// Carries every record to the writer, in input order, and flushes it. Every
// record read before a malformed one or a read error has been written when
// this returns, unless the output failed.
LoopOutcome runRecordLoop(trace::TraceReader& reader, trace::RecordWriter& writer, const PrefixAnonymizer& anonymizer,
                          Mapping mapping) noexcept;

}  // namespace ipveil::cmd
