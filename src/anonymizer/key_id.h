// The key id: a short public fingerprint of an anonymizer's key and policy,
// so that two releases can be seen to share a mapping without anyone showing
// the key.
//
// Made as the first 8 bytes, in 16 lowercase hexadecimal digits, of
//   SHA-256("ipveil key id 1" || 0x00 || key (32 bytes) || policy text)
// where the policy text is AddressPolicy::canonicalText() (empty without a
// policy, as the empty policy maps alike). SHA-256 is one-way: the id tells
// nothing of the key beyond letting a guess of all 32 bytes be checked, which
// is brute force over 2^256 keys. The prefix keeps the id apart from any
// other hash of the key. Ids of different keys or policies collide with
// probability 2^-64 per pair.
#pragma once

#include <cstdint>
#include <string>

#include "address_policy.h"

namespace ipveil {

std::string keyId(const std::uint8_t* key, const AddressPolicy* policy = nullptr);

}  // namespace ipveil
