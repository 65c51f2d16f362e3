// Fuzzes the trace path: reader, anonymizer and writer, against the C
// library. For any input the reader must end without a crash or an
// out-of-bounds access, every line written must equal the line that
// scanf("%f", "%u", "%u.%u.%u.%u") and printf("%6f\t%u\t%u.%u.%u.%u\n")
// produce for the same record -- or, for an address field holding a ':',
// what inet_pton(AF_INET6) reads from it, printed in RFC 5952 form -- and
// when the whole input is accepted the reference must accept it too, with
// identical output; on every way the reader can scan its buffer.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "prefix_anonymizer.h"
#include "record_loop.h"
#include "text_scan.h"

namespace {

const std::uint8_t FuzzKey[32] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6, 0xab, 0xf7, 0x15,
                                  0x88, 0x09, 0xcf, 0x4f, 0x3c, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                  0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

const ipveil::PrefixAnonymizer& anonymizer() {
    static const ipveil::PrefixAnonymizer instance(FuzzKey);
    return instance;
}

std::uint32_t pack(const std::uint32_t (&a)[4]) { return (a[0] << 24) + (a[1] << 16) + (a[2] << 8) + a[3]; }

// isspace() of the "C" locale, which is what scanf skips.
bool isSpace(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::FILE* openInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen refuses an empty buffer.
    if (size == 0) return std::fopen("/dev/null", "r");
    return fmemopen(const_cast<std::uint8_t*>(data), size, "r");
}

struct Reference {
    std::string output;
    bool acceptedAll = false;
};

// The plain scanf/printf loop, stopped at the first conversion that fails.
Reference scanfReference(const std::uint8_t* data, std::size_t size) {
    Reference reference;
    std::FILE* input = openInput(data, size);
    if (input == nullptr) std::abort();
    for (;;) {
        float time;
        std::uint32_t sizeField;
        std::uint32_t address[4];
        const int got = std::fscanf(input, "%f", &time);
        if (got == EOF) {
            reference.acceptedAll = true;
            break;
        }
        if (got != 1 || std::fscanf(input, "%u", &sizeField) != 1) break;
        // The address field: from the next non-whitespace byte to whitespace.
        std::size_t first = static_cast<std::size_t>(std::ftell(input));
        while (first < size && isSpace(data[first])) ++first;
        std::size_t last = first;
        while (last < size && !isSpace(data[last])) ++last;
        const std::string field(reinterpret_cast<const char*>(data) + first, last - first);
        if (field.find(':') != std::string::npos) {
            ipveil::Ipv6Address address6;
            if (field.find('\0') != std::string::npos || inet_pton(AF_INET6, field.c_str(), address6.bytes) != 1) break;
            char line[128];
            int length = std::snprintf(line, sizeof line, "%6f\t%u\t", static_cast<double>(time), sizeField);
            length = static_cast<int>(ipveil::formatIpv6Address(line + length, anonymizer().anonymize(address6)) - line);
            line[length++] = '\n';
            reference.output.append(line, static_cast<std::size_t>(length));
            std::fseek(input, static_cast<long>(last), SEEK_SET);
            continue;
        }
        if (std::fscanf(input, "%u.%u.%u.%u", &address[0], &address[1], &address[2], &address[3]) != 4) break;
        const std::uint32_t image = anonymizer().anonymize(pack(address));
        char line[128];
        const int length = std::snprintf(line, sizeof line, "%6f\t%u\t%u.%u.%u.%u\n", static_cast<double>(time),
                                         sizeField, image >> 24, (image >> 16) & 0xFF, (image >> 8) & 0xFF, image & 0xFF);
        reference.output.append(line, static_cast<std::size_t>(length));
    }
    std::fclose(input);
    return reference;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reader's megabyte buffer is reused between runs.
    static std::optional<ipveil::trace::TraceReader> reader;
    static std::optional<ipveil::trace::RecordWriter> writer;

    // Every way of scanning the buffer this CPU has, chosen by the input's
    // length so that the corpus keeps its meaning.
    static constexpr ipveil::trace::ScanPath Paths[] = {ipveil::trace::ScanPath::Record,
                                                        ipveil::trace::ScanPath::PortableIndex,
                                                        ipveil::trace::ScanPath::Avx512Index};
    if (!ipveil::trace::selectScanPath(Paths[size % 3])) ipveil::trace::selectScanPath(ipveil::trace::ScanPath::Record);

    std::FILE* input = openInput(data, size);
    char* written = nullptr;
    std::size_t writtenSize = 0;
    std::FILE* output = open_memstream(&written, &writtenSize);
    if (input == nullptr || output == nullptr) std::abort();
    reader.emplace(input);
    writer.emplace(output);

    const auto outcome = ipveil::cmd::runRecordLoop(*reader, *writer, anonymizer(), ipveil::cmd::Mapping::Anonymize);
    const ipveil::trace::ReadResult result = outcome.stop;
    if (outcome.writeFailed) std::abort();
    std::fclose(input);
    std::fclose(output);
    const std::string ours(written, writtenSize);
    std::free(written);

    if (result == ipveil::trace::ReadResult::ReadError) std::abort();
    const Reference reference = scanfReference(data, size);
    // Every line we wrote is the reference's line for the same record.
    if (reference.output.compare(0, ours.size(), ours) != 0) std::abort();
    if (result == ipveil::trace::ReadResult::End && (!reference.acceptedAll || reference.output != ours)) std::abort();
    return 0;
}
