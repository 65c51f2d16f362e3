#include "address_policy.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "ipv4_address.h"
#include "ipv6_address.h"

namespace ipveil {

namespace {

PolicyPrefix v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, int length) {
    PolicyPrefix prefix;
    prefix.bytes[0] = a;
    prefix.bytes[1] = b;
    prefix.bytes[2] = c;
    prefix.bytes[3] = d;
    prefix.length = length;
    return prefix;
}

PolicyPrefix v6(const char* text, int length) {
    PolicyPrefix prefix;
    prefix.ipv6 = true;
    Ipv6Address address{};
    parseIpv6Address(text, text + std::strlen(text), address);
    std::memcpy(prefix.bytes, address.bytes, 16);
    prefix.length = length;
    return prefix;
}

PolicyRule preserve(PolicyPrefix prefix) { return {PolicyAction::Preserve, prefix, prefix.length}; }
PolicyRule keep(PolicyPrefix prefix) { return {PolicyAction::Keep, prefix, prefix.ipv6 ? 128 : 32}; }

int width(const PolicyPrefix& prefix) { return prefix.ipv6 ? 128 : 32; }

bool hostBitsClear(const PolicyPrefix& prefix) {
    for (int bit = prefix.length; bit < width(prefix); ++bit) {
        if (prefix.bytes[bit / 8] & (0x80 >> (bit % 8))) return false;
    }
    return true;
}

bool before(const PolicyRule& a, const PolicyRule& b) {
    if (a.prefix.ipv6 != b.prefix.ipv6) return !a.prefix.ipv6;
    if (const int order = std::memcmp(a.prefix.bytes, b.prefix.bytes, 16); order != 0) return order < 0;
    return a.prefix.length < b.prefix.length;
}

// "text", built by appending (GCC 12 warns wrongly on chains of + here).
std::string quoted(std::string_view text) {
    std::string result;
    result.reserve(text.size() + 2);
    result += '"';
    result.append(text);
    result += '"';
    return result;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// A decimal number without sign or leading zero, at most max.
bool parseNumber(std::string_view text, int max, int& value) {
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= max;
}

// inet_pton's dotted quad, as every IPv4 text of a policy is written.
bool parseIpv4(std::string_view text, std::uint8_t* bytes) {
    std::uint32_t address;
    if (!parseIpv4Address(text.data(), text.data() + text.size(), address)) return false;
    for (int part = 0; part < 4; ++part) bytes[part] = static_cast<std::uint8_t>(address >> (24 - 8 * part));
    return true;
}

// "P/L"; an error message or empty.
std::string parsePrefix(std::string_view text, PolicyPrefix& prefix) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return "prefix \"" + std::string(text) + "\" has no /length";
    const std::string_view address = text.substr(0, slash);
    prefix = PolicyPrefix{};
    prefix.ipv6 = address.find(':') != std::string_view::npos;
    if (prefix.ipv6) {
        Ipv6Address parsed{};
        if (!parseIpv6Address(address.data(), address.data() + address.size(), parsed)) {
            return quoted(address) + " is not an IPv6 address";
        }
        std::memcpy(prefix.bytes, parsed.bytes, 16);
    } else if (!parseIpv4(address, prefix.bytes)) {
        return quoted(address) + " is not an IPv4 address";
    }
    if (!parseNumber(text.substr(slash + 1), width(prefix), prefix.length)) {
        return "prefix length \"" + std::string(text.substr(slash + 1)) + "\" is not a number from 0 to " +
               std::to_string(width(prefix));
    }
    if (!hostBitsClear(prefix)) return "prefix " + std::string(text) + " has bits set below its length";
    return {};
}

std::string prefixText(const PolicyPrefix& prefix) {
    std::string text;
    if (prefix.ipv6) {
        char buffer[Ipv6MaxTextChars + 3];
        Ipv6Address address;
        std::memcpy(address.bytes, prefix.bytes, 16);
        text.assign(buffer, formatIpv6Address(buffer, address));
    } else {
        char buffer[Ipv4MaxTextChars];
        const std::uint32_t address = std::uint32_t{prefix.bytes[0]} << 24 | std::uint32_t{prefix.bytes[1]} << 16 |
                                      std::uint32_t{prefix.bytes[2]} << 8 | prefix.bytes[3];
        text.assign(buffer, formatIpv4Address(buffer, address));
    }
    return text + "/" + std::to_string(prefix.length);
}

const char* actionName(PolicyAction action) {
    switch (action) {
        case PolicyAction::Keep: return "keep";
        case PolicyAction::Only: return "only";
        case PolicyAction::Preserve: break;
    }
    return "preserve";
}

struct LineRule {
    PolicyRule rule;
    int line;
};

}  // namespace

std::string PolicyError::text() const { return "policy line " + std::to_string(line) + ": " + message; }

// From the IANA IPv4 Special-Purpose Address Registry (created 2009-08-19)
// and the IANA IPv6 Special-Purpose Address Registry (created 2006-01-10),
// with each block's allocation date as the registry gives it; then the
// multicast blocks (RFC 5771, RFC 4291), which the registries leave out.
// Single addresses that must read the same in every release are kept.
const std::vector<PolicyRule>& specialRules() {
    static const std::vector<PolicyRule> rules = [] {
        std::vector<PolicyRule> list = {
            preserve(v4(0, 0, 0, 0, 8)),            // "this network", 1981-09
            keep(v4(0, 0, 0, 0, 32)),               // "this host on this network", 1981-09
            preserve(v4(10, 0, 0, 0, 8)),           // private use, 1996-02
            preserve(v4(100, 64, 0, 0, 10)),        // shared address space (CGNAT), 2012-04
            preserve(v4(127, 0, 0, 0, 8)),          // loopback, 1981-09
            preserve(v4(169, 254, 0, 0, 16)),       // link local, 2005-05
            preserve(v4(172, 16, 0, 0, 12)),        // private use, 1996-02
            preserve(v4(192, 0, 0, 0, 24)),         // IETF protocol assignments, 2010-01
            preserve(v4(192, 0, 0, 0, 29)),         // IPv4 service continuity prefix, 2011-06
            preserve(v4(192, 0, 0, 8, 32)),         // IPv4 dummy address, 2015-03
            preserve(v4(192, 0, 0, 9, 32)),         // port control protocol anycast, 2014-10
            preserve(v4(192, 0, 0, 10, 32)),        // TURN anycast, 2017-02
            preserve(v4(192, 0, 0, 170, 32)),       // NAT64/DNS64 discovery, 2013-02
            preserve(v4(192, 0, 0, 171, 32)),       // NAT64/DNS64 discovery, 2013-02
            preserve(v4(192, 0, 2, 0, 24)),         // documentation (TEST-NET-1), 2010-01
            preserve(v4(192, 31, 196, 0, 24)),      // AS112-v4, 2014-12
            preserve(v4(192, 52, 193, 0, 24)),      // AMT, 2014-12
            preserve(v4(192, 88, 99, 0, 24)),       // 6to4 relay anycast (deprecated), 2001-06
            preserve(v4(192, 168, 0, 0, 16)),       // private use, 1996-02
            preserve(v4(192, 175, 48, 0, 24)),      // AS112 direct delegation, 1996-01
            preserve(v4(198, 18, 0, 0, 15)),        // benchmarking, 1999-03
            preserve(v4(198, 51, 100, 0, 24)),      // documentation (TEST-NET-2), 2010-01
            preserve(v4(203, 0, 113, 0, 24)),       // documentation (TEST-NET-3), 2010-01
            preserve(v4(224, 0, 0, 0, 4)),          // multicast (RFC 5771)
            preserve(v4(240, 0, 0, 0, 4)),          // reserved, 1989-08
            keep(v4(255, 255, 255, 255, 32)),       // limited broadcast, 1984-10
            keep(v6("::", 128)),                    // unspecified, 2006-02
            keep(v6("::1", 128)),                   // loopback, 2006-02
            preserve(v6("::ffff:0:0", 96)),         // IPv4-mapped, 2006-02
            preserve(v6("64:ff9b::", 96)),          // IPv4-IPv6 translation (NAT64), 2010-10
            preserve(v6("64:ff9b:1::", 48)),        // local-use IPv4-IPv6 translation, 2017-06
            preserve(v6("100::", 64)),              // discard-only, 2012-06
            preserve(v6("2001::", 23)),             // IETF protocol assignments, 2000-09
            preserve(v6("2001::", 32)),             // TEREDO, 2006-01
            preserve(v6("2001:1::1", 128)),         // port control protocol anycast, 2014-10
            preserve(v6("2001:1::2", 128)),         // TURN anycast, 2017-02
            preserve(v6("2001:2::", 48)),           // benchmarking, 2008-04
            preserve(v6("2001:3::", 32)),           // AMT, 2014-12
            preserve(v6("2001:4:112::", 48)),       // AS112-v6, 2014-12
            preserve(v6("2001:10::", 28)),          // ORCHID (deprecated), 2007-03
            preserve(v6("2001:20::", 28)),          // ORCHIDv2, 2014-07
            preserve(v6("2001:30::", 28)),          // drone remote ID entity tags (RFC 9374), 2023-03
            preserve(v6("2001:db8::", 32)),         // documentation, 2004-07
            preserve(v6("2002::", 16)),             // 6to4, 2001-02
            preserve(v6("2620:4f:8000::", 48)),     // AS112 direct delegation, 2011-05
            preserve(v6("3fff::", 20)),             // documentation (RFC 9637), 2024-07
            preserve(v6("5f00::", 16)),             // segment routing SIDs (RFC 9602), 2024-10
            preserve(v6("fc00::", 7)),              // unique local, 2005-10
            preserve(v6("fe80::", 10)),             // link-local unicast, 2006-02
        };
        // Multicast: the flags and scope nibbles stay with the ff byte, so
        // that ff02:: is still link-scope multicast after mapping.
        PolicyRule multicast = preserve(v6("ff00::", 8));
        multicast.depth = 16;
        list.push_back(multicast);
        std::sort(list.begin(), list.end(), before);
        return list;
    }();
    return rules;
}

std::optional<AddressPolicy> AddressPolicy::parse(std::string_view text, PolicyError& error) noexcept {
    try {
        std::vector<LineRule> own;
        bool special = false;
        int truncate[2] = {-1, -1};
        int truncateLine[2] = {0, 0};
        int line = 0;
        const auto fail = [&](std::string message) {
            error.line = line;
            error.message = std::move(message);
            return std::nullopt;
        };
        while (!text.empty()) {
            ++line;
            const std::size_t end = std::min(text.find('\n'), text.size());
            std::string_view content = text.substr(0, end);
            text.remove_prefix(std::min(end + 1, text.size()));
            content = trim(content.substr(0, std::min(content.find('#'), content.size())));
            if (content.empty()) continue;
            const std::size_t space = std::min(content.find_first_of(" \t"), content.size());
            const std::string_view word = content.substr(0, space);
            const std::string_view argument = trim(content.substr(space));
            if (word == "special") {
                if (!argument.empty()) return fail("\"special\" takes no argument");
                special = true;
            } else if (word == "preserve" || word == "keep" || word == "only") {
                if (argument.empty()) return fail(quoted(word) + " needs a prefix P/L");
                if (argument.find_first_of(" \t") != std::string_view::npos) {
                    return fail(quoted(word) + " takes one prefix");
                }
                PolicyRule rule;
                rule.action = word == "keep" ? PolicyAction::Keep : word == "only" ? PolicyAction::Only
                                                                                  : PolicyAction::Preserve;
                if (std::string message = parsePrefix(argument, rule.prefix); !message.empty()) return fail(message);
                rule.depth = rule.action == PolicyAction::Keep ? width(rule.prefix) : rule.prefix.length;
                for (const LineRule& other : own) {
                    if (other.rule.prefix == rule.prefix && other.rule.action != rule.action) {
                        return fail(quoted(word) + " contradicts line " + std::to_string(other.line) +
                                    " (\"" + actionName(other.rule.action) + "\" of the same prefix)");
                    }
                }
                own.push_back({rule, line});
            } else if (word == "truncate4" || word == "truncate6") {
                const int family = word == "truncate6";
                int bits = 0;
                if (!parseNumber(argument, family ? 128 : 32, bits)) {
                    return fail(quoted(word) + " needs a number of bits from 0 to " +
                                (family ? "128" : "32"));
                }
                if (truncate[family] >= 0 && truncate[family] != bits) {
                    return fail(quoted(word) + " contradicts line " +
                                std::to_string(truncateLine[family]));
                }
                truncate[family] = bits;
                truncateLine[family] = line;
            } else {
                return fail("unknown rule \"" + std::string(word) +
                            "\" (expected special, preserve, keep, only, truncate4 or truncate6)");
            }
        }

        AddressPolicy policy;
        policy.special = special;
        for (const LineRule& rule : own) {
            const auto same = [&rule](const PolicyRule& r) { return r.prefix == rule.rule.prefix; };
            if (std::none_of(policy.ownRules.begin(), policy.ownRules.end(), same)) {
                policy.ownRules.push_back(rule.rule);
            }
        }
        std::sort(policy.ownRules.begin(), policy.ownRules.end(), before);
        policy.ruleList = policy.ownRules;
        if (special) {
            // A rule of the policy's own replaces the table's for its prefix.
            for (const PolicyRule& rule : specialRules()) {
                const auto same = [&rule](const PolicyRule& r) { return r.prefix == rule.prefix; };
                if (std::none_of(policy.ownRules.begin(), policy.ownRules.end(), same)) {
                    policy.ruleList.push_back(rule);
                }
            }
            std::sort(policy.ruleList.begin(), policy.ruleList.end(), before);
        }
        policy.kept4 = truncate[0] >= 0 ? truncate[0] : 32;
        policy.kept6 = truncate[1] >= 0 ? truncate[1] : 128;
        return policy;
    } catch (const std::bad_alloc&) {
        error.line = 0;
        error.message = "out of memory";
        return std::nullopt;
    }
}

std::string AddressPolicy::canonicalText() const {
    std::string text;
    if (special) text += "special\n";
    for (const PolicyRule& rule : ownRules) {
        text += std::string(actionName(rule.action)) + " " + prefixText(rule.prefix) + "\n";
    }
    if (kept4 != 32) text += "truncate4 " + std::to_string(kept4) + "\n";
    if (kept6 != 128) text += "truncate6 " + std::to_string(kept6) + "\n";
    return text;
}

}  // namespace ipveil
