#include "key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string.h>

namespace ipveil::io {

namespace {

constexpr std::size_t KeyDigits = 2 * KeyFileBytes;

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

bool readKeyFile(const char* path, std::uint8_t* key, std::string& message) {
    std::memset(key, 0, KeyFileBytes);
    const std::string name = path;
    const std::string source = "The key in the key file " + name;

    const Descriptor file{open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0) {
        message = "Cannot open the key file " + name + ": " + std::strerror(errno);
        return false;
    }
    struct stat status;
    if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        message = "The key file " + name + " is not a file.";
        return false;
    }
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(status.st_mode & 07777));
        message = "The key file " + name + " has mode " + mode +
                  ": its group or other users have permissions on it, and whoever can read the key can undo the "
                  "anonymization. Make it its owner's alone (chmod 600 " + name + ") and try again.";
        return false;
    }

    // Room for more than a key, so that a longer file gets the build's
    // message; one beyond the room is told by its size.
    char text[2 * KeyDigits];
    std::size_t length = 0;
    bool readFailed = false;
    while (length < sizeof text) {
        const ssize_t got = read(file.fd, text + length, sizeof text - length);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            message = "Cannot read the key file " + name + ": " + std::strerror(errno);
            readFailed = true;
            break;
        }
        if (got == 0) break;
        length += static_cast<std::size_t>(got);
    }
    bool good = !readFailed;
    if (good && length == sizeof text) {
        message = source + " must be 64 hexadecimal digits (32 bytes); it has " +
                  std::to_string(static_cast<long long>(status.st_size)) + " characters.";
        good = false;
    }
    if (good && length > 0 && text[length - 1] == '\n') --length;
    for (std::size_t i = 0; good && i < length; ++i) {
        if (hexValue(text[i]) < 0) {
            message = source + " must be 64 hexadecimal digits; it holds other characters.";
            good = false;
        }
    }
    if (good && length != KeyDigits) {
        message = source + " must be 64 hexadecimal digits (32 bytes); it has " + std::to_string(length) + ".";
        good = false;
    }
    for (std::size_t i = 0; good && i < KeyFileBytes; ++i)
        key[i] = static_cast<std::uint8_t>(hexValue(text[2 * i]) << 4 | hexValue(text[2 * i + 1]));
    explicit_bzero(text, sizeof text);
    return good;
}

}  // namespace ipveil::io
