// Helpers shared by the AesCipher tests: byte buffers, random data, and a
// fixture that runs a test through one block implementation.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "aes_cipher.h"

namespace ipveil::aes_test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr const auto& AllImplementations = AllAesImplementations;
inline constexpr int AllKeySizes[] = {Bits128, Bits192, Bits256};

inline std::size_t keyLength(int keySize) { return 16 + 8 * static_cast<std::size_t>(keySize); }

inline Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
    return out;
}

inline Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// gtest parameter names may not contain the '-' of "aes-ni".
inline std::string implementationLabel(const ::testing::TestParamInfo<AesImplementation>& info) {
    switch (info.param) {
        case AesImplementation::Portable: return "Portable";
        case AesImplementation::AesNi: return "AesNi";
        case AesImplementation::Vaes: return "Vaes";
        case AesImplementation::Vaes512: return "Vaes512";
    }
    return "Unknown";
}

// Selects the implementation under test for the whole process, so it must
// put back the one that was in use: later tests expect the default.
class PerImplementation : public ::testing::TestWithParam<AesImplementation> {
protected:
    void SetUp() override {
        previous = activeAesImplementation();
        if (!selectAesImplementation(GetParam())) {
            GTEST_SKIP() << aesImplementationName(GetParam()) << " is not available here";
        }
    }
    void TearDown() override { selectAesImplementation(previous); }

private:
    AesImplementation previous = AesImplementation::Portable;
};

}  // namespace ipveil::aes_test

namespace ipveil {
// Found by gtest through ADL: names the parameter in test output and in the
// names ctest lists, instead of a byte dump.
inline void PrintTo(AesImplementation implementation, std::ostream* os) {
    *os << aesImplementationName(implementation);
}
}  // namespace ipveil

#define IPVEIL_FOR_EACH_IMPLEMENTATION(Fixture)                                                           \
    INSTANTIATE_TEST_SUITE_P(Paths, Fixture, ::testing::ValuesIn(::ipveil::aes_test::AllImplementations), \
                             ::ipveil::aes_test::implementationLabel)
