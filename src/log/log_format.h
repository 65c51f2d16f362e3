// The log formats: each finds the slots of a record that hold values to map,
// and knows nothing of the mapping (slot_mapper.h) or of files
// (record_reader.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "text_slot.h"

namespace ipveil::log {

class LogFormat {
public:
    virtual ~LogFormat() = default;

    // Appends, in order, the slots of one record given without its line end.
    // False when the log cannot be read on from this record (a header that
    // contradicts itself, a chosen column missing), with the reason in fault().
    virtual bool scan(std::string_view record, std::vector<TextSlot>& slots) = 0;

    // The field separator of a format whose quoted fields may hold line
    // breaks (one record over several lines), or 0.
    virtual char quoteSeparator() const noexcept { return 0; }

    const std::string& fault() const noexcept { return reason; }

protected:
    std::string reason;
};

// Zeek's tab-separated logs, their header lines naming the separators and
// the type of every column; several logs one after the other too.
std::unique_ptr<LogFormat> makeZeekFormat();
// True when text (the start of a log) begins as a Zeek log does.
bool looksLikeZeek(std::string_view text) noexcept;

// CSV (separator ',') or TSV ('\t') with a header line and RFC 4180 quoting;
// columns: header names or 1-based numbers ("3").
std::unique_ptr<LogFormat> makeDelimitedFormat(char separator, std::vector<std::string> columns);

// One value a line: the whole line is the slot.
std::unique_ptr<LogFormat> makeLinesFormat();

// JSON lines (json_scanner.h): the strings at the dotted paths, and with
// everyAddress every string that is an address. A line that is no object is
// a fault; a blank line holds nothing.
std::unique_ptr<LogFormat> makeJsonFormat(std::vector<std::string> paths, bool everyAddress);

// Free text (free_text_scanner.h): every address standing on its own.
std::unique_ptr<LogFormat> makeTextFormat();

}  // namespace ipveil::log
