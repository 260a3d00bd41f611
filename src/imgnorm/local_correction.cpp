// The local corrections: difference, optional reduction, local mean or
// median, resampling and subtraction.
#include "local_correction.h"

#include <algorithm>

#include "imgnorm/attention.h"
#include "imgnorm/gauss.h"
#include "imgnorm/median.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "local_model.h"

namespace imgnorm_detail {

using vkImageNormalizerDefs::eLocalCorrection;
using vkImageNormalizerDefs::Method;

std::uint8_t bandHalfWidth(const vkPair<std::int32_t>& range) {
    const std::int64_t h = std::max(-std::int64_t{range.x()}, std::int64_t{range.y()});
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(h, 0, 127));
}

void reduceDifference(vkPelBuffer<std::uint8_t>& difference, const vkPelBuffer_const<std::uint8_t>& mask,
                      const vkPair<std::int32_t>& granularity, Method method) {
    if (mask.isBound() && method == eLocalCorrection) {
        // The difference holds no 0, so the minimum with a 0/255 mask marks
        // exactly the excluded pixels; they become neutral.
        vfPelMin<std::uint8_t>(difference, mask, difference);
        vkAttention::check();
        vf_PelMapValue(difference, 0, 128);
        vkAttention::check();
    }
    const vkPair<std::int32_t> kernel(granularity.x() - 1, granularity.y() - 1);
    difference = vfGaussSample<std::uint8_t>(difference, vkGaussSampleParams(granularity, kernel, 1.0, true));
}

void shiftDown(const vkPelBuffer_const<std::uint16_t>& source, int bits, vkPelBuffer<std::uint8_t>& destination) {
    if (!source.isBound()) {
        destination.setUnbound();
        return;
    }
    if (!destination.isBound()) destination = vkPelBuffer<std::uint8_t>(source.window());
    destination.copyXforms(source);
    const vkPelRect r = source.window() & destination.window();
    if (r.isNull()) return;
    vkPelBuffer_const<std::uint16_t> s(source);
    s.window(r);
    vkPelBuffer<std::uint8_t> d(destination);
    d.window(r);
    const std::uint16_t* ps = s.pointToOffset();
    std::uint8_t* pd = d.pointToOffset();
    for (std::int32_t y = 0; y < r.height(); ++y, ps += s.rowUpdate(), pd += d.rowUpdate())
        for (std::int32_t x = 0; x < r.width(); ++x) pd[x] = static_cast<std::uint8_t>(ps[x] >> bits);
}

void localMeanEstimate(const vkPelBuffer_const<std::uint8_t>& difference, const vkPelBuffer_const<std::uint8_t>& mask,
                       const vkPelBuffer_const<std::uint16_t>& maskWeights, const vkPair<std::int32_t>& neighborhood,
                       vkPelBuffer<std::uint8_t>& estimate) {
    estimate = mask.isBound() ? vfPelMin<std::uint8_t>(difference, mask) : vfPelCopy<std::uint8_t>(difference);
    vkAttention::check();
    vkPelBuffer<std::uint16_t> sum;
    gaussianLocalMean(estimate, neighborhood, sum);
    if (mask.isBound())
        vf_MaskedPelDivide(sum, maskWeights, mask, estimate, 255);
    else
        shiftDown(sum, kLocalMeanShift, estimate);
}

vkPair<std::int32_t> medianKernel(const vkPair<std::int32_t>& s) {
    // Odd sides; a side above the cap is cut to it at once, which the
    // shrinking below would reach anyway.
    // Sides below 1 become 1, so that the loop below always ends.
    std::int64_t kx = std::clamp<std::int64_t>(s.x() | 1, 1, 32767);
    std::int64_t ky = std::clamp<std::int64_t>(s.y() | 1, 1, 32767);
    while (kx * ky > 32767) {
        if (kx > ky)
            kx -= 2;
        else
            ky -= 2;
    }
    return {static_cast<std::int32_t>(kx), static_cast<std::int32_t>(ky)};
}

void localMedianEstimate(const vkPelBuffer_const<std::uint8_t>& difference,
                         const vkPelBuffer_const<std::uint8_t>& mask, const vkPair<std::int32_t>& s,
                         const vkPair<std::int32_t>& range, vkPelBuffer<std::uint8_t>& estimate) {
    if (s.x() < 2 && s.y() < 2) {
        estimate = vfPelCopy<std::uint8_t>(difference);
        return;
    }
    const vkPair<std::int32_t> valueRange(
        static_cast<std::int32_t>(std::clamp<std::int64_t>(128 + std::int64_t{range.x()}, 0, 255)),
        static_cast<std::int32_t>(std::clamp<std::int64_t>(128 + std::int64_t{range.y()}, 0, 255)));
    const vkPelMedianParams params(medianKernel(s), valueRange, true);
    estimate.setUnbound();
    if (mask.isBound())
        vfPelMedian(difference, mask, params, estimate);
    else
        vfPelMedian(difference, params, estimate);
}

void runLocalCorrection(const vkPelBuffer_const<std::uint8_t>& image, const vkPelBuffer_const<std::uint8_t>& reference,
                        const vkPelBuffer_const<std::uint8_t>& binaryMask,
                        const vkPelBuffer_const<std::uint8_t>& reducedMask,
                        const vkPelBuffer_const<std::uint16_t>& maskWeights, Method method,
                        const vkPair<std::int32_t>& neighborhoodIn, const vkPair<std::int32_t>& granularityIn,
                        const vkPair<std::int32_t>& range, vkPelBuffer<std::uint8_t>& result) {
    const vkPair<std::int32_t> neighborhood = atLeastOne(neighborhoodIn), granularity = atLeastOne(granularityIn);
    vkPelRect rect = image.window() & reference.window();
    if (binaryMask.isBound()) rect &= binaryMask.window();
    vkPelBuffer_const<std::uint8_t> img(image), ref(reference), mask(binaryMask);
    img.window(rect);
    ref.window(rect);
    if (mask.isBound()) mask.window(rect);

    vkPelBuffer<std::uint8_t> difference = vfPelCopy<std::uint8_t>(img);
    vf_PelSubClamp(difference, ref, bandHalfWidth(range));
    vkAttention::check();

    const bool reduce = (granularity.x() > 1 || granularity.y() > 1) && (neighborhood.x() > 1 || neighborhood.y() > 1);

    // The trained reduced mask and weights fit only when they were made from
    // this very window at the resolution the estimate works at; otherwise
    // derive them for the working rectangle.
    vkPelBuffer_const<std::uint8_t> workingMask = mask;
    vkPelBuffer_const<std::uint8_t> reduced = reducedMask;
    vkPelBuffer_const<std::uint16_t> weights = maskWeights;
    if (mask.isBound() && (rect != binaryMask.window() || reduce != reducedMask.isBound())) {
        vkPelBuffer<std::uint8_t> b, r;
        vkPelBuffer<std::uint16_t> w;
        trainMasks(method, mask, neighborhood, reduce ? granularity : vkPair<std::int32_t>(1, 1), b, r, w);
        reduced = r;
        weights = w;
    }

    if (reduce) {
        reduceDifference(difference, workingMask, granularity, method);
        vkAttention::check();
        workingMask = reduced;
    }
    const vkPair<std::int32_t> s = reducedNeighborhood(neighborhood, granularity);

    if (method == eLocalCorrection)
        localMeanEstimate(difference, workingMask, weights, s, result);
    else
        localMedianEstimate(difference, workingMask, s, range, result);

    if (reduce) {
        // The estimate's whole window is resampled onto the working rectangle.
        result.clientFromImageXformBase(vfIdentityXformHandle());
        result = vf_PaddedAffineSample(result, rect.width(), rect.height(), false);
        result.offset(rect.origin());
        result.window(rect);
        result.copyXforms(img);
        vkAttention::check();
    }

    // The output starts as a fresh copy of the run-time pixels.
    if (difference.window() != img.window()) difference.setUnbound();
    vfPelCopy<std::uint8_t>(img, difference);
    vf_PelSubClampSigned(difference, result);
    vkAttention::check();
    result = difference;
    result.copyXforms(image);
}

}  // namespace imgnorm_detail
