// The local gain corrections: the statistics grid, the local moments, gain
// and offset per grid pixel, and their application at full or reduced
// resolution, for 8-bit and deep images.
#include "imgnorm/local_gain.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/gauss.h"
#include "imgnorm/local_model.h"
#include "imgnorm/pelops.h"
#include "pelfunc/padded_sample.h"
#include "platform/affine_rows.h"
#include "platform/gauss_rows.h"
#include "platform/parallel.h"
#include "platform/rows.h"

namespace imgnorm_detail {

namespace {

// The reduction by the granularity: the local mean correction's sampling,
// rounded.
vkGaussSampleParams reduction(const vkPair<std::int32_t>& g) {
    vkGaussSampleParams p(g, vkPair<std::int32_t>(g.x() - 1, g.y() - 1), 1.0, true);
    p.doRounding(true);
    return p;
}

// The levels of a depth (8 for 8-bit images): the middle level, the top
// level, the shift of P's high part, and U = 2^(16-d) with its inverse.
struct Levels {
    std::int32_t half, top, split;
    float unit, inverseUnit;
    explicit Levels(std::int32_t depth)
        : half(std::int32_t{1} << (depth - 1)),
          top((std::int32_t{1} << depth) - 1),
          split(depth - 2),
          unit(static_cast<float>(std::int32_t{1} << (16 - depth))),
          inverseUnit(1.0f / unit) {}
};

// 256 times the local Gaussian mean of an 8-bit plane, rounded, on the
// plane's window (at most 255 * 256, so it fits 16 bits).
vkPelBuffer<std::uint16_t> smooth(const vkPelBuffer_const<std::uint8_t>& plane,
                                  const vkPair<std::int32_t>& kernel) {
    vkGaussSampleParams p(vkPair<std::int32_t>(1, 1), kernel, 256.0, true);
    p.doRounding(true);
    vkPelBuffer<std::uint16_t> out;
    vfGaussSample<std::uint8_t, std::uint16_t>(plane, out, p);
    return out;
}

// Row kernels. The bodies are templates over the pixel type, always
// inlined into plain functions for each type, which VK_ROW_KERNEL compiles
// for AVX2 as well (it cannot clone templates).
#define IMGNORM_ROW_BODY [[gnu::always_inline]] inline

// d = a where the mask is set, else 0 (min(a, m) for a 0/255 mask).
template <class Pel>
IMGNORM_ROW_BODY void maskedRowOf(const Pel* __restrict a, const std::uint8_t* __restrict m,
                                  Pel* __restrict d, std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x)
        d[x] = static_cast<Pel>(a[x] & -static_cast<std::int32_t>(m[x] != 0));
}

// The second moment about half, P = (v - half)^2 <= 2^(2d-2), as a high part
// min(P >> split, top) and a low part P - (high << split) (at most
// 2^split), two planes of the pixel type whose smoothed sums add up to
// those of P.
template <class Pel>
IMGNORM_ROW_BODY void squareRowOf(const Pel* __restrict v, Pel* __restrict hi, Pel* __restrict lo,
                                  std::int32_t n, Levels levels) {
    const std::int32_t half = levels.half, top = levels.top, split = levels.split;
    for (std::int32_t x = 0; x < n; ++x) {
        const std::int32_t d = v[x] - half;
        const auto p = static_cast<std::uint32_t>(d * d);
        const auto h = std::min(p >> split, static_cast<std::uint32_t>(top));
        hi[x] = static_cast<Pel>(h);
        lo[x] = static_cast<Pel>(p - (h << split));
    }
}

// The same for the weighted grid: the mean value r = 255 v / w of a grid
// pixel, weighted by w / 255: P = (w / 255) (r - half)^2 = (255 v - half
// w)^2 / (255 w), rounded (v and w both 0 give 0) and capped at half^2
// before it is converted.
template <class Pel>
IMGNORM_ROW_BODY void weightedSquareRowOf(const Pel* __restrict v, const std::uint8_t* __restrict w,
                                          Pel* __restrict hi, Pel* __restrict lo, std::int32_t n,
                                          Levels levels) {
    const auto half = static_cast<float>(levels.half);
    const auto most = static_cast<float>(levels.half * levels.half);
    const std::int32_t top = levels.top, split = levels.split;
    for (std::int32_t x = 0; x < n; ++x) {
        const float t = 255.0f * static_cast<float>(v[x]) - half * static_cast<float>(w[x]);
        const float q = t * t / (255.0f * static_cast<float>(w[x] + (w[x] == 0)));
        const auto p = static_cast<std::int32_t>(std::min(q + 0.5f, most));
        const std::int32_t h = std::min(p >> split, top);
        hi[x] = static_cast<Pel>(h);
        lo[x] = static_cast<Pel>(p - (h << split));
    }
}

VK_ROW_KERNEL void maskedRow(const std::uint8_t* a, const std::uint8_t* m, std::uint8_t* d,
                             std::int32_t n) {
    maskedRowOf(a, m, d, n);
}
VK_ROW_KERNEL void maskedRow(const std::uint16_t* a, const std::uint8_t* m, std::uint16_t* d,
                             std::int32_t n) {
    maskedRowOf(a, m, d, n);
}
VK_ROW_KERNEL void squareRow(const std::uint8_t* v, std::uint8_t* hi, std::uint8_t* lo,
                             std::int32_t n, Levels levels) {
    squareRowOf(v, hi, lo, n, levels);
}
VK_ROW_KERNEL void squareRow(const std::uint16_t* v, std::uint16_t* hi, std::uint16_t* lo,
                             std::int32_t n, Levels levels) {
    squareRowOf(v, hi, lo, n, levels);
}
VK_ROW_KERNEL void weightedSquareRow(const std::uint8_t* v, const std::uint8_t* w, std::uint8_t* hi,
                                     std::uint8_t* lo, std::int32_t n, Levels levels) {
    weightedSquareRowOf(v, w, hi, lo, n, levels);
}
VK_ROW_KERNEL void weightedSquareRow(const std::uint16_t* v, const std::uint8_t* w,
                                     std::uint16_t* hi, std::uint16_t* lo, std::int32_t n,
                                     Levels levels) {
    weightedSquareRowOf(v, w, hi, lo, n, levels);
}

// Mean and deviation of n grid pixels from the weighted sums of V and P
// (sp null: the mean alone), times the inverse weights ix[x] iy; with the
// weights ws = 256 G(W) (null without a mask; meaningless where 0, which has
// no statistics) mean = 255 G(V) / G(W); half is the middle level.
template <bool Weighted, bool Deviation>
[[gnu::always_inline]] inline void statsBody(const double* __restrict sv,
                                             const double* __restrict sp,
                                             const double* __restrict ix, double iy,
                                             const std::uint16_t* __restrict ws, std::int32_t n,
                                             float half, float* __restrict mean,
                                             float* __restrict dev) {
    for (std::int32_t x = 0; x < n; ++x) {
        const double inv = ix[x] * iy;
        float m = static_cast<float>(sv[x] * inv);
        float q = Deviation ? static_cast<float>(sp[x] * inv) : 0.0f;
        if constexpr (Weighted) {
            const float r = (255.0f * 256.0f) / static_cast<float>(ws[x] + (ws[x] == 0));
            m *= r;
            q *= r;
        }
        mean[x] = m;
        if constexpr (Deviation) dev[x] = std::sqrt(std::max(q - (m - half) * (m - half), 0.0f));
    }
}

VK_ROW_KERNEL void statsRow(const double* sv, const double* sp, const double* ix, double iy,
                            const std::uint16_t* ws, std::int32_t n, float half, float* mean,
                            float* dev) {
    if (ws != nullptr) {
        if (sp != nullptr)
            statsBody<true, true>(sv, sp, ix, iy, ws, n, half, mean, dev);
        else
            statsBody<true, false>(sv, sp, ix, iy, ws, n, half, mean, dev);
    } else {
        if (sp != nullptr)
            statsBody<false, true>(sv, sp, ix, iy, ws, n, half, mean, dev);
        else
            statsBody<false, false>(sv, sp, ix, iy, ws, n, half, mean, dev);
    }
}

// g and o of the two models against the reference's 16-bit statistics;
// g = 1 and o = 0 where the reference has none (selected by arithmetic, so
// that the loops vectorise).
VK_ROW_KERNEL void gainOffsetRow(const std::uint16_t* __restrict mRef,
                                 const std::uint16_t* __restrict sRef, const float* __restrict m,
                                 const float* __restrict s, std::int32_t n, float inverseUnit,
                                 float lowest, float highest, float floor, float* __restrict g,
                                 float* __restrict o) {
    for (std::int32_t x = 0; x < n; ++x) {
        const float sr = static_cast<float>(sRef[x]) * inverseUnit;
        const float mr = static_cast<float>(mRef[x]) * inverseUnit;
        const float gain =
            std::min(std::max(std::max(sr, floor) / std::max(s[x], floor), lowest), highest);
        const float valid = sRef[x] != kNoStatistics ? 1.0f : 0.0f;
        g[x] = 1.0f + (gain - 1.0f) * valid;
        o[x] = (mr - gain * m[x]) * valid;
    }
}

VK_ROW_KERNEL void gainOnlyRow(const std::uint16_t* __restrict mRef,
                               const std::uint16_t* __restrict sRef, const float* __restrict m,
                               std::int32_t n, float inverseUnit, float lowest, float highest,
                               float floor, float* __restrict g, float* __restrict o) {
    for (std::int32_t x = 0; x < n; ++x) {
        const float mr = static_cast<float>(mRef[x]) * inverseUnit;
        const float gain =
            std::min(std::max(std::max(mr, floor) / std::max(m[x], floor), lowest), highest);
        const float valid = sRef[x] != kNoStatistics ? 1.0f : 0.0f;
        g[x] = 1.0f + (gain - 1.0f) * valid;
        o[x] = 0.0f;
    }
}

// v rounded half up and clamped to 0..top (vk_detail::roundToPel on 8-bit
// images).
template <class Pel>
IMGNORM_ROW_BODY Pel roundToLevel(float v, std::int32_t top) {
    if constexpr (std::is_same_v<Pel, std::uint8_t>)
        return vk_detail::roundToPel(v);
    else
        return static_cast<Pel>(std::clamp(static_cast<std::int32_t>(v + 0.5f), 0, top));
}

template <class Pel>
IMGNORM_ROW_BODY void applyRowOf(const Pel* __restrict in, const float* __restrict g,
                                 const float* __restrict o, Pel* __restrict out, std::int32_t n,
                                 std::int32_t top) {
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = roundToLevel<Pel>(g[x] * static_cast<float>(in[x]) + o[x], top);
}
VK_ROW_KERNEL void applyRow(const std::uint8_t* in, const float* g, const float* o,
                            std::uint8_t* out, std::int32_t n, std::int32_t top) {
    applyRowOf(in, g, o, out, n, top);
}
VK_ROW_KERNEL void applyRow(const std::uint16_t* in, const float* g, const float* o,
                            std::uint16_t* out, std::int32_t n, std::int32_t top) {
    applyRowOf(in, g, o, out, n, top);
}

// One output row at reduced resolution: the four byte planes of g and o
// interpolated from their two horizontally interpolated source rows each.
struct BilinearGainRows {
    const float *gh0, *gh1, *gl0, *gl1, *oh0, *oh1, *ol0, *ol1;
    float w0, w1;
    float gBase, gStep, oBase, oStep;  // value = base + 16-bit code * step
};

template <class Pel>
IMGNORM_ROW_BODY void applyRowBilinearOf(const Pel* __restrict in, const BilinearGainRows& r,
                                         Pel* __restrict out, std::int32_t n, std::int32_t top) {
    const float* __restrict gh0 = r.gh0;
    const float* __restrict gh1 = r.gh1;
    const float* __restrict gl0 = r.gl0;
    const float* __restrict gl1 = r.gl1;
    const float* __restrict oh0 = r.oh0;
    const float* __restrict oh1 = r.oh1;
    const float* __restrict ol0 = r.ol0;
    const float* __restrict ol1 = r.ol1;
    const float w0 = r.w0, w1 = r.w1, gBase = r.gBase, gStep = r.gStep, oBase = r.oBase,
                oStep = r.oStep;
    for (std::int32_t x = 0; x < n; ++x) {
        const float gc = w0 * (256.0f * gh0[x] + gl0[x]) + w1 * (256.0f * gh1[x] + gl1[x]);
        const float oc = w0 * (256.0f * oh0[x] + ol0[x]) + w1 * (256.0f * oh1[x] + ol1[x]);
        out[x] = roundToLevel<Pel>(
            (gBase + gc * gStep) * static_cast<float>(in[x]) + (oBase + oc * oStep), top);
    }
}

VK_ROW_KERNEL void applyRowBilinear(const std::uint8_t* in, const BilinearGainRows& r,
                                    std::uint8_t* out, std::int32_t n, std::int32_t top) {
    applyRowBilinearOf(in, r, out, n, top);
}
VK_ROW_KERNEL void applyRowBilinear(const std::uint16_t* in, const BilinearGainRows& r,
                                    std::uint16_t* out, std::int32_t n, std::int32_t top) {
    applyRowBilinearOf(in, r, out, n, top);
}

#undef IMGNORM_ROW_BODY

// Rows of the image with the mask's excluded pixels 0, made as they are
// asked for.
template <class Pel>
class MaskedRows final : public vk_detail::GaussRowSource<Pel> {
  public:
    MaskedRows(const vkPelBuffer_const<Pel>& image, const vkPelBuffer_const<std::uint8_t>& mask)
        : a_(image.pointToOffset()),
          m_(mask.pointToOffset()),
          strideA_(image.rowUpdate()),
          strideM_(mask.rowUpdate()),
          n_(image.width()) {}
    const Pel* row(std::int32_t y, Pel* scratch) const override {
        maskedRow(a_ + y * strideA_, m_ + y * strideM_, scratch, n_);
        return scratch;
    }

  private:
    const Pel* a_;
    const std::uint8_t* m_;
    std::ptrdiff_t strideA_, strideM_;
    std::int32_t n_;
};

// V on the grid, for an image narrowed to the grid's rectangle.
template <class Pel>
vkPelBuffer_const<Pel> gridValues(const vkPelBuffer_const<Pel>& image, const StatsGrid& grid) {
    if (!grid.mask.isBound())
        return grid.reduced()
                   ? vkPelBuffer_const<Pel>(vfGaussSample(image, reduction(grid.granularity)))
                   : image;
    const MaskedRows<Pel> rows(image, grid.mask);
    if (grid.reduced()) return vk_detail::gaussSampleRows(rows, image, reduction(grid.granularity));
    vkPelBuffer<Pel> v(image.window(), vk_detail::uninitialized);
    vk_detail::parallelRows(image.height(), vk_detail::stripRows(image.height(), image.width()),
                            [&](std::int32_t y0, std::int32_t y1) {
                                for (std::int32_t y = y0; y < y1; ++y)
                                    rows.row(y, v.pointToOffset() + y * v.rowUpdate());
                            });
    return v;
}

// The planes whose local sums give the statistics: V and, for the
// deviation, the high and low parts of P (unbound for the gain-only model).
template <class Pel>
struct MomentPlanes {
    vkPelBuffer_const<Pel> values;
    vkPelBuffer<Pel> high, low;
};

template <class Pel>
MomentPlanes<Pel> momentPlanes(const vkPelBuffer_const<Pel>& image, const StatsGrid& grid,
                               bool withDeviation) {
    const Levels levels(grid.depth);
    MomentPlanes<Pel> m;
    m.values = gridValues(image, grid);
    vkAttention::check();
    if (!withDeviation) return m;
    const vkPelBuffer_const<Pel>& v = m.values;
    m.high = vkPelBuffer<Pel>(v.window(), vk_detail::uninitialized);
    m.low = vkPelBuffer<Pel>(v.window(), vk_detail::uninitialized);
    const bool weighted = grid.weight.isBound();
    vk_detail::parallelRows(
        v.height(), vk_detail::stripRows(v.height(), v.width()),
        [&](std::int32_t y0, std::int32_t y1) {
            for (std::int32_t y = y0; y < y1; ++y) {
                const Pel* pv = v.pointToOffset() + y * v.rowUpdate();
                Pel* ph = m.high.pointToOffset() + y * m.high.rowUpdate();
                Pel* pl = m.low.pointToOffset() + y * m.low.rowUpdate();
                if (weighted)
                    weightedSquareRow(pv, grid.weight.pointToOffset() + y * grid.weight.rowUpdate(),
                                      ph, pl, v.width(), levels);
                else
                    squareRow(pv, ph, pl, v.width(), levels);
            }
        });
    vkAttention::check();
    return m;
}

// Grid rows go to the statistics in pieces of this many pixels, whose rows
// of means, deviations, gains and offsets stay in the first-level cache.
constexpr std::int32_t kPiece = 512;

// Hands f(y, x0, n, mean, dev, ws) the local mean and deviation of the
// pixels [x0, x0 + n) of grid row y (dev only with P), and the row's 256
// G(W) from x0 (null without a mask).
template <class F>
class StatsSink final : public vk_detail::GaussSumSink {
  public:
    StatsSink(const StatsGrid& grid, std::int32_t width, const F& f)
        : ws_(grid.weightSum.isBound() ? grid.weightSum.pointToOffset() : nullptr),
          wsStride_(grid.weightSum.rowUpdate()),
          width_(width),
          half_(static_cast<float>(Levels(grid.depth).half)),
          f_(f) {}
    void row(std::int32_t y, const double* values, const double* squares, const double* ix,
             double iy) const override {
        float mean[kPiece], dev[kPiece];
        const std::uint16_t* ws = ws_ != nullptr ? ws_ + y * wsStride_ : nullptr;
        for (std::int32_t x0 = 0; x0 < width_; x0 += kPiece) {
            const std::int32_t n = std::min(kPiece, width_ - x0);
            const std::uint16_t* w = ws != nullptr ? ws + x0 : nullptr;
            statsRow(values + x0, squares != nullptr ? squares + x0 : nullptr, ix + x0, iy, w, n,
                     half_, mean, dev);
            f_(y, x0, n, static_cast<const float*>(mean), static_cast<const float*>(dev), w);
        }
    }

  private:
    const std::uint16_t* ws_;
    std::ptrdiff_t wsStride_;
    std::int32_t width_;
    float half_;
    const F& f_;
};

// Walks the grid's rows, on the library's threads, with the local means
// and deviations: the planes smoothed together, their sums combined before
// any division.
template <class Pel, class F>
void forStatsRows(const MomentPlanes<Pel>& m, const StatsGrid& grid, const F& f) {
    const StatsSink<F> sink(grid, m.values.width(), f);
    const vkPelBuffer_const<Pel> squares[] = {m.high, m.low};
    vk_detail::gaussSums(m.values, m.high.isBound() ? squares : nullptr, Levels(grid.depth).split,
                         grid.kernel, sink);
    vkAttention::check();
}

// Gain and offset rows of the run against the reference.
class GainRows {
  public:
    GainRows(const ReferenceStats& ref, GainModel model, const GainLimits& limits)
        : mean_(ref.mean.pointToOffset()),
          dev_(ref.deviation.pointToOffset()),
          strideMean_(ref.mean.rowUpdate()),
          strideDev_(ref.deviation.rowUpdate()),
          model_(model),
          inverseUnit_(Levels(ref.grid.depth).inverseUnit),
          lowest_(static_cast<float>(limits.lowest)),
          highest_(static_cast<float>(limits.highest)),
          floor_(static_cast<float>(limits.floor)) {}
    // Pixels [x0, x0 + n) of grid row y.
    void operator()(std::int32_t y, std::int32_t x0, const float* m, const float* s, std::int32_t n,
                    float* g, float* o) const {
        const std::uint16_t* mr = mean_ + y * strideMean_ + x0;
        const std::uint16_t* sr = dev_ + y * strideDev_ + x0;
        if (model_ == GainModel::gainAndOffset)
            gainOffsetRow(mr, sr, m, s, n, inverseUnit_, lowest_, highest_, floor_, g, o);
        else
            gainOnlyRow(mr, sr, m, n, inverseUnit_, lowest_, highest_, floor_, g, o);
    }

  private:
    const std::uint16_t *mean_, *dev_;
    std::ptrdiff_t strideMean_, strideDev_;
    GainModel model_;
    float inverseUnit_, lowest_, highest_, floor_;
};

// A 16-bit fixed-point code of values in [lowest, highest].
struct FixedPoint {
    float base, step, scale;
    FixedPoint(double lowest, double highest)
        : base(static_cast<float>(lowest)),
          step(static_cast<float>((highest - lowest) / 65535.0)),
          scale(static_cast<float>(65535.0 / (highest - lowest))) {}
};

// The high and low bytes of the codes of a row of values.
VK_ROW_KERNEL void encodeRow(const float* __restrict v, std::int32_t n, float base, float scale,
                             std::uint8_t* __restrict hi, std::uint8_t* __restrict lo) {
    for (std::int32_t x = 0; x < n; ++x) {
        const auto c = static_cast<std::uint32_t>(
            std::clamp(static_cast<std::int32_t>((v[x] - base) * scale + 0.5f), 0, 65535));
        hi[x] = static_cast<std::uint8_t>(c >> 8);
        lo[x] = static_cast<std::uint8_t>(c);
    }
}

// The byte planes of a field on the grid, with identity transforms, as the
// padded resampling takes them.
struct BytePlanes {
    vkPelBuffer<std::uint8_t> high, low;
    BytePlanes(std::int32_t w, std::int32_t h)
        : high(vkPelRect(0, 0, w, h), vk_detail::uninitialized),
          low(vkPelRect(0, 0, w, h), vk_detail::uninitialized) {}
    // Pixels [x0, x0 + n) of row y.
    void encode(std::int32_t y, std::int32_t x0, std::int32_t n, const float* v,
                const FixedPoint& code) const {
        encodeRow(v, n, code.base, code.scale, high.pointToOffset() + y * high.rowUpdate() + x0,
                  low.pointToOffset() + y * low.rowUpdate() + x0);
    }
};

// A plane resampled onto width x height pixels; its rows are taken through
// a Reader of each thread's own.
class PlaneSampler {
  public:
    PlaneSampler(const vkPelBuffer<std::uint8_t>& plane, std::int32_t width, std::int32_t height)
        : sampling_(vk_detail::paddedSampling(plane, width, height, false)),
          sampler_(sampling_.padded, sampling_.params) {}
    const vk_detail::AffineRowSampler& sampler() const { return sampler_; }

  private:
    vk_detail::PaddedSampling sampling_;
    vk_detail::AffineRowSampler sampler_;
};

// Row y of a plane through a reader.
vk_detail::BilinearRowPair bilinearRow(vk_detail::AffineRowSampler::Reader& reader,
                                       std::int32_t y) {
    // The grid is axis-parallel and bilinear by construction.
    vk_detail::BilinearRowPair pair{};
    if (!reader.bilinearRowPair(y, pair)) vstd_assert_(__LINE__);
    return pair;
}

template <class Pel>
vkPelBuffer<Pel> applyFullResolution(const vkPelBuffer_const<Pel>& image,
                                     const MomentPlanes<Pel>& m, const StatsGrid& grid,
                                     const GainRows& gains) {
    const std::int32_t top = Levels(grid.depth).top;
    vkPelBuffer<Pel> out(grid.rect, vk_detail::uninitialized);
    const Pel* in = image.pointToOffset();
    Pel* po = out.pointToOffset();
    forStatsRows(m, grid,
                 [&](std::int32_t y, std::int32_t x0, std::int32_t n, const float* mean,
                     const float* dev, const std::uint16_t*) {
                     float g[kPiece], o[kPiece];
                     gains(y, x0, mean, dev, n, g, o);
                     applyRow(in + y * image.rowUpdate() + x0, g, o, po + y * out.rowUpdate() + x0,
                              n, top);
                 });
    return out;
}

template <class Pel>
vkPelBuffer<Pel> applyReduced(const vkPelBuffer_const<Pel>& image, const MomentPlanes<Pel>& m,
                              const StatsGrid& grid, const GainRows& gains,
                              const GainLimits& limits) {
    // Fixed ranges: g lies in the gain range, and o = m_ref - g m_run in
    // [-top highest, top]; 16 bits resolve them to better than 0.07 gray
    // levels at a gray level of 255 (the same share of the range at every
    // depth).
    const std::int32_t top = Levels(grid.depth).top;
    const FixedPoint gCode(limits.lowest, limits.highest), oCode(-top * limits.highest, top);
    const BytePlanes gp(m.values.width(), m.values.height()),
        op(m.values.width(), m.values.height());
    forStatsRows(m, grid,
                 [&](std::int32_t y, std::int32_t x0, std::int32_t n, const float* mean,
                     const float* dev, const std::uint16_t*) {
                     float g[kPiece], o[kPiece];
                     gains(y, x0, mean, dev, n, g, o);
                     gp.encode(y, x0, n, g, gCode);
                     op.encode(y, x0, n, o, oCode);
                 });
    vkAttention::check();

    // Every output row depends on its own source rows only, so any cut into
    // strips gives the same bits. Each strip sets up four samplers whose row
    // buffers come from fresh pages: at 64 strips (five times the page
    // faults) that cost a fifth of the loop on one thread, so the cut is
    // four strips per thread.
    const vkPelRect& rect = grid.rect;
    const std::int32_t w = rect.width(), h = rect.height();
    const PlaneSampler gHigh(gp.high, w, h), gLow(gp.low, w, h), oHigh(op.high, w, h),
        oLow(op.low, w, h);
    vkPelBuffer<Pel> out(rect, vk_detail::uninitialized);
    const std::int32_t strips = 4 * vk_detail::threadCount();
    vk_detail::parallelRows(
        h, vk_detail::stripRows(h, w, (h + strips - 1) / strips),
        [&](std::int32_t y0, std::int32_t y1) {
            vkAttention::check();
            vk_detail::AffineRowSampler::Reader gh(gHigh.sampler()), gl(gLow.sampler()),
                oh(oHigh.sampler()), ol(oLow.sampler());
            for (std::int32_t y = y0; y < y1; ++y) {
                const vk_detail::BilinearRowPair a = bilinearRow(gh, y), b = bilinearRow(gl, y),
                                                 c = bilinearRow(oh, y), d = bilinearRow(ol, y);
                const BilinearGainRows rows{a.r0,       a.r1,       b.r0,       b.r1,      c.r0,
                                            c.r1,       d.r0,       d.r1,       a.w0,      a.w1,
                                            gCode.base, gCode.step, oCode.base, oCode.step};
                applyRowBilinear(image.pointToOffset() + y * image.rowUpdate(), rows,
                                 out.pointToOffset() + y * out.rowUpdate(), w, top);
            }
        });
    return out;
}

}  // namespace

StatsGrid statsGrid(const vkPelRect& rect, const vkPelBuffer_const<std::uint8_t>& binaryMask,
                    const vkPair<std::int32_t>& neighborhoodIn,
                    const vkPair<std::int32_t>& granularityIn, std::int32_t depth) {
    const vkPair<std::int32_t> neighborhood = atLeastOne(neighborhoodIn),
                               granularity = atLeastOne(granularityIn);
    const bool reduce = (granularity.x() > 1 || granularity.y() > 1) &&
                        (neighborhood.x() > 1 || neighborhood.y() > 1);
    StatsGrid grid;
    grid.rect = rect;
    grid.depth = depth;
    grid.granularity = reduce ? granularity : vkPair<std::int32_t>(1, 1);
    grid.kernel = gaussKernelSize(reducedNeighborhood(neighborhood, granularity));
    if (binaryMask.isBound()) {
        grid.mask = vk_detail::narrowed(binaryMask, rect);
        if (reduce)
            grid.weight = vfGaussSample(grid.mask, reduction(granularity));
        else
            grid.weight = grid.mask;
        grid.weightSum = smooth(grid.weight, grid.kernel);
        vkAttention::check();
    }
    return grid;
}

template <class Pel>
ReferenceStats referenceStats(const vkPelBuffer_const<Pel>& reference, StatsGrid grid) {
    const MomentPlanes<Pel> m = momentPlanes(vk_detail::narrowed(reference, grid.rect), grid, true);
    const float unit = Levels(grid.depth).unit;
    ReferenceStats r;
    r.mean = vkPelBuffer<std::uint16_t>(m.values.window(), vk_detail::uninitialized);
    r.deviation = vkPelBuffer<std::uint16_t>(m.values.window(), vk_detail::uninitialized);
    std::uint16_t* const meanBase = r.mean.pointToOffset();
    std::uint16_t* const devBase = r.deviation.pointToOffset();
    forStatsRows(
        m, grid,
        [&](std::int32_t y, std::int32_t x0, std::int32_t n, const float* mean, const float* dev,
            const std::uint16_t* ws) {
            std::uint16_t* pm = meanBase + y * r.mean.rowUpdate() + x0;
            std::uint16_t* pd = devBase + y * r.deviation.rowUpdate() + x0;
            for (std::int32_t x = 0; x < n; ++x) {
                pm[x] = static_cast<std::uint16_t>(std::min(mean[x] * unit + 0.5f, 65535.0f));
                pd[x] = ws != nullptr && ws[x] < kLeastWeightSum
                            ? kNoStatistics
                            : static_cast<std::uint16_t>(dev[x] * unit + 0.5f);
            }
        });
    r.grid = std::move(grid);
    return r;
}

template <class Pel>
vkPelBuffer<Pel> runLocalGain(const vkPelBuffer_const<Pel>& image, const ReferenceStats& trained,
                              GainModel model, const GainLimits& limits) {
    const StatsGrid& grid = trained.grid;
    const vkPelBuffer_const<Pel> img = vk_detail::narrowed(image, grid.rect);
    const MomentPlanes<Pel> m = momentPlanes(img, grid, model == GainModel::gainAndOffset);
    const GainRows gains(trained, model, limits);
    vkPelBuffer<Pel> out = grid.reduced() ? applyReduced(img, m, grid, gains, limits)
                                          : applyFullResolution(img, m, grid, gains);
    vkAttention::check();
    out.copyXforms(image);
    return out;
}

template ReferenceStats referenceStats(const vkPelBuffer_const<std::uint8_t>&, StatsGrid);
template ReferenceStats referenceStats(const vkPelBuffer_const<std::uint16_t>&, StatsGrid);
template vkPelBuffer<std::uint8_t> runLocalGain(const vkPelBuffer_const<std::uint8_t>&,
                                                const ReferenceStats&, GainModel,
                                                const GainLimits&);
template vkPelBuffer<std::uint16_t> runLocalGain(const vkPelBuffer_const<std::uint16_t>&,
                                                 const ReferenceStats&, GainModel,
                                                 const GainLimits&);

}  // namespace imgnorm_detail
