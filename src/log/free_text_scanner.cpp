// Finding addresses in free text.
//
// The rules, as ipveil-log(1) states them:
//
//  1. An address is an IPv4 dotted quad or an IPv6 address exactly as
//     inet_pton(3) reads it: four decimal components 0 to 255 without leading
//     zeros ("010.0.0.1" is not one); one to eight groups of one to four hex
//     digits in either case with at most one "::", the last 32 bits perhaps a
//     dotted quad ("::ffff:192.0.2.1" is one IPv6 address, never an IPv4
//     address inside one). No zone, brackets or port belong to it.
//  2. The text is cut into runs: longest stretches of hex digits, ':' and '.'.
//     Everything else ends a run, so brackets, quotes, parentheses, '=', ',',
//     '/', '%', '-', '_', spaces and bytes above 127 stand freely around an
//     address: "[2001:db8::1]:443", "(10.0.0.1)", "SRC=10.0.0.1",
//     "fe80::1%eth0" (the zone stays outside), "http://[::1]:8080/".
//  3. A run is first read as one IPv6 address, after these trims:
//     - a single ':' at its start is punctuation ("addr:fe80::1"); so is a
//       single ':' at its end ("from ::1: refused"), and a third ':' that
//       follows a group and "::" there ("from 2001:db8::: refused"). Three
//       colons at its start stay ("::" and a port in netstat's ":::22" and
//       ":::*", read as no address);
//     - '.'s at its end are punctuation ("from 2001:db8::1.") unless a letter
//       follows them;
//     - a run glued to a letter (A-Z, a-z) before it ("interface:fe80::1",
//       whose run starts at "face:") is read from after its first ':' if
//       that ':' is single or followed by "::" ("addr:::1"), and otherwise
//       not at all ("std::vector" holds nothing); a run glued to a letter
//       after it ("fe80::1:deadline") is read up to its last ':' if that ':'
//       is single, and otherwise not at all.
//  4. A run that is not one IPv6 address may hold dotted quads: each longest
//     stretch of digits and '.' inside it that is exactly a quad, standing
//     after the run's start or a ':' and before the run's end or a ':'
//     ("10.0.0.1:80", "client:10.0.0.1"). Not a quad: one glued to a letter
//     on either side ("v1.2.3.4", "1.2.3.4a", "1.2.3.4x"), one after a '.'
//     or before a '.' and a letter or digit ("1.2.3.4.5", "host.1.2.3.4",
//     "4.3.2.1.in-addr.arpa", tcpdump's "10.0.0.1.443"); '.'s after a quad at
//     the end of a run are punctuation ("from 10.0.0.1.") unless a letter
//     follows them.
//  5. A prefix length directly after an address, "/" and 0 to 32 (IPv4) or
//     0 to 128 (IPv6) without leading zeros, makes it a subnet when no letter
//     or digit, nor '.' and a letter or digit, nor ':' and a hexadecimal digit
//     or ':', follows ("10.0.0.0/8",
//     "2001:db8::/32,"). Otherwise the address stands alone ("10.0.0.1/33",
//     "http://10.0.0.1/index.html").
//
// What follows from them: times ("12:34:56", "12:34:56.789",
// "2024-01-01T12:34:56"), MAC addresses ("00:1a:2b:3c:4d:5e"), hex words
// ("dead:beef") and C++ names ("std::vector", "ns::Class::f") are not
// addresses, as inet_pton refuses them or a letter is glued to them. Text
// that inet_pton takes for an address is one wherever it stands free: "a::b"
// and "de:ad::be:ef" in source code, "::" alone ("listening on :: port 22")
// and a version number "1.2.3.4" without a 'v' are mapped.
//
// Speed: the scan skips eight bytes a step to the next ':' or '.' and widens
// it to its run; a run without ':' or without both '.' and a digit is passed
// over at once. Each byte joins one run at most, and each run is read at most
// twice (as IPv6, then for quads), so the work is linear in the line.
#include "free_text_scanner.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>

#include "address_text.h"
#include "ipv4_address.h"
#include "ipv6_address.h"

namespace ipveil::log {

namespace {

enum : std::uint8_t { Hex = 1, Colon = 2, Dot = 4, Letter = 8, Digit = 16 };
constexpr std::uint8_t RunChar = Hex | Colon | Dot;

constexpr auto Classes = [] {
    std::array<std::uint8_t, 256> classes{};
    for (unsigned c = '0'; c <= '9'; ++c) classes[c] = Hex | Digit;
    for (unsigned c = 'a'; c <= 'z'; ++c) classes[c] = Letter | (c <= 'f' ? Hex : 0);
    for (unsigned c = 'A'; c <= 'Z'; ++c) classes[c] = Letter | (c <= 'F' ? Hex : 0);
    classes[':'] = Colon;
    classes['.'] = Dot;
    return classes;
}();

inline std::uint8_t classOf(const char* p) noexcept { return Classes[static_cast<unsigned char>(*p)]; }

// inet_pton's longest IPv6 text: six groups of four digits and a quad.
constexpr std::ptrdiff_t Ipv6LongestText = 45;
// Its shortest without "::": eight groups of one digit, "0:0:0:0:0:0:0:0".
// Shorter text needs a "::", which times ("12:34:56") never have.
constexpr std::ptrdiff_t Ipv6ShortestFull = 15;

inline bool holdsDoubleColon(const char* first, const char* last) noexcept {
    for (const char* p = first + 1; p < last; p += 2) {
        if (*p == ':' && (p[-1] == ':' || (p + 1 != last && p[1] == ':'))) return true;
    }
    return false;
}

// The slots as findAddresses hands them out: where they lie alone.
class SlotSink {
public:
    explicit SlotSink(std::vector<TextSlot>& slots) : slots(slots) {}
    void ipv4(std::uint32_t begin, std::uint32_t, std::uint32_t end, const char*, std::uint32_t) const {
        slots.push_back({begin, end});
    }
    void ipv6(std::uint32_t begin, std::uint32_t, std::uint32_t end, const char*, const Ipv6Address&) const {
        slots.push_back({begin, end});
    }

private:
    std::vector<TextSlot>& slots;
};

// The slots with what the scan parsed in them, and the prefix length.
class ParsedSink {
public:
    explicit ParsedSink(std::vector<ParsedSlot>& slots) : slots(slots) {}
    void ipv4(std::uint32_t begin, std::uint32_t addressEnd, std::uint32_t end, const char* line,
              std::uint32_t address) const {
        ParsedSlot& slot = slots.emplace_back();
        fill(slot, begin, addressEnd, end, line);
        slot.isIpv6 = false;
        slot.ipv4 = address;
    }
    void ipv6(std::uint32_t begin, std::uint32_t addressEnd, std::uint32_t end, const char* line,
              const Ipv6Address& address) const {
        ParsedSlot& slot = slots.emplace_back();
        fill(slot, begin, addressEnd, end, line);
        slot.isIpv6 = true;
        slot.ipv6 = address;
    }

private:
    static void fill(ParsedSlot& slot, std::uint32_t begin, std::uint32_t addressEnd, std::uint32_t end,
                     const char* line) {
        slot.begin = begin;
        slot.addressEnd = addressEnd;
        slot.end = end;
        // The scan has checked the digits after '/': one to three, in range.
        std::int16_t length = -1;
        if (addressEnd != end) {
            length = 0;
            for (std::uint32_t i = addressEnd + 1; i != end; ++i)
                length = static_cast<std::int16_t>(length * 10 + (line[i] - '0'));
        }
        slot.length = length;
    }

    std::vector<ParsedSlot>& slots;
};

template <class Sink>
class RunReader {
public:
    RunReader(const char* line, const char* end, const Sink& sink) : line(line), end(end), sink(sink) {}

    // Appends the slots of the run [run, runEnd) and returns where the scan
    // goes on: the run's end, or past a prefix length after it.
    const char* read(const char* run, const char* runEnd, std::uint8_t seen) const {
        const bool letterBefore = run != line && (classOf(run - 1) & Letter) != 0;
        const bool letterAfter = runEnd != end && (classOf(runEnd) & Letter) != 0;
        if ((seen & Colon) != 0) {
            if (const char* next = readIpv6(run, runEnd, letterBefore, letterAfter)) return next;
        }
        if ((seen & (Dot | Digit)) == (Dot | Digit)) return readQuads(run, runEnd, seen, letterBefore, letterAfter);
        return runEnd;
    }

private:
    // The run as one IPv6 address after the trims of rule 3; nullptr if it is not.
    const char* readIpv6(const char* run, const char* runEnd, bool letterBefore, bool letterAfter) const {
        const char* first = run;
        const char* last = runEnd;
        if (*first == ':' && (last - first == 1 || first[1] != ':')) {
            ++first;  // "addr:fe80::1"
        } else if (letterBefore) {
            // A label: "interface:fe80::1", "addr:::1".
            const char* colon = static_cast<const char*>(std::memchr(first, ':', static_cast<std::size_t>(last - first)));
            if (colon + 1 == last || (colon[1] == ':' && (last - colon < 3 || colon[2] != ':'))) return nullptr;
            first = colon + 1;
        }
        if (first == last) return nullptr;
        if (last[-1] == '.') {
            if (letterAfter) return nullptr;
            while (last != first && last[-1] == '.') --last;
        } else if (last[-1] == ':' && (last - 1 == first || last[-2] != ':' || (last - first > 3 && last[-3] == ':' && last[-4] != ':'))) {
            --last;  // "::1: refused", "2001:db8::: refused"
        } else if (letterAfter) {
            const char* colon = last - 1;
            while (colon != first && *colon != ':') --colon;
            if (*colon != ':' || colon == first || colon[-1] == ':') return nullptr;
            last = colon;
        }
        Ipv6Address address;
        if (last - first > Ipv6LongestText) return nullptr;
        if (last - first < Ipv6ShortestFull && !holdsDoubleColon(first, last)) return nullptr;
        if (!parseIpv6Address(first, last, address)) return nullptr;
        const char* slotEnd = withPrefix(last, 128);
        sink.ipv6(offset(first), offset(last), offset(slotEnd), line, address);
        return std::max(slotEnd, runEnd);
    }

    // The dotted quads of rule 4 inside the run.
    const char* readQuads(const char* run, const char* runEnd, std::uint8_t seen, bool letterBefore,
                          bool letterAfter) const {
        // A run of digits and '.'s alone, as most are, is one stretch.
        const bool plain = (seen & (Letter | Colon)) == 0;
        const char* next = runEnd;
        const char* p = run;
        while (p != runEnd) {
            if ((classOf(p) & (Digit | Dot)) == 0) {
                ++p;
                continue;
            }
            const char* first = p;
            if (plain) {
                p = runEnd;
            } else {
                while (p != runEnd && (classOf(p) & (Digit | Dot)) != 0) ++p;
            }
            if (*first == '.') continue;
            if (first == run ? letterBefore : (classOf(first - 1) & Letter) != 0) continue;
            const char* last = p;
            if (last[-1] == '.') {
                if (p != runEnd || letterAfter) continue;
                while (last[-1] == '.') --last;
            } else if (p == runEnd ? letterAfter : (classOf(p) & Letter) != 0) {
                continue;
            }
            std::uint32_t address;
            if (last - first > 15 || !parseIpv4Address(first, last, address)) continue;
            const char* slotEnd = withPrefix(last, 32);
            sink.ipv4(offset(first), offset(last), offset(slotEnd), line, address);
            next = std::max(next, slotEnd);
        }
        return next;
    }

    // The end of "/LENGTH" at p under rule 5, or p.
    const char* withPrefix(const char* p, unsigned maxLength) const {
        if (p == end || *p != '/') return p;
        const char* digits = readPrefixLength(p + 1, end, maxLength);
        if (digits == nullptr || digits == end) return digits == nullptr ? p : digits;
        if ((classOf(digits) & (Letter | Digit)) != 0) return p;
        // A ':' and a hexadecimal digit or another ':' after the length would
        // let the digits start an IPv6 address ("::/32::" holds "::" and
        // "32::"), and an image written there would read otherwise: then the
        // address stands alone.
        if (*digits == ':' && digits + 1 != end && (digits[1] == ':' || std::isxdigit(static_cast<unsigned char>(digits[1]))))
            return p;
        if (*digits == '.' && digits + 1 != end && (classOf(digits + 1) & (Letter | Digit)) != 0) return p;
        return digits;
    }

    std::uint32_t offset(const char* p) const { return static_cast<std::uint32_t>(p - line); }

    const char* line;
    const char* end;
    const Sink& sink;
};

template <class Sink>
void scan(std::string_view line, const Sink& sink) {
    // Slots count in 32 bits; a longer line is read as far as they reach.
    line = line.substr(0, std::numeric_limits<std::uint32_t>::max());
    const char* p = line.data();
    const char* const end = p + line.size();
    const RunReader<Sink> reader(p, end, sink);
    // Every address holds a ':' or a '.': skip to the next, then widen it to
    // its run, back to where the last run ended at most.
    const char* done = p;
    while ((p = findEither(p, end, ':', '.')) != end) {
        const char* run = p;
        std::uint8_t seen = classOf(p);
        while (run != done && (classOf(run - 1) & RunChar) != 0) seen |= classOf(--run);
        ++p;
        while (p != end && (classOf(p) & RunChar) != 0) seen |= classOf(p++);
        if ((seen & Colon) != 0 || (seen & (Dot | Digit)) == (Dot | Digit)) p = reader.read(run, p, seen);
        done = p;
    }
}

}  // namespace

void findAddresses(std::string_view line, std::vector<TextSlot>& slots) { scan(line, SlotSink(slots)); }

void findAddresses(std::string_view line, std::vector<ParsedSlot>& slots) { scan(line, ParsedSink(slots)); }

}  // namespace ipveil::log
