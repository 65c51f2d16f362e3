// AddressPolicy: a public list of rules by prefix that the anonymizer applies
// inside its mapping, so that every front end gets the same images.
//
// Text form, one rule a line ('#' starts a comment; blank lines are skipped):
//   preserve P/L   an address inside P maps inside P (its first L bits stay)
//   keep P/L       an address inside P is not changed
//   only P/L       (repeatable) addresses outside every `only` prefix are kept
//                  (with `only` rules of one family alone, every address of
//                  the other is kept)
//   special        the IANA special-purpose blocks (see specialRules()) are
//                  preserved, and 0.0.0.0, 255.255.255.255, :: and ::1 kept
//   truncate4 N    after mapping, zero the bits of an IPv4 image below N
//   truncate6 N    the same for IPv6 (truncation makes the images irreversible)
// P is an IPv4 or IPv6 address with no bit set below L.
//
// Rules for the same prefix written with two different actions on their own
// lines are refused: which one was meant cannot be told. A rule of its own
// replaces the `special` table's rule for the same prefix (so `special` with
// `keep 10.0.0.0/8` keeps 10/8). Nested rules are fine: a `keep` inside a
// `preserve` keeps its addresses, which also stay inside the outer prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ipveil {

enum class PolicyAction { Preserve, Keep, Only };

// An IPv4 prefix occupies bytes 0-3 (network order), the rest zero.
struct PolicyPrefix {
    bool ipv6 = false;
    std::uint8_t bytes[16] = {};
    int length = 0;
    friend bool operator==(const PolicyPrefix&, const PolicyPrefix&) = default;
};

// depth: how many leading bits an address inside the prefix keeps; the
// prefix length for `preserve` and `only`, the whole address for `keep`, and
// 16 for the `special` table's IPv6 multicast rule (ff00::/8 keeping its
// flags and scope).
struct PolicyRule {
    PolicyAction action = PolicyAction::Preserve;
    PolicyPrefix prefix;
    int depth = 0;
};

// Where and why a policy text was refused; line counts from 1.
struct PolicyError {
    int line = 0;
    std::string message;
    // "policy line N: message".
    std::string text() const;
};

class AddressPolicy {
public:
    // The policy of no rules: the mapping as without a policy.
    AddressPolicy() = default;

    // Parses policy text. Never throws: a refusal (or running out of memory)
    // comes back as the error.
    static std::optional<AddressPolicy> parse(std::string_view text, PolicyError& error) noexcept;

    // The rules in force, `special` expanded, one a prefix, sorted by family,
    // prefix bits and length.
    const std::vector<PolicyRule>& rules() const noexcept { return ruleList; }
    // Bits of an image that survive truncation: 32 and 128 when none.
    int truncate4() const noexcept { return kept4; }
    int truncate6() const noexcept { return kept6; }
    // False when a truncation makes images impossible to turn back.
    bool reversible() const noexcept { return kept4 == 32 && kept6 == 128; }
    bool empty() const noexcept { return ruleList.empty() && reversible(); }

    // The policy as text: `special`, its own rules one a line in rules()
    // order, then the truncations; equal for policies written alike in any
    // order, with comments or repeats, and itself parseable to
    // the same policy. `special` stays one word: its table is this build's.
    // Empty for the empty policy.
    std::string canonicalText() const;

private:
    bool special = false;
    std::vector<PolicyRule> ownRules;  // the policy's own lines, sorted
    std::vector<PolicyRule> ruleList;
    int kept4 = 32;
    int kept6 = 128;
};

// The `special` table, written from the IANA IPv4 and IPv6 Special-Purpose
// Address Registries with multicast and the reserved IPv4 block added.
const std::vector<PolicyRule>& specialRules();

}  // namespace ipveil
