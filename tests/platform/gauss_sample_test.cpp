// Gaussian sampling against a slow, exact separable convolution with the
// documented three-box kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

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

// One axis: the three boxes convolved, centred on each block centre
// (j + 0.5) f of a line of n pixels, or half a pixel right when it cannot be.
struct RefAxis {
    std::vector<U128> k{1};
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
    for (std::int32_t w : vk_detail::gaussBoxWidths(ksize, f % 2 == 0)) {
        std::vector<U128> out(a.k.size() + static_cast<std::size_t>(w) - 1, 0);
        for (std::size_t i = 0; i < out.size(); ++i)
            for (std::size_t t = 0; t < static_cast<std::size_t>(w); ++t)
                if (i >= t && i - t < a.k.size()) out[i] += a.k[i - t];
        a.k = out;
    }
    a.first = static_cast<std::int64_t>(std::ceil((f - static_cast<double>(a.k.size())) / 2.0));
    a.f = f;
    a.n = n;
    a.count = (n + f - 1) / f;
    return a;
}

// Exact gain gn / gd times each weighted mean, rounded half up or truncated,
// saturated.
template <class TOut>
std::vector<TOut> reference(const vkPelBuffer_const<U8>& img, P k, P f, std::uint64_t gn,
                            std::uint64_t gd, bool round) {
    const RefAxis ax = refAxis(img.width(), f.x(), k.x()), ay = refAxis(img.height(), f.y(), k.y());
    const auto cols = static_cast<std::size_t>(ax.count);
    std::vector<U128> rows(cols * static_cast<std::size_t>(img.height())), wx(cols);
    for (std::int32_t y = 0; y < img.height(); ++y)
        for (std::size_t j = 0; j < cols; ++j)
            rows[std::size_t(y) * cols + j] = ax.sum(
                std::int32_t(j), [&](std::int32_t x) { return testimg::at<U8>(img, x, y); }, wx[j]);
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

template <class TOut = U16>
vkPelBuffer<TOut> sample(const vkPelBuffer_const<U8>& img, const vkGaussSampleParams& p) {
    vkPelBuffer<TOut> out;
    vfGaussSample(img, out, p);
    return out;
}

// True when a w x h image of value v gives nothing but want.
template <class TOut>
bool constant(std::int32_t w, std::int32_t h, U8 v, const vkGaussSampleParams& p, unsigned want) {
    vkPelBuffer<U8> img(w, h);
    vfPelSet(img, v);
    const auto out = pixels<TOut>(sample<TOut>(img, p));
    return std::all_of(out.begin(), out.end(), [want](TOut x) { return x == want; });
}

}  // namespace

TEST(GaussBoxWidths, AreNearEqualWithTheRequestedParityAndTheClosestScaledVariance) {
    for (std::int32_t k = 1; k <= 700; k += (k < 300 ? 1 : 37))
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
    EXPECT_TRUE(vk_detail::gaussBoxWidths(26, false) == (W{25, 26, 26}) &&
                vk_detail::gaussBoxWidths(3, true) == (W{3, 3, 4}) &&
                vk_detail::gaussBoxWidths(0, true) == (W{1, 1, 1}));
}

TEST(GaussSample, MatchesDirectConvolutionWithItsWindowsAndTransformsOverSizesAndFactors) {
    // (f, k): short to very long kernels; sub-sampling by the direct FIR (up
    // to 16 taps, some missing a partial last block) and by running sums.
    const P cases[][2] = {
        {P(1, 1), P(0, 0)},   {P(1, 1), P(1, 2)},    {P(1, 1), P(2, 0)},   {P(1, 1), P(3, 4)},
        {P(1, 1), P(14, 14)}, {P(1, 1), P(26, 5)},   {P(1, 1), P(8, 160)}, {P(2, 2), P(1, 1)},
        {P(3, 4), P(2, 3)},   {P(4, 4), P(3, 3)},    {P(5, 6), P(4, 5)},   {P(4, 6), P(3, 0)},
        {P(6, 2), P(0, 5)},   {P(3, 3), P(5, 1)},    {P(2, 5), P(2, 4)},   {P(4, 3), P(0, 0)},
        {P(2, 1), P(0, 3)},   {P(1, 4), P(5, 2)},    {P(4, 3), P(12, 9)},  {P(2, 3), P(600, 3)},
        {P(1, 1), P(2, 900)}, {P(2, 3), P(700, 700)}};
    // Exact power-of-two gains (512 saturates 16 bits), as num / den.
    const std::uint64_t gains[][2] = {{128, 1}, {512, 1}, {1, 1024}, {1, 1}};
    const std::int32_t sizes[] = {1, 2, 3, 7, 8, 9, 63, 64, 65};
    int round = 0, fir = 0;  // fir: cases taking the direct FIR
    for (std::int32_t w : sizes)
        for (const auto& c : cases) {
            const std::int32_t h = sizes[(round * 5 + 3) % 9];
            const P f = c[0], k = c[1];
            const auto* g = gains[round % 4];
            const auto seed = static_cast<std::uint32_t>(5000 + round++);
            SCOPED_TRACE(testing::Message() << testimg::trace(w, h, seed) << " f " << f.x() << ","
                                            << f.y() << " k " << k.x() << "," << k.y());
            auto gen = testimg::rng(seed);
            const auto content = testimg::random<U8>(w, h, gen);
            auto img = testimg::embeddedWithMargins<U8>(content, seed % 2 * 3, 0, 2, seed % 3, 0xEE,
                                                        P(seed % 5 * 7 - 9, -3));
            img.clientFromImageXform(vkXform<2>(2, 0, 0, 3, 100, 200));
            const auto before = testimg::storagePixels<U8>(img);
            const auto p16 = [&](bool full) {
                return params(f, k, double(g[0]) / double(g[1]), true, full);
            };
            fir += vk_detail::gaussDirectFir(img.window(), params(f, k, 1.0, false));
            const auto all = sample(img, p16(true));
            EXPECT_EQ(pixels<U16>(all), reference<U16>(content, k, f, g[0], g[1], true));
            EXPECT_EQ(pixels<U8>(vfGaussSample<U8>(img, params(f, k, 1.0, false))),
                      reference<U8>(content, k, f, 1, 1, false));
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
            const auto fits = sample(img, p16(false));
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
            vfGaussSample(img, part, p16(true));
            EXPECT_EQ(
                testimg::windowMismatch<U16>(
                    blank, part,
                    [&](P p, U16 old) { return all.window().contains(p) ? all.get(p) : old; }),
                "");
            // In place without sub-sampling: only the window changes.
            if (f == P(1, 1)) {
                vkPelBuffer<U8> same = img;
                vfGaussSample(img, same, params(f, k, 1.0, true));
                EXPECT_EQ(pixels<U8>(same), reference<U8>(content, k, f, 1, 1, true));
                EXPECT_EQ(
                    testimg::windowMismatch<U8>(before, img, [&](P p, U8) { return img.get(p); }),
                    "");
            }
        }
    EXPECT_TRUE(fir > 80 && fir < 150) << fir;  // both paths were taken
}

TEST(GaussSample, ConstantImagesStayExactlyConstantAndGeneralGainsRoundExactTies) {
    for (P k : {P(0, 52), P(52, 52), P(300, 2), P(1000, 1000), P(16383, 65535)})
        for (std::int32_t w : {1, 2, 7, 64}) {
            EXPECT_TRUE(constant<U16>(w, 5, 201, params(P(1, 1), k, 128.0, true), 201 * 128))
                << w << " " << k.x();
            EXPECT_TRUE(constant<U8>(w, 5, 201, params(P(3, 2), k, 1.0, false), 201))
                << w << " " << k.x();
            EXPECT_TRUE(constant<U8>(w, 5, 201, params(P(1, 1), k, 0.25, true), 50))
                << w << " " << k.x();
        }
    // Whole quotients whose double-precision estimate falls just short;
    // numerators beyond 2^52, column sums beyond 32 bits, row sums beyond 64.
    for (P k : {P(8, 8), P(9, 0), P(14, 14)})
        EXPECT_TRUE(constant<U8>(64, 64, 255, params(P(1, 1), k, 1.0, false), 255));
    for (const auto& [k, size] :
         {std::pair{P(100, 100), P(320, 300)}, {P(0, 300), P(3, 900)}, {P(1500, 60), P(4000, 150)}})
        EXPECT_TRUE(
            constant<U16>(size.x(), size.y(), 255, params(P(1, 1), k, 128.0, true), 255 * 128))
            << k.x();
    // A general gain: exact ties round up (201 x 100.5 = 20200.5) or truncate;
    // with small weights no random result is near enough a boundary to differ.
    auto gen = testimg::rng(17);
    const auto img = testimg::random<U8>(31, 19, gen);
    for (bool round : {false, true}) {
        const auto p = params(P(1, 1), P(3, 3), 100.5, round);
        EXPECT_TRUE(constant<U16>(9, 4, 201, p, round ? 20201 : 20200));
        EXPECT_EQ(pixels<U16>(sample(img, p)),
                  reference<U16>(img, P(3, 3), P(1, 1), 201, 2, round));
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
