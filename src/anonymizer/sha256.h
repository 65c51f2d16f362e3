// SHA-256 (FIPS 180-4), for the key id: one message at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil {

class Sha256 {
public:
    static constexpr int DigestBytes = 32;

    Sha256() noexcept;
    void update(const void* data, std::size_t size) noexcept;
    // Writes the digest; the object is then spent.
    void finish(std::uint8_t* digest) noexcept;

private:
    void compress(const std::uint8_t* block) noexcept;

    std::uint32_t state[8];
    std::uint8_t buffer[64];
    std::size_t buffered = 0;
    std::uint64_t total = 0;
};

}  // namespace ipveil
