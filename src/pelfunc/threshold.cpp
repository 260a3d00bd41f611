// Binarisation at a fixed or automatic threshold, unmasked and masked.
#include "platform/threshold.h"

#include <cstdint>
#include <vector>

#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "platform/rows.h"

namespace {

using Pel = std::uint8_t;

// 255 at or above t, else 0. Written as a compare, not a table lookup, so that
// the row vectorises.
void thresholdRow(const Pel* src, Pel* dst, std::int32_t n, Pel t) {
    for (std::int32_t x = 0; x < n; ++x) dst[x] = src[x] >= t ? Pel{255} : Pel{0};
}

void maskedThresholdRow(const Pel* src, const Pel* mask, Pel* dst, std::int32_t n, Pel t) {
    for (std::int32_t x = 0; x < n; ++x) dst[x] = ((mask[x] != 0) & (src[x] >= t)) ? Pel{255} : Pel{0};
}

}  // namespace

vkPelBuffer<std::uint8_t> vf_PelThreshold(const vkPelBuffer_const<std::uint8_t>& source, unsigned char threshold) {
    vk_detail::requireBound(source);
    vkPelBuffer<Pel> out(source.window());
    out.copyXforms(source);
    vk_detail::forRows(source.pointToOffset(), source.rowUpdate(), out.pointToOffset(), out.rowUpdate(),
                       source.width(), source.height(),
                       [threshold](const Pel* s, Pel* d, std::int32_t n) { thresholdRow(s, d, n, threshold); });
    return out;
}

std::int32_t vf_OtsuThreshold(const std::vector<std::uint32_t>& histogram) {
    vkThresholdResult result;
    vfThresholdWGV(histogram, result, 0, -1);
    return result.threshold();
}

vkPelBuffer<std::uint8_t> vf_PelThreshold(const vkPelBuffer_const<std::uint8_t>& source) {
    std::vector<std::uint32_t> histogram;
    vfPelHistogram(source, histogram);
    // The threshold of a 256-bin histogram lies in 0..255.
    return vf_PelThreshold(source, static_cast<unsigned char>(vf_OtsuThreshold(histogram)));
}

void vf_MaskedPelThreshold(const vkPelBuffer_const<std::uint8_t>& source, const vkPelBuffer_const<std::uint8_t>& mask,
                           unsigned char threshold, vkPelBuffer<std::uint8_t>& destination) {
    vk_detail::requireBound(source);
    if (!mask.isBound()) {
        destination = vf_PelThreshold(source, threshold);
        return;
    }
    vkPelRect r = source.window() & mask.window();
    if (destination.isBound()) {
        r &= destination.window();
    } else if (!r.isNull()) {
        destination = vkPelBuffer<Pel>(r);
        destination.copyXforms(source);
    }
    if (r.isNull()) return;

    vkPelBuffer_const<Pel> s = vk_detail::narrowed(source, r);
    vkPelBuffer_const<Pel> m = vk_detail::narrowed(mask, r);
    const vkPelBuffer<Pel> d = vk_detail::narrowed(destination, r);
    // Inputs that share the destination's storage at another place are read
    // from copies, so that every pixel is judged by its value before the call.
    if (vk_detail::shiftedAlias(s, d)) s = vfPelCopy(s);
    if (vk_detail::shiftedAlias(m, d)) m = vfPelCopy(m);
    const Pel* sp = s.pointToOffset();
    const Pel* mp = m.pointToOffset();
    Pel* dp = d.pointToOffset();
    for (std::int32_t y = 0; y < r.height(); ++y, sp += s.rowUpdate(), mp += m.rowUpdate(), dp += d.rowUpdate())
        maskedThresholdRow(sp, mp, dp, r.width(), threshold);
}
