#include "key_id.h"

#include "prefix_anonymizer.h"
#include "sha256.h"

namespace ipveil {

std::string keyId(const std::uint8_t* key, const AddressPolicy* policy) {
    static constexpr char Domain[] = "ipveil key id 1";  // with its terminating zero
    Sha256 hash;
    hash.update(Domain, sizeof Domain);
    hash.update(key, PrefixAnonymizer::KeyBytes);
    if (policy != nullptr) {
        const std::string text = policy->canonicalText();
        hash.update(text.data(), text.size());
    }
    std::uint8_t digest[Sha256::DigestBytes];
    hash.finish(digest);
    static constexpr char Hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 8; ++i) {
        id += Hex[digest[i] >> 4];
        id += Hex[digest[i] & 15];
    }
    return id;
}

}  // namespace ipveil
