// The local corrections behind eLocalCorrection and eLocalCorrectionEnhanced.
//
// Both estimate, around every pixel, how far the run-time image lies above
// or below the reference, and subtract that slowly varying offset:
//   1. difference = clamp(run-time - reference, -h, h) + 128, with h the band
//      half-width from intensityVariationRange;
//   2. with a granularity above 1 (and a neighbourhood above 1), the
//      difference is smoothed and sub-sampled by the granularity;
//   3. the background estimate is the Gaussian-weighted local mean of the
//      difference over the included pixels (eLocalCorrection) or its local
//      median (eLocalCorrectionEnhanced), kept inside the variation range;
//   4. a reduced estimate is resampled back onto the working rectangle;
//   5. result = clamp(run-time - estimate + 128, 0, 255).
//
// Execution: the stages are fused so that no full-size working image but
// the output is stored when the estimate works at reduced resolution. The
// difference rows are computed as the reduction reads them (for
// eLocalCorrection with a mask, excluded pixels enter it as the neutral 128),
// and the reduced estimate is resampled one row at a time, each row going
// straight into the subtraction. At full resolution the difference is made in
// one pass, the local mean is computed in its storage, and the output is
// written there too. The values are exactly those of the stages run one
// after the other on whole images with the library's pixel functions
// (vf_PelSubClamp, vfPelMin and vf_PelMapValue, vfGaussSample, the local mean
// or median, vf_PaddedAffineSample, vf_PelSubClampSigned). The estimate
// always covers the whole working rectangle. Every stage splits its rows
// over the library's threads (see imgnorm/threads.h), with the same result
// for every number of threads; the passes over full-size rows check for
// cancellation before each strip.
//
// Masks: the trained reduced mask and mask weights describe the mask's whole
// window. When the working rectangle (run-time, reference and mask windows
// intersected) is smaller than the mask's window, or when the trained
// weights were made at another resolution than the estimate works at (a
// granularity above 1 with neighbourhood (1, 1)), the masks for the working
// rectangle are derived on the fly from the binary mask, so that numerator
// and weights of the masked mean always describe the same pixels and an
// included pixel never meets a zero weight.
#pragma once

#include <cstdint>

#include "imgnorm/diag.h"
#include "imgnorm/errors.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

namespace imgnorm_detail {

// Corrects image (already narrowed to the window it shares with the
// reference and the mask) against the reference; result (unbound on entry)
// receives the corrected image on the working rectangle, with the run-time
// image's transforms. Neighbourhood sizes and granularity steps below 1 act
// as 1 (see atLeastOne). A non-null details receives a copy of the
// estimate as the image "Background estimate".
void runLocalCorrection(const vkPelBuffer_const<std::uint8_t>& image,
                        const vkPelBuffer_const<std::uint8_t>& referenceImage,
                        const vkPelBuffer_const<std::uint8_t>& binaryMask,
                        const vkPelBuffer_const<std::uint8_t>& reducedMask,
                        const vkPelBuffer_const<std::uint16_t>& maskWeights,
                        vkImageNormalizerDefs::Method method,
                        const vkPair<std::int32_t>& neighborhoodSize,
                        const vkPair<std::int32_t>& granularity,
                        const vkPair<std::int32_t>& intensityVariationRange,
                        vkPelBuffer<std::uint8_t>& result, vkDiagObject* details = nullptr);

// The band half-width: min(max(-range.x, range.y), 127).
std::uint8_t bandHalfWidth(const vkPair<std::int32_t>& intensityVariationRange);

// 128 + the Gaussian-weighted local mean of the difference: over included
// pixels divided by the weights with a mask (excluded pixels get 0), or the
// 16-bit mean shifted down without one. The estimate takes the difference's
// storage: the difference is overwritten.
void localMeanEstimate(const vkPelBuffer<std::uint8_t>& difference,
                       const vkPelBuffer_const<std::uint8_t>& mask,
                       const vkPelBuffer_const<std::uint16_t>& maskWeights,
                       const vkPair<std::int32_t>& neighborhood,
                       vkPelBuffer<std::uint8_t>& estimate);

// The local median of the difference over included pixels, inside the band
// of the variation range, into a new buffer; with a one-pixel neighbourhood
// the estimate is the difference itself (shared, not copied).
void localMedianEstimate(const vkPelBuffer<std::uint8_t>& difference,
                         const vkPelBuffer_const<std::uint8_t>& mask,
                         const vkPair<std::int32_t>& neighborhood,
                         const vkPair<std::int32_t>& intensityVariationRange,
                         vkPelBuffer<std::uint8_t>& estimate);

// The median kernel for a neighbourhood: odd, at least 1 and at most 32767
// pixels in total (the larger side shrinks first, y on a tie).
vkPair<std::int32_t> medianKernel(const vkPair<std::int32_t>& neighborhood);

// destination = source >> bits over their common window (an unbound
// destination is allocated on the source's window).
void shiftDown(const vkPelBuffer_const<std::uint16_t>& source, int bits, vkPelBuffer<std::uint8_t>& destination);

}  // namespace imgnorm_detail
