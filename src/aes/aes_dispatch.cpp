// Chooses the block path once per process: VAES on 512-bit registers, VAES
// on 256-bit registers, AES-NI, then the portable tables. The hardware paths are compiled only for x86 targets
// (IPVEIL_X86_AES), each in its own file with its own instruction-set flags.
#include <atomic>

#include "aes_block_paths.h"

namespace ipveil {

namespace aes_detail {

#if !IPVEIL_X86_AES
const BlockPath* aesNiPath() noexcept { return nullptr; }
const BlockPath* vaesPath() noexcept { return nullptr; }
const BlockPath* vaes512Path() noexcept { return nullptr; }
#endif

namespace {

const BlockPath* pathFor(AesImplementation implementation) noexcept {
    switch (implementation) {
        case AesImplementation::Portable: return &tablePath();
        case AesImplementation::AesNi: return aesNiPath();
        case AesImplementation::Vaes: return vaesPath();
        case AesImplementation::Vaes512: return vaes512Path();
    }
    return nullptr;
}

const BlockPath* fastestPath() noexcept {
    if (const BlockPath* path = vaes512Path()) return path;
    if (const BlockPath* path = vaesPath()) return path;
    if (const BlockPath* path = aesNiPath()) return path;
    return &tablePath();
}

std::atomic<const BlockPath*> selected{nullptr};

}  // namespace

const BlockPath& activePath() noexcept {
    const BlockPath* path = selected.load(std::memory_order_relaxed);
    if (path == nullptr) [[unlikely]] {
        path = fastestPath();
        selected.store(path, std::memory_order_relaxed);
    }
    return *path;
}

}  // namespace aes_detail

bool aesImplementationAvailable(AesImplementation implementation) noexcept {
    return aes_detail::pathFor(implementation) != nullptr;
}

bool selectAesImplementation(AesImplementation implementation) noexcept {
    const aes_detail::BlockPath* path = aes_detail::pathFor(implementation);
    if (path == nullptr) return false;
    aes_detail::selected.store(path, std::memory_order_relaxed);
    return true;
}

AesImplementation activeAesImplementation() noexcept { return aes_detail::activePath().id; }

const char* aesImplementationName(AesImplementation implementation) noexcept {
    switch (implementation) {
        case AesImplementation::Portable: return "portable";
        case AesImplementation::AesNi: return "aes-ni";
        case AesImplementation::Vaes: return "vaes";
        case AesImplementation::Vaes512: return "vaes512";
    }
    return "unknown";
}

}  // namespace ipveil
