// The local corrections behind eLocalCorrection and eLocalCorrectionEnhanced.
#pragma once

#include <cstdint>

#include "imgnorm/errors.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

namespace imgnorm_detail {

// Corrects uneven illumination of image (already narrowed to the window it
// shares with the reference and the mask) against the reference, by the
// local mean (eLocalCorrection) or local median (eLocalCorrectionEnhanced)
// of their difference; result (unbound on entry) receives the corrected
// image on the working rectangle, with the run-time image's transforms.
void runLocalCorrection(const vkPelBuffer_const<std::uint8_t>& image,
                        const vkPelBuffer_const<std::uint8_t>& referenceImage,
                        const vkPelBuffer_const<std::uint8_t>& binaryMask,
                        const vkPelBuffer_const<std::uint8_t>& reducedMask,
                        const vkPelBuffer_const<std::uint16_t>& maskWeights, vkImageNormalizerDefs::Method method,
                        const vkPair<std::int32_t>& neighborhoodSize, const vkPair<std::int32_t>& granularity,
                        const vkPair<std::int32_t>& intensityVariationRange, vkPelBuffer<std::uint8_t>& result);

}  // namespace imgnorm_detail
