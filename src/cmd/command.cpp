#include "command.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "address_policy.h"
#include "file_io.h"
#include "ipveil_key.h"
#include "ipveil_policy.h"

namespace ipveil::cmd {

namespace {

// The anonymizer of the built-in key and policy. Without a policy nothing
// is parsed or allocated. The build has checked that the policy parses
// (ipveil_policy_check), and refused one that truncates.
PrefixAnonymizer builtInAnonymizer(const std::uint8_t* key) {
    if constexpr (sizeof BuiltInPolicy > 1) {
        PolicyError error;
        const std::optional<AddressPolicy> policy = AddressPolicy::parse(BuiltInPolicy, error);
        if (policy) return PrefixAnonymizer(key, *policy);
    }
    return PrefixAnonymizer(key);
}

}  // namespace

int runCommand(int argc, char** argv, const char* name, const char* operand, Mapping mapping) {
    std::uint8_t my_key[32];
    std::memcpy(my_key, BuiltInKey, sizeof my_key);
    // Built before the argument is looked at, as on every run.
    const PrefixAnonymizer my_anonymizer = builtInAnonymizer(my_key);

    if (argc != 2) {
        std::fprintf(stderr, "usage: %s %s\n", name, operand);
        return -1;
    }
    std::FILE* input = std::fopen(argv[1], "r");
    if (input == nullptr) {
        std::fprintf(stderr, "Cannot open file %s\n", argv[1]);
        return -2;
    }

    // A write past the file size limit fails like a full disk, so the output
    // is cut back to its last whole record instead of ending mid-line.
    io::ignoreFileSizeSignal();

    // The reader and writer move large blocks through buffers of their own,
    // so stdio's buffers would only add a copy (and an allocation).
    std::setvbuf(input, nullptr, _IONBF, 0);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    // The buffers are large, so they live in static storage, not on the stack.
    static trace::TraceReader reader(input);
    static trace::RecordWriter writer(stdout);
    const LoopOutcome outcome = runRecordLoop(reader, writer, my_anonymizer, mapping);
    if (outcome.writeFailed) {
        std::fputs("Cannot write output\n", stderr);
        return -5;
    }
    switch (outcome.stop) {
        case trace::ReadResult::Malformed:
            std::fprintf(stderr, "Malformed record at line %llu\n",
                         static_cast<unsigned long long>(reader.recordLine()));
            return -3;
        case trace::ReadResult::ReadError:
            std::fprintf(stderr, "Cannot read file %s\n", argv[1]);
            return -4;
        default:
            return 0;
    }
}

}  // namespace ipveil::cmd
