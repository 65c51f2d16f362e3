// The AES units' limit for the anonymizer's work: the same number of round
// instructions as 32 (IPv4) or 128 (IPv6) blocks per address, on independent
// registers with nothing else to do, for each instruction width. Benchmarks
// report it beside the anonymizer so that a reader sees how close it comes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes_cipher.h"

namespace ipveil::bench {

// Runs AES-128's ten rounds on blocks * 16 bytes' worth of registers of the
// width `implementation` uses (xmm for AES-NI, ymm for VAES, zmm for VAES
// 512) and returns a fold of the results, so that nothing is optimized away.
// False from `aesLimitAvailable` for the portable path, which has no limit
// of this kind.
bool aesLimitAvailable(AesImplementation implementation);
std::uint64_t aesRounds(AesImplementation implementation, const std::uint8_t* roundKeys, std::size_t blocks);

}  // namespace ipveil::bench
