// The cap of the pixel-block cache as IMGNORM_PEL_CACHE_MB gives it.
#pragma once

#include <cstddef>

namespace vk_detail {

// The cap in bytes that text (the variable's value, or null when it is not
// set) asks for: a whole number of MiB from 0 to 2^20; anything else gives
// the default.
std::size_t pelCacheLimitFromText(const char* text);

}  // namespace vk_detail
