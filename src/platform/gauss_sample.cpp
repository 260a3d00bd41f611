// Gaussian sampling: three stacked box filters per axis, run as exact
// integer running sums. The vertical pass walks down the source one row at a
// time over whole rows (vector-friendly); the output rows it completes are
// collected in batches of four, which the horizontal running sums process
// side by side, and then normalised row by row. Nothing but a few rows of
// sums is kept. Sub-sampling with short kernels (a reduction by f with its
// kernel f - 1, say) takes a direct FIR at the kept rows and columns
// instead, with the same integer sums and the same normalisation.
#include "imgnorm/gauss.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "imgnorm/pelops.h"
#include "platform/gauss_kernel.h"
#include "platform/gauss_rows.h"
#include "platform/rows.h"

using vk_detail::GaussAxis;
using vk_detail::GaussU128;

namespace {

// One step down the columns. The three boxes of widths w0, w1, w2 are the
// difference kernel (1 - z^w0)(1 - z^w1)(1 - z^w2) followed by three running
// sums: eight source rows (four added, four subtracted; rows outside the
// window are a row of zeros), then s1 += d, s2 += s1, s3 += s2. The sums are
// modular in VAcc; s3 is exact because the true value fits.
template <class TIn, class VAcc>
[[gnu::always_inline]] inline void verticalStepBody(const TIn* const* rows, VAcc* __restrict s1,
                                                    VAcc* __restrict s2, VAcc* __restrict s3, std::int32_t n) {
    const TIn* __restrict p0 = rows[0];
    const TIn* __restrict p1 = rows[1];
    const TIn* __restrict p2 = rows[2];
    const TIn* __restrict p3 = rows[3];
    const TIn* __restrict p4 = rows[4];
    const TIn* __restrict p5 = rows[5];
    const TIn* __restrict p6 = rows[6];
    const TIn* __restrict p7 = rows[7];
    for (std::int32_t x = 0; x < n; ++x) {
        const std::int32_t d = std::int32_t{p0[x]} + p3[x] + p5[x] + p6[x] - p1[x] - p2[x] - p4[x] - p7[x];
        const VAcc a = s1[x] + static_cast<VAcc>(d);
        const VAcc b = s2[x] + a;
        s1[x] = a;
        s2[x] = b;
        s3[x] = s3[x] + b;
    }
}

template <class TIn, class VAcc>
void verticalStep(const TIn* const* rows, VAcc* s1, VAcc* s2, VAcc* s3, std::int32_t n) {
    verticalStepBody(rows, s1, s2, s3, n);
}
// The common case (8-bit pixels, 32-bit sums) also built for AVX2.
VK_ROW_KERNEL void verticalStep(const std::uint8_t* const* rows, std::uint32_t* s1, std::uint32_t* s2,
                                std::uint32_t* s3, std::int32_t n) {
    verticalStepBody(rows, s1, s2, s3, n);
}

// Rows go through the horizontal pass in batches of this many, interleaved
// (pixel q of lane r at q * lanes + r), so that the running sums of the
// lanes advance together in vector registers.
constexpr int kLanes = 4;

// Line buffers of the horizontal pass for a batch of lanes: the two
// intermediate running sums and the result, each with a lead of zeros as
// long as the box that reads it back (one pixel for the result).
template <class T>
struct LineSums {
    std::vector<T> a, b, c;
    std::size_t leadA, leadB, leadC;
    T* z;  // the result, pixel 0
    LineSums(const GaussAxis& ax, std::int64_t last, int lanes)
        : a(static_cast<std::size_t>((ax.width[1] + last + 1) * lanes)),
          b(static_cast<std::size_t>((ax.width[2] + last + 1) * lanes)),
          c(static_cast<std::size_t>((1 + last + 1) * lanes)),
          leadA(static_cast<std::size_t>(ax.width[1] * lanes)),
          leadB(static_cast<std::size_t>(ax.width[2] * lanes)),
          leadC(static_cast<std::size_t>(lanes)),
          z(c.data() + leadC) {}
};

// The horizontal running sums of Lanes interleaved lines: the three boxes
// one after the other, each as s[q] = s[q - 1] + in[q] - in[q - w]. x must be
// readable from pixel -w0 to last and hold 0 outside the window. sums.z
// receives at pixel q the kernel's weighted sum of the taps ending at q, for
// q in [0, last]: output j's sum is at pixel lastTap(j). Each sum depends on
// the same lane one pixel back, Lanes elements earlier, so the compiler can
// run the lanes side by side in vector registers.
template <int Lanes, class HAcc, class XIn>
[[gnu::always_inline]] inline void cascadeBody(const XIn* __restrict x, HAcc* __restrict p1, HAcc* __restrict p2,
                                               HAcc* __restrict z, std::ptrdiff_t w0, std::ptrdiff_t w1,
                                               std::ptrdiff_t w2, std::ptrdiff_t end) {
    for (std::ptrdiff_t i = 0; i < end; ++i) {
        p1[i] = p1[i - Lanes] + static_cast<HAcc>(x[i]) - static_cast<HAcc>(x[i - w0]);
        p2[i] = p2[i - Lanes] + p1[i] - p1[i - w1];
        z[i] = z[i - Lanes] + p2[i] - p2[i - w2];
    }
}

template <int Lanes, class HAcc, class XIn>
void cascadeLanes(const XIn* x, HAcc* p1, HAcc* p2, HAcc* z, std::ptrdiff_t w0, std::ptrdiff_t w1,
                  std::ptrdiff_t w2, std::ptrdiff_t end) {
    cascadeBody<Lanes>(x, p1, p2, z, w0, w1, w2, end);
}
// The common case (32-bit column sums, 64-bit row sums) also built for AVX2.
VK_ROW_KERNEL void cascadeLanes4(const std::uint32_t* x, std::uint64_t* p1, std::uint64_t* p2, std::uint64_t* z,
                                 std::ptrdiff_t w0, std::ptrdiff_t w1, std::ptrdiff_t w2, std::ptrdiff_t end) {
    cascadeBody<kLanes>(x, p1, p2, z, w0, w1, w2, end);
}

template <int Lanes, class HAcc, class XIn>
void horizontalLines(const XIn* x, const GaussAxis& ax, std::int64_t last, LineSums<HAcc>& sums) {
    HAcc* p1 = sums.a.data() + sums.leadA;
    HAcc* p2 = sums.b.data() + sums.leadB;
    const std::ptrdiff_t w0 = std::ptrdiff_t{ax.width[0]} * Lanes, w1 = std::ptrdiff_t{ax.width[1]} * Lanes,
                         w2 = std::ptrdiff_t{ax.width[2]} * Lanes;
    const std::ptrdiff_t end = (static_cast<std::ptrdiff_t>(last) + 1) * Lanes;
    if constexpr (Lanes == kLanes && std::is_same_v<HAcc, std::uint64_t> && std::is_same_v<XIn, std::uint32_t>)
        cascadeLanes4(x, p1, p2, sums.z, w0, w1, w2, end);
    else
        cascadeLanes<Lanes>(x, p1, p2, sums.z, w0, w1, w2, end);
}

// The kernel's weight inside the window for every output of the axis: the
// same running sums over a line of ones; 1 where the kernel misses the
// window (the output then takes the last pixel alone).
std::vector<std::uint64_t> axisWeights(const GaussAxis& ax) {
    std::vector<std::uint64_t> weights(static_cast<std::size_t>(ax.end - ax.begin));
    if (ax.end == ax.begin) return weights;
    const std::size_t pad = static_cast<std::size_t>(ax.width[0]);
    const std::int64_t last = ax.lastTap(ax.end - 1);
    const auto len = static_cast<std::size_t>(std::max<std::int64_t>(ax.n, last + 1));
    std::vector<std::uint8_t> ones(pad + len, 0);
    std::fill(ones.begin() + static_cast<std::ptrdiff_t>(pad),
              ones.begin() + static_cast<std::ptrdiff_t>(pad) + ax.n, std::uint8_t{1});
    LineSums<std::uint64_t> sums(ax, last, 1);
    horizontalLines<1>(ones.data() + pad, ax, last, sums);
    for (std::int32_t j = ax.begin; j < ax.end; ++j)
        weights[static_cast<std::size_t>(j - ax.begin)] =
            j < ax.missFrom ? sums.z[ax.lastTap(j)] : 1;
    return weights;
}

// out[i] = min(floor(((z[i step] << shN) + half) / d), top) for numerators
// below 2^52: estimated in double precision, where numerator and divisor are
// exact, and corrected by one step with the remainder (exact too, as q d
// stays below 2^53).
template <class TOut>
[[gnu::always_inline]] inline void divideRowBody(const std::uint64_t* __restrict z, std::ptrdiff_t step,
                                                 std::int32_t count, int shN, std::uint64_t half, std::uint64_t d,
                                                 TOut* __restrict out) {
    const double dd = static_cast<double>(d), inv = 1.0 / dd;
    constexpr double top = std::numeric_limits<TOut>::max();
    constexpr std::uint64_t exponent = 0x4330000000000000ull;  // v | exponent is 2^52 + v as a double
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint64_t bits = ((z[i * step] << shN) + half) | exponent;
        double n;
        std::memcpy(&n, &bits, sizeof n);
        n -= 4503599627370496.0;
        // Kept in double throughout (q < 2^31) so that it vectorises.
        double q = static_cast<double>(static_cast<std::int32_t>(n * inv));
        const double r = n - q * dd;
        q += (r >= dd ? 1.0 : 0.0) - (r < 0.0 ? 1.0 : 0.0);
        q = q < top ? q : top;
        out[i] = static_cast<TOut>(static_cast<std::int32_t>(q));
    }
}
VK_ROW_KERNEL void divideRow(const std::uint64_t* z, std::ptrdiff_t step, std::int32_t count, int shN,
                             std::uint64_t half, std::uint64_t d, std::uint8_t* out) {
    divideRowBody(z, step, count, shN, half, d, out);
}
VK_ROW_KERNEL void divideRow(const std::uint64_t* z, std::ptrdiff_t step, std::int32_t count, int shN,
                             std::uint64_t half, std::uint64_t d, std::uint16_t* out) {
    divideRowBody(z, step, count, shN, half, d, out);
}

// out[i] = min(((z[i step] << shN) + half) >> shift, top): the division by a
// power of two.
template <class TOut>
[[gnu::always_inline]] inline void shiftRowBody(const std::uint64_t* __restrict z,
                                                std::ptrdiff_t step, std::int32_t count, int shN,
                                                std::uint64_t half, int shift,
                                                TOut* __restrict out) {
    constexpr std::uint64_t top = std::numeric_limits<TOut>::max();
    if (step == 1) {  // a form the compiler vectorises
        for (std::int32_t i = 0; i < count; ++i)
            out[i] = static_cast<TOut>(std::min(((z[i] << shN) + half) >> shift, top));
    } else {
        for (std::int32_t i = 0; i < count; ++i)
            out[i] = static_cast<TOut>(std::min(((z[i * step] << shN) + half) >> shift, top));
    }
}
VK_ROW_KERNEL void shiftRow(const std::uint64_t* z, std::ptrdiff_t step, std::int32_t count,
                            int shN, std::uint64_t half, int shift, std::uint8_t* out) {
    shiftRowBody(z, step, count, shN, half, shift, out);
}
VK_ROW_KERNEL void shiftRow(const std::uint64_t* z, std::ptrdiff_t step, std::int32_t count,
                            int shN, std::uint64_t half, int shift, std::uint16_t* out) {
    shiftRowBody(z, step, count, shN, half, shift, out);
}

// The double-precision division runs four lanes wide with AVX2, where it
// beats the scalar multiply-high; with two lanes it does not.
bool wideVectors() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

struct Weights {
    const GaussAxis& ax;
    const GaussAxis& ay;
    std::vector<std::uint64_t> x, y;  // per output, from ax.begin / ay.begin
};

// Turns one row of weighted sums into output values. A gain of 2^e gives
// floor((sum 2^shN + half) / (weight 2^shD)), exact in HAcc. Where the whole
// kernel lies inside the window the weight is the same along the row, and a
// precomputed multiply-high (or a shift) replaces the division.
template <class HAcc, class TOut>
class PowerOfTwoGain {
public:
    // fastDouble: every numerator is below 2^52 and divideRow is the faster
    // division on this processor.
    PowerOfTwoGain(const Weights& w, int e, bool round, bool fastDouble)
        : w_(w),
          shN_(std::max(e, 0) + (round ? 1 : 0)),
          shD_(std::max(-e, 0) + (round ? 1 : 0)),
          round_(round),
          fastDouble_(fastDouble) {}
    // z holds the sum of output jA, and the sums of the following outputs
    // zStep apart; out receives outputs [jA, jB).
    void operator()(std::int32_t jy, const HAcc* z, std::ptrdiff_t zStep, TOut* out,
                    std::int32_t jA, std::int32_t jB) const {
        const GaussAxis& ax = w_.ax;
        const HAcc dy = w_.y[static_cast<std::size_t>(jy - w_.ay.begin)];
        const int shN = shN_;
        auto border = [&](std::int32_t j) {
            const HAcc d = (static_cast<HAcc>(w_.x[static_cast<std::size_t>(j - ax.begin)]) * dy) << shD_;
            const HAcc q = ((z[(j - jA) * zStep] << shN) + (round_ ? d >> 1 : 0)) / d;
            out[j - jA] = clamp(q);
        };
        const std::int32_t a = std::clamp(ax.innerBegin, jA, jB);
        const std::int32_t b = std::clamp(ax.innerEnd, a, jB);
        for (std::int32_t j = jA; j < a; ++j) border(j);
        if constexpr (std::is_same_v<HAcc, std::uint64_t>) {
            const std::uint64_t d = (ax.full * dy) << shD_;
            const std::uint64_t half = round_ ? d >> 1 : 0;
            const HAcc* zj = z + (a - jA) * zStep;
            const std::ptrdiff_t step = zStep;
            TOut* o = out + (a - jA);
            if ((d & (d - 1)) == 0) {
                // A power of two (as for the 1 3 3 1 kernels of a halving).
                shiftRow(zj, step, b - a, shN, half, __builtin_ctzll(d), o);
            } else if (fastDouble_) {
                divideRow(zj, step, b - a, shN, half, d, o);
            } else {
                const vk_detail::ExactDivider64 div(d);
                for (std::int32_t j = a; j < b; ++j, zj += step) *o++ = clamp(div((*zj << shN) + half));
            }
        } else {
            for (std::int32_t j = a; j < b; ++j) border(j);
        }
        for (std::int32_t j = b; j < jB; ++j) border(j);
    }

private:
    static TOut clamp(HAcc q) {
        constexpr HAcc top = std::numeric_limits<TOut>::max();
        return static_cast<TOut>(q < top ? q : top);
    }
    const Weights& w_;
    int shN_, shD_;
    bool round_;
    bool fastDouble_;
};

// Any other gain: gain x sum / weight in double precision.
template <class HAcc, class TOut>
class GeneralGain {
public:
    GeneralGain(const Weights& w, double gain, bool round) : w_(w), gain_(gain), round_(round) {}
    void operator()(std::int32_t jy, const HAcc* z, std::ptrdiff_t zStep, TOut* out,
                    std::int32_t jA, std::int32_t jB) const {
        constexpr double top = std::numeric_limits<TOut>::max();
        const HAcc dy = w_.y[static_cast<std::size_t>(jy - w_.ay.begin)];
        for (std::int32_t j = jA; j < jB; ++j) {
            const HAcc d = static_cast<HAcc>(w_.x[static_cast<std::size_t>(j - w_.ax.begin)]) * dy;
            const double v =
                gain_ * (static_cast<double>(z[(j - jA) * zStep]) / static_cast<double>(d));
            double r = std::floor(v);
            if (round_ && v - r >= 0.5) r += 1.0;
            out[j - jA] = static_cast<TOut>(r < top ? r : top);
        }
    }

private:
    const Weights& w_;
    double gain_;
    bool round_;
};

// The whole filter for the outputs [jxA, jxB) x [jyA, jyB); dst points at
// output (jxA, jyA).
template <class TIn, class TOut, class VAcc, class HAcc, class Finish>
void gaussRun(const TIn* src, std::ptrdiff_t stride, const GaussAxis& ax, const GaussAxis& ay,
              std::int32_t jxA, std::int32_t jxB, std::int32_t jyA, std::int32_t jyB, TOut* dst,
              std::ptrdiff_t dstStride, const Finish& finish) {
    const std::int32_t width = ax.n;
    const std::int32_t height = ay.n;
    const std::int64_t xLast = ax.lastTap(jxB - 1);
    std::vector<VAcc> s1(static_cast<std::size_t>(width)), s2(static_cast<std::size_t>(width)),
        s3(static_cast<std::size_t>(width));
    std::vector<TIn> zeros(static_cast<std::size_t>(width));
    // Column sums of a batch of output rows, interleaved, as the horizontal
    // input: padded with zeros before the window (for in[q - w0]) and after
    // it (for the overhang).
    const auto pad = static_cast<std::size_t>(ax.width[0]) * kLanes;
    const auto len = static_cast<std::size_t>(std::max<std::int64_t>(width, xLast + 1)) * kLanes;
    std::vector<VAcc> batch(pad + len);
    VAcc* lanes = batch.data() + pad;
    LineSums<HAcc> sums(ax, xLast, kLanes);
    std::int32_t batchRows[kLanes];
    int filled = 0;
    auto flush = [&] {
        horizontalLines<kLanes>(lanes, ax, xLast, sums);
        for (int r = 0; r < filled; ++r) {
            HAcc* z = sums.z + r;
            // Outputs whose kernel misses the window take its last column.
            for (std::int32_t j = std::max(jxA, ax.missFrom); j < jxB; ++j)
                z[ax.lastTap(j) * kLanes] = static_cast<HAcc>(lanes[(width - 1) * kLanes + r]);
            const std::int32_t jy = batchRows[r];
            finish(jy, z + ax.lastTap(jxA) * kLanes, std::ptrdiff_t{ax.step} * kLanes,
                   dst + std::ptrdiff_t{jy - jyA} * dstStride, jxA, jxB);
        }
        filled = 0;
    };

    const std::int64_t w0 = ay.width[0], w1 = ay.width[1], w2 = ay.width[2];
    // Row delays of the eight terms, in the order verticalStep adds and
    // subtracts them.
    const std::int64_t delay[8] = {0, w0, w1, w0 + w1, w2, w0 + w2, w1 + w2, w0 + w1 + w2};
    std::int32_t jy = jyA;
    std::int64_t emitAt = ay.lastTap(jy);
    for (std::int64_t q = 0; jy < jyB; ++q) {
        const TIn* rows[8];
        for (int m = 0; m < 8; ++m) {
            const std::int64_t r = q - delay[m];
            rows[m] = (r >= 0 && r < height) ? src + r * stride : zeros.data();
        }
        verticalStep(rows, s1.data(), s2.data(), s3.data(), width);
        if (q != emitAt) continue;
        // Output rows whose kernel misses the window take its last row alone.
        VAcc* lane = lanes + filled;
        if (jy < ay.missFrom) {
            for (std::int32_t x = 0; x < width; ++x) lane[x * kLanes] = s3[static_cast<std::size_t>(x)];
        } else {
            const TIn* row = src + std::ptrdiff_t{height - 1} * stride;
            for (std::int32_t x = 0; x < width; ++x) lane[x * kLanes] = row[x];
        }
        batchRows[filled++] = jy;
        ++jy;
        emitAt += ay.step;
        if (filled == kLanes || jy == jyB) flush();
    }
}

// Short kernels with sub-sampling: only the kept rows and columns are
// computed, by a direct integer FIR with the kernel's taps. Each source row
// is read once and added, with its tap weight, into the vertical sums of the
// few output rows whose kernel covers it; a finished row gets the horizontal
// taps at the kept columns only. The sums are the same integers as those of
// the running sums, and they go through the same finishing, so the results
// are identical.

constexpr std::int32_t kMaxFirTaps = 16;
// With at most 16 taps the widths add up to at most 18, so the weights add
// up to at most 6 * 6 * 6 = 216: the vertical sums of 8-bit pixels fit 16
// bits and the 2-D sums 32 bits.

bool firApplies(const GaussAxis& ax, const GaussAxis& ay) {
    return (ax.step > 1 || ay.step > 1) && ax.taps <= kMaxFirTaps && ay.taps <= kMaxFirTaps;
}

// The kernel's taps: the three boxes convolved.
template <class T>
std::vector<T> axisKernel(const GaussAxis& ax) {
    std::vector<T> k{1};
    for (std::int32_t w : ax.width) {
        std::vector<T> out(k.size() + static_cast<std::size_t>(w) - 1, 0);
        for (std::size_t i = 0; i < k.size(); ++i)
            for (std::size_t t = 0; t < static_cast<std::size_t>(w); ++t)
                out[i + t] = static_cast<T>(out[i + t] + k[i]);
        k = std::move(out);
    }
    return k;
}

// acc = w * row, or acc += w * row.
VK_ROW_KERNEL void firRowSet(const std::uint8_t* __restrict row, std::uint16_t w,
                             std::uint16_t* __restrict acc, std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x)
        acc[x] = static_cast<std::uint16_t>(w * row[x]);
}
VK_ROW_KERNEL void firRowAdd(const std::uint8_t* __restrict row, std::uint16_t w,
                             std::uint16_t* __restrict acc, std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x)
        acc[x] = static_cast<std::uint16_t>(acc[x] + w * row[x]);
}

// z[j] = sum over t < taps of k[t] * v[j * f + t], for count outputs whose
// taps all lie in the line. With f and taps known at compile time the
// compiler vectorises across the outputs; the reductions by 2, 3 and 4 with
// their kernels (4, 5 and 8 taps) get such a form.
template <int F, int Taps>
[[gnu::always_inline]] inline void firColumnsFixed(const std::uint16_t* __restrict v,
                                                   const std::uint32_t* k, std::int32_t count,
                                                   std::uint64_t* __restrict z) {
    std::uint32_t w[Taps];
    for (int t = 0; t < Taps; ++t)
        w[t] = k[t];
    for (std::int32_t j = 0; j < count; ++j) {
        std::uint32_t sum = 0;
        for (int t = 0; t < Taps; ++t)
            sum += w[t] * v[F * j + t];
        z[j] = sum;
    }
}
VK_ROW_KERNEL void firColumns2x4(const std::uint16_t* v, const std::uint32_t* k, std::int32_t count,
                                 std::uint64_t* z) {
    firColumnsFixed<2, 4>(v, k, count, z);
}
VK_ROW_KERNEL void firColumns3x5(const std::uint16_t* v, const std::uint32_t* k, std::int32_t count,
                                 std::uint64_t* z) {
    firColumnsFixed<3, 5>(v, k, count, z);
}
VK_ROW_KERNEL void firColumns4x8(const std::uint16_t* v, const std::uint32_t* k, std::int32_t count,
                                 std::uint64_t* z) {
    firColumnsFixed<4, 8>(v, k, count, z);
}

void firColumns(const std::uint16_t* v, std::int32_t f, const std::uint32_t* k, std::int32_t taps,
                std::int32_t count, std::uint64_t* z) {
    if (f == 2 && taps == 4) return firColumns2x4(v, k, count, z);
    if (f == 3 && taps == 5) return firColumns3x5(v, k, count, z);
    if (f == 4 && taps == 8) return firColumns4x8(v, k, count, z);
    for (std::int32_t j = 0; j < count; ++j, v += f) {
        std::uint32_t sum = 0;
        for (std::int32_t t = 0; t < taps; ++t)
            sum += k[t] * v[t];
        z[j] = sum;
    }
}

inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

template <class TOut, class Finish>
void gaussFirRun(vk_detail::GaussRowSource& rows, const GaussAxis& ax, const GaussAxis& ay,
                 std::int32_t jxA, std::int32_t jxB, std::int32_t jyA, std::int32_t jyB, TOut* dst,
                 std::ptrdiff_t dstStride, const Finish& finish) {
    const std::int32_t width = ax.n, height = ay.n;
    const auto wsize = static_cast<std::size_t>(width);
    const std::vector<std::uint32_t> kx = axisKernel<std::uint32_t>(ax);
    const std::vector<std::uint16_t> ky = axisKernel<std::uint16_t>(ay);
    // Vertical sums of the output rows in progress: output row i lives in
    // slot i mod slots.
    const std::int32_t slots = (ay.taps + ay.step - 1) / ay.step;
    std::vector<std::uint16_t> vsum(static_cast<std::size_t>(slots) * wsize);
    auto slot = [&](std::int64_t i) {
        return vsum.data() + static_cast<std::size_t>(i % slots) * wsize;
    };
    std::vector<std::uint64_t> z(static_cast<std::size_t>(jxB - jxA));
    const std::int32_t a = std::clamp(ax.innerBegin, jxA, jxB);
    const std::int32_t b = std::clamp(ax.innerEnd, a, jxB);

    // The horizontal taps of one finished row, then its output values.
    auto emit = [&](std::int32_t i) {
        const std::uint16_t* v = slot(i);
        // Columns whose kernel is cut by the window's edge, or misses it and
        // takes its last column.
        auto border = [&](std::int32_t j) {
            std::uint64_t& zj = z[static_cast<std::size_t>(j - jxA)];
            if (j >= ax.missFrom) {
                zj = v[wsize - 1];
                return;
            }
            const std::int64_t c = ax.first + std::int64_t{j} * ax.step;
            const std::int64_t t0 = std::max<std::int64_t>(0, -c),
                               t1 = std::min<std::int64_t>(ax.taps, width - c);
            std::uint64_t sum = 0;
            for (std::int64_t t = t0; t < t1; ++t)
                sum += std::uint64_t{kx[static_cast<std::size_t>(t)]} *
                       v[static_cast<std::size_t>(c + t)];
            zj = sum;
        };
        for (std::int32_t j = jxA; j < a; ++j)
            border(j);
        if (b > a)
            firColumns(v + ax.first + std::int64_t{a} * ax.step, ax.step, kx.data(), ax.taps, b - a,
                       z.data() + (a - jxA));
        for (std::int32_t j = b; j < jxB; ++j)
            border(j);
        finish(i, z.data(), std::ptrdiff_t{1}, dst + std::ptrdiff_t{i - jyA} * dstStride, jxA, jxB);
    };

    // Output rows whose kernel covers some row of the window, streamed.
    const std::int32_t iEnd = std::min(jyB, std::max(jyA, ay.missFrom));
    auto lo = [&](std::int64_t i) { return ay.first + i * ay.step; };
    if (jyA < iEnd) {
        std::int64_t next = jyA;
        const std::int64_t y0 = std::max<std::int64_t>(0, lo(jyA));
        const std::int64_t y1 = std::min<std::int64_t>(height - 1, lo(iEnd - 1) + ay.taps - 1);
        for (std::int64_t y = y0; y <= y1; ++y) {
            const std::int64_t iLo =
                std::max<std::int64_t>(jyA, floorDiv(y - ay.first - ay.taps, ay.step) + 1);
            const std::int64_t iHi =
                std::min<std::int64_t>(iEnd - 1, floorDiv(y - ay.first, ay.step));
            if (iLo > iHi) continue;
            const std::uint8_t* p = rows.row(static_cast<std::int32_t>(y));
            for (std::int64_t i = iLo; i <= iHi; ++i) {
                const std::uint16_t w = ky[static_cast<std::size_t>(y - lo(i))];
                if (y == std::max<std::int64_t>(lo(i), 0))
                    firRowSet(p, w, slot(i), width);
                else
                    firRowAdd(p, w, slot(i), width);
            }
            while (next < iEnd && std::min<std::int64_t>(lo(next) + ay.taps - 1, height - 1) <= y)
                emit(static_cast<std::int32_t>(next++));
        }
    }
    // Output rows whose kernel misses the window take its last row alone.
    for (std::int32_t i = iEnd; i < jyB; ++i) {
        firRowSet(rows.row(height - 1), 1, slot(i), width);
        emit(i);
    }
}

class BufferRows final : public vk_detail::GaussRowSource {
  public:
    BufferRows(const std::uint8_t* base, std::ptrdiff_t stride) : base_(base), stride_(stride) {}
    const std::uint8_t* row(std::int32_t y) override { return base_ + y * stride_; }

  private:
    const std::uint8_t* base_;
    std::ptrdiff_t stride_;
};

// True when gain is 2^e with -16 <= e <= 16.
bool powerOfTwoGain(double gain, int& e) {
    if (!(gain > 0.0)) return false;
    int exp = 0;
    const double mant = std::frexp(gain, &exp);
    e = exp - 1;
    return mant == 0.5 && e >= -16 && e <= 16;
}

template <class TOut>
void runFirWithGain(vk_detail::GaussRowSource& rows, const Weights& w, std::int32_t jxA,
                    std::int32_t jxB, std::int32_t jyA, std::int32_t jyB, TOut* dst,
                    std::ptrdiff_t dstStride, const vkGaussSampleParams& params) {
    int e = 0;
    if (powerOfTwoGain(params.gain(), e)) {
        // Sums below 2^24, scaled by at most 2^17: the double division applies.
        PowerOfTwoGain<std::uint64_t, TOut> finish(w, e, params.doRounding(), wideVectors());
        gaussFirRun<TOut>(rows, w.ax, w.ay, jxA, jxB, jyA, jyB, dst, dstStride, finish);
    } else {
        GeneralGain<std::uint64_t, TOut> finish(w, params.gain(), params.doRounding());
        gaussFirRun<TOut>(rows, w.ax, w.ay, jxA, jxB, jyA, jyB, dst, dstStride, finish);
    }
}

template <class VAcc, class HAcc, class TIn, class TOut>
void runWithGain(const TIn* src, std::ptrdiff_t stride, const Weights& w, std::int32_t jxA, std::int32_t jxB,
                 std::int32_t jyA, std::int32_t jyB, TOut* dst, std::ptrdiff_t dstStride,
                 const vkGaussSampleParams& params, bool below2p52) {
    int e = 0;
    if (powerOfTwoGain(params.gain(), e)) {
        PowerOfTwoGain<HAcc, TOut> finish(w, e, params.doRounding(), below2p52 && wideVectors());
        gaussRun<TIn, TOut, VAcc, HAcc>(src, stride, w.ax, w.ay, jxA, jxB, jyA, jyB, dst, dstStride, finish);
    } else {
        GeneralGain<HAcc, TOut> finish(w, params.gain(), params.doRounding());
        gaussRun<TIn, TOut, VAcc, HAcc>(src, stride, w.ax, w.ay, jxA, jxB, jyA, jyB, dst, dstStride, finish);
    }
}

// Picks the narrowest sums that hold every value exactly: 32-bit column sums
// and 64-bit row sums for kernels up to about 250 per axis, else 64/128 bits.
template <class TIn, class TOut>
void gaussDispatch(const vkPelBuffer_const<TIn>& source, const GaussAxis& ax, const GaussAxis& ay,
                   std::int32_t jxA, std::int32_t jxB, std::int32_t jyA, std::int32_t jyB,
                   const vkPelBuffer<TOut>& dst, const vkGaussSampleParams& params) {
    if (jxA >= jxB || jyA >= jyB) return;
    const Weights w{ax, ay, axisWeights(ax), axisWeights(ay)};
    if constexpr (std::is_same_v<TIn, std::uint8_t>) {
        if (firApplies(ax, ay)) {
            BufferRows rows(source.pointToOffset(), source.rowUpdate());
            runFirWithGain(rows, w, jxA, jxB, jyA, jyB, dst.pointToOffset(), dst.rowUpdate(),
                           params);
            return;
        }
    }
    const GaussU128 inMax = std::numeric_limits<TIn>::max();
    const GaussU128 weightMax = GaussU128{ax.full} * ay.full;
    const GaussU128 sumMax = inMax * weightMax;
    int e = 0;
    const bool pow2 = powerOfTwoGain(params.gain(), e);
    const int round = params.doRounding() ? 1 : 0;
    const GaussU128 scaledMax =
        pow2 ? (sumMax << (std::max(e, 0) + round)) + (weightMax << (std::max(-e, 0) + round)) : sumMax;
    const bool narrow = inMax * ay.full < (GaussU128{1} << 32) && scaledMax < (GaussU128{1} << 64);
    const bool below2p52 = scaledMax < (GaussU128{1} << 52);
    const TIn* src = source.pointToOffset();
    if (narrow)
        runWithGain<std::uint32_t, std::uint64_t>(src, source.rowUpdate(), w, jxA, jxB, jyA, jyB,
                                                  dst.pointToOffset(), dst.rowUpdate(), params, below2p52);
    else
        runWithGain<std::uint64_t, GaussU128>(src, source.rowUpdate(), w, jxA, jxB, jyA, jyB,
                                              dst.pointToOffset(), dst.rowUpdate(), params, below2p52);
}

}  // namespace

namespace {

struct GaussPlan {
    GaussAxis ax, ay;
    bool reduced;
    vkPair<std::int32_t> origin;  // output (j, i) of the grid sits at origin + (j, i)
    vkPelRect outWin;
};

GaussPlan gaussPlan(const vkPelRect& win, const vkGaussSampleParams& params) {
    GaussPlan p;
    p.ax = vk_detail::gaussAxis(win.width(), params.subsample().x(), params.kernelSize().x(),
                                params.fullWindow());
    p.ay = vk_detail::gaussAxis(win.height(), params.subsample().y(), params.kernelSize().y(),
                                params.fullWindow());
    p.reduced = params.subsample().x() > 1 || params.subsample().y() > 1;
    p.origin = p.reduced ? vkPair<std::int32_t>(0, 0) : win.ul();
    p.outWin = vkPelRect(p.origin.x() + p.ax.begin, p.origin.y() + p.ay.begin,
                         p.ax.end - p.ax.begin, p.ay.end - p.ay.begin);
    return p;
}

// A new output buffer with the output window and transforms.
template <class TOut, class TIn>
vkPelBuffer<TOut> newOutput(const GaussPlan& p, const vkPelBuffer_const<TIn>& source) {
    vkPelBuffer<TOut> out(p.outWin);
    if (p.reduced) {
        const vkPelRect& win = source.window();
        const vkXform<2> place = vkXform<2>::translation(win.ul().x() + p.ax.centreShift(),
                                                         win.ul().y() + p.ay.centreShift()) *
                                 vkXform<2>::scale(p.ax.step, p.ay.step);
        out.clientFromImageXform(source.clientFromImageXform() * place);
    } else {
        out.copyXforms(source);
    }
    return out;
}

}  // namespace

template <class TIn, class TOut>
void vfGaussSample(const vkPelBuffer_const<TIn>& source, vkPelBuffer<TOut>& result,
                   const vkGaussSampleParams& params) {
    vk_detail::requireBound(source);
    const GaussPlan p = gaussPlan(source.window(), params);
    const GaussAxis& ax = p.ax;
    const GaussAxis& ay = p.ay;

    if (!result.isBound()) {
        vkPelBuffer<TOut> out = newOutput<TOut>(p, source);
        gaussDispatch(source, ax, ay, ax.begin, ax.end, ay.begin, ay.end, out, params);
        result = out;
        return;
    }
    const vkPelRect r = p.outWin & result.window();
    if (r.isNull()) return;
    vkPelBuffer_const<TIn> src = source;
    if constexpr (std::is_same_v<TIn, TOut>) {
        // The running sums read source rows after output rows above them are
        // written: work from a copy when the two share pixels.
        if (src.root() == result.root()) src = vfPelCopy(src);
    }
    const vkPelBuffer<TOut> dst = vk_detail::narrowed(result, r);
    gaussDispatch(src, ax, ay, r.ul().x() - p.origin.x(), r.ur().x() - p.origin.x(),
                  r.ul().y() - p.origin.y(), r.ll().y() - p.origin.y(), dst, params);
}

bool vk_detail::gaussDirectFir(const vkPelRect& window, const vkGaussSampleParams& params) {
    const GaussPlan p = gaussPlan(window, params);
    return firApplies(p.ax, p.ay);
}

vkPelBuffer<std::uint8_t> vk_detail::gaussSampleRows(GaussRowSource& rows,
                                                     const vkPelBuffer_const<std::uint8_t>& shape,
                                                     const vkGaussSampleParams& params) {
    vk_detail::requireBound(shape);
    const GaussPlan p = gaussPlan(shape.window(), params);
    if (!firApplies(p.ax, p.ay)) {
        vkPelBuffer<std::uint8_t> gathered(shape.window());
        gathered.copyXforms(shape);
        std::uint8_t* d = gathered.pointToOffset();
        const auto n = static_cast<std::size_t>(shape.width());
        for (std::int32_t y = 0; y < shape.height(); ++y, d += gathered.rowUpdate())
            std::memcpy(d, rows.row(y), n);
        return vfGaussSample<std::uint8_t>(gathered, params);
    }
    vkPelBuffer<std::uint8_t> out = newOutput<std::uint8_t>(p, shape);
    if (p.ax.begin < p.ax.end && p.ay.begin < p.ay.end) {
        const Weights w{p.ax, p.ay, axisWeights(p.ax), axisWeights(p.ay)};
        runFirWithGain(rows, w, p.ax.begin, p.ax.end, p.ay.begin, p.ay.end, out.pointToOffset(),
                       out.rowUpdate(), params);
    }
    return out;
}

template <class TIn>
vkPelBuffer<TIn> vfGaussSample(const vkPelBuffer_const<TIn>& source, const vkGaussSampleParams& params) {
    vkPelBuffer<TIn> out;
    vfGaussSample<TIn, TIn>(source, out, params);
    return out;
}

template IMGNORM_API vkPelBuffer<std::uint8_t> vfGaussSample<std::uint8_t>(const vkPelBuffer_const<std::uint8_t>&,
                                                                          const vkGaussSampleParams&);
template IMGNORM_API void vfGaussSample<std::uint8_t, std::uint8_t>(const vkPelBuffer_const<std::uint8_t>&,
                                                                    vkPelBuffer<std::uint8_t>&,
                                                                    const vkGaussSampleParams&);
template IMGNORM_API void vfGaussSample<std::uint8_t, std::uint16_t>(const vkPelBuffer_const<std::uint8_t>&,
                                                                     vkPelBuffer<std::uint16_t>&,
                                                                     const vkGaussSampleParams&);
