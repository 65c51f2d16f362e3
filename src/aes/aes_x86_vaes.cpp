// Placeholder until the hardware path lands.
#include "aes_block_paths.h"
namespace ipveil::aes_detail {
const BlockPath* vaesPath() noexcept { return nullptr; }
}
