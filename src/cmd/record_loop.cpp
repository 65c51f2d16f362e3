#include "record_loop.h"

namespace ipveil::cmd {

LoopOutcome runRecordLoop(trace::TraceReader& reader, trace::RecordWriter& writer, const PrefixAnonymizer& anonymizer,
                          Mapping mapping) noexcept {
    trace::RecordBatch batch;
    for (;;) {
        const trace::ReadResult result = reader.read(batch);
        if (mapping == Mapping::Anonymize) {
            anonymizer.anonymize(batch.packet_addr, batch.count4, batch.packet_addr);
            anonymizer.anonymize(batch.packet_addr6, batch.count6, batch.packet_addr6);
        } else {
            anonymizer.deanonymize(batch.packet_addr, batch.count4, batch.packet_addr);
            anonymizer.deanonymize(batch.packet_addr6, batch.count6, batch.packet_addr6);
        }
        if (!writer.write(batch)) return {result, true};
        if (result != trace::ReadResult::Record) {
            // Everything read so far goes out before any complaint about what follows.
            return {result, !writer.flush()};
        }
    }
}

}  // namespace ipveil::cmd
