// The local corrections: difference, optional reduction, local mean or
// median, resampling and subtraction.
#include "imgnorm/local_correction.h"

#include <algorithm>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/gauss.h"
#include "imgnorm/local_model.h"
#include "imgnorm/median.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "pelfunc/padded_sample.h"
#include "pelfunc/saturate.h"
#include "platform/affine_rows.h"
#include "platform/gauss_rows.h"
#include "platform/parallel.h"
#include "platform/rows.h"

namespace imgnorm_detail {

using vkImageNormalizerDefs::eLocalCorrection;
using vkImageNormalizerDefs::Method;

std::uint8_t bandHalfWidth(const vkPair<std::int32_t>& range) {
    const std::int64_t h = std::max(-std::int64_t{range.x()}, std::int64_t{range.y()});
    return static_cast<std::uint8_t>(std::clamp<std::int64_t>(h, 0, 127));
}

namespace {

VK_ROW_KERNEL void shiftRow(const std::uint16_t* __restrict s, std::uint8_t* __restrict d,
                            std::int32_t n, int bits) {
    for (std::int32_t x = 0; x < n; ++x)
        d[x] = static_cast<std::uint8_t>(s[x] >> bits);
}

}  // namespace

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
    const std::ptrdiff_t ss = s.rowUpdate(), ds = d.rowUpdate();
    const std::int32_t w = r.width();
    vk_detail::parallelRows(r.height(), vk_detail::stripRows(r.height(), w),
                            [&](std::int32_t y0, std::int32_t y1) {
                                for (std::int32_t y = y0; y < y1; ++y)
                                    shiftRow(ps + y * ss, pd + y * ds, w, bits);
                            });
}

void localMeanEstimate(const vkPelBuffer<std::uint8_t>& difference,
                       const vkPelBuffer_const<std::uint8_t>& mask,
                       const vkPelBuffer_const<std::uint16_t>& maskWeights,
                       const vkPair<std::int32_t>& neighborhood,
                       vkPelBuffer<std::uint8_t>& estimate) {
    // The difference is not needed once it has been smoothed: the estimate
    // takes its storage.
    estimate = difference;
    if (mask.isBound()) vfPelMin<std::uint8_t>(estimate, mask, estimate);
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

void localMedianEstimate(const vkPelBuffer<std::uint8_t>& difference,
                         const vkPelBuffer_const<std::uint8_t>& mask, const vkPair<std::int32_t>& s,
                         const vkPair<std::int32_t>& range, vkPelBuffer<std::uint8_t>& estimate) {
    if (s.x() < 2 && s.y() < 2) {
        estimate = difference;
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

namespace {

// Row kernels, in saturating byte arithmetic; they give the values of
// vf_PelSubClamp and vf_PelSubClampSigned.
using vk_detail::subBiased;

// d = clamp(a - b, -h, h) + 128, with lo = 128 - h and hi = 128 + h.
VK_ROW_KERNEL void differenceRow(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b,
                                 std::uint8_t* __restrict d, std::int32_t n, std::uint8_t lo,
                                 std::uint8_t hi) {
    for (std::int32_t x = 0; x < n; ++x)
        d[x] = std::min(std::max(subBiased(a[x], b[x]), lo), hi);
}
// The same, then min(d, m) with 0 turned into the neutral 128: what the
// masked mean's reduction reads.
VK_ROW_KERNEL void neutralDifferenceRow(const std::uint8_t* __restrict a,
                                        const std::uint8_t* __restrict b,
                                        const std::uint8_t* __restrict m,
                                        std::uint8_t* __restrict d, std::int32_t n, std::uint8_t lo,
                                        std::uint8_t hi) {
    for (std::int32_t x = 0; x < n; ++x) {
        const std::uint8_t v = std::min(std::min(std::max(subBiased(a[x], b[x]), lo), hi), m[x]);
        d[x] = v == 0 ? std::uint8_t{128} : v;
    }
}
// out = clamp(a - e + 128, 0, 255); out may be e.
VK_ROW_KERNEL void correctRow(const std::uint8_t* a, const std::uint8_t* e, std::uint8_t* out,
                              std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = subBiased(a[x], e[x]);
}
// The same with the estimate made on the spot from its two interpolated
// rows (the bilinear resampling's last step).
VK_ROW_KERNEL void correctRowBilinear(const std::uint8_t* __restrict a, const float* __restrict r0,
                                      const float* __restrict r1, float w0, float w1,
                                      std::uint8_t* __restrict out, std::int32_t n) {
    // In 32-bit lanes, where the estimate already is, the clamp costs less
    // than the byte form.
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = static_cast<std::uint8_t>(std::clamp(
            std::int32_t{a[x]} + 128 - std::int32_t{vk_detail::bilinearPel(w0, r0[x], w1, r1[x])},
            0, 255));
}

// Calls f(y0, y1) for strips of the rows [0, height) of a width-pixel image
// on the library's threads; each strip first checks for cancellation. For
// the passes whose rows depend on nothing but the same rows of their inputs.
template <class F>
void rowStrips(std::int32_t height, std::int32_t width, F&& f) {
    vk_detail::parallelRows(height, vk_detail::stripRows(height, width),
                            [&](std::int32_t y0, std::int32_t y1) {
                                vkAttention::check();
                                f(y0, y1);
                            });
}

// The same from the integer form of the two rows (an exact magnification
// by 2 or 4): the estimate in 16-bit lanes, twice as many as the float form
// has.
VK_ROW_KERNEL void correctRowFixed(const std::uint8_t* __restrict a,
                                   const std::uint16_t* __restrict r0,
                                   const std::uint16_t* __restrict r1, std::uint16_t w0,
                                   std::uint16_t w1, std::uint8_t* __restrict out, std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x) {
        const auto sum = static_cast<std::uint16_t>(w0 * r0[x] + w1 * r1[x] + 32);
        out[x] = subBiased(a[x], static_cast<std::uint8_t>(sum >> 6));
    }
}

// The rows of the difference image on the working rectangle, made as the
// reduction asks for them.
class DifferenceRows final : public vk_detail::GaussRowSource<std::uint8_t> {
  public:
    // neutral: a mask whose excluded pixels become 128 (unbound: none).
    DifferenceRows(const vkPelBuffer_const<std::uint8_t>& img,
                   const vkPelBuffer_const<std::uint8_t>& ref,
                   const vkPelBuffer_const<std::uint8_t>& neutral, std::uint8_t h)
        : a_(img.pointToOffset()),
          b_(ref.pointToOffset()),
          m_(neutral.isBound() ? neutral.pointToOffset() : nullptr),
          strideA_(img.rowUpdate()),
          strideB_(ref.rowUpdate()),
          strideM_(neutral.rowUpdate()),
          n_(img.width()),
          lo_(static_cast<std::uint8_t>(128 - h)),
          hi_(static_cast<std::uint8_t>(128 + h)) {}
    const std::uint8_t* row(std::int32_t y, std::uint8_t* scratch) const override {
        if (m_ != nullptr)
            neutralDifferenceRow(a_ + y * strideA_, b_ + y * strideB_, m_ + y * strideM_, scratch,
                                 n_, lo_, hi_);
        else
            differenceRow(a_ + y * strideA_, b_ + y * strideB_, scratch, n_, lo_, hi_);
        return scratch;
    }

  private:
    const std::uint8_t *a_, *b_, *m_;
    std::ptrdiff_t strideA_, strideB_, strideM_;
    std::int32_t n_;
    std::uint8_t lo_, hi_;
};

// The method's estimate of the difference's smooth part: the local mean
// (masked by mask and weights) or the local median.
vkPelBuffer<std::uint8_t> localEstimate(Method method, const vkPelBuffer<std::uint8_t>& difference,
                                        const vkPelBuffer_const<std::uint8_t>& mask,
                                        const vkPelBuffer_const<std::uint16_t>& weights,
                                        const vkPair<std::int32_t>& s, const vkPair<std::int32_t>& range) {
    vkPelBuffer<std::uint8_t> estimate;
    if (method == eLocalCorrection)
        localMeanEstimate(difference, mask, weights, s, estimate);
    else
        localMedianEstimate(difference, mask, s, range, estimate);
    return estimate;
}

// The difference image on img's window, in one pass into a new buffer.
vkPelBuffer<std::uint8_t> differenceImage(const vkPelBuffer_const<std::uint8_t>& img,
                                          const vkPelBuffer_const<std::uint8_t>& ref,
                                          std::uint8_t h) {
    vkPelBuffer<std::uint8_t> d(img.window());
    d.copyXforms(img);
    const std::uint8_t* a = img.pointToOffset();
    const std::uint8_t* b = ref.pointToOffset();
    std::uint8_t* o = d.pointToOffset();
    rowStrips(img.height(), img.width(), [&](std::int32_t y0, std::int32_t y1) {
        for (std::int32_t y = y0; y < y1; ++y)
            differenceRow(a + y * img.rowUpdate(), b + y * ref.rowUpdate(), o + y * d.rowUpdate(),
                          img.width(), static_cast<std::uint8_t>(128 - h),
                          static_cast<std::uint8_t>(128 + h));
    });
    return d;
}

}  // namespace

void runLocalCorrection(const vkPelBuffer_const<std::uint8_t>& image,
                        const vkPelBuffer_const<std::uint8_t>& reference,
                        const vkPelBuffer_const<std::uint8_t>& binaryMask,
                        const vkPelBuffer_const<std::uint8_t>& reducedMask,
                        const vkPelBuffer_const<std::uint16_t>& maskWeights, Method method,
                        const vkPair<std::int32_t>& neighborhoodIn,
                        const vkPair<std::int32_t>& granularityIn,
                        const vkPair<std::int32_t>& range, vkPelBuffer<std::uint8_t>& result,
                        vkDiagObject* details) {
    const vkPair<std::int32_t> neighborhood = atLeastOne(neighborhoodIn), granularity = atLeastOne(granularityIn);
    vkPelRect rect = image.window() & reference.window();
    if (binaryMask.isBound()) rect &= binaryMask.window();
    vkPelBuffer_const<std::uint8_t> img(image), ref(reference), mask(binaryMask);
    img.window(rect);
    ref.window(rect);
    if (mask.isBound()) mask.window(rect);
    const std::uint8_t h = bandHalfWidth(range);

    const bool reduce = (granularity.x() > 1 || granularity.y() > 1) && (neighborhood.x() > 1 || neighborhood.y() > 1);

    // The trained reduced mask and weights fit only when they were made from
    // this very window at the resolution the estimate works at; otherwise
    // derive them for the working rectangle.
    vkPelBuffer_const<std::uint8_t> reduced = reducedMask;
    vkPelBuffer_const<std::uint16_t> weights = maskWeights;
    if (mask.isBound() && (rect != binaryMask.window() || reduce != reducedMask.isBound())) {
        vkPelBuffer<std::uint8_t> b, r;
        vkPelBuffer<std::uint16_t> w;
        trainMasks(method, mask, neighborhood, reduce ? granularity : vkPair<std::int32_t>(1, 1), b, r, w);
        reduced = r;
        weights = w;
    }
    const vkPair<std::int32_t> s = reducedNeighborhood(neighborhood, granularity);
    vkAttention::check();

    if (!reduce) {
        // Difference, estimate in its storage (mean) or beside it (median),
        // then the corrected image in the difference's storage.
        vkPelBuffer<std::uint8_t> difference = differenceImage(img, ref, h);
        vkAttention::check();
        const vkPelBuffer<std::uint8_t> estimate = localEstimate(method, difference, mask, weights, s, range);
        // Every estimate covers the whole working rectangle.
        if (estimate.window() != rect) vstd_assert_(__LINE__);
        // A copy: the corrected image may overwrite the estimate's storage.
        vf_AddImage(details, estimate, "Background estimate", true);
        const std::uint8_t* a = img.pointToOffset();
        const std::uint8_t* e = estimate.pointToOffset();
        std::uint8_t* o = difference.pointToOffset();
        rowStrips(rect.height(), rect.width(), [&](std::int32_t y0, std::int32_t y1) {
            for (std::int32_t y = y0; y < y1; ++y)
                correctRow(a + y * img.rowUpdate(), e + y * estimate.rowUpdate(),
                           o + y * difference.rowUpdate(), rect.width());
        });
        vkAttention::check();
        result = difference;
        result.copyXforms(image);
        return;
    }

    // Reduced resolution: the difference rows go straight into the
    // reduction (excluded pixels neutral for the masked mean), so the
    // full-size difference is never stored.
    const vkPair<std::int32_t> kernel(granularity.x() - 1, granularity.y() - 1);
    const DifferenceRows rows(
        img, ref, method == eLocalCorrection ? mask : vkPelBuffer_const<std::uint8_t>(), h);
    vkPelBuffer<std::uint8_t> small =
        vk_detail::gaussSampleRows(rows, img, vkGaussSampleParams(granularity, kernel, 1.0, true));
    vkAttention::check();
    vkPelBuffer<std::uint8_t> estimate = localEstimate(method, small, reduced, weights, s, range);
    vf_AddImage(details, estimate, "Background estimate", true);

    // The estimate's whole window is resampled onto the working rectangle one
    // row at a time, and each row is subtracted as it comes: the full-size
    // estimate is never stored either.
    estimate.clientFromImageXformBase(vfIdentityXformHandle());
    const vk_detail::PaddedSampling sampling =
        vk_detail::paddedSampling(estimate, rect.width(), rect.height(), false);
    const vk_detail::AffineRowSampler sampler(sampling.padded, sampling.params);
    vkPelBuffer<std::uint8_t> out(rect);
    const std::uint8_t* a = img.pointToOffset();
    std::uint8_t* o = out.pointToOffset();
    rowStrips(rect.height(), rect.width(), [&](std::int32_t y0, std::int32_t y1) {
        vk_detail::AffineRowSampler::Reader reader(sampler);
        for (std::int32_t y = y0; y < y1; ++y) {
            vk_detail::FixedRowPair fixed{};
            if (reader.fixedRowPair(y, fixed)) {
                correctRowFixed(a + y * img.rowUpdate(), fixed.r0, fixed.r1, fixed.w0, fixed.w1,
                                o + y * out.rowUpdate(), rect.width());
                continue;
            }
            // The grid is axis-parallel and bilinear by construction.
            vk_detail::BilinearRowPair pair{};
            if (!reader.bilinearRowPair(y, pair)) vstd_assert_(__LINE__);
            correctRowBilinear(a + y * img.rowUpdate(), pair.r0, pair.r1, pair.w0, pair.w1,
                               o + y * out.rowUpdate(), rect.width());
        }
    });
    vkAttention::check();
    result = out;
    result.copyXforms(image);
}

}  // namespace imgnorm_detail
