// JSON lines: the slots JsonScanner finds, one object a line.
#include "json_scanner.h"
#include "log_format.h"

namespace ipveil::log {

namespace {

class JsonFormat final : public LogFormat {
public:
    JsonFormat(std::vector<std::string> paths, bool everyAddress) : scanner(std::move(paths), everyAddress) {}

    bool scan(std::string_view record, std::vector<TextSlot>& slots) override {
        if (record.empty()) return true;  // a blank line holds nothing to map
        if (const char* why = scanner.scan(record, slots)) {
            reason = why;
            return false;
        }
        return true;
    }

private:
    JsonScanner scanner;
};

}  // namespace

std::unique_ptr<LogFormat> makeJsonFormat(std::vector<std::string> paths, bool everyAddress) {
    return std::make_unique<JsonFormat>(std::move(paths), everyAddress);
}

}  // namespace ipveil::log
