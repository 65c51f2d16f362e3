// Zeek's ASCII logs. A log opens with header lines:
//   #separator \x09              (a space after the word: the separator is not yet known)
//   #set_separator<S>,           and the rest use the separator <S>
//   #empty_field<S>(empty)
//   #unset_field<S>-
//   #path<S>conn
//   #open<S>2024-01-01-00-00-00
//   #fields<S>ts<S>uid<S>id.orig_h...
//   #types<S>time<S>string<S>addr...
// then data lines, and a #close line. Values in the header may be escaped as
// \xHH. A column of type addr or subnet holds one value; set[...],
// vector[...] and table[...] of them hold values joined by the set separator,
// or the empty marker. The unset marker stands for no value. A new
// #separator line starts a new log (logs concatenated, as zcat *.log.gz
// gives them).
#include <cstddef>
#include <string>

#include "address_text.h"
#include "log_format.h"

namespace ipveil::log {

namespace {

enum class Column : unsigned char { Other, Address, Addresses };

constexpr std::string_view SeparatorLine = "#separator ";

// The text of a header value with its \xHH escapes decoded.
std::string unescape(std::string_view value) {
    std::string text;
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 3 < value.size() && value[i + 1] == 'x' && hex(value[i + 2]) >= 0 &&
            hex(value[i + 3]) >= 0) {
            text += static_cast<char>(hex(value[i + 2]) * 16 + hex(value[i + 3]));
            i += 3;
        } else {
            text += value[i];
        }
    }
    return text;
}

Column columnOf(std::string_view type) {
    if (type == "addr" || type == "subnet") return Column::Address;
    for (std::string_view container : {"set[", "vector[", "table["}) {
        if (type.size() > container.size() && type.substr(0, container.size()) == container && type.back() == ']') {
            const std::string_view inner = type.substr(container.size(), type.size() - container.size() - 1);
            if (inner == "addr" || inner == "subnet") return Column::Addresses;
        }
    }
    return Column::Other;
}

class ZeekFormat final : public LogFormat {
public:
    bool scan(std::string_view record, std::vector<TextSlot>& slots) override {
        if (!record.empty() && record[0] == '#') return header(record);
        if (!typed) {
            reason = fieldCount > 0 ? "a data line before the #types line" : "a data line before the header";
            return false;
        }
        // Only the columns up to the last address column are looked at.
        const char* const data = record.data();
        const std::size_t size = record.size();
        std::size_t start = 0;
        for (std::size_t column = 0; column < mappedColumns; ++column) {
            const std::size_t end =
                static_cast<std::size_t>(findEither(data + start, data + size, separator, separator) - data);
            if (columns[column] != Column::Other)
                value(record, start, end, columns[column] == Column::Addresses, slots);
            if (end == size) break;
            start = end + 1;
        }
        return true;
    }

private:
    void value(std::string_view record, std::size_t start, std::size_t end, bool container,
               std::vector<TextSlot>& slots) {
        const std::string_view text = record.substr(start, end - start);
        if (text.empty() || text == markers.unset || text == markers.empty) return;
        const std::string& setSeparator = markers.setSeparator;
        if (!container || setSeparator.empty()) {
            slots.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
            return;
        }
        std::size_t from = 0;
        for (;;) {
            std::size_t to = text.find(setSeparator, from);
            if (to == std::string_view::npos) to = text.size();
            if (to > from)
                slots.push_back({static_cast<std::uint32_t>(start + from), static_cast<std::uint32_t>(start + to)});
            if (to == text.size()) break;
            from = to + setSeparator.size();
        }
    }

    bool header(std::string_view record) {
        if (record.substr(0, SeparatorLine.size()) == SeparatorLine) {
            const std::string text = unescape(record.substr(SeparatorLine.size()));
            if (text.size() != 1) {
                reason = "a #separator other than one character";
                return false;
            }
            separator = text[0];
            markers = Markers{};
            columns.clear();
            mappedColumns = 0;
            fieldCount = 0;
            typed = false;
            started = true;
            return true;
        }
        if (!started) {
            reason = "a header without its #separator line";
            return false;
        }
        const std::size_t cut = record.find(separator);
        const std::string_view word = record.substr(0, cut);
        const std::string_view rest = cut == std::string_view::npos ? std::string_view{} : record.substr(cut + 1);
        if (word == "#set_separator") {
            markers.setSeparator = unescape(rest);
        } else if (word == "#empty_field") {
            markers.empty = unescape(rest);
        } else if (word == "#unset_field") {
            markers.unset = unescape(rest);
        } else if (word == "#fields") {
            fieldCount = count(rest);
            return agree();
        } else if (word == "#types") {
            columns.clear();
            mappedColumns = 0;
            std::size_t start = 0;
            for (;;) {
                std::size_t end = rest.find(separator, start);
                if (end == std::string_view::npos) end = rest.size();
                columns.push_back(columnOf(rest.substr(start, end - start)));
                if (end == rest.size()) break;
                start = end + 1;
            }
            typed = true;
            mappedColumns = 0;
            for (std::size_t c = 0; c < columns.size(); ++c)
                if (columns[c] != Column::Other) mappedColumns = c + 1;
            return agree();
        }
        return true;  // #path, #open, #close and any other: text to keep
    }

    std::size_t count(std::string_view names) const {
        std::size_t n = 1;
        for (char c : names) n += c == separator;
        return n;
    }

    bool agree() {
        if (fieldCount == 0 || !typed || fieldCount == columns.size()) return true;
        reason = "#fields names ";
        reason += std::to_string(fieldCount);
        reason += " columns and #types ";
        reason += std::to_string(columns.size());
        return false;
    }

    char separator = '\t';
    // What the header may change; a new log starts from Zeek's defaults.
    struct Markers {
        std::string setSeparator = ",";
        std::string empty = "(empty)";
        std::string unset = "-";
    } markers;
    std::vector<Column> columns;  // from #types
    std::size_t mappedColumns = 0;  // one past the last address column
    std::size_t fieldCount = 0;   // from #fields
    bool typed = false;
    bool started = false;
};

}  // namespace

std::unique_ptr<LogFormat> makeZeekFormat() { return std::make_unique<ZeekFormat>(); }

bool looksLikeZeek(std::string_view text) noexcept {
    return text.substr(0, SeparatorLine.size()) == SeparatorLine;
}

}  // namespace ipveil::log
