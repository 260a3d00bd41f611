// Replacing one gray value by another, in place.
#include <cstdint>

#include "imgnorm/pelfunc.h"
#include "platform/rows.h"

void vf_PelMapValue(vkPelBuffer<std::uint8_t>& image, unsigned char from, unsigned char to) {
    vk_detail::requireBound(image);
    if (from == to) return;
    // A compare and select per pixel: the same result as a 256-entry table
    // that differs from the identity only at `from`, but it vectorizes.
    // Sizes in locals: a byte store could alias the handle's members, which
    // would force a reload per pixel and stop the vectorization.
    const std::int32_t w = image.width(), h = image.height();
    const std::ptrdiff_t stride = image.rowUpdate();
    std::uint8_t* row = image.pointToOffset();
    for (std::int32_t y = 0; y < h; ++y, row += stride)
        for (std::int32_t x = 0; x < w; ++x) row[x] = row[x] == from ? to : row[x];
}
