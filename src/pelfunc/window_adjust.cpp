// Buffer utilities: recycling a work buffer for a requested window, and
// growing an image by one duplicated border pixel.
#include <cstdint>

#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "pelfunc/border.h"
#include "platform/rows.h"

void vf_AdjustWindow(vkPelBuffer<std::uint8_t>& buffer, const vkPelRect& rect) {
    if (!buffer.isBound()) {
        buffer = vkPelBuffer<std::uint8_t>(rect);
        return;
    }
    // Work on a copy of the handle so that a renumbering that would leave the
    // coordinate range throws with the caller's buffer unchanged.
    vkPelBuffer<std::uint8_t> reused(buffer);
    reused.setEntire();
    if (reused.width() < rect.width() || reused.height() < rect.height()) {
        buffer = vkPelBuffer<std::uint8_t>(rect);
        return;
    }
    reused.offset(rect.origin());
    reused.window(rect);
    buffer = reused;
}

vkPelBuffer<std::uint8_t> vf_ExpandByDuplicatingBorderPixels(const vkPelBuffer_const<std::uint8_t>& source) {
    vk_detail::requireBound(source);
    if (source.window().isNull()) throw vkPel::BadWindow("cannot expand an empty window");
    vkPelBuffer<std::uint8_t> result(source.window().trim(-1, -1, -1, -1));
    result.copyXforms(source);
    vfPelCopy(source, result);
    vk_detail::duplicateBorderPixels(result, 1);
    return result;
}
