// The local corrections: difference, optional reduction, local mean or
// median, resampling and subtraction, for 8-bit and deep images.
#include "imgnorm/local_correction.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/gauss.h"
#include "imgnorm/local_model.h"
#include "imgnorm/median.h"
#include "imgnorm/pel_dispatch.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "pelfunc/border.h"
#include "pelfunc/padded_sample.h"
#include "pelfunc/saturate.h"
#include "platform/affine_rows.h"
#include "platform/cpu.h"
#include "platform/gauss_kernel.h"
#include "platform/gauss_rows.h"
#include "platform/parallel.h"
#include "platform/rows.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace imgnorm_detail {

using vkImageNormalizerDefs::eLocalCorrection;
using vkImageNormalizerDefs::Method;

namespace {

// The levels of a difference image at a depth: the bias (the difference 0),
// the top level, and the band half-width's clamp to the band
// lo = half - h .. hi = half + h.
struct Band {
    std::int32_t half, top, lo, hi;
};

Band bandOf(std::int32_t depth, std::int32_t h) {
    const std::int32_t half = std::int32_t{1} << (depth - 1);
    return {half, 2 * half - 1, half - h, half + h};
}

}  // namespace

std::int32_t bandHalfWidth(const vkPair<std::int32_t>& range, std::int32_t depth) {
    const std::int64_t h = std::max(-std::int64_t{range.x()}, std::int64_t{range.y()});
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(h, 0, (std::int64_t{1} << (depth - 1)) - 1));
}

namespace {

// d = s >> bits, into 8-bit or 16-bit pixels (row kernels are plain
// functions: see VK_ROW_KERNEL).
VK_ROW_KERNEL void shiftRow(const std::uint16_t* __restrict s, std::uint8_t* __restrict d,
                            std::int32_t n, int bits) {
    for (std::int32_t x = 0; x < n; ++x)
        d[x] = static_cast<std::uint8_t>(s[x] >> bits);
}
VK_ROW_KERNEL void shiftRow(const std::uint16_t* __restrict s, std::uint16_t* __restrict d,
                            std::int32_t n, int bits) {
    for (std::int32_t x = 0; x < n; ++x)
        d[x] = static_cast<std::uint16_t>(s[x] >> bits);
}

}  // namespace

template <class Pel>
void shiftDown(const vkPelBuffer_const<std::uint16_t>& source, int bits,
               vkPelBuffer<Pel>& destination) {
    if (!source.isBound()) {
        destination.setUnbound();
        return;
    }
    if (!destination.isBound())
        destination = vkPelBuffer<Pel>(source.window(), vk_detail::uninitialized);
    destination.copyXforms(source);
    const vkPelRect r = source.window() & destination.window();
    if (r.isNull()) return;
    vkPelBuffer_const<std::uint16_t> s(source);
    s.window(r);
    vkPelBuffer<Pel> d(destination);
    d.window(r);
    const std::uint16_t* ps = s.pointToOffset();
    Pel* pd = d.pointToOffset();
    const std::ptrdiff_t ss = s.rowUpdate(), ds = d.rowUpdate();
    const std::int32_t w = r.width();
    vk_detail::parallelRows(r.height(), vk_detail::stripRows(r.height(), w),
                            [&](std::int32_t y0, std::int32_t y1) {
                                for (std::int32_t y = y0; y < y1; ++y)
                                    shiftRow(ps + y * ss, pd + y * ds, w, bits);
                            });
}

namespace {

// The steps of the local mean that differ between 8-bit and deep images.

// Excluded pixels of the difference become 0: the pixel-wise minimum with
// the 0/255 mask on 8-bit images, a blend on deep ones.
void zeroExcluded(const vkPelBuffer<std::uint8_t>& image,
                  const vkPelBuffer_const<std::uint8_t>& mask) {
    vkPelBuffer<std::uint8_t> out(image);
    vfPelMin<std::uint8_t>(image, mask, out);
}
void zeroExcluded(const vkPelBuffer<std::uint16_t>& image,
                  const vkPelBuffer_const<std::uint8_t>& mask) {
    const vkPelRect r = image.window() & mask.window();
    const vkPelBuffer<std::uint16_t> d = vk_detail::narrowed(image, r);
    const vkPelBuffer_const<std::uint8_t> m = vk_detail::narrowed(mask, r);
    vk_detail::forRows(
        m.pointToOffset(), m.rowUpdate(), d.pointToOffset(), d.rowUpdate(), r.width(), r.height(),
        [](const std::uint8_t* mr, std::uint16_t* dr, std::int32_t n) {
            for (std::int32_t x = 0; x < n; ++x)
                dr[x] = static_cast<std::uint16_t>(dr[x] & -static_cast<std::int32_t>(mr[x] != 0));
        });
}

// The gain of the fixed-point local mean: 128 on 8-bit images, 2^(16-d) on
// deep ones (the largest that keeps the top level's mean in 16 bits).
int meanShift(const vkPelBuffer<std::uint8_t>&, std::int32_t) {
    return kLocalMeanShift;
}
int meanShift(const vkPelBuffer<std::uint16_t>&, std::int32_t depth) {
    return 16 - depth;
}

// est = (sum * k + weight / 2) / weight, truncated, saturated at top, where
// the mask is set and the weight is not 0; other pixels keep their value.
// In double precision, which is exact: the dividend stays below 2^32 and a
// quotient that is not an integer is at least 1 / weight >= 2^-16 from one.
VK_ROW_KERNEL void dividedMeanRow(const std::uint16_t* sum, const std::uint16_t* weight,
                                  const std::uint8_t* m, std::uint16_t* est, std::int32_t n,
                                  double k, double top) {
    for (std::int32_t x = 0; x < n; ++x) {
        const std::int32_t w = weight[x];
        const double q =
            (sum[x] * k + static_cast<double>(w >> 1)) / static_cast<double>(w + (w == 0));
        const auto v = static_cast<std::uint16_t>(std::min(q, top));
        const auto keep =
            static_cast<std::uint16_t>(-static_cast<std::int32_t>((m[x] == 0) | (w == 0)));
        est[x] = static_cast<std::uint16_t>((v & ~keep) | (est[x] & keep));
    }
}

// The masked mean from the fixed-point sum and the trained weights (128
// times the mean of the 0/255 mask): the 8-bit division by 255 times the
// weight's mean, or its deep form with the sum's other gain.
void maskedMean(const vkPelBuffer_const<std::uint16_t>& sum,
                const vkPelBuffer_const<std::uint16_t>& weights,
                const vkPelBuffer_const<std::uint8_t>& mask, vkPelBuffer<std::uint8_t>& estimate,
                std::int32_t) {
    vf_MaskedPelDivide(sum, weights, mask, estimate, 255);
}
void maskedMean(const vkPelBuffer_const<std::uint16_t>& sum,
                const vkPelBuffer_const<std::uint16_t>& weights,
                const vkPelBuffer_const<std::uint8_t>& mask, vkPelBuffer<std::uint16_t>& estimate,
                std::int32_t depth) {
    // The mean over included pixels is (sum / 2^(16-d)) / (weight / (128 * 255)).
    const double k = 255.0 * static_cast<double>(1 << (depth - 9));
    const double top = static_cast<double>((1 << depth) - 1);
    const vkPelRect r = estimate.window() & sum.window() & weights.window() & mask.window();
    const auto s = vk_detail::narrowed(sum, r), w = vk_detail::narrowed(weights, r);
    const auto m = vk_detail::narrowed(mask, r);
    const auto e = vk_detail::narrowed(estimate, r);
    const std::uint16_t* ps = s.pointToOffset();
    const std::uint16_t* pw = w.pointToOffset();
    const std::uint8_t* pm = m.pointToOffset();
    std::uint16_t* pe = e.pointToOffset();
    for (std::int32_t y = 0; y < r.height(); ++y) {
        dividedMeanRow(ps, pw, pm, pe, r.width(), k, top);
        ps += s.rowUpdate();
        pw += w.rowUpdate();
        pm += m.rowUpdate();
        pe += e.rowUpdate();
    }
}

}  // namespace

template <class Pel>
void localMeanEstimate(const vkPelBuffer<Pel>& difference,
                       const vkPelBuffer_const<std::uint8_t>& mask,
                       const vkPelBuffer_const<std::uint16_t>& maskWeights,
                       const vkPair<std::int32_t>& neighborhood, vkPelBuffer<Pel>& estimate,
                       std::int32_t depth) {
    // The difference is not needed once it has been smoothed: the estimate
    // takes its storage.
    estimate = difference;
    if (mask.isBound()) zeroExcluded(estimate, mask);
    vkAttention::check();
    const int shift = meanShift(estimate, depth);
    vkPelBuffer<std::uint16_t> sum;
    gaussianLocalMean(estimate, neighborhood, sum, static_cast<double>(1 << shift));
    if (mask.isBound())
        maskedMean(sum, maskWeights, mask, estimate, depth);
    else
        shiftDown(sum, shift, estimate);
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

template <class Pel>
void localMedianEstimate(const vkPelBuffer<Pel>& difference,
                         const vkPelBuffer_const<std::uint8_t>& mask, const vkPair<std::int32_t>& s,
                         const vkPair<std::int32_t>& range, vkPelBuffer<Pel>& estimate,
                         std::int32_t depth) {
    if (s.x() < 2 && s.y() < 2) {
        estimate = difference;
        return;
    }
    const Band band = bandOf(depth, 0);
    const vkPair<std::int32_t> valueRange(static_cast<std::int32_t>(std::clamp<std::int64_t>(
                                              band.half + std::int64_t{range.x()}, 0, band.top)),
                                          static_cast<std::int32_t>(std::clamp<std::int64_t>(
                                              band.half + std::int64_t{range.y()}, 0, band.top)));
    const vkPelMedianParams params(medianKernel(s), valueRange, true, depth);
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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VK_STREAMED_CORRECTION 1
// (w0 r0 + w1 r1 + 32) >> 6, less 128, for the 16 pixels at r0, r1: the
// sums (at most 64 * 255) less 128 * 64, shifted arithmetically, so that
// they pack to signed bytes without saturating.
__attribute__((target("avx2"), always_inline)) inline __m256i estimateLessHalf(
    const std::uint16_t* r0, const std::uint16_t* r1, __m256i v0, __m256i v1, __m256i bias) {
    const __m256i s = _mm256_add_epi16(
        _mm256_mullo_epi16(v0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0))),
        _mm256_mullo_epi16(v1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1))));
    return _mm256_srai_epi16(_mm256_add_epi16(s, bias), 6);
}
// correctRowFixed in AVX2 lanes, its output written past the caches
// (non-temporal stores): the corrected rows are not read again while the
// image is made, and a cached store would first read each line it writes
// (fresh output storage was just cleared by the kernel, out of the
// second-level cache). clamp(a - e + 128, 0, 255) is the signed saturating
// difference of a and e, both less 128, plus 128 (an XOR with 0x80 each
// way). The ends before the first 32-byte boundary and after the last
// whole vector take correctRowFixed. The same pixels of next (the next
// row of a) are asked for as it goes. The caller fences the stores
// (_mm_sfence) after its last row.
__attribute__((target("avx2"))) void streamRowFixed(const std::uint8_t* __restrict a,
                                                    const std::uint16_t* __restrict r0,
                                                    const std::uint16_t* __restrict r1,
                                                    std::uint16_t w0, std::uint16_t w1,
                                                    std::uint8_t* __restrict out, std::int32_t n,
                                                    const std::uint8_t* next) {
    const __m256i v0 = _mm256_set1_epi16(static_cast<short>(w0)),
                  v1 = _mm256_set1_epi16(static_cast<short>(w1)),
                  bias = _mm256_set1_epi16(32 - 128 * 64),
                  flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const auto misalign = reinterpret_cast<std::uintptr_t>(out) % 32;
    std::int32_t x = std::min(n, static_cast<std::int32_t>((32 - misalign) % 32));
    correctRowFixed(a, r0, r1, w0, w1, out, x);
    for (; x + 32 <= n; x += 32) {
        _mm_prefetch(reinterpret_cast<const char*>(next + x), _MM_HINT_T0);
        const __m256i e = _mm256_permute4x64_epi64(
            _mm256_packs_epi16(estimateLessHalf(r0 + x, r1 + x, v0, v1, bias),
                               estimateLessHalf(r0 + x + 16, r1 + x + 16, v0, v1, bias)),
            0xD8);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + x));
        _mm256_stream_si256(reinterpret_cast<__m256i*>(out + x),
                            _mm256_xor_si256(_mm256_subs_epi8(_mm256_xor_si256(v, flip), e), flip));
    }
    correctRowFixed(a + x, r0 + x, r1 + x, w0, w1, out + x, n - x);
}
#endif

// The pixels a row kernel takes at a time when it asks for the next row's
// pixels as it goes (fetchChunk): spread over the row, the requests keep
// the memory busy while the kernel works, where a burst of them at the
// row's start stalled on the memory's queue.
constexpr std::int32_t kChunkBytes = 256;
// Asks for the kChunkBytes bytes from p.
inline void fetchChunk(const void* p) {
    const auto* c = static_cast<const char*>(p);
    for (std::int32_t x = 0; x < kChunkBytes; x += 64)
        __builtin_prefetch(c + x);
}

// Asks for row y + 1 of a (when it is below y1) while row y is corrected:
// without it the correction stalled on its loads of the run-time rows (0.8
// of two plain passes on 4096 x 4096 at granularity 4, 0.53 with it).
template <class Pel>
void fetchNextRow(const Pel* a, std::ptrdiff_t stride, std::int32_t y, std::int32_t y1,
                  std::int32_t width) {
    if (y + 1 >= y1) return;
    const auto* next = reinterpret_cast<const char*>(a + (y + 1) * stride);
    const std::ptrdiff_t bytes = std::ptrdiff_t{width} * std::ptrdiff_t{sizeof(Pel)};
    for (std::ptrdiff_t x = 0; x < bytes; x += 64)
        __builtin_prefetch(next + x);
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

// half + clamp(a - b, -below, above) for 16-bit values with below <= half
// and half + above <= 65535, in 16-bit lanes (twice as many as 32-bit
// ones): with m = max(a, b), a - b is (m - b) - (m - a), and each part is
// clamped on its own side.
[[gnu::always_inline]] inline std::uint16_t biasedDifference16(std::uint16_t a, std::uint16_t b,
                                                               std::uint16_t half,
                                                               std::uint16_t below,
                                                               std::uint16_t above) {
    const std::uint16_t m = std::max(a, b);
    return static_cast<std::uint16_t>(half + std::min(static_cast<std::uint16_t>(m - b), above) -
                                      std::min(static_cast<std::uint16_t>(m - a), below));
}

// The deep forms, with the band's levels (lo = half - h, hi = half + h).
// They also add the bitwise OR of the row's values of a and of b to seen[0]
// and seen[1]: whether a value lies above the depth is learnt from the pass
// that reads the pixels anyway.
VK_ROW_KERNEL void differenceRow16(const std::uint16_t* __restrict a,
                                   const std::uint16_t* __restrict b, std::uint16_t* __restrict d,
                                   std::int32_t n, std::int32_t half, std::int32_t hi,
                                   std::uint32_t* __restrict seen) {
    const auto h = static_cast<std::uint16_t>(half), w = static_cast<std::uint16_t>(hi - half);
    std::uint16_t sa = 0, sb = 0;
    for (std::int32_t x = 0; x < n; ++x) {
        sa = static_cast<std::uint16_t>(sa | a[x]);
        sb = static_cast<std::uint16_t>(sb | b[x]);
        d[x] = biasedDifference16(a[x], b[x], h, w, w);
    }
    seen[0] |= sa;
    seen[1] |= sb;
}
VK_ROW_KERNEL void neutralDifferenceRow16(const std::uint16_t* __restrict a,
                                          const std::uint16_t* __restrict b,
                                          const std::uint8_t* __restrict m,
                                          std::uint16_t* __restrict d, std::int32_t n,
                                          std::int32_t half, std::int32_t hi,
                                          std::uint32_t* __restrict seen) {
    const auto h = static_cast<std::uint16_t>(half), w = static_cast<std::uint16_t>(hi - half);
    std::uint16_t sa = 0, sb = 0;
    for (std::int32_t x = 0; x < n; ++x) {
        sa = static_cast<std::uint16_t>(sa | a[x]);
        sb = static_cast<std::uint16_t>(sb | b[x]);
        const std::uint16_t v = biasedDifference16(a[x], b[x], h, w, w);
        d[x] = m[x] != 0 ? v : h;
    }
    seen[0] |= sa;
    seen[1] |= sb;
}
// out = clamp(a - e + half, 0, 2 half - 1); out may be e.
VK_ROW_KERNEL void correctRow16(const std::uint16_t* a, const std::uint16_t* e, std::uint16_t* out,
                                std::int32_t n, std::int32_t half) {
    const auto h = static_cast<std::uint16_t>(half), above = static_cast<std::uint16_t>(half - 1);
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = biasedDifference16(a[x], e[x], h, h, above);
}
// The 16-bit estimate comes as the interpolated rows of its high and low
// bytes (bilinear resampling is linear): 256 h + l, rounded half up.
VK_ROW_KERNEL void correctRowBilinear16(const std::uint16_t* __restrict a,
                                        const float* __restrict h0, const float* __restrict h1,
                                        const float* __restrict l0, const float* __restrict l1,
                                        float w0, float w1, std::uint16_t* __restrict out,
                                        std::int32_t n, std::int32_t half, std::int32_t top) {
    for (std::int32_t x = 0; x < n; ++x) {
        const float e = w0 * (256.0f * h0[x] + l0[x]) + w1 * (256.0f * h1[x] + l1[x]);
        out[x] = static_cast<std::uint16_t>(
            std::clamp(std::int32_t{a[x]} + half - static_cast<std::int32_t>(e + 0.5f), 0, top));
    }
}

// The same from the integer form of the byte planes' rows (an exact
// magnification by 2 or 4): (w0 (256 h0 + l0) + w1 (256 h1 + l1) + 32) >> 6,
// the value the float form rounds, which is exact there. In 16-bit lanes,
// twice as many as 32-bit ones: with w0 + w1 = 8 and rows of at most
// 8 * 255, H = w0 h0 + w1 h1 and L = w0 l0 + w1 l1 stay below 2^14, and the
// estimate is 4 H + ((L + 32) >> 6) (256 H is a multiple of 64), and a - e +
// half clamped to 0..2 half - 1 as correctRow16 takes it.
VK_ROW_KERNEL void correctRowFixed16(const std::uint16_t* __restrict a,
                                     const std::uint16_t* __restrict h0,
                                     const std::uint16_t* __restrict h1,
                                     const std::uint16_t* __restrict l0,
                                     const std::uint16_t* __restrict l1, std::int32_t w0,
                                     std::int32_t w1, std::uint16_t* __restrict out, std::int32_t n,
                                     std::int32_t half) {
    const auto v0 = static_cast<std::uint16_t>(w0), v1 = static_cast<std::uint16_t>(w1);
    const auto h = static_cast<std::uint16_t>(half), above = static_cast<std::uint16_t>(half - 1);
    for (std::int32_t x = 0; x < n; ++x) {
        const auto high = static_cast<std::uint16_t>(v0 * h0[x] + v1 * h1[x]);
        const auto low = static_cast<std::uint16_t>(v0 * l0[x] + v1 * l1[x] + 32);
        const auto e = static_cast<std::uint16_t>(4 * high + (low >> 6));
        out[x] = biasedDifference16(a[x], e, h, h, above);
    }
}

#ifdef VK_STREAMED_CORRECTION
// correctRowFixed16 in AVX2 lanes, its output written past the caches
// (non-temporal stores): the corrected rows are not read again while the
// image is made, and a cached store would first read each line it writes.
// The ends before the first 32-byte boundary and after the last whole
// vector take correctRowFixed16. The same pixels of next (the next row of
// a) are asked for as it goes: a burst of requests for the whole next row
// at the row's start stalled on the memory's queue (about 10 % of the deep
// local mean's time at granularity 4). The caller fences the stores
// (_mm_sfence) after its last row.
__attribute__((target("avx2"))) void streamRowFixed16(
    const std::uint16_t* __restrict a, const std::uint16_t* __restrict h0,
    const std::uint16_t* __restrict h1, const std::uint16_t* __restrict l0,
    const std::uint16_t* __restrict l1, std::int32_t w0, std::int32_t w1,
    std::uint16_t* __restrict out, std::int32_t n, std::int32_t half, const std::uint16_t* next) {
    const auto misalign = reinterpret_cast<std::uintptr_t>(out) % 32;
    const std::int32_t head =
        std::min(n, static_cast<std::int32_t>((32 - misalign) % 32 / sizeof(std::uint16_t)));
    correctRowFixed16(a, h0, h1, l0, l1, w0, w1, out, head, half);
    const __m256i v0 = _mm256_set1_epi16(static_cast<short>(w0)),
                  v1 = _mm256_set1_epi16(static_cast<short>(w1)), round = _mm256_set1_epi16(32),
                  h = _mm256_set1_epi16(static_cast<short>(half)),
                  above = _mm256_set1_epi16(static_cast<short>(half - 1));
    std::int32_t x = head;
    for (; x + 16 <= n; x += 16) {
        _mm_prefetch(reinterpret_cast<const char*>(next + x), _MM_HINT_T0);
        const __m256i high = _mm256_add_epi16(
            _mm256_mullo_epi16(v0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + x))),
            _mm256_mullo_epi16(v1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h1 + x))));
        const __m256i low = _mm256_add_epi16(
            _mm256_add_epi16(_mm256_mullo_epi16(
                                 v0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l0 + x))),
                             _mm256_mullo_epi16(
                                 v1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l1 + x)))),
            round);
        const __m256i e = _mm256_add_epi16(_mm256_slli_epi16(high, 2), _mm256_srli_epi16(low, 6));
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + x)),
                      m = _mm256_max_epu16(v, e);
        const __m256i d =
            _mm256_sub_epi16(_mm256_add_epi16(h, _mm256_min_epu16(_mm256_sub_epi16(m, e), above)),
                             _mm256_min_epu16(_mm256_sub_epi16(m, v), h));
        _mm256_stream_si256(reinterpret_cast<__m256i*>(out + x), d);
    }
    correctRowFixed16(a + x, h0 + x, h1 + x, l0 + x, l1 + x, w0, w1, out + x, n - x, half);
}
#endif

// The kernels by pixel type, with the band's levels.
void difference(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* m,
                std::uint8_t* d, std::int32_t n, const Band& band, std::uint32_t*) {
    const auto lo = static_cast<std::uint8_t>(band.lo), hi = static_cast<std::uint8_t>(band.hi);
    if (m != nullptr)
        neutralDifferenceRow(a, b, m, d, n, lo, hi);
    else
        differenceRow(a, b, d, n, lo, hi);
}
void difference(const std::uint16_t* a, const std::uint16_t* b, const std::uint8_t* m,
                std::uint16_t* d, std::int32_t n, const Band& band, std::uint32_t* seen) {
    if (m != nullptr)
        neutralDifferenceRow16(a, b, m, d, n, band.half, band.hi, seen);
    else
        differenceRow16(a, b, d, n, band.half, band.hi, seen);
}
void correct(const std::uint8_t* a, const std::uint8_t* e, std::uint8_t* out, std::int32_t n,
             const Band&) {
    correctRow(a, e, out, n);
}
void correct(const std::uint16_t* a, const std::uint16_t* e, std::uint16_t* out, std::int32_t n,
             const Band& band) {
    correctRow16(a, e, out, n, band.half);
}
// The difference rows added straight into one or two of the reduction's
// vertical sums: sum = (sum & keep) + w * d for each, with keep all ones to
// add and 0 to start afresh; d as differenceRow (or neutralDifferenceRow
// with m) makes it. The row itself is never stored.
template <class Sum, class D>
[[gnu::always_inline]] inline void addDifferenceBody(const D& d, std::int32_t n, Sum* __restrict s0,
                                                     Sum w0, Sum keep0, Sum* __restrict s1, Sum w1,
                                                     Sum keep1) {
    if (s1 == nullptr) {
        for (std::int32_t x = 0; x < n; ++x)
            s0[x] = static_cast<Sum>((s0[x] & keep0) + w0 * d(x));
        return;
    }
    for (std::int32_t x = 0; x < n; ++x) {
        const Sum v = d(x);
        s0[x] = static_cast<Sum>((s0[x] & keep0) + w0 * v);
        s1[x] = static_cast<Sum>((s1[x] & keep1) + w1 * v);
    }
}
VK_ROW_KERNEL void addDifferenceRow(const std::uint8_t* __restrict a,
                                    const std::uint8_t* __restrict b,
                                    const std::uint8_t* __restrict m, std::int32_t n,
                                    std::uint8_t lo, std::uint8_t hi, std::uint16_t* s0,
                                    std::uint16_t w0, std::uint16_t keep0, std::uint16_t* s1,
                                    std::uint16_t w1, std::uint16_t keep1) {
    if (m == nullptr) {
        addDifferenceBody(
            [&](std::int32_t x) { return std::min(std::max(subBiased(a[x], b[x]), lo), hi); }, n,
            s0, w0, keep0, s1, w1, keep1);
    } else {
        addDifferenceBody(
            [&](std::int32_t x) {
                const std::uint8_t v =
                    std::min(std::min(std::max(subBiased(a[x], b[x]), lo), hi), m[x]);
                return v == 0 ? std::uint8_t{128} : v;
            },
            n, s0, w0, keep0, s1, w1, keep1);
    }
}
VK_ROW_KERNEL void addDifferenceRow(const std::uint16_t* __restrict a,
                                    const std::uint16_t* __restrict b,
                                    const std::uint8_t* __restrict m, std::int32_t n,
                                    std::int32_t half, std::int32_t lo, std::int32_t hi,
                                    std::uint32_t* s0, std::uint32_t w0, std::uint32_t keep0,
                                    std::uint32_t* s1, std::uint32_t w1, std::uint32_t keep1,
                                    std::uint32_t* __restrict seen) {
    std::uint16_t sa = 0, sb = 0;
    if (m == nullptr) {
        addDifferenceBody(
            [&](std::int32_t x) {
                sa = static_cast<std::uint16_t>(sa | a[x]);
                sb = static_cast<std::uint16_t>(sb | b[x]);
                return static_cast<std::uint32_t>(
                    std::clamp(std::int32_t{a[x]} - b[x] + half, lo, hi));
            },
            n, s0, w0, keep0, s1, w1, keep1);
    } else {
        addDifferenceBody(
            [&](std::int32_t x) {
                sa = static_cast<std::uint16_t>(sa | a[x]);
                sb = static_cast<std::uint16_t>(sb | b[x]);
                return static_cast<std::uint32_t>(
                    m[x] != 0 ? std::clamp(std::int32_t{a[x]} - b[x] + half, lo, hi) : half);
            },
            n, s0, w0, keep0, s1, w1, keep1);
    }
    seen[0] |= sa;
    seen[1] |= sb;
}
void addDifference(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* m,
                   std::int32_t n, const Band& band, int count, const std::uint16_t* w,
                   const bool* add, std::uint16_t* const* sums, std::uint32_t*) {
    const auto keep = [&](int k) { return static_cast<std::uint16_t>(add[k] ? 0xFFFFu : 0u); };
    addDifferenceRow(a, b, m, n, static_cast<std::uint8_t>(band.lo),
                     static_cast<std::uint8_t>(band.hi), sums[0], w[0], keep(0),
                     count > 1 ? sums[1] : nullptr, count > 1 ? w[1] : 0, count > 1 ? keep(1) : 0);
}
void addDifference(const std::uint16_t* a, const std::uint16_t* b, const std::uint8_t* m,
                   std::int32_t n, const Band& band, int count, const std::uint32_t* w,
                   const bool* add, std::uint32_t* const* sums, std::uint32_t* seen) {
    const auto keep = [&](int k) { return add[k] ? 0xFFFFFFFFu : 0u; };
    addDifferenceRow(a, b, m, n, band.half, band.lo, band.hi, sums[0], w[0], keep(0),
                     count > 1 ? sums[1] : nullptr, count > 1 ? w[1] : 0, count > 1 ? keep(1) : 0,
                     seen);
}

// The rows of the difference image on the working rectangle, made as the
// reduction asks for them, or added into its sums as they are made.
template <class Pel>
class DifferenceRows final : public vk_detail::GaussRowSource<Pel> {
  public:
    // neutral: a mask whose excluded pixels become the bias (unbound: none).
    DifferenceRows(const vkPelBuffer_const<Pel>& img, const vkPelBuffer_const<Pel>& ref,
                   const vkPelBuffer_const<std::uint8_t>& neutral, const Band& band)
        : a_(img.pointToOffset()),
          b_(ref.pointToOffset()),
          m_(neutral.isBound() ? neutral.pointToOffset() : nullptr),
          strideA_(img.rowUpdate()),
          strideB_(ref.rowUpdate()),
          strideM_(neutral.rowUpdate()),
          n_(img.width()),
          height_(img.height()),
          band_(band) {}
    const Pel* row(std::int32_t y, Pel* scratch) const override {
        std::uint32_t seen[2] = {0, 0};
        const Pel* a = a_ + y * strideA_;
        const Pel* b = b_ + y * strideB_;
        const std::uint8_t* m = m_ == nullptr ? nullptr : m_ + y * strideM_;
        // Made a chunk at a time, asking for the next row's chunk.
        constexpr std::int32_t chunk = kChunkBytes / sizeof(Pel);
        const bool next = y + 1 < height_;
        for (std::int32_t x = 0; x < n_; x += chunk) {
            if (next) {
                fetchChunk(a + strideA_ + x);
                fetchChunk(b + strideB_ + x);
                if (m != nullptr && x % kChunkBytes == 0) fetchChunk(m + strideM_ + x);
            }
            difference(a + x, b + x, m == nullptr ? nullptr : m + x, scratch + x,
                       std::min(chunk, n_ - x), band_, seen);
        }
        seen_.add(seen);
        return scratch;
    }
    using Sum = typename vk_detail::GaussRowSource<Pel>::Sum;
    bool addRow(std::int32_t y, int count, const Sum* weight, const bool* add,
                Sum* const* sums) const override {
        std::uint32_t seen[2] = {0, 0};
        addDifference(a_ + y * strideA_, b_ + y * strideB_,
                      m_ == nullptr ? nullptr : m_ + y * strideM_, n_, band_, count, weight, add,
                      sums, seen);
        seen_.add(seen);
        return true;
    }
    using BiasedDifference = typename vk_detail::GaussRowSource<Pel>::BiasedDifference;
    // Rows without a mask: the reduction makes them itself.
    bool biasedDifferenceRow(std::int32_t y, BiasedDifference& rows) const override {
        if (m_ != nullptr) return false;
        const std::int32_t next = y + 1 < height_ ? y + 1 : y;
        rows = {a_ + y * strideA_,
                b_ + y * strideB_,
                a_ + next * strideA_,
                b_ + next * strideB_,
                static_cast<Pel>(band_.half),
                static_cast<Pel>(band_.lo),
                static_cast<Pel>(band_.hi),
                {0, 0}};
        return true;
    }
    void differenceRowRead(const BiasedDifference& rows) const override { seen_.add(rows.seen); }
    // The values read so far (deep images only).
    const SeenValues& seen() const { return seen_; }

  private:
    const Pel *a_, *b_;
    const std::uint8_t* m_;
    std::ptrdiff_t strideA_, strideB_, strideM_;
    std::int32_t n_, height_;
    Band band_;
    SeenValues seen_;
};

// The difference image on img's window, in one pass into a new buffer; seen
// gathers the values read.
template <class Pel>
vkPelBuffer<Pel> differenceImage(const vkPelBuffer_const<Pel>& img,
                                 const vkPelBuffer_const<Pel>& ref, const Band& band,
                                 const SeenValues& seen) {
    vkPelBuffer<Pel> d(img.window(), vk_detail::uninitialized);
    d.copyXforms(img);
    const Pel* a = img.pointToOffset();
    const Pel* b = ref.pointToOffset();
    Pel* o = d.pointToOffset();
    rowStrips(img.height(), img.width(), [&](std::int32_t y0, std::int32_t y1) {
        std::uint32_t bits[2] = {0, 0};
        for (std::int32_t y = y0; y < y1; ++y)
            difference(a + y * img.rowUpdate(), b + y * ref.rowUpdate(), nullptr,
                       o + y * d.rowUpdate(), img.width(), band, bits);
        seen.add(bits);
    });
    return d;
}

// The method's estimate of the difference's smooth part: the local mean
// (masked by mask and weights) or the local median.
template <class Pel>
vkPelBuffer<Pel> localEstimate(Method method, const vkPelBuffer<Pel>& difference,
                               const vkPelBuffer_const<std::uint8_t>& mask,
                               const vkPelBuffer_const<std::uint16_t>& weights,
                               const vkPair<std::int32_t>& s, const vkPair<std::int32_t>& range,
                               std::int32_t depth) {
    vkPelBuffer<Pel> estimate;
    if (method == eLocalCorrection)
        localMeanEstimate(difference, mask, weights, s, estimate, depth);
    else
        localMedianEstimate(difference, mask, s, range, estimate, depth);
    return estimate;
}

// The estimate on its grid, padded for the magnification as the 8-bit
// sampler reads it: the 8-bit estimate itself, or the deep estimate's high
// and low bytes, each resampled (bilinear resampling is linear) and
// recombined row by row. Filled a band of grid rows at a time or whole.
template <class Pel>
class PaddedEstimate {
  public:
    static constexpr std::size_t kPlanes = sizeof(Pel);
    using Readers = std::array<std::unique_ptr<vk_detail::AffineRowSampler::Reader>, kPlanes>;

    // shape: paddedGeometry of the grid.
    explicit PaddedEstimate(const vk_detail::PaddedSampling& shape)
        : grid_(shape.padded.window().trim(kBorder, kBorder, kBorder, kBorder)) {
        for (std::size_t i = 0; i < kPlanes; ++i) {
            planes_[i] = vkPelBuffer<std::uint8_t>(shape.padded.window(), vk_detail::uninitialized);
            planes_[i].copyXforms(shape.padded);
            samplers_[i] =
                std::make_unique<const vk_detail::AffineRowSampler>(planes_[i], shape.params);
        }
    }
    // Where the estimate's grid rows in rect may be written before publish:
    // on 8-bit images the plane itself, so that publish copies nothing.
    vkPelBuffer<Pel> rows(const vkPelRect& rect) {
        if constexpr (kPlanes == 1) {
            return vk_detail::narrowed(planes_[0], rect);
        } else {
            if (!store_.isBound()) store_ = vkPelBuffer<Pel>(grid_, vk_detail::uninitialized);
            return vk_detail::narrowed(store_, rect);
        }
    }
    // The estimate's rows in its window (whole rows of the grid) made
    // readable by the samplers, with the border pixels beside them.
    void publish(const vkPelBuffer_const<Pel>& estimate) {
        const vkPelRect r = estimate.window();
        if constexpr (kPlanes == 1) {
            vkPelBuffer<std::uint8_t> to = vk_detail::narrowed(planes_[0], r);
            if (to.pointToOffset() != estimate.pointToOffset())
                vfPelCopy<std::uint8_t>(estimate, to);
        } else {
            const vkPelBuffer<std::uint8_t> high = vk_detail::narrowed(planes_[0], r);
            const vkPelBuffer<std::uint8_t> low = vk_detail::narrowed(planes_[1], r);
            const Pel* e = estimate.pointToOffset();
            std::uint8_t* h = high.pointToOffset();
            std::uint8_t* l = low.pointToOffset();
            for (std::int32_t y = 0; y < r.height(); ++y)
                splitRow(e + y * estimate.rowUpdate(), h + y * high.rowUpdate(),
                         l + y * low.rowUpdate(), r.width());
        }
        const std::int32_t first = r.ul().y() - grid_.ul().y();
        for (vkPelBuffer<std::uint8_t>& plane : planes_)
            vk_detail::duplicateBorderPixels(plane, kBorder, first, first + r.height());
    }
    // One reader per plane, for one thread.
    Readers readers() const {
        Readers r;
        for (std::size_t i = 0; i < kPlanes; ++i)
            r[i] = std::make_unique<vk_detail::AffineRowSampler::Reader>(*samplers_[i]);
        return r;
    }

  private:
    static constexpr std::int32_t kBorder = vk_detail::paddedBorder(false);
    VK_ROW_KERNEL static void splitRow(const std::uint16_t* __restrict e,
                                       std::uint8_t* __restrict high, std::uint8_t* __restrict low,
                                       std::int32_t n) {
        for (std::int32_t x = 0; x < n; ++x) {
            high[x] = static_cast<std::uint8_t>(e[x] >> 8);
            low[x] = static_cast<std::uint8_t>(e[x]);
        }
    }
    vkPelRect grid_;
    std::array<vkPelBuffer<std::uint8_t>, kPlanes> planes_;
    std::array<std::unique_ptr<const vk_detail::AffineRowSampler>, kPlanes> samplers_;
    vkPelBuffer<Pel> store_;
};

// Rows [y0, y1) of out: img's rows minus the estimate's, magnified row by
// row through the readers, so that the full-size estimate is never stored.
void subtractSampledRows(PaddedEstimate<std::uint8_t>::Readers& readers,
                         const vkPelBuffer_const<std::uint8_t>& img, vkPelBuffer<std::uint8_t>& out,
                         const Band&, std::int32_t y0, std::int32_t y1) {
    vk_detail::AffineRowSampler::Reader& reader = *readers[0];
    const std::uint8_t* a = img.pointToOffset();
    std::uint8_t* o = out.pointToOffset();
#ifdef VK_STREAMED_CORRECTION
    const bool stream = vk_detail::cpuHasAvx2();
#endif
    for (std::int32_t y = y0; y < y1; ++y) {
        vk_detail::FixedRowPair fixed{};
        if (reader.fixedRowPair(y, fixed)) {
#ifdef VK_STREAMED_CORRECTION
            if (stream) {
                streamRowFixed(a + y * img.rowUpdate(), fixed.r0, fixed.r1, fixed.w0, fixed.w1,
                               o + y * out.rowUpdate(), out.width(),
                               a + std::min(y + 1, y1 - 1) * img.rowUpdate());
                continue;
            }
#endif
            fetchNextRow(a, img.rowUpdate(), y, y1, out.width());
            correctRowFixed(a + y * img.rowUpdate(), fixed.r0, fixed.r1, fixed.w0, fixed.w1,
                            o + y * out.rowUpdate(), out.width());
            continue;
        }
        fetchNextRow(a, img.rowUpdate(), y, y1, out.width());
        // The grid is axis-parallel and bilinear by construction.
        vk_detail::BilinearRowPair pair{};
        if (!reader.bilinearRowPair(y, pair)) vstd_assert_(__LINE__);
        correctRowBilinear(a + y * img.rowUpdate(), pair.r0, pair.r1, pair.w0, pair.w1,
                           o + y * out.rowUpdate(), out.width());
    }
#ifdef VK_STREAMED_CORRECTION
    if (stream) _mm_sfence();
#endif
}
void subtractSampledRows(PaddedEstimate<std::uint16_t>::Readers& readers,
                         const vkPelBuffer_const<std::uint16_t>& img,
                         vkPelBuffer<std::uint16_t>& out, const Band& band, std::int32_t y0,
                         std::int32_t y1) {
    vk_detail::AffineRowSampler::Reader &highReader = *readers[0], &lowReader = *readers[1];
    const std::uint16_t* a = img.pointToOffset();
    std::uint16_t* o = out.pointToOffset();
#ifdef VK_STREAMED_CORRECTION
    const bool stream = vk_detail::cpuHasAvx2();
#endif
    for (std::int32_t y = y0; y < y1; ++y) {
        vk_detail::FixedRowPair hf{}, lf{};
        if (highReader.fixedRowPair(y, hf) && lowReader.fixedRowPair(y, lf)) {
#ifdef VK_STREAMED_CORRECTION
            if (stream) {
                streamRowFixed16(a + y * img.rowUpdate(), hf.r0, hf.r1, lf.r0, lf.r1, hf.w0, hf.w1,
                                 o + y * out.rowUpdate(), out.width(), band.half,
                                 a + std::min(y + 1, y1 - 1) * img.rowUpdate());
                continue;
            }
#endif
            fetchNextRow(a, img.rowUpdate(), y, y1, out.width());
            correctRowFixed16(a + y * img.rowUpdate(), hf.r0, hf.r1, lf.r0, lf.r1, hf.w0, hf.w1,
                              o + y * out.rowUpdate(), out.width(), band.half);
            continue;
        }
        fetchNextRow(a, img.rowUpdate(), y, y1, out.width());
        vk_detail::BilinearRowPair h{}, l{};
        if (!highReader.bilinearRowPair(y, h) || !lowReader.bilinearRowPair(y, l))
            vstd_assert_(__LINE__);
        correctRowBilinear16(a + y * img.rowUpdate(), h.r0, h.r1, l.r0, l.r1, h.w0, h.w1,
                             o + y * out.rowUpdate(), out.width(), band.half, band.top);
    }
#ifdef VK_STREAMED_CORRECTION
    if (stream) _mm_sfence();
#endif
}

// The estimate's whole window magnified onto the working rectangle and
// subtracted from img, into out.
template <class Pel>
void subtractResampled(const vkPelBuffer_const<Pel>& img, vkPelBuffer<Pel>& estimate,
                       const Band& band, vkPelBuffer<Pel>& out) {
    estimate.clientFromImageXformBase(vfIdentityXformHandle());
    PaddedEstimate<Pel> padded(
        vk_detail::paddedGeometry<Pel>(estimate, out.width(), out.height(), false));
    padded.publish(estimate);
    rowStrips(out.height(), out.width(), [&](std::int32_t y0, std::int32_t y1) {
        typename PaddedEstimate<Pel>::Readers readers = padded.readers();
        subtractSampledRows(readers, img, out, band, y0, y1);
    });
}

// The local mean at reduced resolution, streamed. Each thread takes
// one strip of the working rectangle's rows and walks down it in bands of
// rows, running every stage for a band while the run-time rows it has read
// are still in the last-level cache: the difference and its reduction
// for the reduced rows not made yet, the local mean of the estimate rows
// not made yet that the band's magnification reads, the magnification and
// the subtraction. A strip recomputes the reduced and estimate rows it
// shares with its neighbours (as far as the kernels reach) in storage of
// its own; every stage is exact integer arithmetic on the same inputs, so
// the result is that of the stages run one after the other on whole
// images, whatever the strips and bands. One parallel loop: no strip waits
// for another. False, having done nothing, where the reduction is not the
// direct FIR that can make a band of rows alone.
template <class Pel>
bool streamedLocalMean(const vkPelBuffer_const<Pel>& img, const vkPelBuffer_const<Pel>& ref,
                       const vkPelBuffer_const<std::uint8_t>& mask,
                       const vkPelBuffer_const<std::uint8_t>& reduced,
                       const vkPelBuffer_const<std::uint16_t>& weights,
                       const vkPair<std::int32_t>& granularity, const vkPair<std::int32_t>& s,
                       const Band& band, std::int32_t depth, vkPelBuffer<Pel>& out) {
    const vkGaussSampleParams reduction(
        granularity, vkPair<std::int32_t>(granularity.x() - 1, granularity.y() - 1), 1.0, true);
    if (!vk_detail::gaussDirectFir(img.window(), reduction)) return false;
    const DifferenceRows<Pel> rows(img, ref, mask, band);
    const vk_detail::GaussBands<Pel, Pel> reduce(img, reduction);
    vkPelBuffer<Pel> grid = reduce.newResult();
    grid.clientFromImageXformBase(vfIdentityXformHandle());
    const int shift = meanShift(grid, depth);
    const vk_detail::GaussBands<Pel, std::uint16_t> localMean(
        grid, localMeanParams(s, static_cast<double>(1 << shift)));
    const vk_detail::PaddedSampling shape =
        vk_detail::paddedGeometry<Pel>(grid, out.width(), out.height(), false);
    const vkPelRect gridWindow = grid.window();
    const std::int32_t gridHeight = gridWindow.height(), height = out.height();
    // Output row y samples the estimate at row (y + 0.5) G / H - 0.5 and the
    // row below it, G and H the grid's and the output's heights.
    const auto estimateRow = [&](std::int32_t y) {
        return static_cast<std::int32_t>(std::int64_t{y} * gridHeight / height);
    };
    // Output row i of the local mean reads the reduced rows from i + first
    // to i + first + taps - 1.
    const vk_detail::GaussAxis mean =
        vk_detail::gaussAxis(gridHeight, 1, gaussKernelSize(s).y(), true);
    // Grid rows [y0, y1) cut to the grid: a rectangle of the grid's window.
    const auto gridRows = [&](std::int64_t y0, std::int64_t y1) {
        const std::int64_t a = std::clamp<std::int64_t>(y0, 0, gridHeight);
        const std::int64_t b = std::clamp<std::int64_t>(y1, a, gridHeight);
        return vkPelRect(gridWindow.ul().x(), gridWindow.ul().y() + static_cast<std::int32_t>(a),
                         gridWindow.width(), static_cast<std::int32_t>(b - a));
    };
    const std::int32_t top = gridWindow.ul().y();
    // Bands of 1024 rows: on 4096 x 4096 shorter ones (64 or 256 rows, which
    // stay in the second-level cache) cost more in recomputed kernel reach
    // than they save. A few bands on small images, so that their seams are
    // exercised too; one strip per thread.
    const std::int32_t bandRows =
        std::max(2 * granularity.y(), std::min((height + 3) / 4, std::int32_t{1024}));
    const std::int32_t threads = vk_detail::threadCount();
    const std::int32_t perStrip = std::max(bandRows, (height + threads - 1) / threads);
    vk_detail::parallelRows(height, perStrip, [&](std::int32_t y0, std::int32_t y1) {
        // The reduced rows, and the estimate inside the padded buffer that
        // the magnification reads. The buffers span the whole grid, but a
        // strip writes only its own rows and their reach, and fresh storage
        // (which starts undefined) commits only the pages written.
        vkPelBuffer<Pel> small(gridWindow, vk_detail::uninitialized);
        PaddedEstimate<Pel> padded(shape);
        typename PaddedEstimate<Pel>::Readers readers = padded.readers();
        std::int32_t reducedEnd = -1, estimateEnd = -1;  // rows made so far, from the first made
        const vkPelBuffer<std::uint16_t> sums(gridWindow, vk_detail::uninitialized);
        for (std::int32_t b0 = y0; b0 < y1; b0 += bandRows) {
            vkAttention::check();
            const std::int32_t b1 = std::min(b0 + bandRows, y1);
            // The estimate rows that cover every tap of the band's samples,
            // with a row to spare on each side, and the reduced rows their
            // local mean reads; only those not made yet are made.
            const vkPelRect estimates =
                gridRows(std::max(estimateRow(b0) - 2, estimateEnd), estimateRow(b1) + 2);
            if (!estimates.isNull()) {
                const std::int32_t e0 = estimates.ul().y() - top, e1 = e0 + estimates.height();
                const vkPelRect needed =
                    gridRows(std::max(e0 + mean.first, std::int64_t{reducedEnd}),
                             e1 - 1 + mean.first + mean.taps);
                if (!needed.isNull()) {
                    reduce.sample(rows, vk_detail::narrowed(small, needed));
                    if (mask.isBound())
                        zeroExcluded(vk_detail::narrowed(small, needed),
                                     vk_detail::narrowed(reduced, needed));
                    reducedEnd = needed.ll().y() - top;
                }
                const vkPelBuffer<std::uint16_t> sum = vk_detail::narrowed(sums, estimates);
                localMean.sample(small, sum);
                vkPelBuffer<Pel> estimate = padded.rows(estimates);
                if (mask.isBound()) {
                    // Excluded pixels keep their (zeroed) difference.
                    vfPelCopy<Pel>(vk_detail::narrowed(small, estimates), estimate);
                    maskedMean(sum, weights, reduced, estimate, depth);
                } else {
                    // shiftDown on this thread alone.
                    vk_detail::forRows(sum.pointToOffset(), sum.rowUpdate(),
                                       estimate.pointToOffset(), estimate.rowUpdate(),
                                       estimates.width(), estimates.height(),
                                       [shift](const std::uint16_t* from, Pel* to, std::int32_t n) {
                                           shiftRow(from, to, n, shift);
                                       });
                }
                padded.publish(estimate);
                estimateEnd = e1;
            }
            subtractSampledRows(readers, img, out, band, b0, b1);
        }
    });
    refuseAboveDepth(rows.seen(), depth);
    return true;
}

// Records a copy of the estimate (the corrected image may overwrite its
// storage).
void recordEstimate(vkDiagObject* details, const vkPelBuffer_const<std::uint8_t>& estimate,
                    std::int32_t) {
    vf_AddImage(details, estimate, "Background estimate", true);
}
void recordEstimate(vkDiagObject* details, const vkPelBuffer_const<std::uint16_t>& estimate,
                    std::int32_t depth) {
    vf_AddImage(details, estimate, depth, "Background estimate", true);
}

}  // namespace

template <class Pel>
void runLocalCorrection(const vkPelBuffer_const<Pel>& image,
                        const vkPelBuffer_const<Pel>& reference,
                        const vkPelBuffer_const<std::uint8_t>& binaryMask,
                        const vkPelBuffer_const<std::uint8_t>& reducedMask,
                        const vkPelBuffer_const<std::uint16_t>& maskWeights, Method method,
                        const vkPair<std::int32_t>& neighborhoodIn,
                        const vkPair<std::int32_t>& granularityIn,
                        const vkPair<std::int32_t>& range, vkPelBuffer<Pel>& result,
                        vkDiagObject* details, std::int32_t depth) {
    const vkPair<std::int32_t> neighborhood = atLeastOne(neighborhoodIn), granularity = atLeastOne(granularityIn);
    vkPelRect rect = image.window() & reference.window();
    if (binaryMask.isBound()) rect &= binaryMask.window();
    vkPelBuffer_const<Pel> img(image), ref(reference);
    vkPelBuffer_const<std::uint8_t> mask(binaryMask);
    img.window(rect);
    ref.window(rect);
    if (mask.isBound()) mask.window(rect);
    const Band band = bandOf(depth, bandHalfWidth(range, depth));

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
        const SeenValues seen;
        vkPelBuffer<Pel> difference = differenceImage(img, ref, band, seen);
        refuseAboveDepth(seen, depth);
        vkAttention::check();
        const vkPelBuffer<Pel> estimate =
            localEstimate(method, difference, mask, weights, s, range, depth);
        // Every estimate covers the whole working rectangle.
        if (estimate.window() != rect) vstd_assert_(__LINE__);
        recordEstimate(details, estimate, depth);
        const Pel* a = img.pointToOffset();
        const Pel* e = estimate.pointToOffset();
        Pel* o = difference.pointToOffset();
        rowStrips(rect.height(), rect.width(), [&](std::int32_t y0, std::int32_t y1) {
            for (std::int32_t y = y0; y < y1; ++y)
                correct(a + y * img.rowUpdate(), e + y * estimate.rowUpdate(),
                        o + y * difference.rowUpdate(), rect.width(), band);
        });
        vkAttention::check();
        result = difference;
        result.copyXforms(image);
        return;
    }

    // Reduced resolution: the difference rows go straight into the
    // reduction (excluded pixels neutral for the masked mean), so the
    // full-size difference is never stored.
    vkPelBuffer<Pel> out(rect, vk_detail::uninitialized);
    // The estimate is recorded whole: only the stages one after the other
    // make it.
    if (method == eLocalCorrection && details == nullptr &&
        streamedLocalMean(img, ref, mask, reduced, weights, granularity, s, band, depth, out)) {
        vkAttention::check();
        result = out;
        result.copyXforms(image);
        return;
    }
    const vkPair<std::int32_t> kernel(granularity.x() - 1, granularity.y() - 1);
    const DifferenceRows<Pel> rows(
        img, ref, method == eLocalCorrection ? mask : vkPelBuffer_const<std::uint8_t>(), band);
    vkPelBuffer<Pel> small =
        vk_detail::gaussSampleRows(rows, img, vkGaussSampleParams(granularity, kernel, 1.0, true));
    refuseAboveDepth(rows.seen(), depth);
    vkAttention::check();
    vkPelBuffer<Pel> estimate = localEstimate(method, small, reduced, weights, s, range, depth);
    recordEstimate(details, estimate, depth);
    subtractResampled(img, estimate, band, out);
    vkAttention::check();
    result = out;
    result.copyXforms(image);
}

#define IMGNORM_LOCAL_CORRECTION(Pel)                                                            \
    template void runLocalCorrection<Pel>(                                                       \
        const vkPelBuffer_const<Pel>&, const vkPelBuffer_const<Pel>&,                            \
        const vkPelBuffer_const<std::uint8_t>&, const vkPelBuffer_const<std::uint8_t>&,          \
        const vkPelBuffer_const<std::uint16_t>&, Method, const vkPair<std::int32_t>&,            \
        const vkPair<std::int32_t>&, const vkPair<std::int32_t>&, vkPelBuffer<Pel>&,             \
        vkDiagObject*, std::int32_t);                                                            \
    template void localMeanEstimate<Pel>(                                                        \
        const vkPelBuffer<Pel>&, const vkPelBuffer_const<std::uint8_t>&,                         \
        const vkPelBuffer_const<std::uint16_t>&, const vkPair<std::int32_t>&, vkPelBuffer<Pel>&, \
        std::int32_t);                                                                           \
    template void localMedianEstimate<Pel>(                                                      \
        const vkPelBuffer<Pel>&, const vkPelBuffer_const<std::uint8_t>&,                         \
        const vkPair<std::int32_t>&, const vkPair<std::int32_t>&, vkPelBuffer<Pel>&,             \
        std::int32_t);                                                                           \
    template void shiftDown<Pel>(const vkPelBuffer_const<std::uint16_t>&, int, vkPelBuffer<Pel>&);
IMGNORM_LOCAL_CORRECTION(std::uint8_t)
IMGNORM_LOCAL_CORRECTION(std::uint16_t)
#undef IMGNORM_LOCAL_CORRECTION

}  // namespace imgnorm_detail
