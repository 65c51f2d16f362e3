// What the AES-NI and VAES paths share: the dispatch on the round count, and
// the serial AES-NI mode functions. CBC and CFB-1 encryption chain one block
// into the next, so 256-bit registers cannot speed them up and the VAES path
// borrows these. Internal to the library; compiled in aes_x86_ni.cpp with the
// AES-NI flags, and safe to call only where aesNiPath() is non-null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ipveil::aes_detail {

// Calls body with the round count as a compile-time constant. AesCipher only
// produces 10, 12 or 14 rounds.
template <typename Body>
inline void withRounds(unsigned rounds, Body&& body) noexcept {
    if (rounds == 10) {
        body(std::integral_constant<unsigned, 10>{});
    } else if (rounds == 12) {
        body(std::integral_constant<unsigned, 12>{});
    } else {
        body(std::integral_constant<unsigned, 14>{});
    }
}

void aesNiEncryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t blocks) noexcept;
void aesNiEncryptCfb1(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                      std::uint8_t* out, std::size_t blocks) noexcept;

}  // namespace ipveil::aes_detail
