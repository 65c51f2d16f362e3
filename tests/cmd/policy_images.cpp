// The images PrefixAnonymizer gives under a key file and a policy file, in
// the text command's output layout, so that pcap_tshark_check.py can hold
// ipveil-pcap's --key-file and --policy to the anonymizer itself.
//
//   policy_images KEYFILE POLICYFILE TRACE
//
// TRACE: lines "TIME LENGTH ADDRESS"; each comes out as TIME<tab>LENGTH<tab>IMAGE.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "address_policy.h"
#include "ipv6_address.h"
#include "key_file.h"
#include "prefix_anonymizer.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: policy_images KEYFILE POLICYFILE TRACE\n", stderr);
        return 2;
    }
    std::uint8_t key[32];
    std::string message;
    if (!ipveil::io::readKeyFile(argv[1], key, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    std::ifstream policyFile(argv[2]);
    const std::string text((std::istreambuf_iterator<char>(policyFile)), std::istreambuf_iterator<char>());
    ipveil::PolicyError error;
    const auto policy = ipveil::AddressPolicy::parse(text, error);
    if (!policy) {
        std::fprintf(stderr, "%s\n", error.text().c_str());
        return 1;
    }
    const ipveil::PrefixAnonymizer anonymizer(key, *policy);
    std::ifstream trace(argv[3]);
    std::string line;
    while (std::getline(trace, line)) {
        std::istringstream fields(line);
        std::string time, length, address;
        fields >> time >> length >> address;
        unsigned a, b, c, d;
        char end;
        if (std::sscanf(address.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) == 4) {
            const std::uint32_t image = anonymizer.anonymize(a << 24 | b << 16 | c << 8 | d);
            std::printf("%s\t%s\t%u.%u.%u.%u\n", time.c_str(), length.c_str(), image >> 24, image >> 16 & 255,
                        image >> 8 & 255, image & 255);
            continue;
        }
        ipveil::Ipv6Address parsed;
        if (!ipveil::parseIpv6Address(address.data(), address.data() + address.size(), parsed)) {
            std::fprintf(stderr, "not an address: %s\n", address.c_str());
            return 1;
        }
        char shown[64];
        *ipveil::formatIpv6Address(shown, anonymizer.anonymize(parsed)) = '\0';
        std::printf("%s\t%s\t%s\n", time.c_str(), length.c_str(), shown);
    }
    return 0;
}
