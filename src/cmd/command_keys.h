// What the commands that take a key at run time share: the options naming
// the key, the policy and the new key of a rekeying, how each is read and
// refused (with the same messages and statuses in every command), the key id,
// and the checks on their files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "address_policy.h"

namespace ipveil::cmd {

// Statuses every such command gives alike (their man pages list the messages).
enum CommandStatus : int {
    StatusOk = 0,
    StatusUsage = 255,       // wrong options or operands, or the output is the input
    StatusCannotOpen = 254,  // "Cannot open file PATH"
    StatusReadError = 252,   // "Cannot read file PATH"
    StatusWriteError = 251,  // "Cannot write output"
    StatusBadPolicy = 249,   // "Bad policy in PATH, line N: ...", or a truncating policy to reveal with
    StatusBadKey = 248,      // a key file refused
};

struct KeyOptions {
    bool reveal = false;
    bool keepSpecial = false;
    bool printKeyId = false;
    const char* keyFile = nullptr;
    const char* policyFile = nullptr;
    const char* rekeyFile = nullptr;
};

// Takes argv[i] if it is one of --reveal, --keep-special, --print-key-id,
// --key-file, --policy or --rekey (a value as `--name VALUE` or
// `--name=VALUE`; i moves past a separate value). A value missing at the end
// of the line sets missingValue.
bool takeKeyOption(int argc, char** argv, int& i, KeyOptions& options, bool& missingValue);

// An option that takes a value, as `--name VALUE` or `--name=VALUE`; value is
// nullptr when the line ends after `--name`.
bool valueOption(int argc, char** argv, int& i, const char* name, const char*& value);

// A key held for the run, wiped when it goes.
struct Key {
    std::uint8_t bytes[32];
    ~Key();
};

// The key, policy and key id a run maps with.
struct KeySetup {
    Key key;
    Key newKey;  // --rekey's
    std::optional<AddressPolicy> policy;
    std::string id;            // the key id of the output's key and policy
    bool defaultKey = false;   // the output's key is the public default key
    bool keyIdPrinted = false;  // --print-key-id: done, status StatusOk
};

// Reads the key, the policy and the new key as the options say, before any
// file of the input is touched, and works out the key id; with --print-key-id
// prints the id and sets keyIdPrinted. StatusOk, or the status of a refusal
// with its message printed (naming the file, never a digit of a key).
int setUpKeys(const KeyOptions& options, KeySetup& setup);

bool isStandard(const char* path);

// True when the output is the input's regular file, named or not
// (`in.log - >> in.log`): writing it would truncate the input before it is
// read, or feed the command its own output. A named output is looked at
// before it is opened, since opening it truncates it.
bool sameFile(int input, const char* outputPath);

// "key id ID" and, for the public default key, its warning: how every
// summary line ends.
std::string keyIdSuffix(const KeySetup& setup);

}  // namespace ipveil::cmd
