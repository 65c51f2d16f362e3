// The portable index path and the choice of path. The AVX-512 one is
// compiled in its own file, with its own instruction-set flags
// (IPVEIL_X86_SCAN); this file decides, from the one CPU probe, whether its
// instructions may run, and must not use them itself.
#include "text_scan.h"

#include <atomic>

#include "cpu_features.h"

namespace ipveil::trace {

namespace scan_detail {

namespace {

// For the tests, which check the index the same way on any machine.
std::size_t portableIndexBlocks(const char* p, std::size_t blocks, std::uint32_t base, std::uint32_t* out) noexcept {
    std::uint32_t* const first = out;
    for (std::uint32_t i = 0; i < 64 * blocks; ++i) {
        if (static_cast<unsigned char>(p[i] - '0') > 9) *out++ = base + i;
    }
    return static_cast<std::size_t>(out - first);
}

#if IPVEIL_X86_SCAN
// The AVX-512 path's instructions: F, BW, VL, VBMI and VBMI2 with their
// registers saved by the OS, and the POPCNT its file is built with.
bool cpuHasAvx512Vbmi2() noexcept {
    const CpuFeatures& cpu = cpuFeatures();
    return cpu.avx512Vbmi && cpu.popcnt;
}
#endif

// The index's function for a path; null for Record, and where unavailable.
IndexBlocks pathFor(ScanPath path) noexcept {
    switch (path) {
        case ScanPath::Record: return nullptr;
        case ScanPath::PortableIndex: return portableIndexBlocks;
        case ScanPath::Avx512Index: return avx512IndexBlocks();
    }
    return nullptr;
}

bool available(ScanPath path) noexcept { return path == ScanPath::Record || pathFor(path) != nullptr; }

// The path, chosen on first use (-1 until then), and its functions.
std::atomic<int> selected{-1};
std::atomic<IndexBlocks> selectedBlocks{nullptr};
std::atomic<Ipv6Text> selectedIpv6{nullptr};
std::atomic<Ipv6Print> selectedPrint{nullptr};
std::atomic<Records> selectedRecords{nullptr};

void choose(ScanPath path) noexcept {
    const bool avx512 = path == ScanPath::Avx512Index;
    selectedBlocks.store(pathFor(path), std::memory_order_relaxed);
    selectedIpv6.store(avx512 ? avx512Ipv6Text() : nullptr, std::memory_order_relaxed);
    selectedPrint.store(avx512 ? avx512Ipv6Printer() : nullptr, std::memory_order_relaxed);
    selectedRecords.store(avx512 ? avx512Records() : nullptr, std::memory_order_relaxed);
    selected.store(static_cast<int>(path), std::memory_order_relaxed);
}

}  // namespace

#if IPVEIL_X86_SCAN
std::size_t avx512Blocks(const char* p, std::size_t blocks, std::uint32_t base, std::uint32_t* out) noexcept;
unsigned avx512Ipv6(const char* p, Ipv6Address& address, unsigned& nonDigits) noexcept;
char* avx512Ipv6Print(char* out, const Ipv6Address& address) noexcept;
void avx512RecordRun(RecordRun& run) noexcept;
IndexBlocks avx512IndexBlocks() noexcept { return cpuHasAvx512Vbmi2() ? avx512Blocks : nullptr; }
Ipv6Text avx512Ipv6Text() noexcept { return cpuHasAvx512Vbmi2() ? avx512Ipv6 : nullptr; }
Ipv6Print avx512Ipv6Printer() noexcept { return cpuHasAvx512Vbmi2() ? avx512Ipv6Print : nullptr; }
Records avx512Records() noexcept { return cpuHasAvx512Vbmi2() ? avx512RecordRun : nullptr; }
#else
IndexBlocks avx512IndexBlocks() noexcept { return nullptr; }
Ipv6Text avx512Ipv6Text() noexcept { return nullptr; }
Ipv6Print avx512Ipv6Printer() noexcept { return nullptr; }
Records avx512Records() noexcept { return nullptr; }
#endif

namespace {
void chooseOnce() noexcept {
    if (selected.load(std::memory_order_relaxed) < 0) [[unlikely]] {
        choose(available(ScanPath::Avx512Index) ? ScanPath::Avx512Index : ScanPath::Record);
    }
}
}  // namespace

IndexPath activeIndexPath() noexcept {
    chooseOnce();
    return {selectedBlocks.load(std::memory_order_relaxed), selectedIpv6.load(std::memory_order_relaxed),
            selectedRecords.load(std::memory_order_relaxed)};
}

Ipv6Print activeIpv6Print() noexcept {
    chooseOnce();
    return selectedPrint.load(std::memory_order_relaxed);
}

}  // namespace scan_detail

bool scanPathAvailable(ScanPath path) noexcept { return scan_detail::available(path); }

bool selectScanPath(ScanPath path) noexcept {
    if (!scan_detail::available(path)) return false;
    scan_detail::choose(path);
    return true;
}

ScanPath activeScanPath() noexcept {
    scan_detail::activeIndexPath();
    return static_cast<ScanPath>(scan_detail::selected.load(std::memory_order_relaxed));
}

const char* scanPathName(ScanPath path) noexcept {
    switch (path) {
        case ScanPath::Record: return "record";
        case ScanPath::PortableIndex: return "portable-index";
        case ScanPath::Avx512Index: return "avx512-index";
    }
    return "unknown";
}

}  // namespace ipveil::trace
