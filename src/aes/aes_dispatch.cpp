// Chooses the block path once per process: VAES on 512-bit registers, VAES
// on 256-bit registers, AES-NI, then the portable tables. The hardware paths
// are compiled only for x86 targets (IPVEIL_X86_AES), each in its own file
// with its own instruction-set flags; which of them this CPU may run is read
// here from the project's one CPU probe.
#include <atomic>

#include "aes_block_paths.h"
#include "cpu_features.h"

namespace ipveil {

namespace aes_detail {

#if IPVEIL_X86_AES
// pblendvb and pinsrb are SSE4.1, which every AES-NI CPU has; the probe's
// aesNi checks it too.
const BlockPath* aesNiPath() noexcept { return cpuFeatures().aesNi ? &aesNiBlocks() : nullptr; }
// The serial modes of both VAES paths come from the AES-NI path, so it must
// be usable too; the 512-bit path requires the 256-bit one as well, so that
// the order of preference stays a chain of ever wider CPUs.
const BlockPath* vaesPath() noexcept {
    const CpuFeatures& cpu = cpuFeatures();
    return cpu.vaes && cpu.avx2 && aesNiPath() != nullptr ? &vaesBlocks() : nullptr;
}
const BlockPath* vaes512Path() noexcept {
    return vaesPath() != nullptr && cpuFeatures().avx512 ? &vaes512Blocks() : nullptr;
}
#else
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
