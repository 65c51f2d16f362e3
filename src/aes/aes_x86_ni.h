// The serial AES-NI mode functions, shared with the VAES path: CBC encryption
// and CFB-1 encryption chain one block into the next, so 256-bit registers
// cannot speed them up and the VAES path borrows these. Internal to the
// library; compiled in aes_x86_ni.cpp with the AES-NI flags, and safe to call
// only where aesNiPath() is non-null.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil::aes_detail {

void aesNiEncryptCbc(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t blocks) noexcept;
void aesNiEncryptCfb1(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv, const std::uint8_t* in,
                      std::uint8_t* out, std::size_t blocks) noexcept;

}  // namespace ipveil::aes_detail
