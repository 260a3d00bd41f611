// Absolute differences over a mask.
#include "image_stats.h"

#include <cmath>
#include <cstdlib>

namespace imgnorm_cli {

double DifferenceStats::mean() const {
    if (pixels == 0) return 0.0;
    std::uint64_t sum = 0;
    for (std::size_t d = 0; d < histogram.size(); ++d)
        sum += d * histogram[d];
    return static_cast<double>(sum) / static_cast<double>(pixels);
}

std::int32_t DifferenceStats::percentile(double fraction) const {
    if (pixels == 0) return 0;
    const auto needed =
        static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(pixels)));
    std::uint64_t seen = 0;
    for (std::size_t d = 0; d < histogram.size(); ++d) {
        seen += histogram[d];
        if (seen >= needed && seen > 0) return static_cast<std::int32_t>(d);
    }
    return 255;
}

DifferenceStats absoluteDifference(const vkPelBuffer_const<std::uint8_t>& a,
                                   const vkPelBuffer_const<std::uint8_t>& b,
                                   const vkPelBuffer_const<std::uint8_t>& mask) {
    DifferenceStats stats;
    vkPelRect common = a.window() & b.window();
    if (mask.isBound()) common &= mask.window();
    if (common.isNull()) return stats;
    vkPelBuffer_const<std::uint8_t> va(a), vb(b), vm(mask);
    va.window(common);
    vb.window(common);
    if (vm.isBound()) vm.window(common);
    const std::uint8_t* pa = va.pointToOffset();
    const std::uint8_t* pb = vb.pointToOffset();
    const std::uint8_t* pm = vm.isBound() ? vm.pointToOffset() : nullptr;
    for (std::int32_t y = 0; y < common.height(); ++y, pa += va.rowUpdate(), pb += vb.rowUpdate()) {
        if (pm == nullptr) {
            for (std::int32_t x = 0; x < common.width(); ++x)
                ++stats.histogram[static_cast<std::size_t>(std::abs(pa[x] - pb[x]))];
        } else {
            for (std::int32_t x = 0; x < common.width(); ++x)
                if (pm[x] != 0)
                    ++stats.histogram[static_cast<std::size_t>(std::abs(pa[x] - pb[x]))];
            pm += vm.rowUpdate();
        }
    }
    for (const std::uint64_t n : stats.histogram)
        stats.pixels += n;
    return stats;
}

}  // namespace imgnorm_cli
