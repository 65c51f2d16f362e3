// ipveil: anonymizes the IPv4 addresses of a raw text trace.
//
//   ipveil raw-trace-file
//
// Reads records of time, size and dotted-quad address, replaces each address
// by its image under the prefix-preserving permutation keyed with the key
// built in at compile time, and writes "%6f\t%u\t%u.%u.%u.%u\n" per record to
// standard output, in input order.
//
// Exit statuses: 0 when the whole trace was written; -1 wrong argument count;
// -2 trace cannot be opened; -3 malformed record (every record before it has
// been written); -4 trace cannot be read; -5 output cannot be written.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ipveil_key.h"
#include "prefix_anonymizer.h"
#include "record_writer.h"
#include "trace_reader.h"

int main(int argc, char** argv) {
    std::uint8_t my_key[32];
    std::memcpy(my_key, ipveil::BuiltInKey, sizeof my_key);
    // Built before the argument is looked at, as on every run.
    const ipveil::PrefixAnonymizer my_anonymizer(my_key);

    if (argc != 2) {
        std::fputs("usage: ipveil raw-trace-file\n", stderr);
        return -1;
    }
    std::FILE* input = std::fopen(argv[1], "r");
    if (input == nullptr) {
        std::fprintf(stderr, "Cannot open file %s\n", argv[1]);
        return -2;
    }

    // The reader and writer move large blocks through buffers of their own,
    // so stdio's buffers would only add a copy (and an allocation).
    std::setvbuf(input, nullptr, _IONBF, 0);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    // The buffers are large, so they live in static storage, not on the stack.
    static ipveil::trace::TraceReader reader(input);
    static ipveil::trace::RecordWriter writer(stdout);
    ipveil::trace::TraceRecord record;
    ipveil::trace::ReadResult result;
    while ((result = reader.next(record)) == ipveil::trace::ReadResult::Record) {
        // Components above 255 carry into their neighbours, modulo 2^32.
        const std::uint32_t raw_addr = (record.packet_addr[0] << 24) + (record.packet_addr[1] << 16) +
                                       (record.packet_addr[2] << 8) + record.packet_addr[3];
        const std::uint32_t anonymized_addr = my_anonymizer.anonymize(raw_addr);
        if (!writer.write(record.packet_time, record.packet_size, anonymized_addr)) {
            std::fputs("Cannot write output\n", stderr);
            return -5;
        }
    }

    // Everything read so far goes out before any complaint about what follows.
    if (!writer.flush()) {
        std::fputs("Cannot write output\n", stderr);
        return -5;
    }
    switch (result) {
        case ipveil::trace::ReadResult::Malformed:
            std::fprintf(stderr, "Malformed record at line %llu\n",
                         static_cast<unsigned long long>(reader.recordLine()));
            return -3;
        case ipveil::trace::ReadResult::ReadError:
            std::fprintf(stderr, "Cannot read file %s\n", argv[1]);
            return -4;
        default:
            return 0;
    }
}
