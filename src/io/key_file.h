// Key files for the commands that take a key at run time: read as the build
// (IPVEIL_KEY_FILE) and the Python module's Anonymizer.from_key_file read
// them, with the same refusals in the same words.
//
// A key file holds the key's 64 hexadecimal digits and at most one line feed
// after them. It is opened once, without blocking (a named pipe is refused,
// not waited on), and checked through its descriptor, so what is checked is
// what is read: it must be a regular file on which neither its group nor
// other users have any permission. The buffers that held the digits are
// cleared before returning. No message ever holds a digit of the key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ipveil::io {

inline constexpr std::size_t KeyFileBytes = 32;

// Reads the key in the file at `path` into key[0..32). False when the file
// is refused, with the reason, naming the file, in `message`; key is then
// all zero.
bool readKeyFile(const char* path, std::uint8_t* key, std::string& message);

}  // namespace ipveil::io
