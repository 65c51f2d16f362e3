// Where ipveil's time goes per record: parsing (TraceReader against the
// scanf calls of the baseline), formatting (formatRecord and RecordWriter
// against printf), and the whole read-anonymize-write pipeline in memory for
// each AES implementation, on an all-IPv4 trace and, where named _ipv6 or
// _mixed (/ipv6, /mixed), on all-IPv6 and 30 % IPv6 traces of the same
// number of records. The traces are synthetic (trace_gen.h) and read
// through fmemopen, and output goes to /dev/null, so the disk plays no part.
// The reader runs as the command runs it (parse/reader...), and then with
// each other way of scanning its buffer this CPU offers (parse/reader.../PATH).
// Every figure is records per second (items/s).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "aes_cipher.h"
#include "ipveil_key.h"
#include "prefix_anonymizer.h"
#include "record_loop.h"
#include "record_writer.h"
#include "text_scan.h"
#include "trace_gen.h"
#include "trace_reader.h"

namespace {

using ipveil::trace::ReadResult;
using ipveil::trace::TraceReader;
using ipveil::trace::RecordBatch;

struct TraceRecord {
    float packet_time;
    std::uint32_t packet_size;
    std::uint32_t packet_addr;  // packed
};

constexpr std::size_t RecordCount = 100000;

// The traces, by share of IPv6 records: 0, 30 or 100 percent.
std::string generateTrace(unsigned ipv6Percent) {
    ipveil::bench::TraceGenerator generator(7, ipv6Percent);
    std::string all;
    char line[ipveil::bench::TraceGenerator::MaxLineChars];
    for (std::size_t i = 0; i < RecordCount; ++i) all.append(line, static_cast<std::size_t>(generator.nextLine(line)));
    return all;
}

std::string& traceText(unsigned ipv6Percent = 0) {
    static std::string texts[3] = {generateTrace(0), generateTrace(30), generateTrace(100)};
    return texts[ipv6Percent == 0 ? 0 : ipv6Percent == 30 ? 1 : 2];
}

std::FILE* openTrace(unsigned ipv6Percent = 0) {
    std::string& text = traceText(ipv6Percent);
    return fmemopen(text.data(), text.size(), "r");
}

// Every batch of a trace, as the reader hands them over.
const std::vector<RecordBatch>& traceBatches(unsigned ipv6Percent) {
    static std::vector<RecordBatch> all[3];
    std::vector<RecordBatch>& batches = all[ipv6Percent == 0 ? 0 : ipv6Percent == 30 ? 1 : 2];
    if (batches.empty()) {
        std::FILE* input = openTrace(ipv6Percent);
        auto reader = std::unique_ptr<TraceReader>(new TraceReader(input));
        ReadResult result;
        do {
            batches.emplace_back();
            result = reader->read(batches.back());
        } while (result == ReadResult::Record);
        std::fclose(input);
    }
    return batches;
}

// The reader's megabyte buffer belongs on the heap; plain new leaves it
// uninitialised, as static storage would cost nothing either.
std::unique_ptr<TraceReader> makeReader(std::FILE* input) { return std::unique_ptr<TraceReader>(new TraceReader(input)); }

const std::vector<TraceRecord>& parsedRecords() {
    static const std::vector<TraceRecord> records = [] {
        std::vector<TraceRecord> all;
        std::FILE* input = openTrace();
        auto reader = makeReader(input);
        RecordBatch batch;
        ReadResult result;
        do {
            result = reader->read(batch);
            for (std::size_t i = 0; i < batch.count; ++i)  // the synthetic trace is all IPv4
                all.push_back({batch.packet_time[i], batch.packet_size[i], batch.packet_addr[i]});
        } while (result == ReadResult::Record);
        std::fclose(input);
        return all;
    }();
    return records;
}

std::uint32_t packed(const TraceRecord& record) { return record.packet_addr; }

void parseReader(benchmark::State& state, unsigned ipv6Percent, ipveil::trace::ScanPath path) {
    const ipveil::trace::ScanPath original = ipveil::trace::activeScanPath();
    ipveil::trace::selectScanPath(path);
    for (auto _ : state) {
        std::FILE* input = openTrace(ipv6Percent);
        auto reader = makeReader(input);
        RecordBatch batch;
        std::size_t count = 0;
        ReadResult result;
        do {
            result = reader->read(batch);
            benchmark::DoNotOptimize(batch);
            count += batch.count;
        } while (result == ReadResult::Record);
        std::fclose(input);
        if (count != RecordCount) state.SkipWithError("reader lost records");
    }
    ipveil::trace::selectScanPath(original);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * RecordCount));
}

void parseScanf(benchmark::State& state) {
    for (auto _ : state) {
        std::FILE* input = openTrace();
        float time;
        unsigned size, a1, a2, a3, a4;
        while (std::fscanf(input, "%f", &time) == 1 && std::fscanf(input, "%u", &size) == 1 &&
               std::fscanf(input, "%u.%u.%u.%u", &a1, &a2, &a3, &a4) == 4) {
            benchmark::DoNotOptimize(time);
            benchmark::DoNotOptimize(size + a1 + a2 + a3 + a4);
        }
        std::fclose(input);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * RecordCount));
}

void formatRecordOnly(benchmark::State& state) {
    const auto& records = parsedRecords();
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        char* out = buffer.data();
        for (const TraceRecord& record : records) {
            // Wrap well before the end; the lines land in cache-warm memory.
            if (out > buffer.data() + buffer.size() - ipveil::trace::MaxLineChars) out = buffer.data();
            out = ipveil::trace::formatRecord(out, record.packet_time, record.packet_size, packed(record));
        }
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records.size()));
}

void formatTimeOnly(benchmark::State& state) {
    const auto& records = parsedRecords();
    char line[ipveil::trace::MaxLineChars];
    for (auto _ : state) {
        for (const TraceRecord& record : records) {
            benchmark::DoNotOptimize(ipveil::trace::formatTime(line, record.packet_time));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records.size()));
}

std::FILE* devNull() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

void formatWriter(benchmark::State& state) {
    const auto& records = parsedRecords();
    // The records in batches, as the reader hands them over.
    std::vector<RecordBatch> batches((records.size() + RecordBatch::Capacity - 1) / RecordBatch::Capacity);
    for (std::size_t i = 0; i < records.size(); ++i) {
        RecordBatch& batch = batches[i / RecordBatch::Capacity];
        batch.packet_time[batch.count] = records[i].packet_time;
        batch.packet_size[batch.count] = records[i].packet_size;
        batch.is_ipv6[batch.count++] = false;
        batch.packet_addr[batch.count4++] = records[i].packet_addr;
    }
    auto writer = std::make_unique<ipveil::trace::RecordWriter>(devNull());
    for (auto _ : state) {
        for (const RecordBatch& batch : batches) writer->write(batch);
        if (!writer->flush()) state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records.size()));
}

// The writer on the batches of a trace with IPv6 records.
void formatWriterBatches(benchmark::State& state, unsigned ipv6Percent) {
    const auto& batches = traceBatches(ipv6Percent);
    auto writer = std::make_unique<ipveil::trace::RecordWriter>(devNull());
    for (auto _ : state) {
        for (const RecordBatch& batch : batches) writer->write(batch);
        if (!writer->flush()) state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * RecordCount));
}

void formatPrintf(benchmark::State& state) {
    const auto& records = parsedRecords();
    std::FILE* sink = devNull();
    for (auto _ : state) {
        for (const TraceRecord& record : records) {
            const std::uint32_t a = packed(record);
            std::fprintf(sink, "%6f\t%u\t%u.%u.%u.%u\n", static_cast<double>(record.packet_time), record.packet_size,
                         a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
        }
        std::fflush(sink);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records.size()));
}

// The command's record loop without the file system.
void pipeline(benchmark::State& state, ipveil::AesImplementation implementation, unsigned ipv6Percent) {
    if (!ipveil::selectAesImplementation(implementation)) {
        state.SkipWithError("implementation not available");
        return;
    }
    const ipveil::PrefixAnonymizer anonymizer(ipveil::BuiltInKey);
    auto writer = std::make_unique<ipveil::trace::RecordWriter>(devNull());
    for (auto _ : state) {
        std::FILE* input = openTrace(ipv6Percent);
        auto reader = makeReader(input);
        const auto outcome = ipveil::cmd::runRecordLoop(*reader, *writer, anonymizer, ipveil::cmd::Mapping::Anonymize);
        std::fclose(input);
        if (outcome.writeFailed || outcome.stop != ReadResult::End) state.SkipWithError("the loop failed");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * RecordCount));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The reader as the command runs it, then each other way it can scan.
    const ipveil::trace::ScanPath chosen = ipveil::trace::activeScanPath();
    auto registerReader = [](const std::string& suffix, ipveil::trace::ScanPath path) {
        benchmark::RegisterBenchmark(("parse/reader" + suffix).c_str(), parseReader, 0u, path);
        benchmark::RegisterBenchmark(("parse/reader_ipv6" + suffix).c_str(), parseReader, 100u, path);
        benchmark::RegisterBenchmark(("parse/reader_mixed" + suffix).c_str(), parseReader, 30u, path);
    };
    registerReader("", chosen);
    for (const auto path : {ipveil::trace::ScanPath::Record, ipveil::trace::ScanPath::PortableIndex,
                            ipveil::trace::ScanPath::Avx512Index}) {
        if (path != chosen && ipveil::trace::scanPathAvailable(path)) {
            registerReader(std::string("/") + ipveil::trace::scanPathName(path), path);
        }
    }
    benchmark::RegisterBenchmark("parse/scanf", parseScanf);
    benchmark::RegisterBenchmark("format/formatTime", formatTimeOnly);
    benchmark::RegisterBenchmark("format/formatRecord", formatRecordOnly);
    benchmark::RegisterBenchmark("format/writer", formatWriter);
    benchmark::RegisterBenchmark("format/writer_ipv6", formatWriterBatches, 100u);
    benchmark::RegisterBenchmark("format/writer_mixed", formatWriterBatches, 30u);
    benchmark::RegisterBenchmark("format/printf", formatPrintf);
    for (const auto implementation : ipveil::AllAesImplementations) {
        if (!ipveil::aesImplementationAvailable(implementation)) continue;
        const std::string name = std::string("pipeline/") + ipveil::aesImplementationName(implementation);
        benchmark::RegisterBenchmark(name.c_str(), pipeline, implementation, 0u);
        benchmark::RegisterBenchmark((name + "/ipv6").c_str(), pipeline, implementation, 100u);
        benchmark::RegisterBenchmark((name + "/mixed").c_str(), pipeline, implementation, 30u);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
