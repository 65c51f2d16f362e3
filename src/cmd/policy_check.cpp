// Run by the build: fails it, naming the line, when the policy built into
// the commands (IPVEIL_POLICY_FILE) does not parse, so that no command
// carrying it is ever built.
#include <cstdio>

#include "address_policy.h"
#include "ipveil_policy.h"

int main(int argc, char** argv) {
    ipveil::PolicyError error;
    if (ipveil::AddressPolicy::parse(ipveil::BuiltInPolicy, error)) return 0;
    std::fprintf(stderr, "IPVEIL_POLICY_FILE %s: %s\n", argc > 1 ? argv[1] : "", error.text().c_str());
    return 1;
}
