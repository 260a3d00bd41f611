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
// straight into the subtraction; the local mean (without a diagnostics
// object, which records the whole estimate) goes further and
// runs every stage on bands of rows, each thread down a strip of its own,
// so that the run-time rows are subtracted while still in cache and no
// stage waits for another to finish the whole image. At full resolution the difference is made in
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
//
// Deep images (16-bit, values of depth d = 9..16 bits) go through the same
// stages with their own levels: the difference is biased by 2^(d-1), h is at
// most 2^(d-1) - 1, the result is clamped to 0..2^d - 1, and the median's
// value range is the variation range around 2^(d-1). The local mean holds
// 2^(16-d) times the mean (in place of 128 times) before it is divided by the
// mask's weights, scaled accordingly, or shifted down; excluded pixels enter
// the masked mean as 0 and the reduction as the neutral 2^(d-1). The deep
// estimate is magnified as its high and low bytes, recombined row by row.
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
// estimate as the image "Background estimate". depth: 8 for 8-bit images,
// 9..16 for deep ones, where a value of image or referenceImage above
// 2^depth - 1 is refused with BadImage (named "Image" or "referenceImage()")
// by the pass that computes the difference, before the estimate.
template <class Pel>
void runLocalCorrection(
    const vkPelBuffer_const<Pel>& image, const vkPelBuffer_const<Pel>& referenceImage,
    const vkPelBuffer_const<std::uint8_t>& binaryMask,
    const vkPelBuffer_const<std::uint8_t>& reducedMask,
    const vkPelBuffer_const<std::uint16_t>& maskWeights, vkImageNormalizerDefs::Method method,
    const vkPair<std::int32_t>& neighborhoodSize, const vkPair<std::int32_t>& granularity,
    const vkPair<std::int32_t>& intensityVariationRange, vkPelBuffer<Pel>& result,
    vkDiagObject* details = nullptr, std::int32_t depth = 8);

// The band half-width: min(max(-range.x, range.y), 2^(depth-1) - 1).
std::int32_t bandHalfWidth(const vkPair<std::int32_t>& intensityVariationRange,
                           std::int32_t depth = 8);

// 2^(depth-1) + the Gaussian-weighted local mean of the difference: over
// included pixels divided by the weights with a mask (excluded pixels get
// 0), or the 16-bit fixed-point mean shifted down without one. The estimate
// takes the difference's storage: the difference is overwritten.
template <class Pel>
void localMeanEstimate(const vkPelBuffer<Pel>& difference,
                       const vkPelBuffer_const<std::uint8_t>& mask,
                       const vkPelBuffer_const<std::uint16_t>& maskWeights,
                       const vkPair<std::int32_t>& neighborhood, vkPelBuffer<Pel>& estimate,
                       std::int32_t depth = 8);

// The local median of the difference over included pixels, inside the band
// of the variation range, into a new buffer; with a one-pixel neighbourhood
// the estimate is the difference itself (shared, not copied).
template <class Pel>
void localMedianEstimate(const vkPelBuffer<Pel>& difference,
                         const vkPelBuffer_const<std::uint8_t>& mask,
                         const vkPair<std::int32_t>& neighborhood,
                         const vkPair<std::int32_t>& intensityVariationRange,
                         vkPelBuffer<Pel>& estimate, std::int32_t depth = 8);

// The median kernel for a neighbourhood: odd, at least 1 and at most 32767
// pixels in total (the larger side shrinks first, y on a tie).
vkPair<std::int32_t> medianKernel(const vkPair<std::int32_t>& neighborhood);

// destination = source >> bits over their common window (an unbound
// destination is allocated on the source's window).
template <class Pel>
void shiftDown(const vkPelBuffer_const<std::uint16_t>& source, int bits,
               vkPelBuffer<Pel>& destination);

}  // namespace imgnorm_detail
