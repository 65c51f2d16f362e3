// Finding the values to map in JSON lines (RFC 8259), one object a line.
//
// One pass with an explicit stack: hostile nesting costs an error, never the
// call stack. The grammar is checked in full outside strings; inside them
// every byte but '"' and '\' passes (NUL, control bytes, invalid UTF-8), as
// writers emit them and nothing here needs them checked. Escapes must be
// well formed.
//
// A value's path is its keys from the top, joined by '.'; arrays do not add
// to it, so every string in an array at a path, however deep, is at that
// path. As Zeek writes "id.orig_h" both as one key and as "orig_h" inside
// "id", both match the path "id.orig_h". The paths are kept sorted, so the
// paths that begin with a given key text are one range of them, and each
// level of the stack holds that range and the length of its key text.
#include "json_scanner.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "address_text.h"
#include "ipv4_address.h"
#include "ipv6_address.h"

namespace ipveil::log {

namespace {

constexpr int MaxDepth = 64;

constexpr const char* NotAnObject = "not a JSON object";
constexpr const char* TooDeep = "nesting deeper than 64 levels";
constexpr const char* Unterminated = "unterminated string";
constexpr const char* BadEscape = "invalid escape in a string";
constexpr const char* BadNumber = "invalid number";
constexpr const char* BadValue = "invalid value";
constexpr const char* BadKey = "expected a string key";
constexpr const char* NoColon = "expected ':' after a key";
constexpr const char* NoComma = "expected ',' or a closing bracket";
constexpr const char* CutShort = "the line ends inside the object";
constexpr const char* Trailing = "text after the object";
constexpr const char* TooLong = "line longer than 4 GiB";

// The chosen paths that begin with the key text of a value: paths[lo, hi),
// the text being `length` bytes long.
struct PathRange {
    std::size_t length;
    std::uint32_t lo;
    std::uint32_t hi;
};

struct Level {
    bool object;
    PathRange paths;
};

enum class Expect : std::uint8_t { Value, FirstValue, Key, FirstKey, Colon, CommaOrClose };

inline bool isSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool isHex(char c) noexcept { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

inline unsigned hexValue(char c) noexcept {
    return isDigit(c) ? static_cast<unsigned>(c - '0') : static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

// Reads a string's body from p, just after its opening quote, and returns its
// closing quote, or nullptr with error set. escaped tells whether it holds a
// backslash.
const char* readString(const char* p, const char* end, bool& escaped, const char*& error) noexcept {
    escaped = false;
    for (;;) {
        p = findEither(p, end, '"', '\\');
        if (p == end) break;
        if (*p == '"') return p;
        escaped = true;
        if (++p == end) break;
        switch (*p) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': ++p; break;
        case 'u':
            if (end - p < 5 || !isHex(p[1]) || !isHex(p[2]) || !isHex(p[3]) || !isHex(p[4])) {
                error = BadEscape;
                return nullptr;
            }
            p += 5;
            break;
        default: error = BadEscape; return nullptr;
        }
    }
    error = Unterminated;
    return nullptr;
}

void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The text of a well-formed string body with its escapes undone; a lone
// surrogate becomes its own three bytes.
std::string unescape(const char* p, const char* end) {
    std::string out;
    while (p != end) {
        if (*p != '\\') {
            out += *p++;
            continue;
        }
        const char kind = p[1];
        p += 2;
        switch (kind) {
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            unsigned code = hexValue(p[0]) << 12 | hexValue(p[1]) << 8 | hexValue(p[2]) << 4 | hexValue(p[3]);
            p += 4;
            if (code >= 0xD800 && code < 0xDC00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                const unsigned low = hexValue(p[2]) << 12 | hexValue(p[3]) << 8 | hexValue(p[4]) << 4 | hexValue(p[5]);
                if (low >= 0xDC00 && low < 0xE000) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    p += 6;
                }
            }
            appendUtf8(out, code);
            break;
        }
        default: out += kind; break;  // '"', '\\', '/'
        }
    }
    return out;
}

// The paths of range that go on with key, after a '.' unless key is a key of
// the top object.
PathRange narrow(const std::vector<std::string>& paths, PathRange range, bool topLevel, std::string_view key) {
    const std::size_t start = range.length + (topLevel ? 0 : 1);
    const std::size_t length = start + key.size();
    std::uint32_t lo = range.hi;
    std::uint32_t hi = range.hi;
    for (std::uint32_t i = range.lo; i < range.hi; ++i) {
        const std::string& path = paths[i];
        const bool match = path.size() >= length && (topLevel || path[range.length] == '.') &&
                           path.compare(start, key.size(), key) == 0;
        if (match) {
            if (lo == range.hi) lo = i;
            hi = i + 1;
        } else if (lo != range.hi) {
            break;  // the matches are contiguous
        }
    }
    return {length, lo, hi};
}

// The whole of [first, last) is an address, or a subnet ADDRESS/LENGTH.
bool isAddressText(const char* first, const char* last) noexcept {
    if (last - first > 45 + 4) return false;
    const char* slash = static_cast<const char*>(std::memchr(first, '/', static_cast<std::size_t>(last - first)));
    const char* addressEnd = slash != nullptr ? slash : last;
    unsigned maxLength;
    std::uint32_t ipv4;
    Ipv6Address ipv6;
    if (parseIpv4Address(first, addressEnd, ipv4)) {
        maxLength = 32;
    } else if (parseIpv6Address(first, addressEnd, ipv6)) {
        maxLength = 128;
    } else {
        return false;
    }
    return slash == nullptr || readPrefixLength(slash + 1, last, maxLength) == last;
}

}  // namespace

JsonScanner::JsonScanner(std::vector<std::string> paths, bool everyAddress)
    : paths(std::move(paths)), everyAddress(everyAddress) {
    std::sort(this->paths.begin(), this->paths.end());
    this->paths.erase(std::unique(this->paths.begin(), this->paths.end()), this->paths.end());
}

const char* JsonScanner::scan(std::string_view line, std::vector<TextSlot>& slots) const {
    if (line.size() > std::numeric_limits<std::uint32_t>::max()) return TooLong;
    const std::size_t slotsBefore = slots.size();
    const auto fail = [&](const char* why) {
        slots.resize(slotsBefore);
        return why;
    };
    const char* const start = line.data();
    const char* const end = start + line.size();
    const char* p = start;

    while (p != end && isSpace(*p)) ++p;
    if (p == end || *p != '{') return NotAnObject;
    ++p;
    Level stack[MaxDepth];
    int depth = 1;
    stack[0] = {true, {0, 0, static_cast<std::uint32_t>(paths.size())}};
    PathRange pending{};  // the paths of the value to read next
    Expect expect = Expect::FirstKey;

    while (depth != 0) {
        while (p != end && isSpace(*p)) ++p;
        if (p == end) return fail(CutShort);
        const char c = *p;
        Level& top = stack[depth - 1];
        switch (expect) {
        case Expect::FirstKey:
        case Expect::Key: {
            if (c == '}' && expect == Expect::FirstKey) {
                ++p;
                --depth;
                expect = Expect::CommaOrClose;
                break;
            }
            if (c != '"') return fail(BadKey);
            bool escaped;
            const char* error = nullptr;
            const char* close = readString(p + 1, end, escaped, error);
            if (close == nullptr) return fail(error);
            pending = {0, 0, 0};
            if (top.paths.lo != top.paths.hi) {
                const bool topLevel = depth == 1;
                if (escaped) {
                    pending = narrow(paths, top.paths, topLevel, unescape(p + 1, close));
                } else {
                    pending = narrow(paths, top.paths, topLevel, {p + 1, static_cast<std::size_t>(close - p - 1)});
                }
            }
            p = close + 1;
            expect = Expect::Colon;
            break;
        }
        case Expect::Colon:
            if (c != ':') return fail(NoColon);
            ++p;
            expect = Expect::Value;
            break;
        case Expect::CommaOrClose:
            if (c == ',') {
                ++p;
                if (top.object) {
                    expect = Expect::Key;
                } else {
                    pending = top.paths;
                    expect = Expect::Value;
                }
            } else if (c == (top.object ? '}' : ']')) {
                ++p;
                --depth;
            } else {
                return fail(NoComma);
            }
            break;
        case Expect::Value:
        case Expect::FirstValue:
            if (c == ']' && expect == Expect::FirstValue) {
                ++p;
                --depth;
                expect = Expect::CommaOrClose;
                break;
            }
            expect = Expect::CommaOrClose;
            if (c == '"') {
                bool escaped;
                const char* error = nullptr;
                const char* close = readString(p + 1, end, escaped, error);
                if (close == nullptr) return fail(error);
                const bool atPath = pending.lo != pending.hi && paths[pending.lo].size() == pending.length;
                if (atPath || (everyAddress && !escaped && isAddressText(p + 1, close))) {
                    slots.push_back({static_cast<std::uint32_t>(p + 1 - start), static_cast<std::uint32_t>(close - start)});
                }
                p = close + 1;
            } else if (c == '{' || c == '[') {
                if (depth == MaxDepth) return fail(TooDeep);
                stack[depth++] = {c == '{', pending};
                expect = c == '{' ? Expect::FirstKey : Expect::FirstValue;
                ++p;
            } else if (c == '-' || isDigit(c)) {
                if (c == '-') ++p;
                if (p == end || !isDigit(*p)) return fail(BadNumber);
                if (*p++ != '0') {
                    while (p != end && isDigit(*p)) ++p;
                }
                if (p != end && *p == '.') {
                    if (++p == end || !isDigit(*p)) return fail(BadNumber);
                    while (p != end && isDigit(*p)) ++p;
                }
                if (p != end && (*p == 'e' || *p == 'E')) {
                    if (++p != end && (*p == '+' || *p == '-')) ++p;
                    if (p == end || !isDigit(*p)) return fail(BadNumber);
                    while (p != end && isDigit(*p)) ++p;
                }
            } else {
                const std::size_t left = static_cast<std::size_t>(end - p);
                const char* literal = c == 't' ? "true" : c == 'f' ? "false" : c == 'n' ? "null" : nullptr;
                const std::size_t length = literal != nullptr ? std::strlen(literal) : 0;
                if (literal == nullptr || left < length || std::memcmp(p, literal, length) != 0) return fail(BadValue);
                p += length;
            }
            break;
        }
    }
    while (p != end && isSpace(*p)) ++p;
    if (p != end) return fail(Trailing);
    return nullptr;
}

}  // namespace ipveil::log
