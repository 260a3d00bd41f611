// Gaussian sampling: three stacked box filters per axis, run as exact
// integer running sums. The vertical pass walks down the source one row at a
// time over whole rows (vector-friendly); the output rows it completes are
// collected in batches of four, which the horizontal running sums process
// side by side, and then normalised row by row. Nothing but a few rows of
// sums is kept. Sub-sampling with short kernels (a reduction by f with its
// kernel f - 1, say) takes a direct FIR at the kept rows and columns
// instead, with the same integer sums and the same normalisation. Bands of
// output rows run on the library's threads, each from its own first row.
#include "imgnorm/gauss.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <type_traits>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/pelops.h"
#include "platform/cpu.h"
#include "platform/gauss_kernel.h"
#include "platform/gauss_rows.h"
#include "platform/parallel.h"
#include "platform/rows.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VK_GAUSS_TAPS_FIRST 1
#endif

using vk_detail::GaussAxis;
using vk_detail::GaussKernel;
using vk_detail::GaussU128;

namespace {

// One step down the columns: the kernel's numerator over eight source rows
// (rows[2 i] added, rows[2 i + 1] subtracted, c[i] times; rows outside the
// range a run covers are a row of zeros), then the three running sums
// s1 += d, s2 += s1, s3 += s2. The sums are modular in VAcc; s3 is exact
// because the true value fits.
template <class TIn, class VAcc, class D = std::int32_t>
[[gnu::always_inline]] inline void verticalStepBody(const TIn* const* rows, const std::int32_t* c,
                                                    VAcc* __restrict s1, VAcc* __restrict s2,
                                                    VAcc* __restrict s3, std::int32_t n) {
    const TIn* __restrict p0 = rows[0];
    const TIn* __restrict p1 = rows[1];
    const TIn* __restrict p2 = rows[2];
    const TIn* __restrict p3 = rows[3];
    const TIn* __restrict p4 = rows[4];
    const TIn* __restrict p5 = rows[5];
    const TIn* __restrict p6 = rows[6];
    const TIn* __restrict p7 = rows[7];
    const D c0 = static_cast<D>(c[0]), c1 = static_cast<D>(c[1]), c2 = static_cast<D>(c[2]),
            c3 = static_cast<D>(c[3]);
    for (std::int32_t x = 0; x < n; ++x) {
        // At most 4 * 48 * 65535 in magnitude; in D, which the caller has
        // made wide enough for every partial sum.
        const auto d = static_cast<D>(
            c0 * static_cast<D>(D(p0[x]) - D(p1[x])) + c1 * static_cast<D>(D(p2[x]) - D(p3[x])) +
            c2 * static_cast<D>(D(p4[x]) - D(p5[x])) + c3 * static_cast<D>(D(p6[x]) - D(p7[x])));
        const VAcc a = s1[x] + static_cast<VAcc>(d);
        const VAcc b = s2[x] + a;
        s1[x] = a;
        s2[x] = b;
        s3[x] = s3[x] + b;
    }
}

template <class TIn, class VAcc>
void verticalStep(const TIn* const* rows, const std::int32_t* c, VAcc* s1, VAcc* s2, VAcc* s3,
                  std::int32_t n) {
    verticalStepBody(rows, c, s1, s2, s3, n);
}
// The common cases (8-bit pixels with 32-bit sums, 16-bit pixels with 32-bit
// sums (the deep local mean on a reduced grid) or 64-bit ones) also built for
// AVX2.
VK_ROW_KERNEL void verticalStep(const std::uint8_t* const* rows, const std::int32_t* c,
                                std::uint32_t* s1, std::uint32_t* s2, std::uint32_t* s3,
                                std::int32_t n) {
    verticalStepBody(rows, c, s1, s2, s3, n);
}
VK_ROW_KERNEL void verticalStep(const std::uint16_t* const* rows, const std::int32_t* c,
                                std::uint32_t* s1, std::uint32_t* s2, std::uint32_t* s3,
                                std::int32_t n) {
    verticalStepBody(rows, c, s1, s2, s3, n);
}
// 8-bit pixels under weights whose sum times 255 stays below 2^15: the
// numerator in 16-bit lanes, twice as many per vector; with 64-byte vectors
// where the processor has them (VK_GAUSS_WIDE, whose 512-bit loops the
// compiler only makes when asked to prefer them).
VK_ROW_KERNEL void verticalStepNarrow(const std::uint8_t* const* rows, const std::int32_t* c,
                                      std::uint32_t* s1, std::uint32_t* s2, std::uint32_t* s3,
                                      std::int32_t n) {
    verticalStepBody<std::uint8_t, std::uint32_t, std::int16_t>(rows, c, s1, s2, s3, n);
}
#ifdef VK_GAUSS_TAPS_FIRST
#ifdef __clang__
#define VK_GAUSS_WIDE __attribute__((target("avx512f,avx512bw"), min_vector_width(512)))
#else
#define VK_GAUSS_WIDE __attribute__((target("avx512f,avx512bw,prefer-vector-width=512")))
#endif
VK_GAUSS_WIDE void verticalStepNarrow512(const std::uint8_t* const* rows, const std::int32_t* c,
                                         std::uint32_t* s1, std::uint32_t* s2, std::uint32_t* s3,
                                         std::int32_t n) {
    verticalStepBody<std::uint8_t, std::uint32_t, std::int16_t>(rows, c, s1, s2, s3, n);
}
#endif
void verticalStepNarrowAny(const std::uint8_t* const* rows, const std::int32_t* c,
                           std::uint32_t* s1, std::uint32_t* s2, std::uint32_t* s3,
                           std::int32_t n) {
#ifdef VK_GAUSS_TAPS_FIRST
    if (vk_detail::cpuHasAvx512Bw()) return verticalStepNarrow512(rows, c, s1, s2, s3, n);
#endif
    verticalStepNarrow(rows, c, s1, s2, s3, n);
}
VK_ROW_KERNEL void verticalStep(const std::uint16_t* const* rows, const std::int32_t* c,
                                std::uint64_t* s1, std::uint64_t* s2, std::uint64_t* s3,
                                std::int32_t n) {
    verticalStepBody(rows, c, s1, s2, s3, n);
}

// Rows go through the horizontal pass in batches of this many, interleaved
// (pixel q of lane r at q * lanes + r), so that the running sums of the
// lanes advance together in vector registers.
constexpr int kLanes = 4;

// Line buffers of the horizontal pass for a batch of lanes: the two
// intermediate running sums and the result, each with a lead of one pixel of
// zeros (the running sums read one pixel back).
// With doubles and signed 64-bit sums (the register cascades) only the
// result is kept, lane r's from z + r rowStride on.
template <class T>
struct LineSums {
    static constexpr bool kRows = std::is_same_v<T, double> || std::is_same_v<T, std::int64_t>;
    std::vector<T> a, b, c;
    T *p1, *p2, *z;  // pixel 0 of each
    std::ptrdiff_t rowStride;
    int lanes;
    LineSums(std::int64_t last, int lanesIn)
        : a(kRows ? 0 : static_cast<std::size_t>((last + 2) * lanesIn)),
          b(a.size()),
          c(static_cast<std::size_t>((last + 2) * lanesIn)),
          p1(kRows ? nullptr : a.data() + lanesIn),
          p2(kRows ? nullptr : b.data() + lanesIn),
          z(c.data() + lanesIn),
          rowStride(last + 1),
          lanes(lanesIn) {}
    // The sum at pixel q of lane r.
    T& at(std::int64_t q, int r) const { return kRows ? z[r * rowStride + q] : z[q * lanes + r]; }
};

// The horizontal running sums of Lanes interleaved lines: per pixel the
// kernel's numerator over eight earlier pixels of the same lane (x[q - add]
// added and x[q - sub] subtracted, c times; off holds add and sub times
// Lanes), then three running sums. x must be readable from pixel -span and
// hold 0 outside the window. sums.z receives at pixel q the kernel's
// weighted sum of the taps ending at q, for q in [0, end / Lanes): output j's
// sum is at pixel lastTap(j). Each sum depends on the same lane one pixel
// back, Lanes elements earlier, so the compiler can run the lanes side by
// side in vector registers; with 32-bit column sums each product is a single
// unsigned 32 x 32 -> 64-bit multiply.
template <int Lanes, class HAcc, class XIn>
[[gnu::always_inline]] inline void cascadeBody(const XIn* __restrict x, HAcc* __restrict p1,
                                               HAcc* __restrict p2, HAcc* __restrict z,
                                               const std::ptrdiff_t* off, const std::uint32_t* c,
                                               std::ptrdiff_t end) {
    const XIn* __restrict a0 = x - off[0];
    const XIn* __restrict b0 = x - off[1];
    const XIn* __restrict a1 = x - off[2];
    const XIn* __restrict b1 = x - off[3];
    const XIn* __restrict a2 = x - off[4];
    const XIn* __restrict b2 = x - off[5];
    const XIn* __restrict a3 = x - off[6];
    const XIn* __restrict b3 = x - off[7];
    const HAcc c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3];
    for (std::ptrdiff_t q = 0; q < end; ++q) {
        const HAcc num = c0 * static_cast<HAcc>(a0[q]) - c0 * static_cast<HAcc>(b0[q]) +
                         c1 * static_cast<HAcc>(a1[q]) - c1 * static_cast<HAcc>(b1[q]) +
                         c2 * static_cast<HAcc>(a2[q]) - c2 * static_cast<HAcc>(b2[q]) +
                         c3 * static_cast<HAcc>(a3[q]) - c3 * static_cast<HAcc>(b3[q]);
        p1[q] = p1[q - Lanes] + num;
        p2[q] = p2[q - Lanes] + p1[q];
        z[q] = z[q - Lanes] + p2[q];
    }
}

template <int Lanes, class HAcc, class XIn>
void cascadeLanes(const XIn* x, HAcc* p1, HAcc* p2, HAcc* z, const std::ptrdiff_t* off,
                  const std::uint32_t* c, std::ptrdiff_t end) {
    cascadeBody<Lanes>(x, p1, p2, z, off, c, end);
}
// The common cases (32- or 64-bit column sums, 64-bit row sums) also built
// for AVX2.
VK_ROW_KERNEL void cascadeLanes4(const std::uint32_t* x, std::uint64_t* p1, std::uint64_t* p2,
                                 std::uint64_t* z, const std::ptrdiff_t* off,
                                 const std::uint32_t* c, std::ptrdiff_t end) {
    cascadeBody<kLanes>(x, p1, p2, z, off, c, end);
}
VK_ROW_KERNEL void cascadeLanes4(const std::uint64_t* x, std::uint64_t* p1, std::uint64_t* p2,
                                 std::uint64_t* z, const std::ptrdiff_t* off,
                                 const std::uint32_t* c, std::ptrdiff_t end) {
    cascadeBody<kLanes>(x, p1, p2, z, off, c, end);
}

// The same for 32-bit column sums below 2^31 whose row sums stay below 2^51,
// in double precision: every value, the running sums' included (each within
// four times the largest row sum), is an integer below 2^53, so the
// arithmetic is exact. The sums stay in registers from pixel to pixel, which
// the integer form cannot do. z receives the row sums, lanes interleaved.
using GaussLanesD = double __attribute__((vector_size(4 * sizeof(double))));
using GaussLanesI = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
static_assert(kLanes == 4);
// Transposes the 4 x 4 block whose rows are a, b, c, d.
template <class V>
[[gnu::always_inline]] inline void transpose4(V& a, V& b, V& c, V& d) {
    const V t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6),
            t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const V t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6),
            t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// For pixels q = 0 .. pixels - 1, next(q, v) makes the four lanes' values
// at q, and lane r's goes to z[r zStride + q]: four pixels at a time
// through a transposition.
template <class V, class T, class Next>
[[gnu::always_inline]] inline void lanesToRows(T* z, std::ptrdiff_t zStride, std::ptrdiff_t pixels,
                                               const Next& next) {
    std::ptrdiff_t q = 0;
    for (; q + 4 <= pixels; q += 4) {
        V p0, p1, p2, p3;
        next(q, p0);
        next(q + 1, p1);
        next(q + 2, p2);
        next(q + 3, p3);
        transpose4(p0, p1, p2, p3);
        std::memcpy(z + q, &p0, sizeof p0);
        std::memcpy(z + zStride + q, &p1, sizeof p1);
        std::memcpy(z + 2 * zStride + q, &p2, sizeof p2);
        std::memcpy(z + 3 * zStride + q, &p3, sizeof p3);
    }
    for (; q < pixels; ++q) {
        V p;
        next(q, p);
        for (int r = 0; r < kLanes; ++r)
            z[r * zStride + q] = p[r];
    }
}

// c (a[0..3] - b[0..3]) added to sum, exactly for column sums below 2^31
// (or doubles that hold integers whose scaled differences stay below 2^53).
[[gnu::always_inline]] inline void addLaneDifference(const std::uint32_t* a, const std::uint32_t* b,
                                                     double c, GaussLanesD& sum) {
    GaussLanesI va, vb;
    std::memcpy(&va, a, sizeof va);
    std::memcpy(&vb, b, sizeof vb);
    sum +=
        c * (__builtin_convertvector(va, GaussLanesD) - __builtin_convertvector(vb, GaussLanesD));
}
[[gnu::always_inline]] inline void addLaneDifference(const double* a, const double* b, double c,
                                                     GaussLanesD& sum) {
    GaussLanesD va, vb;
    std::memcpy(&va, a, sizeof va);
    std::memcpy(&vb, b, sizeof vb);
    sum += c * (va - vb);
}
// z receives the row sums of lane r from z + r zStride on, pixel by pixel.
template <class XIn>
[[gnu::always_inline]] inline void cascadeLanesDoubleBody(const XIn* x, double* z,
                                                          std::ptrdiff_t zStride,
                                                          const std::ptrdiff_t* off,
                                                          const std::uint32_t* c,
                                                          std::ptrdiff_t pixels) {
    const XIn *a0 = x - off[0], *b0 = x - off[1], *a1 = x - off[2], *b1 = x - off[3];
    const XIn *a2 = x - off[4], *b2 = x - off[5], *a3 = x - off[6], *b3 = x - off[7];
    const double c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3];
    GaussLanesD s1 = {}, s2 = {}, s3 = {};
    auto next = [&](std::ptrdiff_t q, GaussLanesD & sum) __attribute__((always_inline)) {
        const std::ptrdiff_t i = q * kLanes;
        GaussLanesD num = {};
        addLaneDifference(a0 + i, b0 + i, c0, num);
        addLaneDifference(a1 + i, b1 + i, c1, num);
        addLaneDifference(a2 + i, b2 + i, c2, num);
        addLaneDifference(a3 + i, b3 + i, c3, num);
        s1 += num;
        s2 += s1;
        s3 += s2;
        sum = s3;
    };
    lanesToRows<GaussLanesD>(z, zStride, pixels, next);
}

VK_ROW_KERNEL void cascadeLanesDouble(const std::uint32_t* x, double* z, std::ptrdiff_t zStride,
                                      const std::ptrdiff_t* off, const std::uint32_t* c,
                                      std::ptrdiff_t pixels) {
    cascadeLanesDoubleBody(x, z, zStride, off, c, pixels);
}
// The same for column sums held as doubles, which may exceed 2^31: the row
// sums are exact while below 2^53 and rounded the same way on every machine
// above (additions only, in a fixed order).
VK_ROW_KERNEL void cascadeLanesDouble(const double* x, double* z, std::ptrdiff_t zStride,
                                      const std::ptrdiff_t* off, const std::uint32_t* c,
                                      std::ptrdiff_t pixels) {
    cascadeLanesDoubleBody(x, z, zStride, off, c, pixels);
}

// The same for 32-bit column sums whose numerator (the kernel's terms over
// eight of them) stays within 32 bits, with 64-bit row sums held in
// registers: the numerator in 32-bit lanes, the running sums in 64-bit
// ones, all integer additions of one cycle and no conversion. The row sums
// are the integers above (the running sums are modular in 64 bits).
using GaussLanesS = std::int32_t __attribute__((vector_size(kLanes * sizeof(std::int32_t))));
using GaussLanesQ = std::int64_t __attribute__((vector_size(kLanes * sizeof(std::int64_t))));
struct Cascade64 {
    const std::uint32_t* a[8];
    std::int32_t c0, c1, c2, c3;
    GaussLanesQ s1 = {}, s2 = {}, s3 = {};
    [[gnu::always_inline]] inline Cascade64(const std::uint32_t* x, const std::ptrdiff_t* off,
                                            const std::uint32_t* c)
        : c0(static_cast<std::int32_t>(c[0])),
          c1(static_cast<std::int32_t>(c[1])),
          c2(static_cast<std::int32_t>(c[2])),
          c3(static_cast<std::int32_t>(c[3])) {
        for (int i = 0; i < 8; ++i)
            a[i] = x - off[i];
    }
    // Moves to pixel q (the next one): s3 becomes the lanes' row sums there.
    [[gnu::always_inline]] inline void step(std::ptrdiff_t q) {
        const std::ptrdiff_t i = q * kLanes;
        GaussLanesS v[8];
        for (int m = 0; m < 8; ++m)
            std::memcpy(&v[m], a[m] + i, sizeof v[m]);
        const GaussLanesS num =
            c0 * (v[0] - v[1]) + c1 * (v[2] - v[3]) + c2 * (v[4] - v[5]) + c3 * (v[6] - v[7]);
        s1 += __builtin_convertvector(num, GaussLanesQ);
        s2 += s1;
        s3 += s2;
    }
};
// z receives the row sums of lane r from z + r zStride on, pixel by pixel.
VK_ROW_KERNEL void cascadeLanes64(const std::uint32_t* x, std::int64_t* z, std::ptrdiff_t zStride,
                                  const std::ptrdiff_t* off, const std::uint32_t* c,
                                  std::ptrdiff_t pixels) {
    Cascade64 k(x, off, c);
    lanesToRows<GaussLanesQ>(
        z, zStride,
        pixels, [&](std::ptrdiff_t q, GaussLanesQ & sum) __attribute__((always_inline)) {
            k.step(q);
            sum = k.s3;
        });
}

// The rows of a batch (rows[r][x], x < n) interleaved: lanes[x kLanes + r].
template <class VAcc>
void interleave(const VAcc* rows, std::ptrdiff_t rowStride, std::int32_t n, VAcc* lanes) {
    std::int32_t x = 0;
    if constexpr (std::is_same_v<VAcc, std::uint32_t> || std::is_same_v<VAcc, double>) {
        using V = std::conditional_t<std::is_same_v<VAcc, double>, GaussLanesD, GaussLanesI>;
        for (; x + 4 <= n; x += 4) {
            V v[kLanes];
            for (int r = 0; r < kLanes; ++r)
                std::memcpy(&v[r], rows + r * rowStride + x, sizeof v[r]);
            transpose4(v[0], v[1], v[2], v[3]);
            std::memcpy(lanes + x * kLanes, v, sizeof v);
        }
    }
    for (; x < n; ++x)
        for (int r = 0; r < kLanes; ++r)
            lanes[x * kLanes + r] = rows[r * rowStride + x];
}

// The numerator of one axis's kernel as row or pixel delays: the added
// delay of term i at 2 i, the subtracted one at 2 i + 1, scaled by lanes.
struct Numerator {
    std::ptrdiff_t delay[8];
    std::uint32_t c[4];
    std::int32_t ci[4];
    Numerator(const GaussKernel& k, std::ptrdiff_t lanes) {
        for (int i = 0; i < 4; ++i) {
            delay[2 * i] =
                static_cast<std::ptrdiff_t>(k.terms[static_cast<std::size_t>(i)].add) * lanes;
            delay[2 * i + 1] =
                static_cast<std::ptrdiff_t>(k.terms[static_cast<std::size_t>(i)].sub) * lanes;
            c[i] = k.terms[static_cast<std::size_t>(i)].c;
            ci[i] = static_cast<std::int32_t>(c[i]);
        }
    }
};

// sums.z[q] for q in [0, last] of Lanes interleaved lines x (see cascadeBody).
template <int Lanes, class HAcc, class XIn>
void horizontalLines(const XIn* x, const GaussAxis& ax, std::int64_t last, LineSums<HAcc>& sums) {
    const Numerator num(ax.kernel, Lanes);
    const std::ptrdiff_t end = (static_cast<std::ptrdiff_t>(last) + 1) * Lanes;
    if constexpr (std::is_same_v<HAcc, double>) {
        static_assert(Lanes == kLanes &&
                      (std::is_same_v<XIn, std::uint32_t> || std::is_same_v<XIn, double>));
        cascadeLanesDouble(x, sums.z, sums.rowStride, num.delay, num.c, end / Lanes);
    } else if constexpr (Lanes == kLanes && std::is_same_v<HAcc, std::int64_t>) {
        static_assert(std::is_same_v<XIn, std::uint32_t>);
        cascadeLanes64(x, sums.z, sums.rowStride, num.delay, num.c, end / Lanes);
    } else if constexpr (Lanes == kLanes && std::is_same_v<HAcc, std::uint64_t> &&
                         (std::is_same_v<XIn, std::uint32_t> ||
                          std::is_same_v<XIn, std::uint64_t>)) {
        cascadeLanes4(x, sums.p1, sums.p2, sums.z, num.delay, num.c, end);
    } else {
        cascadeLanes<Lanes>(x, sums.p1, sums.p2, sums.z, num.delay, num.c, end);
    }
}

// The kernel's weight inside the window for every output of the axis: the
// same running sums over a line of ones; 1 where the kernel misses the
// window (the output then takes the last pixel alone).
std::vector<std::uint64_t> axisWeights(const GaussAxis& ax) {
    std::vector<std::uint64_t> weights(static_cast<std::size_t>(ax.end - ax.begin));
    if (ax.end == ax.begin) return weights;
    const auto pad = static_cast<std::size_t>(ax.kernel.span);
    const std::int64_t last = ax.lastTap(ax.end - 1);
    const auto len = static_cast<std::size_t>(std::max<std::int64_t>(ax.n, last + 1));
    std::vector<std::uint8_t> ones(pad + len, 0);
    std::fill(ones.begin() + static_cast<std::ptrdiff_t>(pad),
              ones.begin() + static_cast<std::ptrdiff_t>(pad) + ax.n, std::uint8_t{1});
    LineSums<std::uint64_t> sums(last, 1);
    horizontalLines<1>(ones.data() + pad, ax, last, sums);
    for (std::int32_t j = ax.begin; j < ax.end; ++j)
        weights[static_cast<std::size_t>(j - ax.begin)] =
            j < ax.missFrom ? sums.z[ax.lastTap(j)] : 1;
    return weights;
}

// A sum of the 64-bit path below 2^52, or of the double path, as an exact
// double.
[[gnu::always_inline]] inline double exactDouble(std::uint64_t v) {
    const std::uint64_t bits = v | 0x4330000000000000ull;  // 2^52 + v as a double
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d - 4503599627370496.0;
}
[[gnu::always_inline]] inline double exactDouble(double v) {
    return v;
}

// out[i] = min(floor((z[i] 2^shN + half) / d), top) for numerators below
// 2^52: estimated in double precision, where numerator and divisor are
// exact, and corrected by one step with the remainder (exact too, as q d
// stays below 2^53).
template <class Z, class TOut>
[[gnu::always_inline]] inline void divideRowBody(const Z* __restrict z, std::int32_t count, int shN,
                                                 std::uint64_t half, std::uint64_t d,
                                                 TOut* __restrict out) {
    const double dd = static_cast<double>(d), inv = 1.0 / dd;
    const double scale = double(1 << shN), add = static_cast<double>(half);
    constexpr double top = std::numeric_limits<TOut>::max();
    for (std::int32_t i = 0; i < count; ++i) {
        const double n = exactDouble(z[i]) * scale + add;
        // Kept in double throughout (q < 2^31) so that it vectorises.
        double q = static_cast<double>(static_cast<std::int32_t>(n * inv));
        const double r = n - q * dd;
        q += (r >= dd ? 1.0 : 0.0) - (r < 0.0 ? 1.0 : 0.0);
        q = q < top ? q : top;
        out[i] = static_cast<TOut>(static_cast<std::int32_t>(q));
    }
}

// out[i] = min(floor(2^E z[i] / D), top), or rounded half up with rho = 1, for
// sums below 2^52, in two exact double-precision divisions: z = q D + r with
// q one below an estimate of z / D (so that 0 <= r < 3 D), then
// 2^E q + floor((2^(E + rho) r + rho D) / (2^rho D)). Exact while
// D 2^(E + rho + 2) stays within 2^53; this covers sums whose scaled
// numerators would not fit 52 bits.
template <class Z, class TOut>
[[gnu::always_inline]] inline void divideRowSplitBody(const Z* __restrict z, std::int32_t count,
                                                      int e, int rho, std::uint64_t d,
                                                      TOut* __restrict out) {
    const double dd = static_cast<double>(d), inv = 1.0 / dd;
    const double d2 = dd * double(1 << rho), inv2 = 1.0 / d2;
    const double scale = double(1 << (e + rho)), add = rho != 0 ? dd : 0.0, up = double(1 << e);
    constexpr double top = std::numeric_limits<TOut>::max();
    for (std::int32_t i = 0; i < count; ++i) {
        const double n = exactDouble(z[i]);
        const double q = static_cast<double>(static_cast<std::int32_t>(n * inv)) - 1.0;
        const double f = (n - q * dd) * scale + add;
        double q2 = static_cast<double>(static_cast<std::int32_t>(f * inv2));
        const double r2 = f - q2 * d2;
        q2 += (r2 >= d2 ? 1.0 : 0.0) - (r2 < 0.0 ? 1.0 : 0.0);
        double v = q * up + q2;
        v = v < top ? v : top;
        out[i] = static_cast<TOut>(static_cast<std::int32_t>(v));
    }
}

// out[i] = min(floor(m z[i] + offset), top) with m = 2^e / D (offset 1/2 to
// round) from sums below 2^52: a single multiply whose result lies within
// 2^-35 of the exact quotient below the cap. Returns false, leaving out to be
// overwritten, when some quotient lies within 2^-26 of a whole number, where
// that could change the result (whole quotients, for instance, are common
// when truncating): the caller then divides the row exactly. Written with
// explicit four-lane vectors, as the compiler does not vectorise the test.
using GaussQuadD = double __attribute__((vector_size(4 * sizeof(double))));
using GaussQuadL = std::int64_t __attribute__((vector_size(4 * sizeof(std::int64_t))));
using GaussQuadI = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
using GaussQuadB = std::uint8_t __attribute__((vector_size(4)));
using GaussQuadW = std::uint16_t __attribute__((vector_size(4 * sizeof(std::uint16_t))));
template <class Z, class TOut>
[[gnu::always_inline]] inline bool estimateRowBody(const Z* __restrict z, std::int32_t count,
                                                   double m, double offset, TOut* __restrict out) {
    using Quad = std::conditional_t<sizeof(TOut) == 1, GaussQuadB, GaussQuadW>;
    constexpr double top = std::numeric_limits<TOut>::max(), cap = top + 1.0;
    constexpr double eps = 1.0 / (1 << 26);
    const GaussQuadD mv = {m, m, m, m}, ov = {offset, offset, offset, offset};
    const GaussQuadD capv = {cap, cap, cap, cap}, topv = {top, top, top, top};
    const GaussQuadD lo = {eps, eps, eps, eps}, hi = {1 - eps, 1 - eps, 1 - eps, 1 - eps};
    GaussQuadL near = {};
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        GaussQuadD zv;
        if constexpr (std::is_same_v<Z, double>) {
            std::memcpy(&zv, z + i, sizeof zv);
        } else {
            GaussQuadL bits;
            std::memcpy(&bits, z + i, sizeof bits);
            bits |= 0x4330000000000000ll;
            std::memcpy(&zv, &bits, sizeof zv);
            zv -= 4503599627370496.0;
        }
        GaussQuadD u = zv * mv + ov;
        u = u < capv ? u : capv;
        const GaussQuadD whole =
            __builtin_convertvector(__builtin_convertvector(u, GaussQuadI), GaussQuadD);
        const GaussQuadD frac = u - whole;
        near |= (frac < lo) | (frac > hi);
        const GaussQuadD v = whole < topv ? whole : topv;
        const Quad o = __builtin_convertvector(__builtin_convertvector(v, GaussQuadI), Quad);
        std::memcpy(out + i, &o, sizeof o);
    }
    bool ok = (near[0] | near[1] | near[2] | near[3]) == 0;
    for (; i < count; ++i) {
        double u = exactDouble(z[i]) * m + offset;
        u = u < cap ? u : cap;
        const double whole = static_cast<double>(static_cast<std::int32_t>(u));
        const double frac = u - whole;
        if (frac < eps || frac > 1.0 - eps) ok = false;
        out[i] = static_cast<TOut>(static_cast<std::int32_t>(whole < top ? whole : top));
    }
    return ok;
}

// The same for any 64-bit numerator: the numerator, rounded to double from
// its two exact 32-bit halves, gives an estimate that can be one off either
// way (the quotient is below 2^17 once capped at top + 1); the remainder,
// exact in 64-bit integers, corrects it.
template <class TOut>
[[gnu::always_inline]] inline void divideRowWideBody(const std::uint64_t* __restrict z,
                                                     std::int32_t count, int shN,
                                                     std::uint64_t half, std::uint64_t d,
                                                     TOut* __restrict out) {
    const double inv = 1.0 / static_cast<double>(d);
    constexpr double cap = double(std::numeric_limits<TOut>::max()) + 1.0;
    constexpr std::uint64_t top = std::numeric_limits<TOut>::max();
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint64_t n = (z[i] << shN) + half;
        const double nd = exactDouble(n >> 32) * 4294967296.0 + exactDouble(n & 0xffffffffu);
        double qd = nd * inv;
        qd = qd < cap ? qd : cap;
        std::uint64_t q = static_cast<std::uint32_t>(static_cast<std::int32_t>(qd));
        const std::uint64_t r = n - q * d;
        const bool over = static_cast<std::int64_t>(r) < 0;
        q = q - (over ? 1 : 0) + (!over && r >= d ? 1 : 0);
        out[i] = static_cast<TOut>(q < top ? q : top);
    }
}

// out[i] = min(((z[i] << shN) + half) >> shift, top): the division by a
// power of two.
template <class TOut>
[[gnu::always_inline]] inline void shiftRowBody(const std::uint64_t* __restrict z,
                                                std::int32_t count, int shN, std::uint64_t half,
                                                int shift, TOut* __restrict out) {
    constexpr std::uint64_t top = std::numeric_limits<TOut>::max();
    for (std::int32_t i = 0; i < count; ++i)
        out[i] = static_cast<TOut>(std::min(((z[i] << shN) + half) >> shift, top));
}

// The row divisions for each sum and output type, also built for AVX2.
#define VK_GAUSS_DIVISIONS(Z, TOut)                                                           \
    VK_ROW_KERNEL void divideRow(const Z* z, std::int32_t count, int shN, std::uint64_t half, \
                                 std::uint64_t d, TOut* out) {                                \
        divideRowBody(z, count, shN, half, d, out);                                           \
    }                                                                                         \
    VK_ROW_KERNEL void divideRowSplit(const Z* z, std::int32_t count, int e, int rho,         \
                                      std::uint64_t d, TOut* out) {                           \
        divideRowSplitBody(z, count, e, rho, d, out);                                         \
    }                                                                                         \
    VK_ROW_KERNEL bool estimateRow(const Z* z, std::int32_t count, double m, double offset,   \
                                   TOut* out) {                                               \
        return estimateRowBody(z, count, m, offset, out);                                     \
    }
VK_GAUSS_DIVISIONS(std::uint64_t, std::uint8_t)
VK_GAUSS_DIVISIONS(std::uint64_t, std::uint16_t)
VK_GAUSS_DIVISIONS(double, std::uint8_t)
VK_GAUSS_DIVISIONS(double, std::uint16_t)
#undef VK_GAUSS_DIVISIONS
VK_ROW_KERNEL void divideRowWide(const std::uint64_t* z, std::int32_t count, int shN,
                                 std::uint64_t half, std::uint64_t d, std::uint8_t* out) {
    divideRowWideBody(z, count, shN, half, d, out);
}
VK_ROW_KERNEL void divideRowWide(const std::uint64_t* z, std::int32_t count, int shN,
                                 std::uint64_t half, std::uint64_t d, std::uint16_t* out) {
    divideRowWideBody(z, count, shN, half, d, out);
}
VK_ROW_KERNEL void shiftRow(const std::uint64_t* z, std::int32_t count, int shN, std::uint64_t half,
                            int shift, std::uint8_t* out) {
    shiftRowBody(z, count, shN, half, shift, out);
}
VK_ROW_KERNEL void shiftRow(const std::uint64_t* z, std::int32_t count, int shN, std::uint64_t half,
                            int shift, std::uint16_t* out) {
    shiftRowBody(z, count, shN, half, shift, out);
}

// The kernel's numerator along one row of column sums, readable from pixel
// -span and 0 outside the window: out[q] = sum of c[i] (col[q - delay[2 i]] -
// col[q - delay[2 i + 1]]) for q < n, made in 32-bit integers (the caller's
// bound on the numerator keeps every partial sum within them) and stored in
// 64 bits, as the running sums take it. Vectorised along the row.
[[gnu::always_inline]] inline void numeratorRowBody(const std::uint32_t* col,
                                                    const std::ptrdiff_t* delay,
                                                    const std::int32_t* c, std::ptrdiff_t n,
                                                    std::int64_t* out) {
    const std::uint32_t *a0 = col - delay[0], *b0 = col - delay[1], *a1 = col - delay[2],
                        *b1 = col - delay[3], *a2 = col - delay[4], *b2 = col - delay[5],
                        *a3 = col - delay[6], *b3 = col - delay[7];
    const auto c0 = static_cast<std::uint32_t>(c[0]), c1 = static_cast<std::uint32_t>(c[1]),
               c2 = static_cast<std::uint32_t>(c[2]), c3 = static_cast<std::uint32_t>(c[3]);
    for (std::ptrdiff_t q = 0; q < n; ++q)
        out[q] = static_cast<std::int32_t>(c0 * (a0[q] - b0[q]) + c1 * (a1[q] - b1[q]) +
                                           c2 * (a2[q] - b2[q]) + c3 * (a3[q] - b3[q]));
}
VK_ROW_KERNEL void numeratorRow(const std::uint32_t* col, const std::ptrdiff_t* delay,
                                const std::int32_t* c, std::ptrdiff_t n, std::int64_t* out) {
    numeratorRowBody(col, delay, c, n, out);
}
#ifdef VK_GAUSS_TAPS_FIRST
VK_GAUSS_WIDE void numeratorRow512(const std::uint32_t* col, const std::ptrdiff_t* delay,
                                   const std::int32_t* c, std::ptrdiff_t n, std::int64_t* out) {
    numeratorRowBody(col, delay, c, n, out);
}
#endif
// numeratorRow with 64-byte vectors where the processor has them.
void numeratorRowAny(const std::uint32_t* col, const std::ptrdiff_t* delay, const std::int32_t* c,
                     std::ptrdiff_t n, std::int64_t* out) {
#ifdef VK_GAUSS_TAPS_FIRST
    if (vk_detail::cpuHasAvx512Bw()) return numeratorRow512(col, delay, c, n, out);
#endif
    numeratorRow(col, delay, c, n, out);
}

// The three running sums of four rows of numerators (num + r stride, pixels
// 0 to q0 + count - 1) side by side in 64-bit lanes, with the division by
// the kernel's weight fused in, for row sums below 2^52: row r's output j
// (pixel q0 + j) is trunc(s m + h), s the row sum as an exact double and m
// = ry[r] rx[j], or inner[r] for j in [innerA, innerB). The caller makes
// ry[r] 2^k / wy, rx[j] 1 / wx and inner[r] ry[r] / wx there (each rounded
// to double), k the power of two of the gain, and h the rounding's 1/2 (or
// 0) plus 2^-33; that gives floor(2^k s / (wx wy) + 1/2) (or the truncated
// quotient) exactly when every such quotient is below top + 1 <= 2^16 and
// the divisor (wx wy times the power of two the gain and the rounding put
// below the fraction line) at most 2^31: the true quotient is a fraction
// with that denominator, so it is whole or at least 2^-31 from a whole
// number; the roundings of m (of ry, rx and their product, or of ry and
// ry / wx), of s m and of the sum, each at most 2^-53 of a value below
// 2^17, move it by at most 5 2^-36 < 2^-33, so the value truncated lies
// strictly between the quotient and 2^-31 above it. Four pixels at a time:
// transposed into lanes, summed, divided and transposed back as 16-bit
// values.
using GaussLanesW = std::uint16_t __attribute__((vector_size(8 * sizeof(std::uint16_t))));
using GaussLanesB = std::uint8_t __attribute__((vector_size(16)));
using GaussLanesU = std::uint32_t __attribute__((vector_size(4 * sizeof(std::uint32_t))));
template <class TOut>
[[gnu::always_inline]] inline void cascadeDivideBody(const std::int64_t* num, std::ptrdiff_t stride,
                                                     std::ptrdiff_t q0, std::ptrdiff_t count,
                                                     const double* rx, const double* ry,
                                                     const double* inner, std::ptrdiff_t innerA,
                                                     std::ptrdiff_t innerB, double h,
                                                     TOut* const* out) {
    GaussLanesQ s1 = {}, s2 = {}, s3 = {};
    const auto add = [&](const GaussLanesQ& n) __attribute__((always_inline)) {
        s1 += n;
        s2 += s1;
        s3 += s2;
    };
    // The four rows' numerators at pixel q.
    const auto addAt = [&](std::ptrdiff_t q) __attribute__((always_inline)) {
        add(GaussLanesQ{num[q], num[stride + q], num[2 * stride + q], num[3 * stride + q]});
    };
    for (std::ptrdiff_t q = 0; q < q0; ++q)
        addAt(q);
    const GaussLanesD hv = {h, h, h, h}, ryv = {ry[0], ry[1], ry[2], ry[3]},
                      innerv = {inner[0], inner[1], inner[2], inner[3]};
    // The four lanes' outputs from the row sums s3 and the multipliers m.
    const auto divide = [&](const GaussLanesD& m) __attribute__((always_inline)) {
        // s + 2^52 as a double, less 2^52: s exactly.
        const GaussLanesQ bits = s3 | 0x4330000000000000ll;
        GaussLanesD v;
        std::memcpy(&v, &bits, sizeof v);
        return __builtin_convertvector((v - 4503599627370496.0) * m + hv, GaussLanesI);
    };
    const std::int64_t* n0 = num + q0;
    TOut* const o0 = out[0];
    TOut* const o1 = out[1];
    TOut* const o2 = out[2];
    TOut* const o3 = out[3];
    std::ptrdiff_t j = 0;
    for (; j + 4 <= count; j += 4) {
        GaussLanesQ p0, p1, p2, p3;
        std::memcpy(&p0, n0 + j, sizeof p0);
        std::memcpy(&p1, n0 + stride + j, sizeof p1);
        std::memcpy(&p2, n0 + 2 * stride + j, sizeof p2);
        std::memcpy(&p3, n0 + 3 * stride + j, sizeof p3);
        transpose4(p0, p1, p2, p3);
        GaussLanesI v[4];
        if (j >= innerA && j + 4 <= innerB) {
            add(p0);
            v[0] = divide(innerv);
            add(p1);
            v[1] = divide(innerv);
            add(p2);
            v[2] = divide(innerv);
            add(p3);
            v[3] = divide(innerv);
        } else {
            add(p0);
            v[0] = divide(ryv * rx[j]);
            add(p1);
            v[1] = divide(ryv * rx[j + 1]);
            add(p2);
            v[2] = divide(ryv * rx[j + 2]);
            add(p3);
            v[3] = divide(ryv * rx[j + 3]);
        }
        // Each pixel's lanes hold values below 2^16: their low halves,
        // transposed, are the rows' outputs.
        const auto w = [&](int i) { return std::bit_cast<GaussLanesW>(v[i]); };
        const auto t01 = std::bit_cast<GaussLanesU>(
                       __builtin_shufflevector(w(0), w(1), 0, 8, 2, 10, 4, 12, 6, 14)),
                   t23 = std::bit_cast<GaussLanesU>(
                       __builtin_shufflevector(w(2), w(3), 0, 8, 2, 10, 4, 12, 6, 14));
        const auto lo = std::bit_cast<GaussLanesW>(__builtin_shufflevector(t01, t23, 0, 4, 1, 5)),
                   hi = std::bit_cast<GaussLanesW>(__builtin_shufflevector(t01, t23, 2, 6, 3, 7));
        if constexpr (sizeof(TOut) == 2) {
            std::memcpy(o0 + j, &lo, 8);
            std::memcpy(o1 + j, reinterpret_cast<const char*>(&lo) + 8, 8);
            std::memcpy(o2 + j, &hi, 8);
            std::memcpy(o3 + j, reinterpret_cast<const char*>(&hi) + 8, 8);
        } else {
            const GaussLanesB o =
                __builtin_convertvector(__builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8,
                                                                9, 10, 11, 12, 13, 14, 15),
                                        GaussLanesB);
            std::memcpy(o0 + j, &o, 4);
            std::memcpy(o1 + j, reinterpret_cast<const char*>(&o) + 4, 4);
            std::memcpy(o2 + j, reinterpret_cast<const char*>(&o) + 8, 4);
            std::memcpy(o3 + j, reinterpret_cast<const char*>(&o) + 12, 4);
        }
    }
    for (; j < count; ++j) {
        addAt(q0 + j);
        const GaussLanesI v = divide(ryv * rx[j]);
        for (int r = 0; r < kLanes; ++r)
            out[r][j] = static_cast<TOut>(v[r]);
    }
}
#define VK_GAUSS_CASCADE_DIVIDE(TOut)                                                              \
    VK_ROW_KERNEL void cascadeDivide(const std::int64_t* num, std::ptrdiff_t stride,               \
                                     std::ptrdiff_t q0, std::ptrdiff_t count, const double* rx,    \
                                     const double* ry, const double* inner, std::ptrdiff_t innerA, \
                                     std::ptrdiff_t innerB, double h, TOut* const* out) {          \
        cascadeDivideBody(num, stride, q0, count, rx, ry, inner, innerA, innerB, h, out);          \
    }
VK_GAUSS_CASCADE_DIVIDE(std::uint8_t)
VK_GAUSS_CASCADE_DIVIDE(std::uint16_t)
#undef VK_GAUSS_CASCADE_DIVIDE

// out[i] = trunc(z[i] m + h) for sums below 2^52, with m = 2^k / w and h
// = 1/2 (rounding) or 0, plus 2^-33: floor(2^k z / w + 1/2) (or the
// truncated quotient) exactly when no quotient exceeds top and the
// divisor (w times the power of two the gain and the rounding put below
// the fraction line) is at most 2^31, as for cascadeDivide (m rounded
// once here).
template <class Z, class TOut>
[[gnu::always_inline]] inline void reciprocalRowBody(const Z* __restrict z, std::int32_t count,
                                                     double m, double h, TOut* __restrict out) {
    for (std::int32_t i = 0; i < count; ++i)
        out[i] = static_cast<TOut>(static_cast<std::int32_t>(exactDouble(z[i]) * m + h));
}
#define VK_GAUSS_RECIPROCAL(Z, TOut)                                                     \
    VK_ROW_KERNEL void reciprocalRow(const Z* z, std::int32_t count, double m, double h, \
                                     TOut* out) {                                        \
        reciprocalRowBody(z, count, m, h, out);                                          \
    }
VK_GAUSS_RECIPROCAL(std::uint64_t, std::uint8_t)
VK_GAUSS_RECIPROCAL(std::uint64_t, std::uint16_t)
VK_GAUSS_RECIPROCAL(double, std::uint8_t)
VK_GAUSS_RECIPROCAL(double, std::uint16_t)
#undef VK_GAUSS_RECIPROCAL
#ifdef VK_GAUSS_TAPS_FIRST
template <class Z, class TOut>
VK_GAUSS_WIDE void reciprocalRow512(const Z* z, std::int32_t count, double m, double h, TOut* out) {
    reciprocalRowBody(z, count, m, h, out);
}
#endif

// How the sums of a row's inner outputs are divided by their common weight
// (a weight that is a power of two is shifted on the 64-bit path).
enum class Division {
    kDouble,        // (sum << shN) + half below 2^52: one double division
    kDoubleSplit,   // sum below 2^52: an estimate, else quotient and scaled remainder apart
    kDoubleWide,    // 64-bit sums: double estimate, integer fix
    kMultiplyHigh,  // 64-bit sums, scalar
    kMagic32,       // 32-bit numerators: a 32-bit reciprocal (else kDouble)
    kEach,          // output by output, in 128-bit integers
};

// floor(n / d) is (n m) >> s for every n up to nMax: the smallest s >= 32
// with m = ceil(2^s / d) below 2^32 and (m d - 2^s) nMax below 2^s, for
// then n m / 2^s = n / d + n (m d - 2^s) / (d 2^s) stays below the next
// integer. False when no such s exists or nMax needs more than 32 bits.
bool magic32(std::uint64_t d, std::uint64_t nMax, std::uint32_t& m, int& s) {
    if (d == 0 || nMax >= (std::uint64_t{1} << 32)) return false;
    for (int k = 32; k < 64; ++k) {
        const GaussU128 p = GaussU128{1} << k;
        const GaussU128 mm = (p + d - 1) / d;
        if (mm >= (GaussU128{1} << 32)) return false;
        if ((mm * d - p) * nMax < p) {
            m = static_cast<std::uint32_t>(mm);
            s = k;
            return true;
        }
    }
    return false;
}

// out[i] = min(floor(((z[i] << shN) + half) / d), top) by the reciprocal of
// magic32, for numerators below 2^32: one 32 x 32-bit product per output.
template <class TOut>
[[gnu::always_inline]] inline void magicRowBody(const std::uint64_t* __restrict z,
                                                std::int32_t count, int shN, std::uint32_t half,
                                                std::uint32_t m, int s, TOut* __restrict out) {
    constexpr std::uint64_t top = std::numeric_limits<TOut>::max();
    for (std::int32_t i = 0; i < count; ++i) {
        const auto n = static_cast<std::uint32_t>((z[i] << shN) + half);
        out[i] = static_cast<TOut>(std::min((std::uint64_t{n} * m) >> s, top));
    }
}
#define VK_GAUSS_MAGIC(TOut)                                                             \
    VK_ROW_KERNEL void magicRow(const std::uint64_t* z, std::int32_t count, int shN,     \
                                std::uint32_t half, std::uint32_t m, int s, TOut* out) { \
        magicRowBody(z, count, shN, half, m, s, out);                                    \
    }
VK_GAUSS_MAGIC(std::uint8_t)
VK_GAUSS_MAGIC(std::uint16_t)
#undef VK_GAUSS_MAGIC

// out[i] = min(floor((z[i] 2^shN + half) / d), top) by a single-precision
// estimate e = (z[i] >> drop) c + h (c = 2^(shN + drop) / d, h = half / d)
// that floatDivision has shown to lie within 1/16 of the true quotient (or
// above top + 1), so that its integer part is the quotient or one off it.
// The remainder plus d (between 0 and 3 d, below 2^32) fixes it, exact in
// wrapping 32-bit integers from the sum's low 32 bits. Eight lanes where the
// double-precision division has four.
// A sum as its integer: doubles hold integers below 2^52 here.
[[gnu::always_inline]] inline std::uint64_t sumInteger(std::uint64_t z) {
    return z;
}
[[gnu::always_inline]] inline std::uint64_t sumInteger(double z) {
    std::uint64_t bits;
    const double shifted = z + 4503599627370496.0;  // 2^52 + z: z in the low mantissa bits
    std::memcpy(&bits, &shifted, sizeof bits);
    return bits & ((std::uint64_t{1} << 52) - 1);
}
template <class Z, class TOut>
[[gnu::always_inline]] inline void divideRowFloatBody(const Z* __restrict z, std::int32_t count,
                                                      int shN, int drop, std::uint32_t half,
                                                      std::uint32_t d, float c, float h,
                                                      TOut* __restrict out) {
    constexpr std::int32_t top = std::numeric_limits<TOut>::max();
    const float cap = static_cast<float>(top) + 1.0f;
    const std::uint32_t twice = 2 * d;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint64_t zi = sumInteger(z[i]);
        const auto high = static_cast<std::int32_t>(zi >> drop);
        const float e = static_cast<float>(high) * c + h;
        const auto q0 = static_cast<std::int32_t>(e < cap ? e : cap);
        const std::uint32_t r =
            (static_cast<std::uint32_t>(zi) << shN) + half + d - static_cast<std::uint32_t>(q0) * d;
        const std::int32_t q = q0 - 1 + (r >= d ? 1 : 0) + (r >= twice ? 1 : 0);
        out[i] = static_cast<TOut>(std::min(q, top));
    }
}
#define VK_GAUSS_FLOAT(Z, TOut)                                                              \
    VK_ROW_KERNEL void divideRowFloat(const Z* z, std::int32_t count, int shN, int drop,     \
                                      std::uint32_t half, std::uint32_t d, float c, float h, \
                                      TOut* out) {                                           \
        divideRowFloatBody(z, count, shN, drop, half, d, c, h, out);                         \
    }
VK_GAUSS_FLOAT(std::uint64_t, std::uint8_t)
VK_GAUSS_FLOAT(std::uint64_t, std::uint16_t)
VK_GAUSS_FLOAT(double, std::uint8_t)
VK_GAUSS_FLOAT(double, std::uint16_t)
#undef VK_GAUSS_FLOAT

// The shift that divideRowFloat drops from sums up to zMax (so that they fit
// 31 bits), or -1 where it would not give the exact quotients: 3 d must stay
// below 2^32 (the remainder's range), and the estimate within 1/16 of the
// quotient wherever that is below 2^17 (top + 1 is at most 2^16): the
// roundings of z >> drop, c, the product and the sum (each at most 2^-24
// relative, 2^-7 on values below 2^17) cost at most 1/32, the dropped bits
// of z at most (2^drop - 1) 2^shN / d, kept at most 1/32. Larger quotients
// give estimates above top + 1, which the kernel caps.
int floatDivision(std::uint64_t zMax, int shN, std::uint64_t d) {
    int drop = 0;
    while ((zMax >> drop) >= (std::uint64_t{1} << 31))
        ++drop;
    const bool fits = drop <= 16 && shN <= 16 && d <= 0x55555555u &&
                      ((((std::uint64_t{1} << drop) - 1) << shN) << 5) <= d;
    return fits ? drop : -1;
}

// The double-precision divisions run four lanes wide with AVX2, where they
// beat the scalar multiply-high; with two lanes they do not.
bool wideVectors() { return vk_detail::cpuHasAvx2(); }

struct Weights {
    const GaussAxis& ax;
    const GaussAxis& ay;
    std::vector<std::uint64_t> x, y;  // per output, from ax.begin / ay.begin
};

// Turns one row of weighted sums into output values. A gain of 2^e gives
// floor((sum 2^shN + half) / (weight 2^shD)). The 64-bit path computes it as
// written, the caller having made sure that the shifted sums fit; the other
// paths divide first and scale the quotient and remainder apart, which cannot
// overflow. Where the whole kernel lies inside the window the weight is the
// same along the row, and a row division (or a shift) replaces the
// output-by-output one. HAcc is the sums' type: 64- or 128-bit integers, or
// doubles holding integers below 2^51.
template <class HAcc, class TOut>
class PowerOfTwoGain {
  public:
    // inMax: the largest source pixel, which bounds the interior sums for
    // the 32-bit reciprocal and the single-precision division.
    PowerOfTwoGain(const Weights& w, int e, bool round, Division division, std::uint64_t inMax)
        : w_(w),
          e_(e),
          shN_(std::max(e, 0) + (round ? 1 : 0)),
          shD_(std::max(-e, 0) + (round ? 1 : 0)),
          round_(round),
          division_(division),
          inMax_(inMax) {}
    // z holds the sums of outputs [jA, jB) side by side; out receives them.
    void operator()(std::int32_t jy, const HAcc* z, TOut* out, std::int32_t jA,
                    std::int32_t jB) const {
        const GaussAxis& ax = w_.ax;
        const std::uint64_t dy = w_.y[static_cast<std::size_t>(jy - w_.ay.begin)];
        auto each = [&](std::int32_t j) {
            const GaussU128 w = GaussU128{w_.x[static_cast<std::size_t>(j - ax.begin)]} * dy;
            out[j - jA] = clamp(scaled(wide(z[j - jA]), w));
        };
        const std::int32_t a = std::clamp(ax.innerBegin, jA, jB);
        const std::int32_t b = std::clamp(ax.innerEnd, a, jB);
        for (std::int32_t j = jA; j < a; ++j)
            each(j);
        const HAcc* zj = z + (a - jA);
        TOut* o = out + (a - jA);
        const std::uint64_t weight = ax.full * dy;  // fits: the caller's choice of path
        const std::uint64_t d = weight << shD_, half = round_ ? d >> 1 : 0;
        std::uint32_t magic = 0;
        int magicShift = 0;
        if constexpr (std::is_same_v<HAcc, std::uint64_t> || std::is_same_v<HAcc, double>) {
            // An interior sum is at most the largest pixel times the weight.
            const GaussU128 zMax = GaussU128{inMax_} * weight;
            // Where no quotient exceeds the output's top and the divisor is
            // at most 2^31, one rounded multiply-add does it (reciprocalRow).
            const GaussU128 top = std::numeric_limits<TOut>::max();
            if (inMax_ > 0 && zMax < (GaussU128{1} << 52) && d <= (std::uint64_t{1} << 31) &&
                (GaussU128{inMax_} << shN_) + half < ((top + 1) << shD_)) {
                const double m = std::ldexp(1.0, e_) / static_cast<double>(weight),
                             h = (round_ ? 0.5 : 0.0) + std::ldexp(1.0, -33);
#ifdef VK_GAUSS_TAPS_FIRST
                if (vk_detail::cpuHasAvx512Bw())
                    reciprocalRow512(zj, b - a, m, h, o);
                else
#endif
                    reciprocalRow(zj, b - a, m, h, o);
                for (std::int32_t j = b; j < jB; ++j)
                    each(j);
                return;
            }
            // With AVX2 the single-precision estimate, eight lanes wide, beats
            // both the 32-bit reciprocal and the double division.
            const int drop = (division_ == Division::kDouble || division_ == Division::kMagic32) &&
                                     wideVectors() && inMax_ > 0 && zMax < (GaussU128{1} << 48)
                                 ? floatDivision(static_cast<std::uint64_t>(zMax), shN_, d)
                                 : -1;
            if (drop >= 0) {
                divideRowFloat(
                    zj, b - a, shN_, drop, static_cast<std::uint32_t>(half),
                    static_cast<std::uint32_t>(d),
                    static_cast<float>(std::ldexp(1.0, shN_ + drop) / static_cast<double>(d)),
                    static_cast<float>(static_cast<double>(half) / static_cast<double>(d)), o);
                for (std::int32_t j = b; j < jB; ++j)
                    each(j);
                return;
            }
        }
        if constexpr (std::is_same_v<HAcc, std::uint64_t>) {
            if (division_ == Division::kMagic32 &&
                magic32(d, ((inMax_ * weight) << shN_) + half, magic, magicShift)) {
                magicRow(zj, b - a, shN_, static_cast<std::uint32_t>(half), magic, magicShift, o);
                for (std::int32_t j = b; j < jB; ++j)
                    each(j);
                return;
            }
        }
        if (std::is_same_v<HAcc, GaussU128> || division_ == Division::kEach) {
            for (std::int32_t j = a; j < b; ++j)
                each(j);
        } else if constexpr (std::is_same_v<HAcc, GaussU128>) {
        } else if (division_ == Division::kDouble ||
                   (division_ == Division::kMagic32 && wideVectors())) {
            divideRow(zj, b - a, shN_, half, d, o);
        } else if (division_ == Division::kDoubleSplit) {
            const std::uint64_t divisor = weight << std::max(-e_, 0);
            if (!estimateRow(zj, b - a, double(1 << std::max(e_, 0)) / static_cast<double>(divisor),
                             round_ ? 0.5 : 0.0, o))
                divideRowSplit(zj, b - a, std::max(e_, 0), round_ ? 1 : 0, divisor, o);
        } else if constexpr (std::is_same_v<HAcc, std::uint64_t>) {
            if ((d & (d - 1)) == 0) {
                // A power of two (as for the 1 3 3 1 kernels of a halving).
                shiftRow(zj, b - a, shN_, half, __builtin_ctzll(d), o);
            } else if (division_ == Division::kDoubleWide) {
                divideRowWide(zj, b - a, shN_, half, d, o);
            } else {
                const vk_detail::ExactDivider64 div(d);
                for (std::int32_t j = a; j < b; ++j, ++zj)
                    *o++ = clamp(div((*zj << shN_) + half));
            }
        }
        for (std::int32_t j = b; j < jB; ++j)
            each(j);
    }

  private:
    static constexpr GaussU128 kTop = std::numeric_limits<TOut>::max();
    static TOut clamp(GaussU128 q) { return static_cast<TOut>(q < kTop ? q : kTop); }
    // gain x sum / w, truncated or rounded half up, for any sum and weight
    // the parameters allow (sums below 2^124, weights below 2^108).
    // A sum as a 128-bit integer; double sums hold integers below 2^53.
    static GaussU128 wide(HAcc z) {
        if constexpr (std::is_same_v<HAcc, double>)
            return static_cast<std::uint64_t>(z);
        else
            return static_cast<GaussU128>(z);
    }
    GaussU128 scaled(GaussU128 sum, GaussU128 w) const {
        const int rb = round_ ? 1 : 0;
        // The same in 64-bit integers where every step fits them (|e| <= 16):
        // the edge outputs of most kernels, which would otherwise pay for
        // 128-bit divisions.
        if (sum < (GaussU128{1} << 47) && w < (GaussU128{1} << 40)) {
            const auto s64 = static_cast<std::uint64_t>(sum), w64 = static_cast<std::uint64_t>(w);
            if (e_ >= 0) {
                const std::uint64_t q = s64 / w64, r = s64 % w64;
                return (q << e_) + ((r << (e_ + rb)) + (round_ ? w64 : 0)) / (w64 << rb);
            }
            const std::uint64_t d = w64 << -e_;
            const std::uint64_t q = s64 / d, r = s64 % d;
            return q + (round_ && r >= d - r ? 1 : 0);
        }
        if (e_ >= 0) {
            // 2^e q + floor((2^(e + 1) r + w) / 2 w) when rounding.
            const GaussU128 q = sum / w, r = sum % w;
            return (q << e_) + ((r << (e_ + rb)) + (round_ ? w : 0)) / (w << rb);
        }
        const GaussU128 d = w << -e_;
        const GaussU128 q = sum / d, r = sum % d;
        return q + (round_ && r >= d - r ? 1 : 0);
    }
    const Weights& w_;
    int e_;
    int shN_, shD_;
    bool round_;
    Division division_;
    std::uint64_t inMax_;
};

// Any other gain: gain x sum / weight in double precision.
template <class HAcc, class TOut>
class GeneralGain {
  public:
    GeneralGain(const Weights& w, double gain, bool round) : w_(w), gain_(gain), round_(round) {}
    void operator()(std::int32_t jy, const HAcc* z, TOut* out, std::int32_t jA,
                    std::int32_t jB) const {
        constexpr double top = std::numeric_limits<TOut>::max();
        const std::uint64_t dy = w_.y[static_cast<std::size_t>(jy - w_.ay.begin)];
        for (std::int32_t j = jA; j < jB; ++j) {
            const GaussU128 d = GaussU128{w_.x[static_cast<std::size_t>(j - w_.ax.begin)]} * dy;
            const double v = gain_ * (static_cast<double>(z[j - jA]) / static_cast<double>(d));
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

// The horizontal pass and PowerOfTwoGain's division in one (cascadeDivide),
// for 32-bit column sums whose kernel numerator stays within 31 bits, step 1
// across, row sums below 2^52, quotients that never exceed the output's top
// and divisors (the weight times 2^shD) at most 2^31: each batch of rows goes from its
// interleaved column sums straight to its output rows, edge outputs and
// inner ones alike. Shared by the strips of a run: it only reads itself.
template <class TOut>
class FusedDivision {
  public:
    static bool applies(const Weights& w, int e, bool round, std::uint64_t inMax) {
        const int shN = std::max(e, 0) + (round ? 1 : 0), shD = std::max(-e, 0) + (round ? 1 : 0);
        const GaussU128 weightMax = GaussU128{w.ax.full} * w.ay.full;
        // The largest quotient, floor(inMax 2^(shN - shD) + 1/2) or
        // floor(inMax 2^(shN - shD)), at most top.
        const GaussU128 top = std::numeric_limits<TOut>::max();
        const GaussU128 half = round ? GaussU128{1} << (shD - 1) : 0;
        return w.ax.step == 1 && w.ax.missFrom >= w.ax.end && w.ay.missFrom >= w.ay.end &&
               GaussU128{inMax} * weightMax < (GaussU128{1} << 52) &&
               (GaussU128{inMax} << shN) + half < ((top + 1) << shD) &&
               (weightMax << shD) <= (GaussU128{1} << 31);
    }
    // Outputs [jxA, jxB) of rows from jyA on go to dst (the row of jyA).
    FusedDivision(const Weights& w, int e, bool round, std::int32_t jxA, std::int32_t jxB,
                  TOut* dst, std::ptrdiff_t dstStride, std::int32_t jyA)
        : w_(w),
          num_(w.ax.kernel, 1),
          rx_(static_cast<std::size_t>(jxB - jxA)),
          scale_(std::ldexp(1.0, e)),
          h_((round ? 0.5 : 0.0) + std::ldexp(1.0, -33)),
          jxA_(jxA),
          jyA_(jyA),
          innerA_(std::clamp(w.ax.innerBegin, jxA, jxB) - jxA),
          innerB_(std::clamp(w.ax.innerEnd, jxA, jxB) - jxA),
          dst_(dst),
          dstStride_(dstStride) {
        for (std::size_t j = 0; j < rx_.size(); ++j)
            rx_[j] = 1.0 / static_cast<double>(w.x[j + static_cast<std::size_t>(jxA - w.ax.begin)]);
    }
    // Row r of a batch: its column sums (readable from pixel -span, zeros
    // outside the window) as numerators in num, the caller's, one per
    // thread.
    void row(const std::uint32_t* columns, int r, std::vector<std::int64_t>& num) const {
        const std::int64_t len = w_.ax.lastTap(jxA_) + static_cast<std::int64_t>(rx_.size());
        num.resize(static_cast<std::size_t>(len * kLanes));
        numeratorRowAny(columns, num_.delay, num_.ci, len, &num[static_cast<std::size_t>(r * len)]);
    }
    // The outputs of rows[0 .. filled - 1] from their numerators.
    void batch(const std::int32_t* rows, int filled, std::vector<std::int64_t>& num) const {
        const auto count = static_cast<std::ptrdiff_t>(rx_.size());
        const std::int64_t q0 = w_.ax.lastTap(jxA_), len = q0 + count;
        num.resize(static_cast<std::size_t>(len * kLanes));
        std::vector<TOut> spare(filled < kLanes ? rx_.size() : 0);
        TOut* out[kLanes];
        double ry[kLanes], inner[kLanes];
        for (int r = 0; r < kLanes; ++r) {
            const bool real = r < filled;
            out[r] = real ? dst_ + std::ptrdiff_t{rows[r] - jyA_} * dstStride_ : spare.data();
            ry[r] = real ? scale_ / static_cast<double>(
                                        w_.y[static_cast<std::size_t>(rows[r] - w_.ay.begin)])
                         : 0.0;
            inner[r] = ry[r] / static_cast<double>(w_.ax.full);
        }
        cascadeDivide(num.data(), len, q0, count, rx_.data(), ry, inner, innerA_, innerB_, h_, out);
    }

  private:
    const Weights& w_;
    Numerator num_;
    std::vector<double> rx_;
    double scale_;  // the gain, 2^e
    double h_;
    std::int32_t jxA_, jyA_;
    std::ptrdiff_t innerA_, innerB_;  // outputs whose weight across is the kernel's
    TOut* dst_;
    std::ptrdiff_t dstStride_;
};

// A finish that takes each batch of rows as their column sums.
template <class F>
concept BatchFinish = requires(const F& f, const std::uint32_t* columns, const std::int32_t* rows,
                               std::vector<std::int64_t>& scratch) {
    f.row(columns, 0, scratch);
    f.batch(rows, 1, scratch);
};

// The vertical running sums of one source plane.
// The last one, s3 (the column sums), from pixel 0 at z3, has zeros before
// it as far back as the horizontal kernel reaches and after it up to
// pixel xLast, so that the horizontal pass may read it in place.
template <class VAcc>
struct ColumnSums {
    std::vector<VAcc> s1, s2, s3;
    VAcc* z3;
    ColumnSums(std::int32_t width, std::int64_t lead, std::int64_t xLast)
        : s1(static_cast<std::size_t>(width)),
          s2(s1.size()),
          s3(static_cast<std::size_t>(lead + std::max<std::int64_t>(width, xLast + 1))),
          z3(s3.data() + lead) {}
};

// The horizontal pass of one plane: the column sums of a batch of output
// rows and their interleaved copy (padded with zeros before the window, as
// far back as the numerator reads, and after it, for the overhang), and the
// row sums.
template <class HIn, class HAcc>
struct RowSums {
    std::ptrdiff_t columnStride;  // of the batch's column sums, zeros around each row
    std::vector<HIn> batch, batchColumns;
    HIn* lanes;
    HIn* columns;  // pixel 0 of the batch's first row of column sums
    LineSums<HAcc> sums;
    std::vector<HAcc> kept;
    RowSums(const GaussAxis& ax, std::int64_t xLast, std::int32_t keptCount)
        : columnStride(static_cast<std::ptrdiff_t>(ax.kernel.span) +
                       std::max<std::int64_t>(ax.n, xLast + 1)),
          batch(static_cast<std::size_t>(columnStride) * kLanes),
          batchColumns(batch.size()),
          lanes(batch.data() + static_cast<std::size_t>(ax.kernel.span) * kLanes),
          columns(batchColumns.data() + ax.kernel.span),
          sums(xLast, kLanes),
          kept(static_cast<std::size_t>(keptCount)) {}
};

// Column sums handed to the horizontal pass as they are.
struct SameColumns {
    template <class VAcc>
    void operator()(const VAcc* const* columns, int, VAcc* out, std::int32_t width) const {
        std::copy(columns[0], columns[0] + width, out);
    }
};

// The most source planes and horizontal passes of one run.
constexpr int kMaxRunPlanes = 3;

// The whole filter for the outputs [jxA, jxB) x [jyA, jyB) of several
// source planes of one shape (src[p], stride[p], p < sources), run side by
// side. The vertical running sums of the sources give, through
// combine(columns, h, out, width), the column sums of each of `planes`
// horizontal passes (columns[p]: source p's; combine writes plane h's);
// finish(jy, sums) receives each output row's row sums, sums[h] pointing at
// plane h's sum for output jxA, the others following. The vertical running
// sums start at the first row that output jyA's kernel covers, with the rows
// above it read as zeros: they reach no output of the run, so a run over a
// band of output rows gives the same values as one over all of them.
template <class TIn, class VAcc, class HIn, class HAcc, class Combine, class Finish>
void gaussRun(const TIn* const* src, const std::ptrdiff_t* stride, int sources, int planes,
              const Combine& combine, const GaussAxis& ax, const GaussAxis& ay, std::int32_t jxA,
              std::int32_t jxB, std::int32_t jyA, std::int32_t jyB, const Finish& finish) {
    const std::int32_t width = ax.n;
    const std::int32_t height = ay.n;
    const std::int64_t xLast = ax.lastTap(jxB - 1);
    std::vector<ColumnSums<VAcc>> column;
    std::vector<RowSums<HIn, HAcc>> plane;
    for (int p = 0; p < sources; ++p)
        column.emplace_back(width, ax.kernel.span, xLast);
    for (int h = 0; h < planes; ++h)
        plane.emplace_back(ax, xLast, jxB - jxA);
    std::vector<TIn> zeros(static_cast<std::size_t>(width));
    // Output rows whose kernel misses the window take its last row alone.
    std::vector<VAcc> lastRows;
    const VAcc* columns[kMaxRunPlanes];
    const HAcc* from[kMaxRunPlanes];
    std::int32_t batchRows[kLanes];
    std::vector<std::int64_t> batchScratch;  // for a finish that takes whole batches
    int filled = 0;
    auto flush = [&] {
        for (RowSums<HIn, HAcc>& ps : plane) {
            if constexpr (!BatchFinish<Finish>) {
                interleave(ps.columns, ps.columnStride, width, ps.lanes);
                horizontalLines<kLanes>(ps.lanes, ax, xLast, ps.sums);
            }
        }
        if constexpr (BatchFinish<Finish>) {
            finish.batch(batchRows, filled, batchScratch);
        } else {
            for (int r = 0; r < filled; ++r) {
                for (int h = 0; h < planes; ++h) {
                    RowSums<HIn, HAcc>& ps = plane[static_cast<std::size_t>(h)];
                    // Outputs whose kernel misses the window take its last column.
                    for (std::int32_t j = std::max(jxA, ax.missFrom); j < jxB; ++j)
                        ps.sums.at(ax.lastTap(j), r) =
                            static_cast<HAcc>(ps.lanes[(width - 1) * kLanes + r]);
                    // The kept sums side by side.
                    const HAcc* f = &ps.sums.at(ax.lastTap(jxA), r);
                    if (!LineSums<HAcc>::kRows || ax.step > 1) {
                        const std::ptrdiff_t step = &ps.sums.at(ax.lastTap(jxA) + ax.step, r) - f;
                        for (std::int32_t j = 0; j < jxB - jxA; ++j)
                            ps.kept[static_cast<std::size_t>(j)] = f[j * step];
                        f = ps.kept.data();
                    }
                    from[h] = f;
                }
                finish(batchRows[r], static_cast<const HAcc* const*>(from));
            }
        }
        filled = 0;
    };

    const Numerator num(ay.kernel, 1);
    const bool narrow =
        255 * std::int64_t{std::accumulate(num.ci, num.ci + 4, std::int32_t{0})} < (1 << 15);
    const std::int64_t qFirst = std::max<std::int64_t>(0, ay.lastTap(jyA) - (ay.taps - 1));
    std::int32_t jy = jyA;
    std::int64_t emitAt = ay.lastTap(jy);
    for (std::int64_t q = qFirst; jy < jyB; ++q) {
        for (int p = 0; p < sources; ++p) {
            ColumnSums<VAcc>& cs = column[static_cast<std::size_t>(p)];
            const TIn* rows[8];
            for (int m = 0; m < 8; ++m) {
                const std::int64_t r = q - num.delay[m];
                rows[m] = (r >= qFirst && r < height) ? src[p] + r * stride[p] : zeros.data();
            }
            if constexpr (std::is_same_v<TIn, std::uint8_t> &&
                          std::is_same_v<VAcc, std::uint32_t>) {
                if (narrow) {
                    verticalStepNarrowAny(rows, num.ci, cs.s1.data(), cs.s2.data(), cs.z3, width);
                    continue;
                }
            }
            verticalStep(rows, num.ci, cs.s1.data(), cs.s2.data(), cs.z3, width);
        }
        if (q != emitAt) continue;
        if (jy >= ay.missFrom && lastRows.empty()) {
            lastRows.resize(static_cast<std::size_t>(sources) * static_cast<std::size_t>(width));
            for (int p = 0; p < sources; ++p) {
                const TIn* row = src[p] + std::ptrdiff_t{height - 1} * stride[p];
                std::copy(row, row + width, lastRows.begin() + std::ptrdiff_t{p} * width);
            }
        }
        for (int p = 0; p < sources; ++p)
            columns[p] = jy < ay.missFrom ? column[static_cast<std::size_t>(p)].z3
                                          : lastRows.data() + std::ptrdiff_t{p} * width;
        if constexpr (BatchFinish<Finish>) {
            // Straight from the column sums, which cover every output row.
            finish.row(column[0].z3, filled, batchScratch);
        } else {
            for (int h = 0; h < planes; ++h)
                combine(static_cast<const VAcc* const*>(columns), h,
                        plane[static_cast<std::size_t>(h)].columns +
                            filled * plane[static_cast<std::size_t>(h)].columnStride,
                        width);
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
// taps at the kept columns only (or, for the reduction by 4, each source row
// gets them first: see tapsFirstApplies). The sums are the same integers as those of
// the running sums, and they go through the same finishing, so the results
// are identical.

constexpr std::int32_t kMaxFirTaps = 16;
// Kernels of at most 16 taps are the three-box ones (two cascades need more):
// the widths add up to at most 18, so the weights add up to at most
// 6 * 6 * 6 = 216. The vertical sums of 8-bit pixels fit 16 bits, those of
// 16-bit pixels 32 bits, and the 2-D sums 32 bits.
template <class TIn>
using FirSum = typename vk_detail::GaussRowSource<TIn>::Sum;
static_assert(std::is_same_v<FirSum<std::uint8_t>, std::uint16_t> &&
              std::is_same_v<FirSum<std::uint16_t>, std::uint32_t>);

bool firApplies(const GaussAxis& ax, const GaussAxis& ay) {
    return (ax.step > 1 || ay.step > 1) && ax.taps <= kMaxFirTaps && ay.taps <= kMaxFirTaps;
}

// The kernel's taps: its numerator followed by the three running sums.
template <class T>
std::vector<T> axisKernel(const GaussAxis& ax) {
    const GaussKernel& k = ax.kernel;
    std::vector<std::int64_t> n(static_cast<std::size_t>(k.span) + 1, 0);
    for (const GaussKernel::Term& t : k.terms) {
        n[static_cast<std::size_t>(t.add)] += t.c;
        n[static_cast<std::size_t>(t.sub)] -= t.c;
    }
    for (int pass = 0; pass < 3; ++pass)
        for (std::size_t i = 1; i < n.size(); ++i)
            n[i] += n[i - 1];
    return std::vector<T>(n.begin(), n.begin() + k.taps);
}

// acc = w * row, or acc += w * row.
template <class TIn>
[[gnu::always_inline]] inline void firRowBody(const TIn* __restrict row, FirSum<TIn> w,
                                              FirSum<TIn>* __restrict acc, std::int32_t n,
                                              bool add) {
    using S = FirSum<TIn>;
    if (add) {
        for (std::int32_t x = 0; x < n; ++x)
            acc[x] = static_cast<S>(acc[x] + w * row[x]);
    } else {
        for (std::int32_t x = 0; x < n; ++x)
            acc[x] = static_cast<S>(w * row[x]);
    }
}
VK_ROW_KERNEL void firRow(const std::uint8_t* row, std::uint16_t w, std::uint16_t* acc,
                          std::int32_t n, bool add) {
    firRowBody(row, w, acc, n, add);
}
VK_ROW_KERNEL void firRow(const std::uint16_t* row, std::uint32_t w, std::uint32_t* acc,
                          std::int32_t n, bool add) {
    firRowBody(row, w, acc, n, add);
}

// z[j] = sum over t < taps of k[t] * v[j * f + t], for count outputs whose
// taps all lie in the line. With f and taps known at compile time the
// compiler vectorises across the outputs; the reductions by 2, 3 and 4 with
// their kernels (4, 5 and 8 taps) get such a form.
template <int F, int Taps, class S>
[[gnu::always_inline]] inline void firColumnsFixed(const S* __restrict v, const std::uint32_t* k,
                                                   std::int32_t count,
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
// The reductions' fixed-tap forms on the 16-bit vertical sums of 8-bit
// sources and on the 32-bit sums of 16-bit sources, whose 2-D sums stay
// below 2^32 as well (216 * 216 * 65535).
#define VK_FIR_COLUMNS(S)                                                                       \
    VK_ROW_KERNEL void firColumns2x4(const S* v, const std::uint32_t* k, std::int32_t count,    \
                                     std::uint64_t* z) {                                        \
        firColumnsFixed<2, 4>(v, k, count, z);                                                  \
    }                                                                                           \
    VK_ROW_KERNEL void firColumns3x5(const S* v, const std::uint32_t* k, std::int32_t count,    \
                                     std::uint64_t* z) {                                        \
        firColumnsFixed<3, 5>(v, k, count, z);                                                  \
    }                                                                                           \
    VK_ROW_KERNEL void firColumns4x8(const S* v, const std::uint32_t* k, std::int32_t count,    \
                                     std::uint64_t* z) {                                        \
        firColumnsFixed<4, 8>(v, k, count, z);                                                  \
    }
VK_FIR_COLUMNS(std::uint16_t)
VK_FIR_COLUMNS(std::uint32_t)
#undef VK_FIR_COLUMNS

template <class S>
void firColumns(const S* v, std::int32_t f, const std::uint32_t* k, std::int32_t taps,
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

// Horizontal taps first. A reduction by 4 with its 8-tap kernel reads each
// source row once; taking the row's horizontal taps at once (a quarter of
// the values) and adding them, times the row's vertical weight, into the
// sums of the one or two output rows that cover it moves a quarter of the
// data through the vertical sums, and leaves nothing to do for a finished
// row. The sums are the same integers in another order.

// True when the taps-first kernels below take this axis and kernel for
// TIn pixels: a reduction by 4 with 8 taps, on a processor with AVX2, with
// taps that fit a signed byte (8-bit pixels: pairs of pixels times taps,
// then two pairs added, stay below 2^15) or 15 bits (16-bit pixels), and
// vertical weights ky that fit the signed 16-bit halves they multiply, with
// every whole kernel's sum below 2^32.
template <class TIn, class S>
bool tapsFirstApplies(const GaussAxis& ax, const std::vector<std::uint32_t>& kx,
                      const std::vector<S>& ky) {
#ifdef VK_GAUSS_TAPS_FIRST
    if (ax.step != 4 || ax.taps != 8 || !vk_detail::cpuHasAvx2()) return false;
    const auto total = [](const auto& k) {
        return std::accumulate(k.begin(), k.end(), std::uint64_t{0});
    };
    if (std::any_of(ky.begin(), ky.end(), [](S k) { return k > 32767; }) ||
        std::uint64_t{std::numeric_limits<TIn>::max()} * total(kx) * total(ky) >
            std::uint64_t{0xFFFFFFFF})
        return false;
    if constexpr (sizeof(TIn) == 1) {
        for (std::size_t t : {std::size_t{0}, std::size_t{2}})
            if (255u * (kx[t] + kx[t + 1] + kx[t + 4] + kx[t + 5]) > 32767u) return false;
        return std::all_of(kx.begin(), kx.end(), [](std::uint32_t k) { return k <= 127; });
    } else {
        return std::all_of(kx.begin(), kx.end(), [](std::uint32_t k) { return k <= 32767; });
    }
#else
    (void)ax;
    (void)kx;
    (void)ky;
    return false;
#endif
}

#ifdef VK_GAUSS_TAPS_FIRST
// The kernels' last outputs, from j on, one by one.
template <int Rows, class TIn>
void addTapsFrom(std::int32_t j, const TIn* v, std::int32_t count, const std::uint32_t* k,
                 const std::uint32_t* w, const std::uint32_t* keep, std::uint32_t* const* sums) {
    for (; j < count; ++j) {
        std::uint32_t h = 0;
        for (int t = 0; t < 8; ++t)
            h += k[t] * v[4 * j + t];
        for (int r = 0; r < Rows; ++r)
            sums[r][j] = (sums[r][j] & keep[r]) + w[r] * h;
    }
}

// Four taps (each below 128) in the bytes of an int, the first lowest.
inline int tapQuad(const std::uint32_t* k) {
    return static_cast<int>(k[0] | k[1] << 8 | k[2] << 16 | k[3] << 24);
}

// The rows' weights times scale and their keep masks in every 32-bit lane.
template <int Rows>
__attribute__((target("avx2"), always_inline)) inline void rowVectors(const std::uint32_t* w,
                                                                      const std::uint32_t* keep,
                                                                      std::uint32_t scale,
                                                                      __m256i* wv, __m256i* kv) {
    for (int r = 0; r < Rows; ++r) {
        wv[r] = _mm256_set1_epi32(static_cast<int>(w[r] * scale));
        kv[r] = _mm256_set1_epi32(static_cast<int>(keep[r]));
    }
}

// For count outputs of a row whose output j has its taps at v[4 j .. 4 j + 7]
// (all inside the row): h = the taps' sum, then sums[r][j] = (sums[r][j] &
// keep[r]) + w[r] h for r < Rows (1 or 2). Eight outputs per step from 32
// pixels: the pixels at 4 j times the first four taps and those at 4 j + 4
// times the last four, in pairs (vpmaddubsw), added, then pairs of those
// times w (vpmaddwd), which completes each output's sum.
template <int Rows>
__attribute__((target("avx2"))) void addTaps4x8(const std::uint8_t* v, std::int32_t count,
                                                const std::uint32_t* k, const std::uint32_t* w,
                                                const std::uint32_t* keep,
                                                std::uint32_t* const* sums) {
    const __m256i ka = _mm256_set1_epi32(tapQuad(k)), kb = _mm256_set1_epi32(tapQuad(k + 4));
    __m256i wv[Rows], kv[Rows];
    rowVectors<Rows>(w, keep, 0x10001u, wv, kv);  // w in each 16-bit half
    std::int32_t j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 4 * j));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 4 * j + 4));
        const __m256i pairs =
            _mm256_add_epi16(_mm256_maddubs_epi16(a, ka), _mm256_maddubs_epi16(b, kb));
        for (int r = 0; r < Rows; ++r) {
            auto* s = reinterpret_cast<__m256i*>(sums[r] + j);
            _mm256_storeu_si256(s, _mm256_add_epi32(_mm256_and_si256(_mm256_loadu_si256(s), kv[r]),
                                                    _mm256_madd_epi16(pairs, wv[r])));
        }
    }
    addTapsFrom<Rows>(j, v, count, k, w, keep, sums);
}
// The same for a row made on the spot as a BiasedDifference of the rows a
// and b (each from the first tap of the first output), which are never
// stored, in 512-bit lanes (AVX-512 BW): 16 outputs from 64 pixels per
// step. Each 64-pixel block of the difference is made twice, at 4 j and at
// 4 j + 4, in signed bytes (the rows less 128, their saturating difference
// clamped to the band less 128, then 128 added back), and the same block of
// nextA and nextB is asked for meanwhile. The last step loads and stores
// only the pixels and sums of the outputs left (masked lanes).
__attribute__((target("avx512f,avx512bw"), always_inline)) inline __m512i differenceBlock(
    const std::uint8_t* a, const std::uint8_t* b, __mmask64 in, __m512i flip, __m512i lo,
    __m512i hi) {
    const __m512i va = _mm512_xor_si512(_mm512_maskz_loadu_epi8(in, a), flip);
    const __m512i vb = _mm512_xor_si512(_mm512_maskz_loadu_epi8(in, b), flip);
    return _mm512_xor_si512(_mm512_min_epi8(_mm512_max_epi8(_mm512_subs_epi8(va, vb), lo), hi),
                            flip);
}
// s[l] = (s[l] & keep) + v[l] for the lanes l of out.
__attribute__((target("avx512f"), always_inline)) inline void addIntoSums(std::uint32_t* s,
                                                                          __mmask16 out,
                                                                          __m512i keep, __m512i v) {
    _mm512_mask_storeu_epi32(
        s, out, _mm512_add_epi32(_mm512_and_si512(_mm512_maskz_loadu_epi32(out, s), keep), v));
}
template <int Rows>
__attribute__((target("avx512f,avx512bw"))) void addDifferenceTaps4x8(
    const vk_detail::GaussRowSource<std::uint8_t>::BiasedDifference& d, std::ptrdiff_t at,
    std::int32_t count, const std::uint32_t* k, const std::uint32_t* w, const std::uint32_t* keep,
    std::uint32_t* const* sums) {
    const __m512i ka = _mm512_set1_epi32(tapQuad(k)), kb = _mm512_set1_epi32(tapQuad(k + 4));
    const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80)),
                  lo = _mm512_set1_epi8(static_cast<char>(d.lo ^ 0x80)),
                  hi = _mm512_set1_epi8(static_cast<char>(d.hi ^ 0x80));
    __m512i wv[Rows], kv[Rows];
    for (int r = 0; r < Rows; ++r) {
        wv[r] = _mm512_set1_epi32(static_cast<int>(w[r] * 0x10001u));  // w in each 16-bit half
        kv[r] = _mm512_set1_epi32(static_cast<int>(keep[r]));
    }
    const std::uint8_t *a = d.a + at, *b = d.b + at;
    const auto *nextA = reinterpret_cast<const char*>(d.nextA + at),
               *nextB = reinterpret_cast<const char*>(d.nextB + at);
    for (std::int32_t j = 0; j < count; j += 16) {
        const std::int32_t n = std::min(count - j, 16);
        // The pixels of n outputs in either block, and their sums.
        const __mmask64 in = n == 16 ? ~__mmask64{0} : (__mmask64{1} << (4 * n)) - 1;
        const auto out = static_cast<__mmask16>((1u << n) - 1);
        _mm_prefetch(nextA + 4 * j, _MM_HINT_T0);
        _mm_prefetch(nextB + 4 * j, _MM_HINT_T0);
        const __m512i pairs = _mm512_add_epi16(
            _mm512_maddubs_epi16(differenceBlock(a + 4 * j, b + 4 * j, in, flip, lo, hi), ka),
            _mm512_maddubs_epi16(differenceBlock(a + 4 * j + 4, b + 4 * j + 4, in, flip, lo, hi),
                                 kb));
        for (int r = 0; r < Rows; ++r)
            addIntoSums(sums[r] + j, out, kv[r], _mm512_madd_epi16(pairs, wv[r]));
    }
}
// For the four outputs whose taps start at p (16-bit pixels): for each, two
// 32-bit lanes whose sum is its taps' sum on the pixels less 2^15.
__attribute__((target("avx2"), always_inline)) inline __m256i tapPairs(const std::uint16_t* p,
                                                                       __m256i ka, __m256i kb,
                                                                       __m256i flip) {
    const __m256i a =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), flip);
    const __m256i b =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4)), flip);
    return _mm256_add_epi32(_mm256_madd_epi16(a, ka), _mm256_madd_epi16(b, kb));
}
// The same for 16-bit pixels: pairs of pixels times taps (vpmaddwd) on the
// pixels less 2^15, so that they fit its signed lanes (2^15 times the taps'
// sum is added back), the pairs' sums added across two outputs' vectors
// (vphaddd, whose order the permute restores), then times w.
template <int Rows>
__attribute__((target("avx2"))) void addTaps4x8(const std::uint16_t* v, std::int32_t count,
                                                const std::uint32_t* k, const std::uint32_t* w,
                                                const std::uint32_t* keep,
                                                std::uint32_t* const* sums) {
    const auto pair = [&](int t) { return static_cast<int>(k[t] | k[t + 1] << 16); };
    const __m256i ka =
        _mm256_setr_epi32(pair(0), pair(2), pair(0), pair(2), pair(0), pair(2), pair(0), pair(2));
    const __m256i kb =
        _mm256_setr_epi32(pair(4), pair(6), pair(4), pair(6), pair(4), pair(6), pair(4), pair(6));
    std::uint32_t total = 0;
    for (int t = 0; t < 8; ++t)
        total += k[t];
    const __m256i bias = _mm256_set1_epi32(static_cast<int>(total << 15));
    const __m256i flip = _mm256_set1_epi16(static_cast<short>(0x8000));
    __m256i wv[Rows], kv[Rows];
    rowVectors<Rows>(w, keep, 1u, wv, kv);
    std::int32_t j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256i h = _mm256_add_epi32(
            _mm256_permute4x64_epi64(_mm256_hadd_epi32(tapPairs(v + 4 * j, ka, kb, flip),
                                                       tapPairs(v + 4 * j + 16, ka, kb, flip)),
                                     0xD8),
            bias);
        for (int r = 0; r < Rows; ++r) {
            auto* s = reinterpret_cast<__m256i*>(sums[r] + j);
            _mm256_storeu_si256(s, _mm256_add_epi32(_mm256_and_si256(_mm256_loadu_si256(s), kv[r]),
                                                    _mm256_mullo_epi32(h, wv[r])));
        }
    }
    addTapsFrom<Rows>(j, v, count, k, w, keep, sums);
}
// The clamped difference c of the 32-pixel blocks at a and b (lanes from
// left on zero, none loaded), their values ORed into seenA and seenB.
__attribute__((target("avx512f,avx512bw"), always_inline)) inline __m512i differenceBlock16(
    const std::uint16_t* a, const std::uint16_t* b, std::int64_t left, __m512i band, __m512i& seenA,
    __m512i& seenB) {
    const __mmask32 in = left >= 32  ? ~__mmask32{0}
                         : left <= 0 ? __mmask32{0}
                                     : static_cast<__mmask32>((std::uint64_t{1} << left) - 1);
    const __m512i va = _mm512_maskz_loadu_epi16(in, a), vb = _mm512_maskz_loadu_epi16(in, b);
    seenA = _mm512_or_si512(seenA, va);
    seenB = _mm512_or_si512(seenB, vb);
    const __m512i m = _mm512_max_epu16(va, vb);
    return _mm512_sub_epi16(_mm512_min_epu16(_mm512_sub_epi16(m, vb), band),
                            _mm512_min_epu16(_mm512_sub_epi16(m, va), band));
}
// The OR of the 16-bit lanes of v.
__attribute__((target("avx512f"), always_inline)) inline std::uint32_t foldOr16(__m512i v) {
    alignas(64) std::uint32_t lanes[16];
    _mm512_store_si512(lanes, v);
    std::uint32_t u = 0;
    for (const std::uint32_t l : lanes)
        u |= l;
    return (u | u >> 16) & 0xFFFFu;
}
// The same for a row of 16-bit pixels made on the spot as a BiasedDifference
// (AVX-512 BW): 16 outputs from 64 pixels per step. Each 32-pixel block of
// the difference is made once, as c = clamp(a - b, -w, w) in signed 16-bit
// lanes (w = hi - half; with m = max(a, b), min(m - b, w) - min(m - a, w)),
// and the block shifted by four pixels (the outputs' last four taps) is
// taken across two blocks (valignq). The taps are taken on c (vpmaddwd), and
// half times the taps' sum added back. Bounds: every tap is below 2^15 and
// |c| <= w < 2^15, so each vpmaddwd pair |k0 c0 + k1 c1| < 2 * 2^15 * 2^15
// = 2^31 fits its signed lane; everything after it is modular 32-bit
// arithmetic whose true results (the taps' sum on the row, at most
// 65535 * 216 at depth 16 and the largest taps, and the rows' weighted sums,
// checked below 2^32 by tapsFirstApplies) fit 32 bits, so they are exact.
// The values of a and b loaded (the pixels from the first output's first
// tap to the last one's last) are ORed into d.seen. The last blocks load
// and store only the pixels and sums of the outputs left (masked lanes).
template <int Rows>
__attribute__((target("avx512f,avx512bw"))) void addDifferenceTaps4x8(
    vk_detail::GaussRowSource<std::uint16_t>::BiasedDifference& d, std::ptrdiff_t at,
    std::int32_t count, const std::uint32_t* k, const std::uint32_t* w, const std::uint32_t* keep,
    std::uint32_t* const* sums) {
    const auto pair = [&](int t) { return static_cast<int>(k[t] | k[t + 1] << 16); };
    const __m512i ka = _mm512_set4_epi32(pair(2), pair(0), pair(2), pair(0)),
                  kb = _mm512_set4_epi32(pair(6), pair(4), pair(6), pair(4));
    std::uint32_t total = 0;
    for (int t = 0; t < 8; ++t)
        total += k[t];
    const __m512i bias = _mm512_set1_epi32(static_cast<int>(total * d.half));
    const __m512i band = _mm512_set1_epi16(static_cast<short>(d.hi - d.half));
    // Output o's two partial sums sit in lanes 2 o and 2 o + 1 of x (outputs
    // 0..7) and y (8..15): the even lanes of both, then the odd ones.
    const __m512i even =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd =
        _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    __m512i wv[Rows], kv[Rows];
    for (int r = 0; r < Rows; ++r) {
        wv[r] = _mm512_set1_epi32(static_cast<int>(w[r]));
        kv[r] = _mm512_set1_epi32(static_cast<int>(keep[r]));
    }
    const std::uint16_t *a = d.a + at, *b = d.b + at;
    const auto *nextA = reinterpret_cast<const char*>(d.nextA + at),
               *nextB = reinterpret_cast<const char*>(d.nextB + at);
    // The pixels read: [0, end) from at.
    const std::int64_t end = std::int64_t{count} * 4 + 4;
    __m512i seenA = _mm512_setzero_si512(), seenB = _mm512_setzero_si512();
    __m512i c0 = differenceBlock16(a, b, end, band, seenA, seenB);
    for (std::int32_t j = 0; j < count; j += 16) {
        const std::int32_t n = std::min(count - j, 16);
        const auto out = static_cast<__mmask16>((1u << n) - 1);
        const std::int64_t o = std::int64_t{4} * j;
        _mm_prefetch(nextA + 2 * o, _MM_HINT_T0);
        _mm_prefetch(nextA + 2 * o + 64, _MM_HINT_T0);
        _mm_prefetch(nextB + 2 * o, _MM_HINT_T0);
        _mm_prefetch(nextB + 2 * o + 64, _MM_HINT_T0);
        const __m512i c1 =
            differenceBlock16(a + o + 32, b + o + 32, end - o - 32, band, seenA, seenB);
        const __m512i c2 =
            differenceBlock16(a + o + 64, b + o + 64, end - o - 64, band, seenA, seenB);
        const __m512i x =
            _mm512_add_epi32(_mm512_madd_epi16(c0, ka),
                             _mm512_madd_epi16(_mm512_maskz_alignr_epi64(0xFF, c1, c0, 1), kb));
        const __m512i y =
            _mm512_add_epi32(_mm512_madd_epi16(c1, ka),
                             _mm512_madd_epi16(_mm512_maskz_alignr_epi64(0xFF, c2, c1, 1), kb));
        const __m512i h = _mm512_add_epi32(_mm512_add_epi32(_mm512_permutex2var_epi32(x, even, y),
                                                            _mm512_permutex2var_epi32(x, odd, y)),
                                           bias);
        for (int r = 0; r < Rows; ++r)
            addIntoSums(sums[r] + j, out, kv[r], _mm512_mullo_epi32(h, wv[r]));
        c0 = c2;
    }
    d.seen[0] |= foldOr16(seenA);
    d.seen[1] |= foldOr16(seenB);
}
#endif

inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

template <class TIn, class TOut, class Finish>
void gaussFirRun(const vk_detail::GaussRowSource<TIn>& rows, const GaussAxis& ax,
                 const GaussAxis& ay, std::int32_t jxA, std::int32_t jxB, std::int32_t jyA,
                 std::int32_t jyB, TOut* dst, std::ptrdiff_t dstStride, const Finish& finish) {
    using S = FirSum<TIn>;
    const std::int32_t width = ax.n, height = ay.n;
    const auto wsize = static_cast<std::size_t>(width);
    const std::vector<std::uint32_t> kx = axisKernel<std::uint32_t>(ax);
    const std::vector<S> ky = axisKernel<S>(ay);
    // Vertical sums of the output rows in progress: output row i lives in
    // slot i mod slots.
    const std::int32_t slots = (ay.taps + ay.step - 1) / ay.step;
    const bool tapsFirst = tapsFirstApplies<TIn>(ax, kx, ky);
    std::vector<S> vsum(tapsFirst ? 0 : static_cast<std::size_t>(slots) * wsize);
    auto slot = [&](std::int64_t i) {
        return vsum.data() + static_cast<std::size_t>(i % slots) * wsize;
    };
    std::vector<std::uint64_t> z(static_cast<std::size_t>(jxB - jxA));
    std::vector<TIn> scratch(wsize);
    const std::int32_t a = std::clamp(ax.innerBegin, jxA, jxB);
    const std::int32_t b = std::clamp(ax.innerEnd, a, jxB);

    // Output j's horizontal taps on a line v of the window's width where its
    // kernel is cut by the window's edge, or misses it and takes its last
    // column.
    auto border = [&](const auto* v, std::int32_t j) {
        if (j >= ax.missFrom) return std::uint64_t{v[wsize - 1]};
        const std::int64_t c = ax.first + std::int64_t{j} * ax.step;
        const std::int64_t t0 = std::max<std::int64_t>(0, -c),
                           t1 = std::min<std::int64_t>(ax.taps, width - c);
        std::uint64_t sum = 0;
        for (std::int64_t t = t0; t < t1; ++t)
            sum +=
                std::uint64_t{kx[static_cast<std::size_t>(t)]} * v[static_cast<std::size_t>(c + t)];
        return sum;
    };
    // Taps first: 32-bit sums of the output rows in progress, one per output
    // column, in the same slots.
    const auto columns = static_cast<std::size_t>(jxB - jxA);
    std::vector<std::uint32_t> hsum(tapsFirst ? static_cast<std::size_t>(slots) * columns : 0);
    auto hslot = [&](std::int64_t i) {
        return hsum.data() + static_cast<std::size_t>(i % slots) * columns;
    };

    // The horizontal taps of one finished row (taps first: its sums), then
    // its output values.
    auto emit = [&](std::int32_t i) {
        if (tapsFirst) {
            std::copy_n(hslot(i), columns, z.begin());
        } else {
            const S* v = slot(i);
            for (std::int32_t j = jxA; j < a; ++j)
                z[static_cast<std::size_t>(j - jxA)] = border(v, j);
            if (b > a)
                firColumns(v + ax.first + std::int64_t{a} * ax.step, ax.step, kx.data(), ax.taps,
                           b - a, z.data() + (a - jxA));
            for (std::int32_t j = b; j < jxB; ++j)
                z[static_cast<std::size_t>(j - jxA)] = border(v, j);
        }
        finish(i, z.data(), dst + std::ptrdiff_t{i - jyA} * dstStride, jxA, jxB);
    };
    using BiasedDifference = typename vk_detail::GaussRowSource<TIn>::BiasedDifference;
    // The difference is made inside the taps with AVX-512 BW (a row of it
    // made and read back otherwise).
    const bool wide = vk_detail::cpuHasAvx512Bw();
#ifdef VK_GAUSS_TAPS_FIRST
    // Source row y, its taps taken, added with weights w into the sums of the
    // count (1 or 2) output rows from i (keep: all ones to add, 0 to start).
    // With diff, the row's inner outputs take its taps from the difference
    // made on the spot, and p holds only the pixels the edge outputs read.
    auto addTaps = [&](const TIn* p, std::int64_t i, int count, const std::uint32_t* w,
                       const std::uint32_t* keep, BiasedDifference* diff) {
        std::uint32_t* sums[2] = {hslot(i), count > 1 ? hslot(i + 1) : nullptr};
        const auto edge = [&](std::int32_t j) {
            const auto h = static_cast<std::uint32_t>(border(p, j));
            for (int r = 0; r < count; ++r) {
                std::uint32_t& s = sums[r][j - jxA];
                s = (s & keep[r]) + w[r] * h;
            }
        };
        for (std::int32_t j = jxA; j < a; ++j)
            edge(j);
        std::uint32_t* inner[2] = {sums[0] + (a - jxA), count > 1 ? sums[1] + (a - jxA) : nullptr};
        const std::ptrdiff_t at = ax.first + std::ptrdiff_t{a} * ax.step;
        if (diff != nullptr) {
            if (count > 1)
                addDifferenceTaps4x8<2>(*diff, at, b - a, kx.data(), w, keep, inner);
            else
                addDifferenceTaps4x8<1>(*diff, at, b - a, kx.data(), w, keep, inner);
            for (std::int32_t j = b; j < jxB; ++j)
                edge(j);
            return;
        }
        if (count > 1)
            addTaps4x8<2>(p + at, b - a, kx.data(), w, keep, inner);
        else
            addTaps4x8<1>(p + at, b - a, kx.data(), w, keep, inner);
        for (std::int32_t j = b; j < jxB; ++j)
            edge(j);
    };
#else
    auto addTaps = [](const TIn*, std::int64_t, int, const std::uint32_t*, const std::uint32_t*,
                      BiasedDifference*) {};
#endif
    // A BiasedDifference row's pixels that the edge outputs read, into
    // scratch: those up to the last left edge output's last tap (the whole
    // row when its kernel misses the window), and from the first right edge
    // output's first tap, or the last pixel, on. For 16-bit rows, the values
    // of the pixels that the inner outputs' taps do not read are ORed into
    // d.seen.
    const std::int64_t leftEnd =
        a > jxA
            ? std::clamp<std::int64_t>(ax.first + std::int64_t{a - 1} * ax.step + ax.taps, 0, width)
            : 0;
    const std::int64_t rightBegin =
        b < jxB ? std::clamp<std::int64_t>(ax.first + std::int64_t{b} * ax.step, 0, width - 1)
                : width;
    const std::int64_t innerBegin = b > a ? ax.first + std::int64_t{a} * ax.step : width;
    const std::int64_t innerEnd =
        b > a ? innerBegin + std::int64_t{b - a} * ax.step + (ax.taps - ax.step) : width;
    auto edgePixels = [&](BiasedDifference& d, TIn* out) {
        for (std::int64_t x = 0; x < leftEnd; ++x)
            out[x] = vk_detail::biasedDifference(d.a[x], d.b[x], d.half, d.lo, d.hi);
        for (std::int64_t x = rightBegin; x < width; ++x)
            out[x] = vk_detail::biasedDifference(d.a[x], d.b[x], d.half, d.lo, d.hi);
        if constexpr (sizeof(TIn) == 2) {
            std::uint32_t sa = 0, sb = 0;
            for (std::int64_t x = 0; x < innerBegin; ++x) {
                sa |= d.a[x];
                sb |= d.b[x];
            }
            for (std::int64_t x = innerEnd; x < width; ++x) {
                sa |= d.a[x];
                sb |= d.b[x];
            }
            d.seen[0] |= sa;
            d.seen[1] |= sb;
        }
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
            if (tapsFirst) {
                BiasedDifference diff{};
                const bool made =
                    wide && rows.biasedDifferenceRow(static_cast<std::int32_t>(y), diff);
                if (made) edgePixels(diff, scratch.data());
                const TIn* p =
                    made ? scratch.data() : rows.row(static_cast<std::int32_t>(y), scratch.data());
                for (std::int64_t i = iLo; i <= iHi; i += 2) {
                    const auto count = static_cast<int>(std::min<std::int64_t>(iHi - i + 1, 2));
                    std::uint32_t w[2], keep[2];
                    for (int k = 0; k < count; ++k) {
                        w[k] = ky[static_cast<std::size_t>(y - lo(i + k))];
                        keep[k] = y != std::max<std::int64_t>(lo(i + k), 0) ? ~0u : 0u;
                    }
                    addTaps(p, i, count, w, keep, made ? &diff : nullptr);
                }
                if (made && sizeof(TIn) == 2) rows.differenceRowRead(diff);
            } else {
                // The source adds the row into at most two sums by itself when
                // it can; otherwise the row is made and added here.
                S weight[2];
                bool add[2];
                S* sums[2];
                const auto count = static_cast<int>(std::min<std::int64_t>(iHi - iLo + 1, 3));
                for (int k = 0; k < std::min(count, 2); ++k) {
                    weight[k] = ky[static_cast<std::size_t>(y - lo(iLo + k))];
                    add[k] = y != std::max<std::int64_t>(lo(iLo + k), 0);
                    sums[k] = slot(iLo + k);
                }
                if (count > 2 ||
                    !rows.addRow(static_cast<std::int32_t>(y), count, weight, add, sums)) {
                    const TIn* p = rows.row(static_cast<std::int32_t>(y), scratch.data());
                    for (std::int64_t i = iLo; i <= iHi; ++i)
                        firRow(p, ky[static_cast<std::size_t>(y - lo(i))], slot(i), width,
                               y != std::max<std::int64_t>(lo(i), 0));
                }
            }
            while (next < iEnd && std::min<std::int64_t>(lo(next) + ay.taps - 1, height - 1) <= y)
                emit(static_cast<std::int32_t>(next++));
        }
    }
    // Output rows whose kernel misses the window take its last row alone.
    for (std::int32_t i = iEnd; i < jyB; ++i) {
        const TIn* p = rows.row(height - 1, scratch.data());
        if (tapsFirst) {
            const std::uint32_t one = 1, start = 0;
            addTaps(p, i, 1, &one, &start, nullptr);
        } else {
            firRow(p, S{1}, slot(i), width, false);
        }
        emit(i);
    }
}

template <class TIn>
class BufferRows final : public vk_detail::GaussRowSource<TIn> {
  public:
    BufferRows(const TIn* base, std::ptrdiff_t stride) : base_(base), stride_(stride) {}
    const TIn* row(std::int32_t y, TIn*) const override { return base_ + y * stride_; }

  private:
    const TIn* base_;
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

// Runs run(j0, j1) over strips of the output rows [jyA, jyB) on the
// library's threads; with checkCancel each strip first checks for
// cancellation. No output depends on the strip it
// falls in (each run starts its sums afresh), so the strips may be cut by
// the number of threads: a strip re-reads about a kernel's length of source
// rows above its first output, which makes one strip per thread the least
// work; two per thread, where they stay four kernels tall, even out the
// load. Equal shares per thread keep the threads busy to the end.
template <class Run>
void overRowStrips(const GaussAxis& ax, const GaussAxis& ay, std::int32_t jyA, std::int32_t jyB,
                   bool checkCancel, const Run& run) {
    const std::int32_t rows = jyB - jyA, threads = vk_detail::threadCount();
    std::int32_t perStrip = rows;
    if (threads > 1) {
        const std::int64_t warmUp = (std::int64_t{ay.taps} + ay.step - 1) / ay.step;
        const std::int64_t perThread = (std::int64_t{rows} + threads - 1) / threads;
        const std::int64_t pieces = perThread >= 8 * warmUp ? 2 * threads : threads;
        perStrip = vk_detail::stripRows(rows, ax.end - ax.begin,
                                        static_cast<std::int32_t>((rows + pieces - 1) / pieces));
    }
    vk_detail::parallelRows(rows, perStrip, [&](std::int32_t y0, std::int32_t y1) {
        if (checkCancel) vkAttention::check();
        run(jyA + y0, jyA + y1);
    });
}

template <class TIn, class TOut>
void runFirWithGain(const vk_detail::GaussRowSource<TIn>& rows, const Weights& w, std::int32_t jxA,
                    std::int32_t jxB, std::int32_t jyA, std::int32_t jyB, TOut* dst,
                    std::ptrdiff_t dstStride, const vkGaussSampleParams& params, bool checkCancel,
                    bool parallel = true) {
    const auto strips = [&](const auto& finish) {
        const auto run = [&](std::int32_t j0, std::int32_t j1) {
            gaussFirRun<TIn, TOut>(rows, w.ax, w.ay, jxA, jxB, j0, j1,
                                   dst + std::ptrdiff_t{j0 - jyA} * dstStride, dstStride, finish);
        };
        if (parallel)
            overRowStrips(w.ax, w.ay, jyA, jyB, checkCancel, run);
        else
            run(jyA, jyB);
    };
    int e = 0;
    if (powerOfTwoGain(params.gain(), e)) {
        // Sums below 2^32: a 32-bit reciprocal where the scaled sums stay
        // below 2^32 too, else (scaled by at most 2^17) the double division
        // or, without wide vectors, the multiply-high.
        strips(PowerOfTwoGain<std::uint64_t, TOut>(w, e, params.doRounding(), Division::kMagic32,
                                                   std::numeric_limits<TIn>::max()));
    } else {
        strips(GeneralGain<std::uint64_t, TOut>(w, params.gain(), params.doRounding()));
    }
}

template <class VAcc, class HAcc, class TIn, class TOut>
void runWithGain(const TIn* src, std::ptrdiff_t stride, const Weights& w, std::int32_t jxA,
                 std::int32_t jxB, std::int32_t jyA, std::int32_t jyB, TOut* dst,
                 std::ptrdiff_t dstStride, const vkGaussSampleParams& params, Division division,
                 bool parallel) {
    // Signed 64-bit row sums (of the register cascade) are never negative:
    // they are finished as unsigned ones, the same bits.
    using FAcc = std::conditional_t<std::is_same_v<HAcc, std::int64_t>, std::uint64_t, HAcc>;
    const auto over = [&](const auto& finish) {
        const auto run = [&](std::int32_t j0, std::int32_t j1) {
            gaussRun<TIn, VAcc, VAcc, HAcc>(&src, &stride, 1, 1, SameColumns(), w.ax, w.ay, jxA,
                                            jxB, j0, j1, finish);
        };
        if (parallel)
            overRowStrips(w.ax, w.ay, jyA, jyB, false, run);
        else
            run(jyA, jyB);
    };
    const auto strips = [&](const auto& finish) {
        over([&](std::int32_t jy, const HAcc* const* sums) {
            finish(jy, reinterpret_cast<const FAcc*>(sums[0]),
                   dst + std::ptrdiff_t{jy - jyA} * dstStride, jxA, jxB);
        });
    };
    int e = 0;
    if constexpr (std::is_same_v<VAcc, std::uint32_t> && std::is_same_v<HAcc, std::int64_t>) {
        if (powerOfTwoGain(params.gain(), e) &&
            FusedDivision<TOut>::applies(w, e, params.doRounding(),
                                         std::numeric_limits<TIn>::max())) {
            over(FusedDivision<TOut>(w, e, params.doRounding(), jxA, jxB, dst, dstStride, jyA));
            return;
        }
    }
    if (powerOfTwoGain(params.gain(), e))
        strips(PowerOfTwoGain<FAcc, TOut>(w, e, params.doRounding(), division,
                                          std::numeric_limits<TIn>::max()));
    else
        strips(GeneralGain<FAcc, TOut>(w, params.gain(), params.doRounding()));
}

// Picks the narrowest sums that hold every value exactly: 32-bit column sums
// while the column sums of the largest pixels fit, else 64-bit (128-bit for
// 16-bit pixels under huge kernels); 64-bit row sums while the scaled sums
// fit, else 128-bit (which hold every sum the parameters allow).
// The outputs [jxA, jxB) x [jyA, jyB) into dst, their strips on the
// library's threads or (parallel false) on the calling thread.
template <class TIn, class TOut>
void gaussDispatch(const vkPelBuffer_const<TIn>& source, const Weights& w, std::int32_t jxA,
                   std::int32_t jxB, std::int32_t jyA, std::int32_t jyB,
                   const vkPelBuffer<TOut>& dst, const vkGaussSampleParams& params,
                   bool parallel = true) {
    if (jxA >= jxB || jyA >= jyB) return;
    const GaussAxis& ax = w.ax;
    const GaussAxis& ay = w.ay;
    if (firApplies(ax, ay)) {
        BufferRows<TIn> rows(source.pointToOffset(), source.rowUpdate());
        runFirWithGain(rows, w, jxA, jxB, jyA, jyB, dst.pointToOffset(), dst.rowUpdate(), params,
                       false, parallel);
        return;
    }
    // Kernel sums stay below 2^58 per axis, so nothing here overflows.
    const GaussU128 inMax = std::numeric_limits<TIn>::max();
    const GaussU128 weightMax = GaussU128{ax.full} * ay.full;
    const GaussU128 sumMax = inMax * weightMax;
    int e = 0;
    const bool pow2 = powerOfTwoGain(params.gain(), e);
    const int round = params.doRounding() ? 1 : 0;
    const int shN = pow2 ? std::max(e, 0) + round : 0, shD = pow2 ? std::max(-e, 0) + round : 0;
    // (sum << shN) + (weight << shD) below 2^bits.
    auto scaledBelow = [&](int bits) {
        return sumMax < (GaussU128{1} << (bits - 1 - shN)) &&
               weightMax < (GaussU128{1} << (bits - 1 - shD));
    };
    const GaussU128 columnMax = inMax * ay.full;
    const bool rows64 = scaledBelow(64);
    // The split division needs sums below 2^52 and D 2^(E + rho + 2) within
    // 2^53, D the weight times 2^max(-e, 0).
    const bool split =
        sumMax < (GaussU128{1} << 52) &&
        weightMax < (GaussU128{1} << (51 - std::max(e, 0) - round - std::max(-e, 0)));
    const Division doubles = scaledBelow(52) ? Division::kDouble
                             : split         ? Division::kDoubleSplit
                                             : Division::kEach;
    const TIn* src = source.pointToOffset();
    const std::ptrdiff_t stride = source.rowUpdate();
    TOut* out = dst.pointToOffset();
    const std::ptrdiff_t outStride = dst.rowUpdate();
    // The kernel's numerator over column sums, as the horizontal pass forms it.
    GaussU128 numeratorMax = 0;
    for (const GaussKernel::Term& t : ax.kernel.terms)
        numeratorMax += GaussU128{t.c} * columnMax;
    if (numeratorMax < (GaussU128{1} << 31) && rows64) {
        // Integer lanes throughout (the local mean's kernels, for instance).
        const Division wide = !wideVectors()               ? Division::kMultiplyHigh
                              : doubles == Division::kEach ? Division::kDoubleWide
                                                           : doubles;
        runWithGain<std::uint32_t, std::int64_t>(src, stride, w, jxA, jxB, jyA, jyB, out, outStride,
                                                 params, wide, parallel);
    } else if (columnMax < (GaussU128{1} << 31) && sumMax < (GaussU128{1} << 51)) {
        runWithGain<std::uint32_t, double>(src, stride, w, jxA, jxB, jyA, jyB, out, outStride,
                                           params, doubles, parallel);
    } else if (columnMax < (GaussU128{1} << 64) && rows64) {
        const Division wide = !wideVectors()               ? Division::kMultiplyHigh
                              : doubles == Division::kEach ? Division::kDoubleWide
                                                           : doubles;
        if (columnMax < (GaussU128{1} << 32))
            runWithGain<std::uint32_t, std::uint64_t>(src, stride, w, jxA, jxB, jyA, jyB, out,
                                                      outStride, params, wide, parallel);
        else
            runWithGain<std::uint64_t, std::uint64_t>(src, stride, w, jxA, jxB, jyA, jyB, out,
                                                      outStride, params, wide, parallel);
    } else if (sizeof(TIn) == 1 || columnMax < (GaussU128{1} << 64)) {
        runWithGain<std::uint64_t, GaussU128>(src, stride, w, jxA, jxB, jyA, jyB, out, outStride,
                                              params, Division::kEach, parallel);
    } else if constexpr (sizeof(TIn) > 1) {
        runWithGain<GaussU128, GaussU128>(src, stride, w, jxA, jxB, jyA, jyB, out, outStride,
                                          params, Division::kEach, parallel);
    }
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

// A new output buffer with the output window and transforms; every output
// pixel is written, so its pixels start undefined.
template <class TOut, class TIn>
vkPelBuffer<TOut> newOutput(const GaussPlan& p, const vkPelBuffer_const<TIn>& source) {
    vkPelBuffer<TOut> out(p.outWin, vk_detail::uninitialized);
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
        const Weights w{ax, ay, axisWeights(ax), axisWeights(ay)};
        gaussDispatch(source, w, ax.begin, ax.end, ay.begin, ay.end, out, params);
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
    const Weights w{ax, ay, axisWeights(ax), axisWeights(ay)};
    gaussDispatch(src, w, r.ul().x() - p.origin.x(), r.ur().x() - p.origin.x(),
                  r.ul().y() - p.origin.y(), r.ll().y() - p.origin.y(), dst, params);
}

bool vk_detail::gaussDirectFir(const vkPelRect& window, const vkGaussSampleParams& params) {
    const GaussPlan p = gaussPlan(window, params);
    return firApplies(p.ax, p.ay);
}

template <class T>
void vk_detail::gaussSums(const vkPelBuffer_const<T>& values, const vkPelBuffer_const<T>* squares,
                          int highShift, const vkPair<std::int32_t>& kernelSize,
                          const GaussSumSink& sink) {
    vk_detail::requireBound(values);
    const GaussPlan p = gaussPlan(
        values.window(), vkGaussSampleParams(vkPair<std::int32_t>(1, 1), kernelSize, 1.0, true));
    if (p.ax.begin >= p.ax.end || p.ay.begin >= p.ay.end) return;
    const T* src[3] = {values.pointToOffset(), nullptr, nullptr};
    std::ptrdiff_t stride[3] = {values.rowUpdate(), 0, 0};
    const int sources = squares != nullptr ? 3 : 1, planes = squares != nullptr ? 2 : 1;
    for (int i = 1; i < sources; ++i) {
        vk_detail::requireBound(squares[i - 1]);
        src[i] = squares[i - 1].pointToOffset();
        stride[i] = squares[i - 1].rowUpdate();
    }
    const Weights w{p.ax, p.ay, axisWeights(p.ax), axisWeights(p.ay)};
    std::vector<double> inverseX(w.x.size());
    for (std::size_t i = 0; i < w.x.size(); ++i)
        inverseX[i] = 1.0 / static_cast<double>(w.x[i]);
    const double high = std::ldexp(1.0, highShift);
    const auto run = [&](auto vacc) {
        using VAcc = decltype(vacc);
        // Plane 0 takes the values' column sums, plane 1 those of the high
        // part of the squares times 2^highShift plus those of the low part;
        // as doubles they are exact while below 2^53 (for 8-bit planes,
        // every kernel the neighbourhoods give).
        const auto combine = [high](const VAcc* const* c, int h, double* out, std::int32_t n) {
            if (h == 0) {
                for (std::int32_t x = 0; x < n; ++x)
                    out[x] = static_cast<double>(c[0][x]);
            } else {
                for (std::int32_t x = 0; x < n; ++x)
                    out[x] = high * static_cast<double>(c[1][x]) + static_cast<double>(c[2][x]);
            }
        };
        overRowStrips(
            p.ax, p.ay, p.ay.begin, p.ay.end, true, [&](std::int32_t j0, std::int32_t j1) {
                gaussRun<T, VAcc, double, double>(
                    src, stride, sources, planes, combine, p.ax, p.ay, p.ax.begin, p.ax.end, j0, j1,
                    [&](std::int32_t jy, const double* const* sums) {
                        const std::int32_t y = jy - p.ay.begin;
                        sink.row(y, sums[0], planes > 1 ? sums[1] : nullptr, inverseX.data(),
                                 1.0 / static_cast<double>(w.y[static_cast<std::size_t>(y)]));
                    });
            });
    };
    // The running sums are modular: only the true column sums, at most the
    // largest pixel times the kernel's weight (below 2^58 per axis), must
    // fit: 32 bits for short kernels, 64 for most, 128 for 16-bit planes
    // under kernels whose weight reaches 2^48 (sizes above about 27000).
    const GaussU128 columnMax = GaussU128{std::numeric_limits<T>::max()} * p.ay.full;
    if (columnMax < (GaussU128{1} << 32))
        run(std::uint32_t{});
    else if (columnMax < (GaussU128{1} << 64))
        run(std::uint64_t{});
    else
        run(GaussU128{});
}

template void vk_detail::gaussSums<std::uint8_t>(const vkPelBuffer_const<std::uint8_t>&,
                                                 const vkPelBuffer_const<std::uint8_t>*, int,
                                                 const vkPair<std::int32_t>&, const GaussSumSink&);
template void vk_detail::gaussSums<std::uint16_t>(const vkPelBuffer_const<std::uint16_t>&,
                                                  const vkPelBuffer_const<std::uint16_t>*, int,
                                                  const vkPair<std::int32_t>&, const GaussSumSink&);

template <class T>
vkPelBuffer<T> vk_detail::gaussSampleRows(const GaussRowSource<T>& rows,
                                          const vkPelBuffer_const<T>& shape,
                                          const vkGaussSampleParams& params) {
    vk_detail::requireBound(shape);
    const GaussPlan p = gaussPlan(shape.window(), params);
    if (!firApplies(p.ax, p.ay)) {
        vkPelBuffer<T> gathered(shape.window(), vk_detail::uninitialized);
        gathered.copyXforms(shape);
        T* const base = gathered.pointToOffset();
        const std::ptrdiff_t stride = gathered.rowUpdate();
        const auto n = static_cast<std::size_t>(shape.width()) * sizeof(T);
        vk_detail::parallelRows(shape.height(), vk_detail::stripRows(shape.height(), shape.width()),
                                [&](std::int32_t y0, std::int32_t y1) {
                                    vkAttention::check();
                                    for (std::int32_t y = y0; y < y1; ++y) {
                                        T* d = base + y * stride;
                                        const T* r = rows.row(y, d);
                                        if (r != d) std::memcpy(d, r, n);
                                    }
                                });
        vkAttention::check();
        return vfGaussSample<T>(gathered, params);
    }
    vkPelBuffer<T> out = newOutput<T>(p, shape);
    if (p.ax.begin < p.ax.end && p.ay.begin < p.ay.end) {
        const Weights w{p.ax, p.ay, axisWeights(p.ax), axisWeights(p.ay)};
        runFirWithGain(rows, w, p.ax.begin, p.ax.end, p.ay.begin, p.ay.end, out.pointToOffset(),
                       out.rowUpdate(), params, true);
    }
    return out;
}

template <class T, class TOut>
struct vk_detail::GaussBands<T, TOut>::Plan {
    GaussPlan p;
    Weights w;
    Plan(const vkPelRect& window, const vkGaussSampleParams& params)
        : p(gaussPlan(window, params)), w{p.ax, p.ay, axisWeights(p.ax), axisWeights(p.ay)} {}
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan() = default;
    // The outputs in out's window: gaussDispatch's arguments.
    template <class F>
    void over(const vkPelBuffer<TOut>& out, const F& f) const {
        const vkPelRect r = p.outWin & out.window();
        if (r.isNull()) return;
        f(r.ul().x() - p.origin.x(), r.ur().x() - p.origin.x(), r.ul().y() - p.origin.y(),
          r.ll().y() - p.origin.y(), vk_detail::narrowed(out, r));
    }
};

template <class T, class TOut>
vk_detail::GaussBands<T, TOut>::GaussBands(const vkPelBuffer_const<T>& shape,
                                           const vkGaussSampleParams& params)
    : shape_((vk_detail::requireBound(shape), shape)),
      params_(params),
      plan_(std::make_unique<const Plan>(shape.window(), params)) {}

namespace vk_detail {
template <class T, class TOut>
GaussBands<T, TOut>::~GaussBands() = default;
}  // namespace vk_detail

template <class T, class TOut>
vkPelBuffer<TOut> vk_detail::GaussBands<T, TOut>::newResult() const {
    return newOutput<TOut>(plan_->p, shape_);
}

template <class T, class TOut>
void vk_detail::GaussBands<T, TOut>::sample(const GaussRowSource<T>& rows,
                                            const vkPelBuffer<TOut>& out) const {
    if (!firApplies(plan_->p.ax, plan_->p.ay)) vstd_assert_(__LINE__);
    plan_->over(out, [&](std::int32_t jxA, std::int32_t jxB, std::int32_t jyA, std::int32_t jyB,
                         const vkPelBuffer<TOut>& dst) {
        runFirWithGain(rows, plan_->w, jxA, jxB, jyA, jyB, dst.pointToOffset(), dst.rowUpdate(),
                       params_, false, false);
    });
}

template <class T, class TOut>
void vk_detail::GaussBands<T, TOut>::sample(const vkPelBuffer_const<T>& source,
                                            const vkPelBuffer<TOut>& out) const {
    if (source.window() != shape_.window()) vstd_assert_(__LINE__);
    plan_->over(out, [&](std::int32_t jxA, std::int32_t jxB, std::int32_t jyA, std::int32_t jyB,
                         const vkPelBuffer<TOut>& dst) {
        gaussDispatch(source, plan_->w, jxA, jxB, jyA, jyB, dst, params_, false);
    });
}

template class vk_detail::GaussBands<std::uint8_t, std::uint8_t>;
template class vk_detail::GaussBands<std::uint8_t, std::uint16_t>;
template class vk_detail::GaussBands<std::uint16_t, std::uint16_t>;

template <class TIn>
vkPelBuffer<TIn> vfGaussSample(const vkPelBuffer_const<TIn>& source,
                               const vkGaussSampleParams& params) {
    vkPelBuffer<TIn> out;
    vfGaussSample<TIn, TIn>(source, out, params);
    return out;
}

template IMGNORM_API vkPelBuffer<std::uint8_t> vfGaussSample<std::uint8_t>(
    const vkPelBuffer_const<std::uint8_t>&, const vkGaussSampleParams&);
template IMGNORM_API void vfGaussSample<std::uint8_t, std::uint8_t>(
    const vkPelBuffer_const<std::uint8_t>&, vkPelBuffer<std::uint8_t>&, const vkGaussSampleParams&);
template IMGNORM_API void vfGaussSample<std::uint8_t, std::uint16_t>(
    const vkPelBuffer_const<std::uint8_t>&, vkPelBuffer<std::uint16_t>&,
    const vkGaussSampleParams&);
template vkPelBuffer<std::uint8_t> vk_detail::gaussSampleRows<std::uint8_t>(
    const GaussRowSource<std::uint8_t>&, const vkPelBuffer_const<std::uint8_t>&,
    const vkGaussSampleParams&);
template vkPelBuffer<std::uint16_t> vk_detail::gaussSampleRows<std::uint16_t>(
    const GaussRowSource<std::uint16_t>&, const vkPelBuffer_const<std::uint16_t>&,
    const vkGaussSampleParams&);
template IMGNORM_API vkPelBuffer<std::uint16_t> vfGaussSample<std::uint16_t>(
    const vkPelBuffer_const<std::uint16_t>&, const vkGaussSampleParams&);
template IMGNORM_API void vfGaussSample<std::uint16_t, std::uint16_t>(
    const vkPelBuffer_const<std::uint16_t>&, vkPelBuffer<std::uint16_t>&,
    const vkGaussSampleParams&);
