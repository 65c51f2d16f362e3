// One value a line, for pipelines that write a value and wait for its image.
#include "log_format.h"

namespace ipveil::log {

namespace {

class LinesFormat final : public LogFormat {
public:
    bool scan(std::string_view record, std::vector<TextSlot>& slots) override {
        if (!record.empty()) slots.push_back({0, static_cast<std::uint32_t>(record.size())});
        return true;
    }
};

}  // namespace

std::unique_ptr<LogFormat> makeLinesFormat() { return std::make_unique<LinesFormat>(); }

}  // namespace ipveil::log
