// The block implementations behind AesCipher, one table of functions each.
//
// Every path reads the same round keys: (rounds + 1) round keys of 16 bytes in
// FIPS-197 byte order, as AesCipher stores them; for decryption, the middle
// round keys already carry InvMixColumns (the equivalent inverse cipher),
// which is also the form the AES-NI decryption instructions expect.
// Buffers may be the same (in place) but must not overlap otherwise. The mode
// functions start from `iv` and leave it unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes_cipher.h"

namespace ipveil::aes_detail {

using EcbFunction = void (*)(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in,
                             std::uint8_t* out, std::size_t blocks) noexcept;
using ChainFunction = void (*)(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* iv,
                               const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) noexcept;

struct BlockPath {
    AesImplementation id;
    EcbFunction encryptEcb;
    EcbFunction decryptEcb;   // decryption-form round keys
    ChainFunction encryptCbc;
    ChainFunction decryptCbc;  // decryption-form round keys
    // CFB-1 over blocks * 128 data bits, most significant bit of byte 0 first;
    // both directions run the forward cipher on encryption-form round keys.
    ChainFunction encryptCfb1;
    ChainFunction decryptCfb1;
};

// The portable table-driven path; always present.
const BlockPath& tablePath() noexcept;
// The hardware paths' tables, each defined in its own file with its
// instruction-set flags (x86-64 builds only). Whether the CPU may run them
// is decided in aes_dispatch.cpp, from the one CPU probe.
const BlockPath& aesNiBlocks() noexcept;
const BlockPath& vaesBlocks() noexcept;
const BlockPath& vaes512Blocks() noexcept;
// The hardware paths, or null where this build or this CPU lacks them.
const BlockPath* aesNiPath() noexcept;
const BlockPath* vaesPath() noexcept;
const BlockPath* vaes512Path() noexcept;

// The path every context uses, chosen on first use.
const BlockPath& activePath() noexcept;

// One block through the table-driven transforms; in and out may coincide.
void tableEncryptBlock(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in,
                       std::uint8_t* out) noexcept;
void tableDecryptBlock(const std::uint8_t* roundKeys, unsigned rounds, const std::uint8_t* in,
                       std::uint8_t* out) noexcept;

}  // namespace ipveil::aes_detail
