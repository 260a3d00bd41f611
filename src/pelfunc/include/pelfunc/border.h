// Filling a border ring of duplicated pixels, shared by the padded sampling
// and the border expansion.
#pragma once

#include <cstdint>

#include "imgnorm/pelbuffer.h"

namespace vk_detail {

// Treats the outer `border` pixels on every side of the buffer's window as a
// ring around the interior and gives every ring pixel the value of the
// interior pixel nearest to it (corners take the interior's corner pixels).
// Requires a bound buffer, border >= 0 and an interior of at least 1 x 1;
// otherwise vkAssertionFailure, with nothing written.
void duplicateBorderPixels(vkPelBuffer<std::uint8_t>& buffer, int border);
// The same for the interior rows [first, end) only: their left and right
// ring pixels, and the ring rows above (below) when first is the first
// (end is past the last) interior row.
void duplicateBorderPixels(vkPelBuffer<std::uint8_t>& buffer, int border, std::int64_t first,
                           std::int64_t end);

}  // namespace vk_detail
