// What the log scanners share about address text: the prefix length that
// makes an address a subnet.
#pragma once

namespace ipveil::log {

// Reads a prefix length at the start of [first, last): one to three decimal
// digits, no leading zero ("0" stands alone), at most maxLength. Returns the
// end of the digits, or nullptr if there are none or they do not form such a
// length. Digits after the third are left for the caller to judge.
inline const char* readPrefixLength(const char* first, const char* last, unsigned maxLength) noexcept {
    unsigned length = 0;
    const char* p = first;
    while (p != last && p - first < 3 && *p >= '0' && *p <= '9') length = length * 10 + static_cast<unsigned>(*p++ - '0');
    if (p == first || (p - first > 1 && *first == '0') || length > maxLength) return nullptr;
    return p;
}

}  // namespace ipveil::log
