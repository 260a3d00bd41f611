// Affine sampling of an 8-bit image: nearest neighbour, bilinear and bicubic
// (Catmull-Rom) interpolation at the points of an affine rectangle.
//
// Every sample is mapped to a continuous pixel index of the source's window,
// in which pixel k of the window has its centre at index k. An interpolation
// of n taps per axis then reads pixels floor(u) - n/2 + 1 .. floor(u) + n/2,
// each index clamped into the window, so that samples near or beyond the
// window's edge read the nearest window pixel. Values are accumulated in
// single precision with weights that sum to 1, then clamped to 0..255 and
// rounded half up: a constant image therefore resamples to exactly that
// constant, whatever the overshoot of the bicubic lobes.
//
// When the sampling grid's axes are parallel to the source's (the grid's x
// maps to the source's x and its y to the source's y), the interpolation is
// separable: the weights and indices of every column and every row are
// computed once, each source row that is needed is interpolated horizontally
// once into a small ring of float rows, and each output row is a short
// vertical combination of those. Other grids interpolate every sample
// directly. Results are produced one row at a time (AffineRowSampler), so a
// caller can also consume the rows without storing the image.
#include "imgnorm/affine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "platform/affine_rows.h"
#include "platform/parallel.h"
#include "platform/rows.h"

namespace {

// The continuous index u limited to a range in which every tap is already
// clamped to the first or last pixel, so that it converts to an integer
// safely; a NaN index reads the first pixel.
inline double limitIndex(double u, std::int32_t size) {
    const double lo = -4.0, hi = static_cast<double>(size) + 3.0;
    if (!(u >= lo)) return lo;
    return u > hi ? hi : u;
}

// floor(u) for a limited u, without the library call that std::floor becomes
// on processors without a rounding instruction: truncate, then step down
// where truncation rounded a negative value up.
inline std::int64_t floorToInt(double u) {
    const auto t = static_cast<std::int64_t>(u);
    return t - static_cast<std::int64_t>(static_cast<double>(t) > u);
}

inline std::int32_t clampIndex(std::int64_t k, std::int32_t size) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(k, 0, size - 1));
}

// The weights of the N taps of one axis at continuous index u in a window of
// `size` pixels, and the index of the first tap (not yet clamped).
template <int N>
std::int64_t weightsAt(double u, std::int32_t size, float* weight) {
    u = limitIndex(u, size);
    if constexpr (N == 1) {
        weight[0] = 1.0f;
        return floorToInt(u + 0.5);
    } else {
        const std::int64_t k = floorToInt(u);
        const double f = u - static_cast<double>(k);
        std::array<double, N> w{};
        if constexpr (N == 2) {
            w = {1.0 - f, f};
        } else {
            // Keys' cubic convolution kernel with a = -0.5 (Catmull-Rom).
            const double f2 = f * f, f3 = f2 * f;
            w = {-0.5 * f3 + f2 - 0.5 * f, 1.5 * f3 - 2.5 * f2 + 1.0, -1.5 * f3 + 2.0 * f2 + 0.5 * f,
                 0.5 * f3 - 0.5 * f2};
        }
        // The last weight takes up the rounding, so the float weights sum to 1
        // as closely as single precision allows.
        float sum = 0.0f;
        for (int t = 0; t + 1 < N; ++t) {
            weight[t] = static_cast<float>(w[static_cast<std::size_t>(t)]);
            sum += weight[t];
        }
        weight[N - 1] = 1.0f - sum;
        return k - (N / 2 - 1);
    }
}

// Indices (clamped into the window) and weights of the N taps of one axis.
template <int N>
void taps(double u, std::int32_t size, std::int32_t* index, float* weight) {
    const std::int64_t first = weightsAt<N>(u, size, weight);
    for (int t = 0; t < N; ++t) index[t] = clampIndex(first + t, size);
}

// The bit pattern of 255.0f. Read as a signed integer, a float's pattern is
// negative for negative values and grows with the value for non-negative
// ones, so clamping the pattern to 0..kBits255 clamps the value to 0..255
// without a float comparison (which would keep the loops from vectorizing).
const std::int32_t kBits255 = std::bit_cast<std::int32_t>(255.0f);

// v clamped to 0..255 and rounded half up.
inline std::uint8_t toPel(float v) {
    const float c = std::bit_cast<float>(std::clamp(std::bit_cast<std::int32_t>(v), 0, kBits255));
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(c + 0.5f));
}

// The mapping from grid cell (i, j) to the continuous source index (u, v):
// u = ux * i + uy * j + u0 and v = vx * i + vy * j + v0.
struct GridToIndex {
    double ux, uy, u0, vx, vy, v0;
};

GridToIndex gridToIndex(const vkPelBuffer_const<std::uint8_t>& source, const vkXform<2>& clientFromGrid) {
    const vkXform<2> m = source.imageFromClientXform() * clientFromGrid;
    const vkPair<std::int32_t> ul = source.window().ul();
    // Cell (i, j) is sampled at grid position (i + 0.5, j + 0.5); window pixel
    // k has its centre at position ul + k + 0.5.
    const vkVector<2> at0 = m.map(vkVector<2>(0.5, 0.5));
    return {m.a(), m.b(), at0.x() - 0.5 - ul.x(), m.c(), m.d(), at0.y() - 0.5 - ul.y()};
}

// Taps of every column (or row) of a separable sampling. The indices are
// relative to `first`, the lowest index any tap reads; `span` pixels from
// there cover every tap.
template <int N>
struct AxisTaps {
    std::vector<std::int32_t> index;
    std::vector<float> weight;
    std::int32_t first = 0;
    std::int32_t span = 0;

    AxisTaps(std::int32_t count, double step, double start, std::int32_t size)
        : index(static_cast<std::size_t>(count) * N), weight(static_cast<std::size_t>(count) * N) {
        for (std::int32_t i = 0; i < count; ++i) {
            const std::size_t at = static_cast<std::size_t>(i) * N;
            taps<N>(step * i + start, size, &index[at], &weight[at]);
        }
        const auto [lo, hi] = std::minmax_element(index.begin(), index.end());
        first = *lo;
        span = *hi - *lo + 1;
        for (std::int32_t& k : index) k -= first;
    }
};

}  // namespace

// What one reader of the rows changes as it goes (none for most ways).
class vk_detail::AffineRowSampler::Scratch {
  public:
    virtual ~Scratch() = default;
};

// One way of producing result rows: fixed once made, so that readers on
// several threads can share it, each with its own scratch.
class vk_detail::AffineRowSampler::Rows {
  public:
    virtual ~Rows() = default;
    virtual std::unique_ptr<Scratch> scratch() const { return nullptr; }
    virtual void row(Scratch* scratch, std::int32_t j, std::uint8_t* out) const = 0;
    virtual bool repeatsPreviousRow(std::int32_t) const { return false; }
    virtual bool bilinearRowPair(Scratch*, std::int32_t, vk_detail::BilinearRowPair&) const {
        return false;
    }
    virtual bool fixedRowPair(Scratch*, std::int32_t, vk_detail::FixedRowPair&) const {
        return false;
    }
};

namespace {

using RowsBase = vk_detail::AffineRowSampler::Rows;
using ScratchBase = vk_detail::AffineRowSampler::Scratch;

class NearestSeparableRows final : public RowsBase {
  public:
    NearestSeparableRows(const vkPelBuffer_const<std::uint8_t>& src, const GridToIndex& g,
                         std::int32_t w, std::int32_t h)
        : xs_(w, g.ux, g.u0, src.width()),
          ys_(h, g.vy, g.v0, src.height()),
          base_(src.pointToOffset()),
          stride_(src.rowUpdate()),
          w_(w) {}
    void row(ScratchBase*, std::int32_t j, std::uint8_t* out) const override {
        const std::uint8_t* row =
            base_ + (ys_.first + ys_.index[static_cast<std::size_t>(j)]) * stride_ + xs_.first;
        const std::int32_t* xi = xs_.index.data();
        for (std::int32_t i = 0; i < w_; ++i)
            out[i] = row[xi[i]];
    }
    bool repeatsPreviousRow(std::int32_t j) const override {
        return j > 0 &&
               ys_.index[static_cast<std::size_t>(j)] == ys_.index[static_cast<std::size_t>(j) - 1];
    }

  private:
    AxisTaps<1> xs_, ys_;
    const std::uint8_t* base_;
    std::ptrdiff_t stride_;
    std::int32_t w_;
};

// The row kernels of the separable path. They are plain functions, not
// templates, so that they can be compiled for AVX2 as well (VK_ROW_KERNEL).

// out[i] = sum over t of wt[N i + t] * row[idx[N i + t]].
VK_ROW_KERNEL void interpolateRow2(const float* row, const std::int32_t* idx, const float* wt, float* out,
                                   std::int32_t w) {
    for (std::int32_t i = 0; i < w; ++i) out[i] = wt[2 * i] * row[idx[2 * i]] + wt[2 * i + 1] * row[idx[2 * i + 1]];
}
// The same for two taps, by runs: the samples [start[r], start[r + 1]) all
// read the pixels a[r] and b[r], so each run is the weights times two
// broadcast values, with no gathered load. Each run writes eight samples
// (the excess is overwritten by the next run, or lands in the slack after
// the row): runs must be at most eight samples long, and out, w0 and w1
// must have eight elements to spare.
VK_ROW_KERNEL void interpolateRuns2(const float* __restrict row, const std::int32_t* start,
                                    const std::int32_t* a, const std::int32_t* b, std::int32_t runs,
                                    const float* __restrict w0, const float* __restrict w1,
                                    float* __restrict out) {
    for (std::int32_t r = 0; r < runs; ++r) {
        const float va = row[a[r]], vb = row[b[r]];
        const std::int32_t s = start[r];
        for (std::int32_t k = 0; k < 8; ++k)
            out[s + k] = w0[s + k] * va + w1[s + k] * vb;
    }
}
// The same for two taps when the taps repeat with period P: sample
// P m + p reads pixels off[2p] + m and off[2p + 1] + m with the weights
// wt[2p] and wt[2p + 1]. Each phase loads contiguous pixels, so the loop
// vectorises. It writes blocks * P samples and reads up to off + blocks - 1.
template <int P>
[[gnu::always_inline]] inline void interpolatePeriodicBody(const float* __restrict row,
                                                           const std::int32_t* off, const float* wt,
                                                           std::int32_t blocks,
                                                           float* __restrict out) {
    std::int32_t o[2 * P];
    float w[2 * P];
    for (int t = 0; t < 2 * P; ++t) {
        o[t] = off[t];
        w[t] = wt[t];
    }
    for (std::int32_t m = 0; m < blocks; ++m)
        for (int p = 0; p < P; ++p)
            out[P * m + p] = w[2 * p] * row[o[2 * p] + m] + w[2 * p + 1] * row[o[2 * p + 1] + m];
}
VK_ROW_KERNEL void interpolatePeriodic2(const float* row, const std::int32_t* off, const float* wt,
                                        std::int32_t blocks, float* out) {
    interpolatePeriodicBody<2>(row, off, wt, blocks, out);
}
VK_ROW_KERNEL void interpolatePeriodic3(const float* row, const std::int32_t* off, const float* wt,
                                        std::int32_t blocks, float* out) {
    interpolatePeriodicBody<3>(row, off, wt, blocks, out);
}
VK_ROW_KERNEL void interpolatePeriodic4(const float* row, const std::int32_t* off, const float* wt,
                                        std::int32_t blocks, float* out) {
    interpolatePeriodicBody<4>(row, off, wt, blocks, out);
}
// The periodic form in integers: weights and results times 8.
template <int P>
[[gnu::always_inline]] inline void interpolatePeriodicFixedBody(const std::uint8_t* __restrict row,
                                                                const std::int32_t* off,
                                                                const std::uint16_t* wt,
                                                                std::int32_t blocks,
                                                                std::uint16_t* __restrict out) {
    std::int32_t o[2 * P];
    std::uint16_t w[2 * P];
    for (int t = 0; t < 2 * P; ++t) {
        o[t] = off[t];
        w[t] = wt[t];
    }
    for (std::int32_t m = 0; m < blocks; ++m)
        for (int p = 0; p < P; ++p)
            out[P * m + p] = static_cast<std::uint16_t>(w[2 * p] * row[o[2 * p] + m] +
                                                        w[2 * p + 1] * row[o[2 * p + 1] + m]);
}
VK_ROW_KERNEL void interpolatePeriodicFixed2(const std::uint8_t* row, const std::int32_t* off,
                                             const std::uint16_t* wt, std::int32_t blocks,
                                             std::uint16_t* out) {
    interpolatePeriodicFixedBody<2>(row, off, wt, blocks, out);
}
VK_ROW_KERNEL void interpolatePeriodicFixed4(const std::uint8_t* row, const std::int32_t* off,
                                             const std::uint16_t* wt, std::int32_t blocks,
                                             std::uint16_t* out) {
    interpolatePeriodicFixedBody<4>(row, off, wt, blocks, out);
}

// w times 8 when that is a whole number 0..8 (exactly), else -1.
inline int eighths(float w) {
    const float e = w * 8.0f;
    return e >= 0.0f && e <= 8.0f && e == std::floor(e) ? static_cast<int>(e) : -1;
}

VK_ROW_KERNEL void interpolateRow4(const float* row, const std::int32_t* idx, const float* wt, float* out,
                                   std::int32_t w) {
    for (std::int32_t i = 0; i < w; ++i)
        out[i] = wt[4 * i] * row[idx[4 * i]] + wt[4 * i + 1] * row[idx[4 * i + 1]] +
                 wt[4 * i + 2] * row[idx[4 * i + 2]] + wt[4 * i + 3] * row[idx[4 * i + 3]];
}

// One output row from the horizontally interpolated rows. A convex
// combination of values in 0..255 (bilinear) needs no clamping.
VK_ROW_KERNEL void combineRows2(const float* r0, const float* r1, float w0, float w1, std::uint8_t* out,
                                std::int32_t w) {
    for (std::int32_t i = 0; i < w; ++i)
        out[i] = vk_detail::bilinearPel(w0, r0[i], w1, r1[i]);
}
VK_ROW_KERNEL void combineRows4(const float* r0, const float* r1, const float* r2, const float* r3, const float* wt,
                                std::uint8_t* out, std::int32_t w) {
    const float w0 = wt[0], w1 = wt[1], w2 = wt[2], w3 = wt[3];
    for (std::int32_t i = 0; i < w; ++i) out[i] = toPel(w0 * r0[i] + w1 * r1[i] + w2 * r2[i] + w3 * r3[i]);
}

// How the horizontal two-tap interpolation of a row runs, fastest first:
// - periodic: the taps of sample i + P are those of sample i moved by one
//   pixel, with the same weights (an exact magnification by P = 2, 3 or 4,
//   as when a reduced image is brought back to full size);
// - runs of consecutive samples that read the same two pixels, each run
//   at most eight samples long (any magnification up to eight);
// - gathered loads per sample (anything else).
// All three evaluate the same float expression per sample.
struct TwoTapPlan {
    int period = 0;  // periodic form when > 0
    std::int32_t off[8] = {}, blocks = 0;
    float wt[8] = {};
    std::vector<std::int32_t> start, a, b;  // runs form when not empty
    std::vector<float> w0, w1;              // its weights, with eight to spare

    explicit TwoTapPlan(const AxisTaps<2>& xs) {
        const auto n = static_cast<std::int32_t>(xs.weight.size() / 2);
        for (int p = 2; p <= 4 && period == 0; ++p)
            if (periodic(xs, n, p)) period = p;
        if (period > 0) {
            for (int t = 0; t < 2 * period; ++t) {
                off[t] = xs.index[static_cast<std::size_t>(t)];
                wt[t] = xs.weight[static_cast<std::size_t>(t)];
            }
            blocks = (n + period - 1) / period;
            return;
        }
        makeRuns(xs, n);
    }

    static bool periodic(const AxisTaps<2>& xs, std::int32_t n, int p) {
        if (n < p) return false;
        for (std::size_t i = 2 * static_cast<std::size_t>(p); i < 2 * static_cast<std::size_t>(n);
             ++i) {
            const std::size_t k = i - 2 * static_cast<std::size_t>(p);
            if (xs.index[i] != xs.index[k] + 1 || xs.weight[i] != xs.weight[k]) return false;
        }
        return true;
    }

    void makeRuns(const AxisTaps<2>& xs, std::int32_t n) {
        for (std::int32_t i = 0; i < n; ++i) {
            const std::int32_t ia = xs.index[2 * static_cast<std::size_t>(i)];
            const std::int32_t ib = xs.index[2 * static_cast<std::size_t>(i) + 1];
            if (i == 0 || ia != a.back() || ib != b.back()) {
                if (i != 0 && i - start.back() > 8) break;
                start.push_back(i);
                a.push_back(ia);
                b.push_back(ib);
            }
        }
        if (n - start.back() > 8) {
            start.clear();
            return;
        }
        w0.resize(static_cast<std::size_t>(n) + 8);
        w1.resize(static_cast<std::size_t>(n) + 8);
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            w0[i] = xs.weight[2 * i];
            w1[i] = xs.weight[2 * i + 1];
        }
    }

    // out (with eight floats to spare) from row (with eight to spare).
    void operator()(const float* row, const AxisTaps<2>& xs, float* out) const {
        const auto n = static_cast<std::int32_t>(xs.weight.size() / 2);
        switch (period) {
            case 2:
                return interpolatePeriodic2(row, off, wt, blocks, out);
            case 3:
                return interpolatePeriodic3(row, off, wt, blocks, out);
            case 4:
                return interpolatePeriodic4(row, off, wt, blocks, out);
            default:
                break;
        }
        if (!start.empty())
            interpolateRuns2(row, start.data(), a.data(), b.data(),
                             static_cast<std::int32_t>(start.size()), w0.data(), w1.data(), out);
        else
            interpolateRow2(row, xs.index.data(), xs.weight.data(), out, n);
    }
};

// The rows of one output row are consecutive source rows (clamping only
// repeats the first or last), so source row r can live in slot r mod N of a
// ring of interpolated rows without evicting a row that the same output row
// needs.
template <int N>
class SeparableRows final : public RowsBase {
  public:
    SeparableRows(const vkPelBuffer_const<std::uint8_t>& src, const GridToIndex& g, std::int32_t w,
                  std::int32_t h)
        : xs_(w, g.ux, g.u0, src.width()),
          ys_(h, g.vy, g.v0, src.height()),
          base_(src.pointToOffset()),
          stride_(src.rowUpdate()),
          w_(w) {}
    std::unique_ptr<ScratchBase> scratch() const override {
        return std::make_unique<Ring>(w_, xs_.span, fixed_);
    }
    void row(ScratchBase* scratch, std::int32_t j, std::uint8_t* out) const override {
        const std::size_t at = static_cast<std::size_t>(j) * N;
        const std::array<const float*, N> rows = interpolatedRows(static_cast<Ring&>(*scratch), j);
        if constexpr (N == 2)
            combineRows2(rows[0], rows[1], ys_.weight[at], ys_.weight[at + 1], out, w_);
        else
            combineRows4(rows[0], rows[1], rows[2], rows[3], &ys_.weight[at], out, w_);
    }
    bool bilinearRowPair(ScratchBase* scratch, std::int32_t j,
                         vk_detail::BilinearRowPair& pair) const override {
        if constexpr (N == 2) {
            const std::size_t at = static_cast<std::size_t>(j) * N;
            const std::array<const float*, N> rows =
                interpolatedRows(static_cast<Ring&>(*scratch), j);
            pair = {rows[0], rows[1], ys_.weight[at], ys_.weight[at + 1]};
            return true;
        } else {
            return false;
        }
    }
    // With every weight a multiple of 1/8 and the horizontal taps periodic
    // by 2 or 4, each float sum the bilinear path forms is exact (at most
    // 14 significant bits), so integers give the same values.
    bool fixedRowPair(ScratchBase* scratch, std::int32_t j,
                      vk_detail::FixedRowPair& pair) const override {
        if constexpr (N == 2) {
            if (!fixed_) return false;
            Ring& ring = static_cast<Ring&>(*scratch);
            const std::size_t at = static_cast<std::size_t>(j) * N;
            const std::uint16_t* rows[N];
            for (int t = 0; t < N; ++t) {
                const std::int32_t r = ys_.first + ys_.index[at + static_cast<std::size_t>(t)];
                const auto slot = static_cast<std::size_t>(r % N);
                std::uint16_t* cached =
                    ring.fixedRows.data() + slot * (static_cast<std::size_t>(w_) + 8);
                if (ring.fixedHeld[slot] != r) {
                    const std::uint8_t* row = base_ + r * stride_ + xs_.first;
                    if (plan_.period == 2)
                        interpolatePeriodicFixed2(row, plan_.off, fixedX_, plan_.blocks, cached);
                    else
                        interpolatePeriodicFixed4(row, plan_.off, fixedX_, plan_.blocks, cached);
                    ring.fixedHeld[slot] = r;
                }
                rows[t] = cached;
            }
            pair = {rows[0], rows[1], static_cast<std::uint16_t>(eighths(ys_.weight[at])),
                    static_cast<std::uint16_t>(eighths(ys_.weight[at + 1]))};
            return true;
        } else {
            return false;
        }
    }

  private:
    // A reader's ring of interpolated source rows.
    struct Ring final : ScratchBase {
        Ring(std::int32_t w, std::int32_t span, bool fixed)
            : rows(static_cast<std::size_t>(N) * (static_cast<std::size_t>(w) + 8)),
              rowAsFloat(static_cast<std::size_t>(span) + 8),
              fixedRows(fixed ? static_cast<std::size_t>(N) * (static_cast<std::size_t>(w) + 8)
                              : 0) {
            held.fill(-1);
            fixedHeld.fill(-1);
        }
        std::vector<float> rows;
        std::vector<float> rowAsFloat;
        std::array<std::int32_t, N> held;
        std::vector<std::uint16_t> fixedRows;  // the integer form's rows
        std::array<std::int32_t, N> fixedHeld;
    };

    // The horizontally interpolated source rows that output row j combines.
    std::array<const float*, N> interpolatedRows(Ring& ring, std::int32_t j) const {
        const std::size_t at = static_cast<std::size_t>(j) * N;
        std::array<const float*, N> rows{};
        for (int t = 0; t < N; ++t) {
            const std::int32_t r = ys_.first + ys_.index[at + static_cast<std::size_t>(t)];
            const auto slot = static_cast<std::size_t>(r % N);
            float* cached = ring.rows.data() + slot * (static_cast<std::size_t>(w_) + 8);
            if (ring.held[slot] != r) {
                // The columns the taps read, converted to float once, so that
                // each tap is a load.
                const std::uint8_t* row = base_ + r * stride_ + xs_.first;
                std::copy(row, row + xs_.span, ring.rowAsFloat.begin());
                if constexpr (N == 2)
                    plan_(ring.rowAsFloat.data(), xs_, cached);
                else
                    interpolateRow4(ring.rowAsFloat.data(), xs_.index.data(), xs_.weight.data(),
                                    cached, w_);
                ring.held[slot] = r;
            }
            rows[static_cast<std::size_t>(t)] = cached;
        }
        return rows;
    }

    struct NoPlan {
        explicit NoPlan(const AxisTaps<N>&) {}
    };
    // Whether the integer form applies, and its horizontal weights.
    bool eighthsOnly() {
        if constexpr (N == 2) {
            if (plan_.period != 2 && plan_.period != 4) return false;
            for (int t = 0; t < 2 * plan_.period; ++t) {
                const int e = eighths(plan_.wt[t]);
                if (e < 0) return false;
                fixedX_[t] = static_cast<std::uint16_t>(e);
            }
            return std::all_of(ys_.weight.begin(), ys_.weight.end(),
                               [](float w) { return eighths(w) >= 0; });
        } else {
            return false;
        }
    }
    AxisTaps<N> xs_, ys_;
    std::conditional_t<N == 2, TwoTapPlan, NoPlan> plan_{xs_};
    const std::uint8_t* base_;
    std::ptrdiff_t stride_;
    std::int32_t w_;
    std::uint16_t fixedX_[8] = {};
    bool fixed_ = eighthsOnly();
};

// Weights of the N taps at fraction f (0 <= f < 1) past the tap N/2 - 1.
template <int N>
inline void weightsAtFraction(float f, float* w) {
    if constexpr (N == 1) {
        w[0] = 1.0f;
    } else if constexpr (N == 2) {
        w[0] = 1.0f - f;
        w[1] = f;
    } else {
        const float f2 = f * f, f3 = f2 * f;
        w[0] = -0.5f * f3 + f2 - 0.5f * f;
        w[1] = 1.5f * f3 - 2.5f * f2 + 1.0f;
        w[2] = -1.5f * f3 + 2.0f * f2 + 0.5f * f;
        w[3] = 1.0f - w[0] - w[1] - w[2];
    }
}

// Any grid: every sample finds its own taps. A sample whose taps all lie in
// the window (the common case) takes a short path with no clamping; one near
// or beyond the window's edge clamps each tap's index.
template <int N>
class GeneralRows final : public RowsBase {
  public:
    GeneralRows(const vkPelBuffer_const<std::uint8_t>& src, const GridToIndex& g, std::int32_t w)
        : g_(g),
          base_(src.pointToOffset()),
          stride_(src.rowUpdate()),
          w_(w),
          sw_(src.width()),
          sh_(src.height()) {}
    void row(ScratchBase*, std::int32_t j, std::uint8_t* out) const override {
        const GridToIndex& g = g_;
        const std::int32_t w = w_, sw = sw_, sh = sh_;
        const std::uint8_t* base = base_;
        const std::ptrdiff_t stride = stride_;
        // Continuous indices for which all taps are inside: the first tap
        // floor(u) - (N/2 - 1) >= 0 and the last floor(u) + N/2 <= size - 1.
        // For nearest neighbour, u + 0.5 must lie in [0, size).
        const double lo = N == 1 ? -0.5 : N / 2 - 1;
        const double hiX = N == 1 ? sw - 0.5 : sw - N / 2, hiY = N == 1 ? sh - 0.5 : sh - N / 2;
        const double shift = N == 1 ? 0.5 : 0.0;
        std::array<std::int32_t, N> xi{}, yi{};
        std::array<float, N> xw{}, yw{};
        const double uRow = g.uy * j + g.u0, vRow = g.vy * j + g.v0;
        for (std::int32_t i = 0; i < w; ++i) {
            const double u = g.ux * i + uRow, v = g.vx * i + vRow;
            if (u >= lo && u < hiX && v >= lo && v < hiY) {
                // Non-negative: truncation is the floor.
                const auto kx = static_cast<std::int32_t>(u + shift);
                const auto ky = static_cast<std::int32_t>(v + shift);
                if constexpr (N == 1) {
                    out[i] = base[ky * stride + kx];
                    continue;
                }
                weightsAtFraction<N>(static_cast<float>(u - kx), xw.data());
                weightsAtFraction<N>(static_cast<float>(v - ky), yw.data());
                const std::uint8_t* p = base + (ky - (N / 2 - 1)) * stride + (kx - (N / 2 - 1));
                float acc = 0.0f;
                for (std::size_t ty = 0; ty < N; ++ty, p += stride) {
                    float across = 0.0f;
                    for (std::size_t tx = 0; tx < N; ++tx) across += xw[tx] * static_cast<float>(p[tx]);
                    acc += yw[ty] * across;
                }
                out[i] = toPel(acc);
                continue;
            }
            taps<N>(u, sw, xi.data(), xw.data());
            taps<N>(v, sh, yi.data(), yw.data());
            float acc = 0.0f;
            for (std::size_t ty = 0; ty < N; ++ty) {
                const std::uint8_t* row = base + yi[ty] * stride;
                float across = 0.0f;
                for (std::size_t tx = 0; tx < N; ++tx) across += xw[tx] * static_cast<float>(row[xi[tx]]);
                acc += yw[ty] * across;
            }
            out[i] = toPel(acc);
        }
    }

  private:
    GridToIndex g_;
    const std::uint8_t* base_;
    std::ptrdiff_t stride_;
    std::int32_t w_, sw_, sh_;
};

// The rows of N-tap sampling: Separable for a grid along the axes, the
// general form otherwise.
template <class Separable, int N>
std::unique_ptr<RowsBase> makeRows(bool separable, const vkPelBuffer_const<std::uint8_t>& source,
                                   const GridToIndex& g, std::int32_t width, std::int32_t height) {
    if (separable) return std::make_unique<Separable>(source, g, width, height);
    return std::make_unique<GeneralRows<N>>(source, g, width);
}

}  // namespace

vk_detail::AffineRowSampler::AffineRowSampler(const vkPelBuffer_const<std::uint8_t>& source,
                                              const vkAffineSamplingParams& params)
    : width_(params.width()),
      height_(params.height()),
      clientFromGrid_(params.rectangle().clientFromGrid(params.width(), params.height())) {
    vk_detail::requireBound(source);
    if (source.window().isNull()) throw vkPel::BadWindow("cannot sample an empty window");
    // Throws vkPelFunc::BadParams for a degenerate rectangle, before any work.
    (void)clientFromGrid_.inverse();
    const GridToIndex g = gridToIndex(source, clientFromGrid_);
    const bool separable = g.uy == 0.0 && g.vx == 0.0;
    switch (params.interpolation()) {
        case vkAffineSamplingParams::eNearestNeighbor:
            rows_ = makeRows<NearestSeparableRows, 1>(separable, source, g, width_, height_);
            break;
        case vkAffineSamplingParams::eBilinear:
            rows_ = makeRows<SeparableRows<2>, 2>(separable, source, g, width_, height_);
            break;
        case vkAffineSamplingParams::eBicubic:
            rows_ = makeRows<SeparableRows<4>, 4>(separable, source, g, width_, height_);
            break;
    }
    own_ = std::make_unique<Reader>(*this);
}

vk_detail::AffineRowSampler::~AffineRowSampler() = default;

void vk_detail::AffineRowSampler::row(std::int32_t j, std::uint8_t* out) {
    own_->row(j, out);
}

bool vk_detail::AffineRowSampler::bilinearRowPair(std::int32_t j, BilinearRowPair& pair) {
    return own_->bilinearRowPair(j, pair);
}

vk_detail::AffineRowSampler::Reader::Reader(const AffineRowSampler& sampler)
    : rows_(sampler.rows_.get()), scratch_(rows_->scratch()) {}

vk_detail::AffineRowSampler::Reader::~Reader() = default;

void vk_detail::AffineRowSampler::Reader::row(std::int32_t j, std::uint8_t* out) {
    rows_->row(scratch_.get(), j, out);
}

bool vk_detail::AffineRowSampler::Reader::bilinearRowPair(std::int32_t j, BilinearRowPair& pair) {
    return rows_->bilinearRowPair(scratch_.get(), j, pair);
}

bool vk_detail::AffineRowSampler::Reader::fixedRowPair(std::int32_t j, FixedRowPair& pair) {
    return rows_->fixedRowPair(scratch_.get(), j, pair);
}

bool vk_detail::AffineRowSampler::repeatsPreviousRow(std::int32_t j) const {
    return rows_->repeatsPreviousRow(j);
}

vkPelBuffer<std::uint8_t> vfAffineTransformImage(const vkPelBuffer_const<std::uint8_t>& source,
                                                 const vkAffineSamplingParams& params) {
    const vk_detail::AffineRowSampler sampler(source, params);
    // Every row is written below, so the storage is not zeroed first (which,
    // on the calling thread alone, took a tenth of a 4096 x 4096 x4 sampling
    // on one thread and bounded two threads at 1.8x).
    vkPelBuffer<std::uint8_t> result(vkPelRect(0, 0, sampler.width(), sampler.height()),
                                     vk_detail::uninitialized);
    result.clientFromImageXform(sampler.clientFromGrid());
    std::uint8_t* const base = result.pointToOffset();
    const std::ptrdiff_t stride = result.rowUpdate();
    // Strips of rows on the library's threads, each with its own reader. A
    // strip's first row is always sampled: the row above belongs to another
    // strip, which may not have written it yet.
    vk_detail::parallelRows(
        sampler.height(), vk_detail::stripRows(sampler.height(), sampler.width()),
        [&](std::int32_t y0, std::int32_t y1) {
            vk_detail::AffineRowSampler::Reader reader(sampler);
            std::uint8_t* out = base + y0 * stride;
            for (std::int32_t j = y0; j < y1; ++j, out += stride) {
                if (j > y0 && sampler.repeatsPreviousRow(j))
                    std::memcpy(out, out - stride, static_cast<std::size_t>(sampler.width()));
                else
                    reader.row(j, out);
            }
        });
    return result;
}
