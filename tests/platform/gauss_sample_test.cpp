// Gaussian sampling against a slow, exact separable convolution with the
// documented kernel, and the kernel against a true Gaussian.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/cpu.h"
#include "platform/gauss_kernel.h"
#include "platform/gauss_rows.h"
#include "platform/util.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = std::uint8_t;
using U16 = std::uint16_t;
__extension__ typedef unsigned __int128 U128;

namespace {

// Boxes of the given widths convolved.
std::vector<U128> boxes(std::initializer_list<std::int32_t> widths) {
    std::vector<U128> k{1};
    for (std::int32_t w : widths) {
        std::vector<U128> out(k.size() + static_cast<std::size_t>(w) - 1, 0);
        for (std::size_t i = 0; i < k.size(); ++i)
            for (std::size_t t = 0; t < static_cast<std::size_t>(w); ++t)
                out[i + t] += k[i];
        k = out;
    }
    return k;
}

// The documented kernel for size k: a B(w0, w1, w2) + b B(v, v, v), centred.
std::vector<U128> kernelTaps(std::int32_t ksize, bool evenTaps) {
    const vk_detail::GaussShape s = vk_detail::gaussShape(ksize, evenTaps);
    std::vector<U128> k = boxes({s.w[0], s.w[1], s.w[2]});
    for (U128& x : k)
        x *= s.a;
    if (s.b == 0) return k;
    std::vector<U128> wide = boxes({s.v, s.v, s.v});
    const std::size_t shift = (wide.size() - k.size()) / 2;
    for (std::size_t i = 0; i < wide.size(); ++i)
        wide[i] = wide[i] * s.b + (i >= shift && i - shift < k.size() ? k[i - shift] : 0);
    return wide;
}

// One axis: the kernel centred on each block centre (j + 0.5) f of a line of
// n pixels, or half a pixel right when it cannot be.
struct RefAxis {
    std::vector<U128> k;
    std::int64_t first = 0;  // first tap of output 0
    std::int32_t f = 1, n = 0, count = 0;
    // The outputs whose taps all lie in the line: [lo, hi).
    std::int32_t lo() const {
        return std::min<std::int32_t>(count, first >= 0 ? 0 : (-first + f - 1) / f);
    }
    std::int32_t hi() const {
        const std::int64_t room = n - first - static_cast<std::int64_t>(k.size());
        return room < 0 ? 0
                        : std::min<std::int32_t>(count, static_cast<std::int32_t>(room / f + 1));
    }
    // The centre of output j's kernel, in pixel-edge units from the line start.
    double centre(std::int32_t j) const { return first + double(j) * f + k.size() / 2.0; }
    // Output j's weighted sum of value(0..n-1) and its weight; the last pixel
    // alone when the taps cover none.
    template <class F>
    U128 sum(std::int32_t j, F value, U128& weight) const {
        U128 s = 0;
        weight = 0;
        for (std::int32_t x = 0; x < n; ++x) {
            const std::int64_t t = x - first - std::int64_t{j} * f;
            if (t >= 0 && t < static_cast<std::int64_t>(k.size())) {
                s += k[static_cast<std::size_t>(t)] * value(x);
                weight += k[static_cast<std::size_t>(t)];
            }
        }
        if (weight == 0) weight = 1, s = value(n - 1);
        return s;
    }
};

RefAxis refAxis(std::int32_t n, std::int32_t f, std::int32_t ksize) {
    RefAxis a;
    a.k = kernelTaps(ksize, f % 2 == 0);
    a.first = static_cast<std::int64_t>(std::ceil((f - static_cast<double>(a.k.size())) / 2.0));
    a.f = f;
    a.n = n;
    a.count = (n + f - 1) / f;
    return a;
}

// Exact gain gn / gd times each weighted mean, rounded half up or truncated,
// saturated.
template <class TOut, class TIn>
std::vector<TOut> reference(const vkPelBuffer_const<TIn>& img, P k, P f, std::uint64_t gn,
                            std::uint64_t gd, bool round) {
    const RefAxis ax = refAxis(img.width(), f.x(), k.x()), ay = refAxis(img.height(), f.y(), k.y());
    const auto cols = static_cast<std::size_t>(ax.count);
    std::vector<U128> rows(cols * static_cast<std::size_t>(img.height())), wx(cols);
    for (std::int32_t y = 0; y < img.height(); ++y)
        for (std::size_t j = 0; j < cols; ++j)
            rows[std::size_t(y) * cols + j] = ax.sum(
                std::int32_t(j), [&](std::int32_t x) { return testimg::at<TIn>(img, x, y); },
                wx[j]);
    std::vector<TOut> out;
    for (std::int32_t i = 0; i < ay.count; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            U128 wy;
            const U128 num =
                ay.sum(
                    i, [&](std::int32_t y) { return rows[std::size_t(y) * cols + j]; }, wy) *
                gn;
            const U128 den = wx[j] * wy * gd;
            const U128 q = round ? (2 * num + den) / (2 * den) : num / den;
            out.push_back(static_cast<TOut>(std::min<U128>(q, std::numeric_limits<TOut>::max())));
        }
    return out;
}

vkGaussSampleParams params(P f, P k, double gain, bool round, bool full = true) {
    vkGaussSampleParams p(f, k, gain, full);
    p.doRounding(round);
    return p;
}

template <class TOut = U16, class TIn>
vkPelBuffer<TOut> sample(const vkPelBuffer_const<TIn>& img, const vkGaussSampleParams& p) {
    vkPelBuffer<TOut> out;
    vfGaussSample(img, out, p);
    return out;
}

// True when a w x h image of value v gives nothing but want.
template <class TOut, class TIn = U8>
bool constant(std::int32_t w, std::int32_t h, TIn v, const vkGaussSampleParams& p, unsigned want) {
    vkPelBuffer<TIn> img(w, h);
    vfPelSet(img, v);
    const auto out = pixels<TOut>(sample<TOut>(vkPelBuffer_const<TIn>(img), p));
    return std::all_of(out.begin(), out.end(), [want](TOut x) { return x == want; });
}

}  // namespace

TEST(GaussBoxWidths, AreNearEqualWithTheRequestedParityAndTheClosestScaledVariance) {
    for (std::int32_t k = 1; k < 8; ++k)
        for (bool even : {false, true}) {
            SCOPED_TRACE(testing::Message() << "k=" << k << " even=" << even);
            const auto w = vk_detail::gaussBoxWidths(k, even);
            ASSERT_TRUE(w[0] <= w[1] && w[1] <= w[2] && w[2] - w[0] <= 1);
            const std::int64_t s = w[0] + w[1] + w[2];
            EXPECT_EQ(s % 2 == 0, even);
            // Brute force over every near-equal triple of the right parity:
            // 240 x (variance - 0.95 sigma^2) for widths q, q + 1 adding up to t.
            auto miss = [&](std::int64_t t) {
                const std::int64_t q = t / 3, r = t % 3;
                return std::llabs(20 * ((3 - r) * (q * q - 1) + r * ((q + 1) * (q + 1) - 1)) -
                                  57 * (std::int64_t{k} * k + 2));
            };
            for (std::int64_t t = even ? 4 : 3; t <= 3 * k + 12; t += 2)
                EXPECT_TRUE(miss(t) > miss(s) || (miss(t) == miss(s) && t >= s)) << "s=" << t;
        }
    using W = std::array<std::int32_t, 3>;
    EXPECT_TRUE(vk_detail::gaussBoxWidths(3, true) == (W{3, 3, 4}) &&
                vk_detail::gaussBoxWidths(0, true) == (W{1, 1, 1}));
}

TEST(GaussSample, StepEdgesStayWithinTheDocumentedDistanceOfATrueGaussian) {
    // (k, f, bound in gray levels per 255 of contrast): f = 2 asks for an
    // even number of taps; 130 and 700 take the rule beyond the table.
    struct Case {
        std::int32_t k, f;
        double bound;
    };
    const Case cases[] = {{8, 1, 0.8},   {9, 1, 0.8},    {8, 2, 1.6},    {11, 2, 1.6},
                          {12, 1, 0.55}, {13, 2, 0.55},  {26, 1, 0.55},  {37, 2, 0.55},
                          {52, 1, 0.55}, {128, 2, 0.55}, {130, 1, 0.55}, {700, 2, 0.55}};
    for (const Case& c : cases)
        for (bool across : {false, true}) {
            SCOPED_TRACE(testing::Message() << "k=" << c.k << " f=" << c.f << " across=" << across);
            const double var = (double(c.k) * c.k + 2) / 4;
            const auto taps = static_cast<std::int32_t>(kernelTaps(c.k, c.f % 2 == 0).size());
            // A 0/255 edge between pixels e - 1 and e, with room for the
            // outputs whose kernels cover it whole.
            const std::int32_t n = 2 * taps + 3 * c.f, e = taps + c.f / 2 + 1;
            vkPelBuffer<U8> img(across ? 3 : n, across ? n : 3);
            for (std::int32_t i = 0; i < n; ++i)
                for (std::int32_t t = 0; t < 3; ++t)
                    img.set(across ? P(t, i) : P(i, t), i >= e ? U8{255} : U8{0});
            const P f = across ? P(1, c.f) : P(c.f, 1), k = across ? P(0, c.k) : P(c.k, 0);
            const auto out = sample(vkPelBuffer_const<U8>(img), params(f, k, 128.0, true, false));
            const RefAxis ax = refAxis(n, c.f, c.k);
            double worst = 0;
            for (std::int32_t j = ax.lo(); j < ax.hi(); ++j) {
                // The Gaussian sampled at whole-pixel offsets from the centre,
                // normalised over a support that its tails do not reach.
                const double centre = ax.centre(j) - 0.5;
                double g = 0, above = 0;
                for (double x = std::floor(centre - 12 * std::sqrt(var));
                     x < centre + 12 * std::sqrt(var); ++x) {
                    const double w = std::exp(-(x - centre) * (x - centre) / (2 * var));
                    g += w;
                    if (x >= e) above += w;
                }
                const P at = across ? P(out.window().ul().x(), out.window().ul().y() + j - ax.lo())
                                    : P(out.window().ul().x() + j - ax.lo(), out.window().ul().y());
                worst = std::max(worst, std::fabs(out.get(at) / 128.0 - 255 * above / g));
            }
            EXPECT_LE(worst, c.bound + 0.5 / 128);
            EXPECT_GT(worst, c.bound / 4);  // the edge was inside the outputs checked
        }
}

TEST(GaussSample, MatchesDirectConvolutionWithItsWindowsAndTransformsOverSizesAndFactors) {
    // (f, k): short to very long kernels; sub-sampling by the direct FIR (up
    // to 16 taps, some missing a partial last block) and by running sums.
    const P cases[][2] = {
        {P(1, 1), P(0, 0)},   {P(1, 1), P(1, 2)},     {P(1, 1), P(2, 0)},   {P(1, 1), P(3, 4)},
        {P(1, 1), P(14, 14)}, {P(1, 1), P(26, 5)},    {P(1, 1), P(8, 160)}, {P(2, 2), P(1, 1)},
        {P(3, 4), P(2, 3)},   {P(4, 4), P(3, 3)},     {P(5, 6), P(4, 5)},   {P(4, 6), P(3, 0)},
        {P(6, 2), P(0, 5)},   {P(3, 3), P(5, 1)},     {P(2, 5), P(2, 4)},   {P(4, 3), P(0, 0)},
        {P(2, 1), P(0, 3)},   {P(1, 4), P(5, 2)},     {P(4, 3), P(12, 9)},  {P(2, 3), P(600, 3)},
        {P(1, 1), P(2, 900)}, {P(2, 3), P(700, 700)}, {P(1, 3), P(14, 9)}};
    // Exact power-of-two gains (512 saturates 16 bits), as num / den.
    const std::uint64_t gains[][2] = {{128, 1}, {512, 1}, {1, 1024}, {1, 1}};
    const std::int32_t sizes[] = {1, 2, 3, 7, 8, 9, 63, 64, 65};
    int round = 0, fir = 0;  // fir: cases taking the direct FIR
    auto check = [&](auto pel, std::int32_t w, P f, P k) {
        using T = decltype(pel);
        const std::int32_t h = sizes[(round * 5 + 3) % 9];
        const auto* g = gains[round % 4];
        const auto seed = static_cast<std::uint32_t>(5000 + round++);
        SCOPED_TRACE(testing::Message()
                     << testimg::trace(w, h, seed) << " f " << f.x() << "," << f.y() << " k "
                     << k.x() << "," << k.y() << " bytes " << sizeof(T));
        auto gen = testimg::rng(seed);
        // 16-bit sources take values near the top.
        const auto content = sizeof(T) == 1 ? testimg::random<T>(w, h, gen)
                                            : testimg::random<T>(w, h, gen, 40000, 65535);
        auto img = testimg::embeddedWithMargins<T>(content, seed % 2 * 3, 0, 2, seed % 3, T{0xEE},
                                                   P(seed % 5 * 7 - 9, -3));
        img.clientFromImageXform(vkXform<2>(2, 0, 0, 3, 100, 200));
        const auto before = testimg::storagePixels<T>(img);
        const auto p16 = [&](bool full) {
            return params(f, k, double(g[0]) / double(g[1]), true, full);
        };
        fir += vk_detail::gaussDirectFir(img.window(), params(f, k, 1.0, false));
        const auto all = sample(vkPelBuffer_const<T>(img), p16(true));
        EXPECT_EQ(pixels<U16>(all), (reference<U16, T>(content, k, f, g[0], g[1], true)));
        EXPECT_EQ(pixels<T>(vfGaussSample<T>(img, params(f, k, 1.0, false))),
                  (reference<T, T>(content, k, f, 1, 1, false)));
        // Positions from (0, 0) when sub-sampled; centres map to kernel centres.
        const RefAxis ax = refAxis(w, f.x(), k.x()), ay = refAxis(h, f.y(), k.y());
        const P o = f == P(1, 1) ? img.window().ul() : P(0, 0);
        ASSERT_EQ(all.window(), vkPelRect(o.x(), o.y(), ax.count, ay.count));
        const vkVector<2> last(ax.count - 0.5, ay.count - 0.5);
        const vkVector<2> centre(img.window().ul().x() + ax.centre(ax.count - 1),
                                 img.window().ul().y() + ay.centre(ay.count - 1));
        EXPECT_TRUE(vfRealEq(all.clientFromImageXform().map(f == P(1, 1) ? centre : last),
                             img.clientFromImageXform().map(centre), 1e-9));
        // Only the outputs whose kernel fits: the same values, cut.
        const auto fits = sample(vkPelBuffer_const<T>(img), p16(false));
        const vkPelRect fit(o.x() + ax.lo(), o.y() + ay.lo(), std::max(0, ax.hi() - ax.lo()),
                            std::max(0, ay.hi() - ay.lo()));
        EXPECT_TRUE(fits.isBound() &&
                    (fit.isNull() ? fits.window().isNull() : fits.window() == fit));
        if (!fit.isNull()) {
            EXPECT_EQ(pixels<U16>(fits), pixels<U16>(testimg::crop<U16>(all, fit)));
        }
        // A bound result is written only where it overlaps the output.
        vkPelBuffer<U16> part(all.window().trim(-2, -2, -2, -2));
        vfPelSet(part, U16{7});
        part.window(vkPelRect(o.x() + 1, o.y() + 1, ax.count, ay.count));
        const auto blank = testimg::storagePixels<U16>(part);
        vfGaussSample(vkPelBuffer_const<T>(img), part, p16(true));
        EXPECT_EQ(testimg::windowMismatch<U16>(
                      blank, part,
                      [&](P p, U16 old) { return all.window().contains(p) ? all.get(p) : old; }),
                  "");
        // In place without sub-sampling: only the window changes.
        if (f == P(1, 1)) {
            vkPelBuffer<T> same = img;
            vfGaussSample(vkPelBuffer_const<T>(img), same, params(f, k, 1.0, true));
            EXPECT_EQ(pixels<T>(same), (reference<T, T>(content, k, f, 1, 1, true)));
            EXPECT_EQ(testimg::windowMismatch<T>(before, img, [&](P p, T) { return img.get(p); }),
                      "");
        }
    };
    for (std::int32_t w : sizes)
        for (const auto& c : cases) {
            check(U8{}, w, c[0], c[1]);
            if (w % 3 == 0) check(U16{}, w, c[0], c[1]);
        }
    EXPECT_TRUE(fir > 100 && fir < 200) << fir;  // both paths were taken
}

TEST(GaussSample, RowDivisionsAreExactOnFlatAndHalfwayMeans) {
    // Images wider and taller than the kernels, so that inner outputs take
    // the row divisions, made of flat runs of two levels: whole and half-way
    // means are common there, where estimates of the quotient must give way
    // to exact division.
    const std::pair<P, P> cases[] = {
        {P(26, 0), P(190, 5)}, {P(30, 30), P(110, 112)}, {P(52, 50), P(180, 178)}};
    const std::uint64_t gains[][2] = {{128, 1}, {1, 1}, {1, 4}, {512, 1}};
    std::uint32_t seed = 77;
    for (const auto& [k, size] : cases)
        for (const auto* g : gains)
            for (bool round : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << "k " << k.x() << "," << k.y() << " gain " << g[0] << "/" << g[1]
                             << " round " << round << " seed " << seed);
                auto gen = testimg::rng(seed++);
                vkPelBuffer<U8> img(size.x(), size.y());
                const U8 levels[2] = {static_cast<U8>(gen() % 256), static_cast<U8>(gen() % 256)};
                for (std::int32_t y = 0; y < size.y(); ++y)
                    for (std::int32_t x = 0; x < size.x(); ++x)
                        img.set(P(x, y), levels[(x / 37 + y / 41 + (x * 7 + y) / 90) % 2]);
                const auto p = params(P(1, 1), k, double(g[0]) / double(g[1]), round);
                EXPECT_EQ(pixels<U16>(sample(vkPelBuffer_const<U8>(img), p)),
                          (reference<U16, U8>(img, k, P(1, 1), g[0], g[1], round)));
            }
}

TEST(GaussSample, ConstantImagesStayExactlyConstantAndGeneralGainsRoundExactTies) {
    for (P k : {P(0, 52), P(52, 52), P(300, 2), P(1000, 1000), P(16383, 65535)})
        for (std::int32_t w : {1, 2, 7, 64}) {
            SCOPED_TRACE(testing::Message() << "w " << w << " k " << k.x() << "," << k.y());
            for (bool round : {false, true})
                EXPECT_TRUE(
                    constant<U16>(w, 5, U8{201}, params(P(1, 1), k, 128.0, round), 201 * 128));
            EXPECT_TRUE(constant<U8>(w, 5, U8{201}, params(P(3, 2), k, 1.0, false), 201));
            EXPECT_TRUE(constant<U8>(w, 5, U8{201}, params(P(1, 1), k, 0.25, true), 50));
            // The top 16-bit level, halved to an exact tie, and under the
            // largest gain: column sums beyond 64 bits for the largest kernels.
            EXPECT_TRUE(constant<U16>(w, 5, U16{65535}, params(P(1, 1), k, 0.5, true), 32768));
            EXPECT_TRUE(constant<U16>(w, 5, U16{65535}, params(P(1, 2), k, 65536.0, false), 65535));
        }
    // Whole means under kernels that fit inside the image, where estimates of
    // the quotient may fall just short.
    for (std::int32_t k : {40, 44, 48, 52})
        for (U8 v : {U8{201}, U8{255}, U8{77}})
            EXPECT_TRUE(
                constant<U16>(180, 178, v, params(P(1, 1), P(k, k - 2), 128.0, false), v * 128u))
                << k << " " << int(v);
    // The same for 12-bit levels under the local mean's kernel and gain at
    // that depth (sums held in doubles).
    for (U16 v : {U16{4095}, U16{2049}, U16{1}})
        EXPECT_TRUE(constant<U16>(100, 90, v, params(P(1, 1), P(14, 14), 16.0, false), v * 16u))
            << v;
    // Whole quotients whose double-precision estimate falls just short (255
    // times the weight of kernel 9 with odd taps, squared, times its
    // rounded reciprocal is below 255); numerators beyond 2^52, column sums
    // beyond 32 bits, row sums beyond 64.
    for (const auto& [f, k] : {std::pair{P(1, 1), P(8, 8)},
                               {P(1, 1), P(9, 0)},
                               {P(1, 1), P(14, 14)},
                               {P(3, 3), P(9, 9)}})
        EXPECT_TRUE(constant<U8>(64, 64, U8{255}, params(f, k, 1.0, false), 255)) << k.x();
    for (const auto& [k, size] : {std::pair{P(100, 100), P(320, 300)},
                                  {P(0, 300), P(3, 900)},
                                  {P(1500, 60), P(4000, 150)}}) {
        SCOPED_TRACE(k.x());
        EXPECT_TRUE(
            constant<U16>(size.x(), size.y(), U8{255}, params(P(1, 1), k, 128.0, true), 255 * 128));
        EXPECT_TRUE(
            constant<U16>(size.x(), size.y(), U16{65535}, params(P(1, 1), k, 1.0, true), 65535));
    }
    // Means short of a whole level by less than 2^-33 (the outermost taps of a
    // kernel weighing about 2^41.7 on the one darker pixel): the rounded
    // multiply-add divisions must leave them to exact division.
    const std::int32_t taps = vk_detail::gaussKernel(vk_detail::gaussShape(6000, false)).taps;
    std::vector<U8> row(static_cast<std::size_t>(taps) + 9, U8{201});
    row[0] = 200;
    const auto dim = pixels<U8>(sample<U8>(testimg::fromRows<U8>(taps + 9, 1, row),
                                           params(P(1, 1), P(6000, 0), 1.0, false)));
    for (std::int32_t j = 0; j < taps + 9; ++j)
        ASSERT_EQ(dim[static_cast<std::size_t>(j)], j <= (taps - 1) / 2 ? 200 : 201) << j;
    // A mean half-way between two levels under 128-bit row sums rounds up.
    const auto pair = testimg::fromRows<U16>(2, 1, {65535, 65534});
    for (bool round : {false, true})
        EXPECT_EQ(pixels<U16>(sample(vkPelBuffer_const<U16>(pair),
                                     params(P(2, 1), P(700, 700), 1.0, round))),
                  std::vector<U16>{U16(round ? 65535 : 65534)});
    // A general gain: exact ties round up (201 x 100.5 = 20200.5) or truncate;
    // with small weights no random result is near enough a boundary to differ.
    auto gen = testimg::rng(17);
    const auto img = testimg::random<U8>(31, 19, gen);
    for (bool round : {false, true}) {
        const auto p = params(P(1, 1), P(3, 3), 100.5, round);
        EXPECT_TRUE(constant<U16>(9, 4, U8{201}, p, round ? 20201 : 20200));
        EXPECT_EQ(pixels<U16>(sample(vkPelBuffer_const<U8>(img), p)),
                  (reference<U16, U8>(img, P(3, 3), P(1, 1), 201, 2, round)));
    }
}

TEST(GaussSample, BadInputThrowsBeforeAnythingIsWritten) {
    for (const auto& [f, k] : {std::pair{P(0, 1), P(1, 1)},
                               {P(1, 0), P(1, 1)},
                               {P(1, 1), P(-1, 1)},
                               {P(1, 1), P(1, 65536)},
                               {P(1, 1), P(65536, 1)}})
        EXPECT_THROW(params(f, k, 1.0, true), vkPelFunc::BadParams) << f.x() << k.y();
    for (double gain : {-1.0, std::nan(""), 70000.0})
        EXPECT_THROW(params(P(1, 1), P(1, 1), gain, true), vkPelFunc::BadParams) << gain;
    vkPelBuffer<U16> out(4, 4);
    vfPelSet(out, U16{3});
    EXPECT_THROW(vfGaussSample(vkPelBuffer_const<U8>(), out, params(P(1, 1), P(2, 2), 128.0, true)),
                 vkPel::UnboundWindow);
    EXPECT_EQ(pixels<U16>(out), std::vector<U16>(16, 3));
    EXPECT_EQ(vfGaussSample<U8>(vkPelBuffer<U8>(vkPelRect(2, 2, 0, 3)),
                                params(P(2, 2), P(1, 1), 1.0, false))
                  .width(),
              0);
}

TEST(GaussSample, TakesNoWiderVectorsThanTheCpuLimitAllows) {
    // ctest runs this table under each limit: they must reach the kernels.
    const char* text = std::getenv("IMGNORM_CPU_LIMIT");
    const std::string limit = text == nullptr ? "" : text;
    const bool capped = limit == "avx2" || limit == "baseline";
    EXPECT_FALSE(capped && (vk_detail::cpuHasAvx512Bw() || vk_detail::cpuHasAvx512Vbmi()));
    EXPECT_FALSE(limit == "baseline" && vk_detail::cpuHasAvx2());
}
