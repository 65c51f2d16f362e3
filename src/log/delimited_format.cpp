// CSV and TSV (RFC 4180): records of fields joined by a separator, the first
// record a header naming the columns. A field that starts with a double quote
// runs to the matching quote; inside it, separators and line breaks are text
// and "" stands for one quote. A quote anywhere else is text, as most
// readers take it. The value of a quoted field is what lies between its
// quotes, and the image goes there, the quotes staying.
#include <cstddef>
#include <string>

#include "log_format.h"

namespace ipveil::log {

namespace {

struct Field {
    std::size_t begin;  // the value, inside the quotes of a quoted field
    std::size_t end;
};

// Calls each(index, field) for every field of record.
template <typename Each>
void forEachField(std::string_view record, char separator, Each each) {
    std::size_t index = 0;
    std::size_t i = 0;
    for (;;) {
        Field field;
        if (i < record.size() && record[i] == '"') {
            // A quoted field: to the quote not doubled; what follows it up to
            // the separator is kept outside the value.
            field.begin = i + 1;
            std::size_t j = i + 1;
            for (;;) {
                if (j >= record.size()) {
                    field.end = record.size();  // an unterminated quote runs to the record's end
                    break;
                }
                if (record[j] == '"') {
                    if (j + 1 < record.size() && record[j + 1] == '"') {
                        j += 2;
                        continue;
                    }
                    field.end = j;
                    break;
                }
                ++j;
            }
            i = field.end;
            // Past the closing quote to the separator; a quote after it is text.
            const std::size_t next = record.find(separator, i);
            i = next == std::string_view::npos ? record.size() : next;
        } else {
            field.begin = i;
            const std::size_t next = record.find(separator, i);
            i = next == std::string_view::npos ? record.size() : next;
            field.end = i;
        }
        each(index, field);
        if (i >= record.size()) return;
        ++i;  // past the separator
        ++index;
    }
}

bool isNumber(const std::string& text) {
    if (text.empty() || text.size() > 9 || text[0] == '0') return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

class DelimitedFormat final : public LogFormat {
public:
    DelimitedFormat(char separator, std::vector<std::string> columns)
        : separator(separator), wanted(std::move(columns)) {}

    char quoteSeparator() const noexcept override { return separator; }

    bool scan(std::string_view record, std::vector<TextSlot>& slots) override {
        if (!headerSeen) return header(record);
        forEachField(record, separator, [&](std::size_t index, const Field& field) {
            if (index < chosen.size() && chosen[index] && field.end > field.begin)
                slots.push_back({static_cast<std::uint32_t>(field.begin), static_cast<std::uint32_t>(field.end)});
        });
        return true;
    }

private:
    bool header(std::string_view record) {
        headerSeen = true;
        std::vector<std::string> names;
        forEachField(record, separator, [&](std::size_t, const Field& field) {
            std::string name(record.substr(field.begin, field.end - field.begin));
            if (field.begin > 0 && record[field.begin - 1] == '"') {
                // "" inside quotes is one quote.
                for (std::size_t at = name.find("\"\""); at != std::string::npos; at = name.find("\"\"", at + 1))
                    name.erase(at, 1);
            }
            names.push_back(std::move(name));
        });
        chosen.assign(names.size(), false);
        for (const std::string& column : wanted) {
            std::size_t index = names.size();
            if (isNumber(column)) {
                index = std::stoul(column) - 1;
                if (index >= names.size()) {
                    reason = "column " + column + " is past the header's " + std::to_string(names.size());
                    return false;
                }
            } else {
                for (std::size_t k = 0; k < names.size(); ++k)
                    if (names[k] == column) index = k;
                if (index == names.size()) {
                    reason = "no column " + column + " in the header";
                    return false;
                }
            }
            chosen[index] = true;
        }
        return true;
    }

    char separator;
    std::vector<std::string> wanted;
    std::vector<bool> chosen;
    bool headerSeen = false;
};

}  // namespace

std::unique_ptr<LogFormat> makeDelimitedFormat(char separator, std::vector<std::string> columns) {
    return std::make_unique<DelimitedFormat>(separator, std::move(columns));
}

}  // namespace ipveil::log
