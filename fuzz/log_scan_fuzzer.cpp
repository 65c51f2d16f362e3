// Fuzzes the log room's scanners. The first byte chooses the JSON scanner's
// mode (bit 0: every address; bit 1: the paths "a", "a.b" and "id.orig_h");
// the rest is one line, read by both scanners. Neither may crash or read
// outside the line; their slots must lie in it, in order, without overlap.
// Every free-text slot, and every JSON slot found for its look alone, must be
// an address (or ADDRESS/LENGTH) that inet_pton reads; a JSON slot lies
// between quotes, and a refused line leaves the slots as they were.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "free_text_scanner.h"
#include "json_scanner.h"

namespace {

using ipveil::log::TextSlot;

void checkOrdered(const std::vector<TextSlot>& slots, std::size_t size) {
    std::uint32_t previousEnd = 0;
    for (const TextSlot& slot : slots) {
        if (slot.begin < previousEnd || slot.end < slot.begin || slot.end > size) std::abort();
        previousEnd = slot.end;
    }
}

void checkAddress(const char* first, const char* last) {
    std::string text(first, last);
    long maxLength = 128;
    const auto slash = text.find('/');
    std::string length;
    if (slash != std::string::npos) {
        length = text.substr(slash + 1);
        text.resize(slash);
    }
    unsigned char bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        maxLength = 32;
    } else if (text.find('\0') != std::string::npos || inet_pton(AF_INET6, text.c_str(), bytes) != 1) {
        std::abort();
    }
    if (slash == std::string::npos) return;
    if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string::npos ||
        (length.size() > 1 && length[0] == '0') || std::stol(length) > maxLength) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0];
    // An exactly sized copy, so that AddressSanitizer sees any read past the end.
    const std::size_t length = size - 1;
    char* const line = static_cast<char*>(std::malloc(length == 0 ? 1 : length));
    if (line == nullptr) std::abort();
    std::memcpy(line, data + 1, length);

    std::vector<TextSlot> slots;
    ipveil::log::findAddresses({line, length}, slots);
    checkOrdered(slots, length);
    for (const TextSlot& slot : slots) {
        if (slot.begin == slot.end) std::abort();
        checkAddress(line + slot.begin, line + slot.end);
    }

    const bool everyAddress = (mode & 1) != 0;
    const bool withPaths = (mode & 2) != 0;
    std::vector<std::string> paths;
    if (withPaths) paths = {"a", "a.b", "id.orig_h"};
    const ipveil::log::JsonScanner scanner(paths, everyAddress);
    slots.assign(1, TextSlot{3, 5});
    const char* error = scanner.scan({line, length}, slots);
    if (slots.empty() || slots[0].begin != 3 || slots[0].end != 5) std::abort();
    if (error != nullptr && (slots.size() != 1 || *error == '\0')) std::abort();
    slots.erase(slots.begin());
    checkOrdered(slots, length);
    for (const TextSlot& slot : slots) {
        if (slot.begin == 0 || slot.end >= length || line[slot.begin - 1] != '"' || line[slot.end] != '"') std::abort();
        if (!withPaths) checkAddress(line + slot.begin, line + slot.end);
    }
    std::free(line);
    return 0;
}
