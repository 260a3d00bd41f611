// The trained data of the tool that depends only on the mask and the
// neighbourhood parameters: the binary mask, the mask reduced to the
// granularity grid, and the smoothed mask that weights the masked local mean.
#pragma once

#include <cstdint>

#include "imgnorm/errors.h"
#include "imgnorm/gauss.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

namespace imgnorm_detail {

// Exponent of the fixed-point local mean: it holds 2^7 = 128 times the mean.
constexpr int kLocalMeanShift = 7;

// Each element raised to at least 1. Neighbourhood sizes and granularity
// steps below 1 (only a tool loaded from an archive can hold them, since
// loading bypasses the setters) act as 1: no smoothing and no sub-sampling
// on that axis.
vkPair<std::int32_t> atLeastOne(const vkPair<std::int32_t>& sizes);

// The neighbourhood measured in reduced pixels, always odd: (n / g) | 1 per
// axis. Both granularity elements must be at least 1.
vkPair<std::int32_t> reducedNeighborhood(const vkPair<std::int32_t>& neighborhood,
                                         const vkPair<std::int32_t>& granularity);

// The even Gaussian kernel size whose extent matches a neighbourhood:
// k = sqrt(n^2 / 4 - 2) rounded up to an even number, per axis
// (1 -> 0, 3 -> 2, 7 -> 4, 51 -> 26, 101 -> 52).
vkPair<std::int32_t> gaussKernelSize(const vkPair<std::int32_t>& neighborhood);

// The Gaussian sampling that gaussianLocalMean applies.
vkGaussSampleParams localMeanParams(const vkPair<std::int32_t>& neighborhood,
                                    double gain = 1 << kLocalMeanShift);

// gain (128 by default) times the Gaussian-weighted local mean of source
// over the neighbourhood, rounded, into destination (allocated when
// unbound). The filter runs with identity transforms; the result carries the
// transforms source had on entry, which are restored on source. For 8- and
// 16-bit sources.
template <class Pel>
void gaussianLocalMean(vkPelBuffer<Pel>& source, const vkPair<std::int32_t>& neighborhood,
                       vkPelBuffer<std::uint16_t>& destination, double gain = 1 << kLocalMeanShift);

// The mask part of training: binaryMask (0 or 255, unbound without a mask),
// reducedMask (the binary mask sub-sampled by the granularity, thresholded
// at 128 and dilated by the 5-pixel diamond; only with a mask and a
// granularity above 1) and maskWeights (the smoothed reduced or binary mask;
// only with a mask and eLocalCorrection among the methods). Sizes and steps
// below 1 act as 1 (see atLeastOne).
void trainMasks(vkImageNormalizerDefs::Method methods, const vkPelBuffer_const<std::uint8_t>& maskImage,
                const vkPair<std::int32_t>& neighborhood, const vkPair<std::int32_t>& granularity,
                vkPelBuffer<std::uint8_t>& binaryMask, vkPelBuffer<std::uint8_t>& reducedMask,
                vkPelBuffer<std::uint16_t>& maskWeights);

}  // namespace imgnorm_detail
