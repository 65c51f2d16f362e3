#include "record_loop.h"

namespace ipveil::cmd {

namespace {

// A batch whose addresses are being mapped one at a time while the next
// batch is parsed.
struct PendingBatch {
    const PrefixAnonymizer* anonymizer;
    Mapping mapping;
    trace::RecordBatch* batch;
    std::size_t next4;
    std::size_t next6;

    void mapAddresses(std::size_t count4, std::size_t count6) noexcept {
        std::uint32_t* v4 = batch->packet_addr + next4;
        Ipv6Address* v6 = batch->packet_addr6 + next6;
        if (mapping == Mapping::Anonymize) {
            anonymizer->anonymize(v4, count4, v4);
            anonymizer->anonymize(v6, count6, v6);
        } else {
            anonymizer->deanonymize(v4, count4, v4);
            anonymizer->deanonymize(v6, count6, v6);
        }
        next4 += count4;
        next6 += count6;
    }

    // One address per record parsed: IPv4 ones first, then IPv6.
    static void step(void* context) noexcept {
        auto& pending = *static_cast<PendingBatch*>(context);
        if (pending.next4 < pending.batch->count4) {
            pending.mapAddresses(1, 0);
        } else if (pending.next6 < pending.batch->count6) {
            pending.mapAddresses(0, 1);
        }
    }

    // Whatever parsing did not cover, in one call per family.
    void finish() noexcept { mapAddresses(batch->count4 - next4, batch->count6 - next6); }
};

}  // namespace

// Two batches take turns: while one is parsed, the addresses of the other
// are mapped a record at a time; then it is finished and written. Every
// record read is written before reading is found to have stopped.
LoopOutcome runRecordLoop(trace::TraceReader& reader, trace::RecordWriter& writer, const PrefixAnonymizer& anonymizer,
                          Mapping mapping) noexcept {
    trace::RecordBatch batches[2];
    int current = 0;
    trace::ReadResult result = reader.read(batches[current]);
    for (;;) {
        PendingBatch pending{&anonymizer, mapping, &batches[current], 0, 0};
        trace::ReadResult next = result;
        if (result == trace::ReadResult::Record) {
            next = reader.read(batches[1 - current], {PendingBatch::step, &pending});
        }
        pending.finish();
        if (!writer.write(batches[current])) return {next, true};
        if (result != trace::ReadResult::Record) {
            // Everything read so far goes out before any complaint about what follows.
            return {result, !writer.flush()};
        }
        current = 1 - current;
        result = next;
    }
}

}  // namespace ipveil::cmd
