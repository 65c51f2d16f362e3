// Free text: every address findAddresses sees standing on its own.
#include "free_text_scanner.h"
#include "log_format.h"

namespace ipveil::log {

namespace {

class TextFormat final : public LogFormat {
public:
    bool scan(std::string_view record, std::vector<TextSlot>& slots) override {
        findAddresses(record, slots);
        return true;
    }
};

}  // namespace

std::unique_ptr<LogFormat> makeTextFormat() { return std::make_unique<TextFormat>(); }

}  // namespace ipveil::log
