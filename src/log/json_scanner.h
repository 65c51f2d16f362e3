// The addresses of JSON lines: one object a line (Zeek's JSON logs,
// Suricata's eve.json).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "text_slot.h"

namespace ipveil::log {

class JsonScanner {
public:
    // paths: the fields to map, as dotted paths into nested objects
    // ("id.orig_h"). everyAddress: also every string value anywhere that is
    // exactly an address or a subnet.
    JsonScanner(std::vector<std::string> paths, bool everyAddress);

    // Appends the slots, inside the quotes, of the string values at the
    // chosen paths (each string of an array there too) and, with
    // everyAddress, of every string that is an address. Returns nullptr, or
    // for a line that is not one JSON object why not (a static text), and
    // then slots as it was.
    const char* scan(std::string_view line, std::vector<TextSlot>& slots) const;

private:
    std::vector<std::string> paths;
    bool everyAddress;
};

}  // namespace ipveil::log
