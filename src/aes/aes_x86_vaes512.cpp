// The VAES block path on 512-bit registers: four blocks per zmm register.
#include "aes_block_paths.h"

namespace ipveil::aes_detail {

// Until the modes have their own 512-bit code they run the 256-bit path's;
// the anonymizer's kernels already use the full width.
const BlockPath* vaes512Path() noexcept {
    const BlockPath* narrow = vaesPath();
    if (narrow == nullptr || !cpuHasVaes512()) return nullptr;
    static const BlockPath path = [narrow] {
        BlockPath wide = *narrow;
        wide.id = AesImplementation::Vaes512;
        return wide;
    }();
    return &path;
}

}  // namespace ipveil::aes_detail
