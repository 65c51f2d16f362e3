#include "field_parse.h"

#include <cstdlib>
#include <cstring>

namespace ipveil::trace {

namespace {

using detail::isDigit;

// A plain decimal such as 1234.567890, without strtof.
bool parsePlainDecimal(const char* p, const char* last, float& value) noexcept {
    bool negative = false;
    if (p != last && (*p == '-' || *p == '+')) negative = *p++ == '-';
    std::uint64_t digits = 0;
    int count = 0;
    int decimals = 0;
    bool point = false;
    bool any = false;
    for (; p != last; ++p) {
        if (isDigit(*p)) {
            any = true;
            if (digits == 0 && *p == '0') {
                if (point) ++decimals;
                continue;  // leading zeros cost no precision
            }
            if (++count > 15) return false;
            digits = digits * 10 + static_cast<unsigned>(*p - '0');
            if (point) ++decimals;
        } else if (*p == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (!any || decimals > 22) return false;
    if (!detail::roundDecimal(digits, decimals, value)) return false;
    if (negative) value = -value;
    return true;
}

}  // namespace

bool parseTime(char* first, char* last, float& value) noexcept {
    if (first == last) return false;
    if (parsePlainDecimal(first, last, value)) [[likely]] return true;
    // strtof skips leading whitespace, which a field never has; the field is
    // terminated in place for it.
    const char saved = *last;
    *last = '\0';
    char* stop = nullptr;
    const float parsed = std::strtof(first, &stop);
    *last = saved;
    if (stop != last) return false;
    // strtof takes "nan(chars)" whole, but scanf reads only its "nan" and
    // fails on the rest; a trace that scanf cannot read is not accepted.
    if (std::memchr(first, '(', static_cast<std::size_t>(last - first)) != nullptr) return false;
    value = parsed;
    return true;
}

}  // namespace ipveil::trace
