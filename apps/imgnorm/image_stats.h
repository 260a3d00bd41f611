// How far two images lie apart over a mask: the compare command's figures
// and the report's.
#pragma once

#include <array>
#include <cstdint>

#include <imgnorm/pelbuffer.h>

namespace imgnorm_cli {

struct DifferenceStats {
    std::array<std::uint64_t, 256> histogram{};  // pixels by |a - b|
    std::uint64_t pixels = 0;

    double mean() const;
    // The smallest difference that at least fraction (0..1) of the pixels
    // do not exceed; 0 without pixels.
    std::int32_t percentile(double fraction) const;
    std::int32_t largest() const { return percentile(1.0); }
};

// |a - b| over the window common to a, b and (when bound) the mask, at the
// pixels where the mask is not 0.
DifferenceStats absoluteDifference(const vkPelBuffer_const<std::uint8_t>& a,
                                   const vkPelBuffer_const<std::uint8_t>& b,
                                   const vkPelBuffer_const<std::uint8_t>& mask);

}  // namespace imgnorm_cli
