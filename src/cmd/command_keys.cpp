#include "command_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string.h>

#include "file_io.h"
#include "ipveil_key.h"
#include "ipveil_policy.h"
#include "key_file.h"
#include "key_id.h"

namespace ipveil::cmd {

namespace {

// A policy file longer than this is no list of rules anyone wrote.
constexpr std::size_t MaxPolicyBytes = 1 << 20;

// The policy text the options give: the file's rules, and `special` for
// --keep-special, after them so that the file's line numbers stay; the
// built-in policy (none unless the build has one) when neither is given.
// StatusOk, or the status of the refusal, its message printed.
int policyText(const KeyOptions& options, std::string& text) {
    if (options.policyFile == nullptr && !options.keepSpecial) text = BuiltInPolicy;
    if (options.policyFile != nullptr) {
        const int fd = open(options.policyFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat status;
        if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            if (fd >= 0) close(fd);
            std::fprintf(stderr, "Cannot open file %s\n", options.policyFile);
            return StatusCannotOpen;
        }
        text.resize(MaxPolicyBytes + 1);
        const std::ptrdiff_t got = io::readFull(fd, text.data(), text.size());
        close(fd);
        if (got < 0) {
            std::fprintf(stderr, "Cannot read file %s\n", options.policyFile);
            return StatusReadError;
        }
        if (static_cast<std::size_t>(got) > MaxPolicyBytes) {
            std::fprintf(stderr, "Bad policy in %s: over %zu bytes\n", options.policyFile, MaxPolicyBytes);
            return StatusBadPolicy;
        }
        text.resize(static_cast<std::size_t>(got));
        if (!text.empty() && text.back() != '\n') text += '\n';
    }
    if (options.keepSpecial) text += "special\n";
    return StatusOk;
}

// The key in force: the key file's, or the one built in. StatusOk, or
// StatusBadKey with the message printed.
int loadKey(const char* path, std::uint8_t* key) {
    if (path == nullptr) {
        std::memcpy(key, BuiltInKey, sizeof BuiltInKey);
        return StatusOk;
    }
    std::string message;
    if (io::readKeyFile(path, key, message)) return StatusOk;
    std::fprintf(stderr, "%s\n", message.c_str());
    return StatusBadKey;
}

bool isDefaultKey(const std::uint8_t* key) { return std::memcmp(key, DefaultKey, sizeof DefaultKey) == 0; }

}  // namespace

Key::~Key() { explicit_bzero(bytes, sizeof bytes); }

bool valueOption(int argc, char** argv, int& i, const char* name, const char*& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argv[i], name, length) != 0) return false;
    if (argv[i][length] == '=') {
        value = argv[i] + length + 1;
        return true;
    }
    if (argv[i][length] != '\0') return false;
    value = i + 1 < argc ? argv[++i] : nullptr;
    return true;
}

bool takeKeyOption(int argc, char** argv, int& i, KeyOptions& options, bool& missingValue) {
    const char* arg = argv[i];
    const char* value = nullptr;
    if (std::strcmp(arg, "--reveal") == 0) {
        options.reveal = true;
    } else if (std::strcmp(arg, "--keep-special") == 0) {
        options.keepSpecial = true;
    } else if (std::strcmp(arg, "--print-key-id") == 0) {
        options.printKeyId = true;
    } else if (valueOption(argc, argv, i, "--key-file", value)) {
        options.keyFile = value;
        missingValue |= value == nullptr;
    } else if (valueOption(argc, argv, i, "--policy", value)) {
        options.policyFile = value;
        missingValue |= value == nullptr;
    } else if (valueOption(argc, argv, i, "--rekey", value)) {
        options.rekeyFile = value;
        missingValue |= value == nullptr;
    } else {
        return false;
    }
    return true;
}

int setUpKeys(const KeyOptions& options, KeySetup& setup) {
    const bool rekey = options.rekeyFile != nullptr;
    if (const int status = loadKey(options.keyFile, setup.key.bytes); status != StatusOk) return status;
    std::string text;
    if (const int status = policyText(options, text); status != StatusOk) return status;
    PolicyError policyError;
    setup.policy = AddressPolicy::parse(text, policyError);
    if (!setup.policy) {
        if (options.policyFile != nullptr)
            std::fprintf(stderr, "Bad policy in %s, line %d: %s\n", options.policyFile, policyError.line,
                         policyError.message.c_str());
        else
            std::fprintf(stderr, "Bad policy: %s\n", policyError.text().c_str());
        return StatusBadPolicy;
    }
    if (options.printKeyId) {
        std::printf("%s\n", keyId(setup.key.bytes, &*setup.policy).c_str());
        setup.keyIdPrinted = true;
        return std::fflush(stdout) == 0 ? StatusOk : StatusWriteError;
    }
    if ((options.reveal || rekey) && !setup.policy->reversible()) {
        std::fprintf(stderr, "Bad policy in %s: it truncates images, which cannot be turned back\n",
                     options.policyFile != nullptr ? options.policyFile : "the built-in policy");
        return StatusBadPolicy;
    }
    if (rekey) {
        if (const int status = loadKey(options.rekeyFile, setup.newKey.bytes); status != StatusOk) return status;
    }
    // The key the output's images are made with.
    const std::uint8_t* outputKey = rekey ? setup.newKey.bytes : setup.key.bytes;
    setup.id = keyId(outputKey, &*setup.policy);
    setup.defaultKey = isDefaultKey(outputKey);
    return StatusOk;
}

bool isStandard(const char* path) { return std::strcmp(path, "-") == 0; }

bool sameFile(int input, const char* outputPath) {
    struct stat in;
    struct stat out;
    if (fstat(input, &in) != 0 || !S_ISREG(in.st_mode)) return false;
    const int found = isStandard(outputPath) ? fstat(STDOUT_FILENO, &out) : stat(outputPath, &out);
    return found == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

std::string keyIdSuffix(const KeySetup& setup) {
    std::string text = "key id " + setup.id;
    if (setup.defaultKey) text += " (the public default key: not for release)";
    return text;
}

}  // namespace ipveil::cmd
