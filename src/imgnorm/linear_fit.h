// The linear gray-value fit behind eLinearlyFitGrayValues.
#pragma once

#include <cstdint>
#include <vector>

#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

namespace imgnorm_detail {

// Fills angles with the 63 direction angles the fit projects along.
void buildFitAngles(std::vector<vkDegree>& angles);

// Maps the run-time image through the gray line that best carries its values
// onto the template's, and returns the mapped image.
vkPelBuffer<std::uint8_t> runLinearFit(const vkPelBuffer_const<std::uint8_t>& runTimeImage,
                                       const vkPelBuffer_const<std::uint8_t>& templateImage,
                                       const vkPelBuffer_const<std::uint8_t>& weightImage,
                                       const std::vector<vkDegree>& angles);

}  // namespace imgnorm_detail
