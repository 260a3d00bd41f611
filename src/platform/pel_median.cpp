// Median filter: parameter checks, windows, strips of rows on the library's
// threads, and the choice of the kernel's instruction set.
#include "imgnorm/median.h"

#include <algorithm>
#include <string>

#include "imgnorm/attention.h"
#include "imgnorm/pelops.h"
#include "platform/cpu.h"
#include "platform/median_bins.h"
#include "platform/median_bins_avx2.h"
#include "platform/median_bins_avx512.h"
#include "platform/median_bins_sse2.h"
#include "platform/median_kernel.h"
#include "platform/median_sweep.h"
#include "platform/parallel.h"
#include "platform/rows.h"

vkPelMedianParams::vkPelMedianParams(const vkPair<std::int32_t>& kernelSize,
                                     const vkPair<std::int32_t>& valueRange, bool clipToWindow,
                                     std::int32_t depth)
    : kernelSize_(kernelSize), valueRange_(valueRange), clipToWindow_(clipToWindow), depth_(depth) {
    const std::int32_t kx = kernelSize.x(), ky = kernelSize.y();
    if (kx < 1 || ky < 1 || kx % 2 == 0 || ky % 2 == 0)
        throw vkPelFunc::BadParams("median kernel sizes must be odd and positive");
    if (std::int64_t{kx} * ky > kMaxKernelPixels)
        throw vkPelFunc::BadParams("median kernel holds more than 32767 pixels");
    if (depth < 8 || depth > 16) throw vkPelFunc::BadParams("median depth must lie in 8..16 bits");
    const std::int32_t lo = valueRange.x(), hi = valueRange.y(), top = (1 << depth) - 1;
    if (lo < 0 || hi > top || lo > hi)
        throw vkPelFunc::BadParams("median value range must satisfy 0 <= lo <= hi <= " +
                                   std::to_string(top));
}

namespace vk_detail {

bool medianPathAvailable(MedianPath path) {
    switch (path) {
        case MedianPath::Sse2:
#if defined(IMGNORM_HAVE_SSE2_BINS)
            return true;
#else
            return false;
#endif
        case MedianPath::Avx2:
#if defined(IMGNORM_HAVE_AVX2_BINS)
            return vk_detail::cpuHasAvx2();
#else
            return false;
#endif
        case MedianPath::Avx512:
#if defined(IMGNORM_HAVE_AVX512_BINS)
            return vk_detail::cpuHasAvx512Bw();
#else
            return false;
#endif
        default:
            return true;
    }
}

namespace {

// The column histograms of a stripe and its margins should fit in this many
// bytes (the L2 cache).
constexpr std::size_t kStripeBytes = 512 * 1024;
// A column of 12-bit or 16-bit values touches about this much of its groups
// when it counts in 16 bits (half as much in bytes). Columns of 12-bit values
// in bytes ran fastest in stripes of 1024 columns, as if they took a quarter.
// Columns of values above 12 bits, split by byte (the low byte counted only
// in blocks under the high bytes the medians reach), keep the stripes this
// gives (512 columns): widths from 356 to 4196 columns measured alike.
constexpr std::size_t kDeepColumnBytes = 2048;
// Columns of 12-bit values whose kernel-high pieces spread over fewer values
// than this touch only a few cache lines of their finest counts: they ran
// fastest in stripes four times as wide (fewer margins summed twice, fewer
// columns filled anew at stripe starts).
constexpr std::uint32_t kNarrowSpread = 256;

// The mean spread (largest less smallest value) of a kernel's height of
// pixels in a column, over 16 columns at 3 heights of the window.
template <class T>
std::uint32_t columnSpread(const MedianJobOf<T>& job) {
    const std::int32_t rows = std::min(job.height, 2 * job.radiusY + 1);
    std::uint64_t sum = 0;
    for (std::int32_t s = 0; s < 16; ++s) {
        const auto x = static_cast<std::int32_t>((2 * s + 1) * std::int64_t{job.width} / 32);
        for (std::int32_t h = 0; h < 3; ++h) {
            const auto y0 = static_cast<std::int32_t>(h * std::int64_t{job.height - rows} / 2);
            const T* p = job.image + y0 * job.imageStride + x;
            std::uint32_t lo = p[0], hi = p[0];
            for (std::int32_t r = 1; r < rows; ++r) {
                const std::uint32_t v = p[r * job.imageStride];
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            sum += hi - lo;
        }
    }
    return static_cast<std::uint32_t>(sum / 48);
}

template <class T>
void filterWith(const MedianJobOf<T>& job, std::int32_t stripeWidth, MedianPath path) {
    if (job.outWidth <= 0 || job.outHeight <= 0) return;
    if (stripeWidth <= 0) {
        // The margins are recomputed by both neighbouring stripes, so a
        // stripe is never narrower than the kernel.
        const bool bytes = job.radiusY <= kByteCountRadius;
        const std::size_t columnBytes =
            sizeof(T) > 1 ? kDeepColumnBytes / (!bytes            ? 1
                                                : job.depth <= 12 ? 4
                                                                  : 2)
            : bytes       ? DenseStore<PortableBins, T, 2, std::uint8_t>::kColumnBytes
                          : DenseStore<PortableBins, T, 2, std::uint16_t>::kColumnBytes;
        const std::size_t wider =
            sizeof(T) > 1 && bytes && job.depth <= 12 && columnSpread(job) < kNarrowSpread ? 4 : 1;
        const auto budget = static_cast<std::int32_t>(wider * kStripeBytes / columnBytes);
        const std::int32_t widest = std::max(budget - 2 * job.radiusX, 2 * job.radiusX + 1);
        const std::int32_t count = (job.outWidth + widest - 1) / widest;
        stripeWidth = (job.outWidth + count - 1) / count;
    }
    stripeWidth = std::min(stripeWidth, job.outWidth);
    if (path == MedianPath::Fastest)
        path = medianPathAvailable(MedianPath::Avx512) ? MedianPath::Avx512
               : medianPathAvailable(MedianPath::Avx2) ? MedianPath::Avx2
               : medianPathAvailable(MedianPath::Sse2) ? MedianPath::Sse2
                                                       : MedianPath::Portable;
    if (!medianPathAvailable(path)) path = MedianPath::Portable;
#if defined(IMGNORM_HAVE_AVX512_BINS)
    if (path == MedianPath::Avx512) return medianFilterAvx512(job, stripeWidth);
#endif
#if defined(IMGNORM_HAVE_AVX2_BINS)
    if (path == MedianPath::Avx2) return medianFilterAvx2(job, stripeWidth);
#endif
#if defined(IMGNORM_HAVE_SSE2_BINS)
    if (path == MedianPath::Sse2) return filterStripes<Sse2Bins>(job, stripeWidth);
#endif
    filterStripes<PortableBins>(job, stripeWidth);
}

}  // namespace

void medianFilter(const MedianJobOf<std::uint8_t>& job, std::int32_t stripeWidth, MedianPath path) {
    filterWith(job, stripeWidth, path);
}

void medianFilter(const MedianJobOf<std::uint16_t>& job, std::int32_t stripeWidth,
                  MedianPath path) {
    filterWith(job, stripeWidth, path);
}

}  // namespace vk_detail

namespace {

// A strip of rows is at least this many kernel heights tall: each strip of
// the sliding-histogram kernel fills its column histograms anew from a
// kernel's height of rows.
constexpr std::int32_t kStripKernels = 4;

// The neighbourhoods lie in (or are extended from) the source rectangle.
template <class T>
void filterInto(const vkPelBuffer_const<T>& image, const vkPelBuffer_const<std::uint8_t>* mask,
                const vkPelRect& source, const vkPelMedianParams& params, vkPelBuffer<T>& result) {
    vkPelRect target = source;
    if (result.isBound()) target &= result.window();

    if (target.isNull()) {
        if (!result.isBound()) {
            result = vkPelBuffer<T>(target);
            result.copyXforms(image);
        }
        return;
    }
    vk_detail::MedianJobOf<T> job;
    const vkPelBuffer_const<T> src = vk_detail::narrowed(image, source);
    job.image = src.pointToOffset();
    job.imageStride = src.rowUpdate();
    if (mask != nullptr) {
        const vkPelBuffer_const<std::uint8_t> m = vk_detail::narrowed(*mask, source);
        job.mask = m.pointToOffset();
        job.maskStride = m.rowUpdate();
    }
    job.width = source.width();
    job.height = source.height();
    job.radiusX = params.kernelSize().x() / 2;
    job.radiusY = params.kernelSize().y() / 2;
    job.clip = params.clipToWindow();
    job.lo = static_cast<T>(params.valueRange().x());
    job.hi = static_cast<T>(params.valueRange().y());
    job.outX = target.ul().x() - source.ul().x();
    job.outY = target.ul().y() - source.ul().y();
    job.outWidth = target.width();
    job.outHeight = target.height();
    job.empty = static_cast<T>(1 << (params.depth() - 1));
    job.depth = params.depth();

    // Results go to new storage first: the kernel reads source rows on both
    // sides of the row it writes, so it must not write into storage it may
    // read, and a cancelled call must leave the caller's buffers untouched.
    // The small kernels, which take a few milliseconds, write straight into
    // a result that shares no storage with the image, without polling for
    // cancellation on the way, and so spare the copy.
    const bool small = vk_detail::smallMedianApplies(job);
    const bool direct = small && result.isBound() && result.root() != image.root();
    vkPelBuffer<T> fresh;
    if (direct) {
        vkAttention::check();
        fresh = vk_detail::narrowed(result, target);
        job.poll = false;
    } else {
        fresh = vkPelBuffer<T>(target, vk_detail::uninitialized);  // written whole
        fresh.copyXforms(image);
    }
    job.result = fresh.pointToOffset();
    job.resultStride = fresh.rowUpdate();
    std::int32_t rows =
        vk_detail::stripRows(job.outHeight, job.outWidth, kStripKernels * params.kernelSize().y());
    // That fill costs about a quarter of a strip of four kernel heights, so
    // the sliding-histogram kernel cuts one strip per thread. Every median
    // is exact, so the results do not depend on where strips begin.
    if (!small) {
        const std::int32_t threads = vk_detail::threadCount();
        rows = std::max(rows, (job.outHeight + threads - 1) / threads);
    }
    vk_detail::parallelRows(job.outHeight, rows, [&](std::int32_t y0, std::int32_t y1) {
        vk_detail::MedianJobOf<T> strip = job;
        strip.outY = job.outY + y0;
        strip.outHeight = y1 - y0;
        strip.result = job.result + y0 * job.resultStride;
        if (small) return vk_detail::smallMedian(strip);
        vk_detail::medianFilter(strip);
    });
    if (!result.isBound())
        result = fresh;
    else if (!direct)
        vfPelCopy<T>(fresh, result);
}

// Checks the buffers and params, then filters the neighbourhoods that lie
// in the image (and the mask).
template <class T>
void checkedFilter(const vkPelBuffer_const<T>& image, const vkPelBuffer_const<std::uint8_t>* mask,
                   const vkPelMedianParams& params, vkPelBuffer<T>& result) {
    vk_detail::requireBound(image);
    if (mask != nullptr) vk_detail::requireBound(*mask);
    if constexpr (sizeof(T) == 1)
        if (params.depth() != 8)
            throw vkPelFunc::BadParams("an 8-bit median needs params of depth 8");
    const vkPelRect source = mask != nullptr ? image.window() & mask->window() : image.window();
    filterInto(image, mask, source, params, result);
}

}  // namespace

// The public overloads of each pixel type (median.h).
#define VK_PEL_MEDIAN_OVERLOADS(T)                                                                 \
    void vfPelMedian(const vkPelBuffer_const<T>& image, const vkPelMedianParams& params,           \
                     vkPelBuffer<T>& result) {                                                     \
        checkedFilter(image, nullptr, params, result);                                             \
    }                                                                                              \
    void vfPelMedian(const vkPelBuffer_const<T>& image,                                            \
                     const vkPelBuffer_const<std::uint8_t>& mask, const vkPelMedianParams& params, \
                     vkPelBuffer<T>& result) {                                                     \
        checkedFilter(image, &mask, params, result);                                               \
    }

VK_PEL_MEDIAN_OVERLOADS(std::uint8_t)
VK_PEL_MEDIAN_OVERLOADS(std::uint16_t)
#undef VK_PEL_MEDIAN_OVERLOADS
