#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform/gauss_kernel.h"
#include "platform/gauss_rows.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = std::uint8_t;
using U16 = std::uint16_t;
__extension__ typedef unsigned __int128 U128;

namespace {

// The documented kernel of one axis, built by convolving three boxes.
struct RefAxis {
    std::vector<std::uint64_t> k;
    std::int64_t first = 0;  // first tap of output 0
    std::int32_t f = 1, n = 0, count = 0;
};

RefAxis refAxis(std::int32_t n, std::int32_t f, std::int32_t ksize) {
    RefAxis a;
    a.k = {1};
    for (std::int32_t w : vk_detail::gaussBoxWidths(ksize, f % 2 == 0)) {
        std::vector<std::uint64_t> out(a.k.size() + static_cast<std::size_t>(w) - 1, 0);
        std::uint64_t run = 0;  // moving sum of the last w weights
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (i < a.k.size()) run += a.k[i];
            if (i >= static_cast<std::size_t>(w) && i - static_cast<std::size_t>(w) < a.k.size())
                run -= a.k[i - static_cast<std::size_t>(w)];
            out[i] = run;
        }
        a.k = out;
    }
    // Centred on the block centre (j + 0.5) f, rounded right when it cannot be.
    a.first = static_cast<std::int64_t>(std::ceil((f - static_cast<double>(a.k.size())) / 2.0));
    a.f = f;
    a.n = n;
    a.count = (n + f - 1) / f;
    return a;
}

// Weighted sum of line[0..n) for output j, and the weight inside the line;
// the last pixel alone when the kernel covers none.
template <class T>
void tapSum(const RefAxis& a, std::int32_t j, const T* line, std::ptrdiff_t step, U128& sum, U128& weight) {
    sum = weight = 0;
    for (std::int32_t x = 0; x < a.n; ++x) {
        const std::int64_t t = x - a.first - std::int64_t{j} * a.f;
        if (t < 0 || t >= static_cast<std::int64_t>(a.k.size())) continue;
        sum += U128{a.k[static_cast<std::size_t>(t)]} * line[x * step];
        weight += a.k[static_cast<std::size_t>(t)];
    }
    if (weight == 0) {  // a kernel shorter than f missed a partial last block
        sum = line[(a.n - 1) * step];
        weight = 1;
    }
}

// Exact gain x weighted mean for the gain gn / gd, rounded half up or
// truncated, saturated.
std::uint32_t finish(U128 sum, U128 weight, std::uint64_t gn, std::uint64_t gd, bool round, std::uint32_t top) {
    const U128 num = sum * gn, den = weight * gd;
    const U128 q = round ? (2 * num + den) / (2 * den) : num / den;
    return q > top ? top : static_cast<std::uint32_t>(q);
}

// Slow separable convolution of the image's window with the documented
// kernels, exact in 128 bits, over the whole output grid.
template <class TOut>
std::vector<TOut> reference(const vkPelBuffer_const<U8>& img, P k, P f, std::uint64_t gn, std::uint64_t gd,
                            bool round) {
    const RefAxis ax = refAxis(img.width(), f.x(), k.x()), ay = refAxis(img.height(), f.y(), k.y());
    std::vector<U128> rows(static_cast<std::size_t>(ax.count) * img.height()), wx(static_cast<std::size_t>(ax.count));
    for (std::int32_t y = 0; y < img.height(); ++y)
        for (std::int32_t j = 0; j < ax.count; ++j)
            tapSum(ax, j, img.pointToOffset() + y * img.rowUpdate(), 1,
                   rows[static_cast<std::size_t>(y * ax.count + j)], wx[static_cast<std::size_t>(j)]);
    std::vector<TOut> out;
    for (std::int32_t i = 0; i < ay.count; ++i)
        for (std::int32_t j = 0; j < ax.count; ++j) {
            U128 sum, wy;
            tapSum(ay, i, rows.data() + j, ax.count, sum, wy);
            out.push_back(static_cast<TOut>(finish(sum, wx[static_cast<std::size_t>(j)] * wy, gn, gd, round,
                                                   std::numeric_limits<TOut>::max())));
        }
    return out;
}

vkGaussSampleParams params(P f, P k, double gain, bool round, bool full = true) {
    vkGaussSampleParams p(f, k, gain, full);
    p.doRounding(round);
    return p;
}

vkPelBuffer<U16> localMean(const vkPelBuffer_const<U8>& img, P k, P f = P(1, 1), bool round = true) {
    vkPelBuffer<U16> out;
    vfGaussSample(img, out, params(f, k, 128.0, round));
    return out;
}

vkPelBuffer<U8> mirrored(const vkPelBuffer_const<U8>& img, bool flipX) {
    vkPelBuffer<U8> m(img.width(), img.height());
    for (std::int32_t y = 0; y < img.height(); ++y)
        for (std::int32_t x = 0; x < img.width(); ++x)
            m.set(P(x, y), testimg::at(img, flipX ? img.width() - 1 - x : x, flipX ? y : img.height() - 1 - y));
    return m;
}

}  // namespace

TEST(GaussBoxWidths, AreNearEqualWithTheRequestedParityAndTheClosestScaledVariance) {
    for (std::int32_t k = 1; k <= 700; k += (k < 300 ? 1 : 37)) {
        for (bool even : {false, true}) {
            SCOPED_TRACE(testing::Message() << "k=" << k << " even=" << even);
            const auto w = vk_detail::gaussBoxWidths(k, even);
            ASSERT_LE(w[0], w[1]);
            ASSERT_LE(w[2] - w[0], 1);
            const std::int64_t s = w[0] + w[1] + w[2];
            EXPECT_EQ((s - 2) % 2 == 0, even);
            // Brute force over every near-equal triple of the right parity.
            auto miss = [&](std::int64_t t) {
                std::int64_t v = 0;
                for (int i = 0; i < 3; ++i) {
                    const std::int64_t wi = t / 3 + (i < t % 3 ? 1 : 0);
                    v += 20 * (wi * wi - 1);
                }
                return std::llabs(v - 57 * (std::int64_t{k} * k + 2));
            };
            for (std::int64_t t = even ? 4 : 3; t <= 3 * k + 12; t += 2)
                EXPECT_TRUE(miss(t) > miss(s) || (miss(t) == miss(s) && t >= s)) << "better s=" << t;
        }
    }
    EXPECT_EQ(vk_detail::gaussBoxWidths(52, false), (std::array<std::int32_t, 3>{51, 51, 51}));
    EXPECT_EQ(vk_detail::gaussBoxWidths(1, true), (std::array<std::int32_t, 3>{2, 2, 2}));
    EXPECT_EQ(vk_detail::gaussBoxWidths(0, true), (std::array<std::int32_t, 3>{1, 1, 1}));
}

TEST(GaussBoxWidths, KernelStaysWithinTheDocumentedDistanceOfTheGaussian) {
    for (std::int32_t k = 1; k <= 300; ++k) {
        for (bool even : {false, true}) {
            SCOPED_TRACE(testing::Message() << "k=" << k << " even=" << even);
            const RefAxis a = refAxis(1, even ? 2 : 1, k);
            const double sigma = std::sqrt(k * double(k) + 2) / 2, centre = (a.k.size() - 1) / 2.0;
            const auto reach = static_cast<std::int64_t>(8 * sigma) + static_cast<std::int64_t>(a.k.size());
            double gsum = 0, ksum = 0, peak = 0, kernelDiff = 0, stepDiff = 0, gcum = 0, kcum = 0;
            for (std::int64_t i = -reach; i <= reach; ++i) gsum += std::exp(-std::pow(i - centre, 2) / (2 * sigma * sigma));
            for (std::uint64_t v : a.k) ksum += double(v);
            for (std::int64_t i = -reach; i <= reach; ++i) {
                const double g = std::exp(-std::pow(i - centre, 2) / (2 * sigma * sigma)) / gsum;
                const bool in = i >= 0 && i < static_cast<std::int64_t>(a.k.size());
                const double kv = in ? double(a.k[static_cast<std::size_t>(i)]) / ksum : 0.0;
                peak = std::max(peak, g);
                kernelDiff = std::max(kernelDiff, std::fabs(kv - g));
                gcum += g;
                kcum += kv;
                stepDiff = std::max(stepDiff, 255 * std::fabs(kcum - gcum));
            }
            EXPECT_LE(stepDiff, k >= 32 ? 1.6 : k >= 8 ? 2.5 : k >= 4 ? 3.8 : 8.5);
            EXPECT_LE(kernelDiff / peak, k >= 8 ? 0.055 : 0.135);
        }
    }
}

TEST(ExactDivider64, AgreesWithDivisionForEveryKindOfDivisorAndNumerator) {
    auto gen = testimg::rng(7);
    std::uniform_int_distribution<std::uint64_t> any;
    std::vector<std::uint64_t> divisors = {1, 2, 3, 7, 64, 65, 641, 1ull << 32, (1ull << 32) + 1, ~0ull, ~0ull - 1};
    for (int i = 0; i < 200; ++i) divisors.push_back(std::max<std::uint64_t>(1, any(gen) >> (any(gen) % 64)));
    for (std::uint64_t d : divisors) {
        const vk_detail::ExactDivider64 div(d);
        for (std::uint64_t n : std::vector<std::uint64_t>{0, d - 1, d, d + 1, ~0ull, ~0ull - d, 2 * d - 1})
            ASSERT_EQ(div(n), n / d) << n << " / " << d;
        for (int i = 0; i < 200; ++i) {
            const std::uint64_t n = any(gen) >> (any(gen) % 64);
            ASSERT_EQ(div(n), n / d) << n << " / " << d;
        }
    }
}

TEST(GaussSample, MatchesDirectConvolutionOverSmallSizesAndKernels) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
        for (P k : {P(0, 0), P(1, 2), P(2, 0), P(3, 4), P(14, 14), P(26, 5), P(8, 160)}) {
            const auto seed = static_cast<std::uint32_t>(w * 1000 + k.x() * 10 + k.y());
            SCOPED_TRACE(testing::Message() << "seed=" << seed << " w=" << w << " k=" << k.x() << "," << k.y());
            auto gen = testimg::rng(seed);
            const auto img = testimg::random<U8>(w, 11, gen);
            EXPECT_EQ(pixels<U16>(localMean(img, k)), reference<U16>(img, k, P(1, 1), 128, 1, true));
            EXPECT_EQ(pixels<U8>(vfGaussSample<U8>(img, params(P(1, 1), k, 1.0, false))),
                      reference<U8>(img, k, P(1, 1), 1, 1, false));
        }
    }
}

TEST(GaussSample, SubSamplingMatchesDirectConvolutionForFactorsOneToFour) {
    for (std::int32_t fx = 1; fx <= 4; ++fx)
        for (std::int32_t fy = 1; fy <= 4; ++fy)
            for (P k : {P(fx - 1, fy - 1), P(0, 3), P(2, 0), P(5, 2), P(12, 9)}) {
                const auto seed = static_cast<std::uint32_t>(fx * 100 + fy * 10 + k.x());
                SCOPED_TRACE(testing::Message() << "seed=" << seed << " f=" << fx << "," << fy << " k=" << k.x()
                                                << "," << k.y());
                auto gen = testimg::rng(seed);
                const auto img = testimg::random<U8>(29 + fx, 17 + fy, gen);
                const auto out = vfGaussSample<U8>(img, params(P(fx, fy), k, 1.0, false));
                EXPECT_EQ(out.window(), vkPelRect(0, 0, (29 + 2 * fx - 1) / fx, (17 + 2 * fy - 1) / fy));
                EXPECT_EQ(pixels<U8>(out), reference<U8>(img, k, P(fx, fy), 1, 1, false));
            }
}

TEST(GaussSample, RampIsSampledAtTheBlockCentres) {
    // The weighted mean of a linear ramp is its value at the kernel's centre.
    vkPelBuffer<U8> ramp(120, 3);
    for (std::int32_t x = 0; x < 120; ++x)
        for (std::int32_t y = 0; y < 3; ++y) ramp.set(P(x, y), static_cast<U8>(2 * x));
    for (std::int32_t f = 1; f <= 4; ++f) {
        const auto out = localMean(ramp, P(f + 5, 0), P(f, 1));
        const RefAxis a = refAxis(120, f, f + 5);
        for (std::int32_t j = 0; j < out.width(); ++j) {
            if (a.first + j * f >= 0 && a.first + j * f + std::int64_t(a.k.size()) <= 120) {
                EXPECT_EQ(out.get(P(j, 1)), 128 * ((2 * j + 1) * f - 1)) << "f=" << f << " j=" << j;
            }
        }
    }
}

TEST(GaussSample, WindowEqualsCroppedCopyAndStorageOutsideIsUntouched) {
    auto gen = testimg::rng(21);
    for (P origin : {P(0, 0), P(-5, 40), P(1000, -3)}) {
        for (std::int32_t margin : {0, 1, 9}) {
            const auto content = testimg::random<U8>(23, 14, gen);
            auto img = testimg::embedded<U8>(content, margin, U8{0xEE}, origin);
            const auto before = testimg::storagePixels<U8>(img);
            const auto a = localMean(img, P(6, 10));
            EXPECT_EQ(a.window(), img.window());
            EXPECT_EQ(pixels<U16>(a), pixels<U16>(localMean(content, P(6, 10))));
            const auto r = vfGaussSample<U8>(img, params(P(3, 2), P(4, 1), 1.0, true));
            EXPECT_EQ(pixels<U8>(r), pixels<U8>(vfGaussSample<U8>(content, params(P(3, 2), P(4, 1), 1.0, true))));
            // In place, on the 8-bit form: only the window changes.
            vkPelBuffer<U8> same = img;
            vfGaussSample(img, same, params(P(1, 1), P(2, 2), 1.0, true));
            EXPECT_EQ(pixels<U8>(same), pixels<U8>(vfGaussSample<U8>(content, params(P(1, 1), P(2, 2), 1.0, true))));
            auto after = testimg::storagePixels<U8>(img);
            const auto all = vkPelRect(img.storageRect());
            for (std::int32_t y = 0; y < all.height(); ++y)
                for (std::int32_t x = 0; x < all.width(); ++x) {
                    if (!img.window().contains(P(all.ul().x() + x, all.ul().y() + y))) {
                        ASSERT_EQ(after[static_cast<std::size_t>(y * all.width() + x)],
                                  before[static_cast<std::size_t>(y * all.width() + x)]);
                    }
                }
        }
    }
}

TEST(GaussSample, BoundResultIsWrittenOnlyWhereItOverlapsTheOutput) {
    auto gen = testimg::rng(3);
    auto img = testimg::embedded<U8>(testimg::random<U8>(20, 12, gen), 2, U8{9}, P(10, 10));
    const auto full = localMean(img, P(4, 4));
    vkPelBuffer<U16> big(vkPelRect(0, 0, 40, 40));
    vfPelSet(big, U16{7});
    big.window(vkPelRect(25, 15, 15, 20));  // overlaps the output [10, 30) x [10, 22)
    vfGaussSample(img, big, params(P(1, 1), P(4, 4), 128.0, true));
    big.setEntire();
    for (std::int32_t y = 0; y < 40; ++y)
        for (std::int32_t x = 0; x < 40; ++x) {
            const bool written = x >= 25 && x < 30 && y >= 15 && y < 22;
            ASSERT_EQ(big.get(P(x, y)), written ? full.get(P(x, y)) : 7) << x << "," << y;
        }
}

TEST(GaussSample, ConstantImageStaysExactlyConstant) {
    for (P k : {P(0, 52), P(52, 52), P(300, 2), P(1000, 1000), P(16383, 65535)})
        for (std::int32_t w : {1, 2, 7, 64}) {
            SCOPED_TRACE(testing::Message() << "w=" << w << " k=" << k.x() << "," << k.y());
            vkPelBuffer<U8> img(w, 5);
            vfPelSet(img, U8{201});
            for (U16 v : pixels<U16>(localMean(img, k))) ASSERT_EQ(v, 201 * 128);
            for (U8 v : pixels<U8>(vfGaussSample<U8>(img, params(P(3, 2), k, 1.0, false)))) ASSERT_EQ(v, 201);
            for (U8 v : pixels<U8>(vfGaussSample<U8>(img, params(P(1, 1), k, 0.25, true)))) ASSERT_EQ(v, 50);
        }
    // Whole quotients whose double-precision estimate falls just short.
    vkPelBuffer<U8> top(64, 64);
    vfPelSet(top, U8{255});
    for (P k : {P(8, 8), P(9, 0), P(14, 14)})
        for (U8 v : pixels<U8>(vfGaussSample<U8>(top, params(P(1, 1), k, 1.0, false)))) ASSERT_EQ(v, 255);
    // Exact ties of a general gain round up: 201 x 100.5 = 20200.5.
    vkPelBuffer<U8> odd(9, 4);
    vfPelSet(odd, U8{201});
    vkPelBuffer<U16> tie;
    vfGaussSample(odd, tie, params(P(1, 1), P(3, 3), 100.5, true));
    EXPECT_EQ(pixels<U16>(tie), std::vector<U16>(36, 20201));
    // Quotients of numerators beyond 2^52 (64-bit sums), sums beyond 32 bits
    // down the columns and beyond 64 bits along the rows.
    for (P k : {P(100, 100), P(0, 300), P(1500, 60)}) {
        vkPelBuffer<U8> bright(k.x() == 100 ? 320 : k.x() > 0 ? 4000 : 3, k.x() == 100 ? 300 : k.x() > 0 ? 150 : 900);
        vfPelSet(bright, U8{255});
        for (U16 v : pixels<U16>(localMean(bright, k))) ASSERT_EQ(v, 255 * 128);
    }
}

TEST(GaussSample, KernelsFarLargerThanTheImageTakeTheWideIntegerPathExactly) {
    auto gen = testimg::rng(99);
    const auto img = testimg::random<U8>(9, 7, gen);
    for (P k : {P(600, 3), P(2, 900), P(700, 700)}) {
        EXPECT_EQ(pixels<U16>(localMean(img, k)), reference<U16>(img, k, P(1, 1), 128, 1, true));
        EXPECT_EQ(pixels<U8>(vfGaussSample<U8>(img, params(P(2, 3), k, 1.0, false))),
                  reference<U8>(img, k, P(2, 3), 1, 1, false));
    }
    vkPelBuffer<U8> one(1, 1);
    one.set(P(0, 0), 77);
    EXPECT_EQ(localMean(one, P(65535, 65535)).get(P(0, 0)), 77 * 128);
}

TEST(GaussSample, MirroringTheInputMirrorsTheOutput) {
    auto gen = testimg::rng(5);
    for (std::int32_t w : {1, 8, 9, 40}) {
        const auto img = testimg::random<U8>(w, 12, gen);
        for (bool flipX : {true, false}) {
            // With f dividing the size the output grid is symmetric too.
            const P f = flipX ? P(w % 2 == 0 ? 2 : 1, 1) : P(1, 3);
            const auto outA = localMean(mirrored(img, flipX), P(7, 4), f), outB = localMean(img, P(7, 4), f);
            for (std::int32_t y = 0; y < outA.height(); ++y)
                for (std::int32_t x = 0; x < outA.width(); ++x)
                    ASSERT_EQ(outA.get(P(x, y)), outB.get(flipX ? P(outA.width() - 1 - x, y)
                                                                : P(x, outA.height() - 1 - y)));
        }
    }
}

TEST(GaussSample, GainAppliesExactlyWithRoundingOrTruncationAndSaturates) {
    auto gen = testimg::rng(17);
    const auto img = testimg::random<U8>(31, 19, gen);
    const auto rounded = pixels<U16>(localMean(img, P(6, 6), P(1, 1), true));
    const auto truncated = pixels<U16>(localMean(img, P(6, 6), P(1, 1), false));
    EXPECT_EQ(rounded, reference<U16>(img, P(6, 6), P(1, 1), 128, 1, true));
    EXPECT_EQ(truncated, reference<U16>(img, P(6, 6), P(1, 1), 128, 1, false));
    EXPECT_NE(rounded, truncated);
    vkPelBuffer<U16> big;
    vfGaussSample(img, big, params(P(1, 1), P(2, 2), 512.0, true));  // 255 x 512 > 65535
    EXPECT_EQ(pixels<U16>(big), reference<U16>(img, P(2, 2), P(1, 1), 512, 1, true));
    EXPECT_EQ(pixels<U8>(vfGaussSample<U8>(img, params(P(1, 1), P(2, 2), 1.0 / 1024, true))),
              reference<U8>(img, P(2, 2), P(1, 1), 1, 1024, true));
    // Gains that are not powers of two go through double precision; with
    // small weights no result lies near enough to a boundary to differ.
    for (bool round : {false, true}) {
        vkPelBuffer<U16> scaled;
        vfGaussSample(img, scaled, params(P(1, 1), P(3, 3), 100.5, round));
        EXPECT_EQ(pixels<U16>(scaled), reference<U16>(img, P(3, 3), P(1, 1), 201, 2, round));
    }
}

TEST(GaussSample, TransformsKeepClientCoordinates) {
    auto gen = testimg::rng(1);
    auto img = testimg::embedded<U8>(testimg::random<U8>(10, 9, gen), 1, U8{0}, P(4, 6));
    img.clientFromImageXform(vkXform<2>(2, 0, 0, 3, 100, 200));
    const auto same = localMean(img, P(2, 2));
    EXPECT_EQ(same.clientFromImageXformBase(), img.clientFromImageXformBase());
    for (P k : {P(1, 2), P(0, 0)}) {
        const auto r = vfGaussSample<U8>(img, params(P(2, 3), k, 1.0, false));
        EXPECT_EQ(r.window(), vkPelRect(0, 0, 5, 3));
        // Output centre (j + 0.5, i + 0.5) -> the kernel's centre in the source.
        const double sx = k.x() == 0 ? 0.5 : 0.0;
        const auto c = r.clientFromImageXform().map(vkVector<2>(1.5, 2.5));
        const auto want = img.clientFromImageXform().map(vkVector<2>(4 + 1.5 * 2 + sx, 6 + 2.5 * 3));
        EXPECT_NEAR(c.x(), want.x(), 1e-12);
        EXPECT_NEAR(c.y(), want.y(), 1e-12);
    }
}

TEST(GaussSample, WithoutFullWindowOnlyOutputsWhoseKernelFitsAreProduced) {
    auto gen = testimg::rng(8);
    auto img = testimg::embedded<U8>(testimg::random<U8>(40, 30, gen), 0, U8{0}, P(3, 5));
    const auto full = localMean(img, P(6, 4));
    vkPelBuffer<U16> valid;
    vfGaussSample(img, valid, params(P(1, 1), P(6, 4), 128.0, true, false));
    const auto wy = vk_detail::gaussBoxWidths(4, false), wx = vk_detail::gaussBoxWidths(6, false);
    const std::int32_t hx = (wx[0] + wx[1] + wx[2] - 3) / 2, hy = (wy[0] + wy[1] + wy[2] - 3) / 2;
    EXPECT_EQ(valid.window(), vkPelRect(3 + hx, 5 + hy, 40 - 2 * hx, 30 - 2 * hy));
    auto cut = full;
    cut.window(valid.window());
    EXPECT_EQ(pixels<U16>(valid), pixels<U16>(cut));
    vkPelBuffer<U16> none;
    vfGaussSample(img, none, params(P(1, 1), P(40, 4), 128.0, true, false));
    EXPECT_TRUE(none.isBound());
    EXPECT_EQ(none.width(), 0);
}

TEST(GaussSample, BadInputThrowsBeforeAnythingIsWritten) {
    EXPECT_THROW(vkGaussSampleParams(P(0, 1), P(1, 1), 1.0, true), vkPelFunc::BadParams);
    EXPECT_THROW(vkGaussSampleParams(P(1, 1), P(-1, 1), 1.0, true), vkPelFunc::BadParams);
    EXPECT_THROW(vkGaussSampleParams(P(1, 1), P(1, 65536), 1.0, true), vkPelFunc::BadParams);
    EXPECT_THROW(vkGaussSampleParams(P(1, 1), P(1, 1), -1.0, true), vkPelFunc::BadParams);
    EXPECT_THROW(vkGaussSampleParams(P(1, 1), P(1, 1), std::nan(""), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkGaussSampleParams(P(1, 1), P(1, 1), 70000.0, true), vkPelFunc::BadParams);
    vkPelBuffer<U16> out(4, 4);
    vfPelSet(out, U16{3});
    EXPECT_THROW(vfGaussSample(vkPelBuffer_const<U8>(), out, params(P(1, 1), P(2, 2), 128.0, true)),
                 vkPel::UnboundWindow);
    EXPECT_EQ(pixels<U16>(out), std::vector<U16>(16, 3));
    vkPelBuffer<U8> empty(vkPelRect(2, 2, 0, 3));
    EXPECT_EQ(vfGaussSample<U8>(empty, params(P(2, 2), P(1, 1), 1.0, false)).width(), 0);
}

TEST(GaussSample, ShortKernelReductionsMatchDirectConvolutionAtEverySize) {
    // The reductions computed only at the kept rows and columns: every tail
    // size, factors up to 6 with their kernels and with others, both output
    // types, with and without the cut edge outputs.
    const std::int32_t sizes[] = {1, 2, 3, 7, 8, 9, 63, 64, 65};
    const P cases[][2] = {{P(2, 2), P(1, 1)}, {P(3, 4), P(2, 3)}, {P(4, 4), P(3, 3)},
                          {P(5, 6), P(4, 5)}, {P(4, 6), P(3, 0)}, {P(6, 2), P(0, 5)},
                          {P(3, 3), P(5, 1)}, {P(2, 5), P(2, 4)}};
    int round = 0;
    for (std::int32_t w : sizes)
        for (const auto& c : cases) {
            const std::int32_t h = sizes[(round * 5 + 3) % 9];
            const P f = c[0], k = c[1];
            const auto seed = static_cast<std::uint32_t>(5000 + round++);
            SCOPED_TRACE(testing::Message()
                         << "seed=" << seed << " " << w << "x" << h << " f=" << f.x() << ","
                         << f.y() << " k=" << k.x() << "," << k.y());
            auto gen = testimg::rng(seed);
            const auto img = testimg::random<U8>(w, h, gen);
            ASSERT_TRUE(vk_detail::gaussDirectFir(img.window(), params(f, k, 1.0, false)));
            EXPECT_EQ(pixels<U8>(vfGaussSample<U8>(img, params(f, k, 1.0, false))),
                      reference<U8>(img, k, f, 1, 1, false));
            EXPECT_EQ(pixels<U16>(localMean(img, k, f)), reference<U16>(img, k, f, 128, 1, true));
            // Only the outputs whose kernel fits: the same values, cut.
            vkPelBuffer<U16> fits;
            vfGaussSample(img, fits, params(f, k, 128.0, true, false));
            auto all = localMean(img, k, f);
            if (fits.width() > 0 && fits.height() > 0) {
                all.window(fits.window());
                EXPECT_EQ(pixels<U16>(fits), pixels<U16>(all));
            }
        }
    // Kernels longer than 16 taps, or no sub-sampling, keep the running sums.
    EXPECT_FALSE(
        vk_detail::gaussDirectFir(vkPelRect(0, 0, 64, 64), params(P(7, 7), P(6, 6), 1.0, false)));
    EXPECT_FALSE(
        vk_detail::gaussDirectFir(vkPelRect(0, 0, 64, 64), params(P(1, 1), P(3, 3), 1.0, false)));
}

TEST(GaussSample, ShortKernelReductionIntoABoundResultWritesOnlyItsPart) {
    // A bound result that covers the middle of the reduced grid: the sums
    // start at an output row and column other than the first.
    auto gen = testimg::rng(44);
    auto img = testimg::embedded<U8>(testimg::random<U8>(37, 29, gen), 3, U8{250}, P(-7, 4));
    const auto p = params(P(4, 3), P(3, 2), 1.0, false);
    const auto full = vfGaussSample<U8>(img, p);
    vkPelBuffer<U8> part(vkPelRect(3, 2, 4, 9));
    vfPelSet(part, U8{1});
    part.window(vkPelRect(4, 3, 2, 7));
    vfGaussSample(img, part, p);
    part.setEntire();
    for (std::int32_t y = 2; y < 11; ++y)
        for (std::int32_t x = 3; x < 7; ++x) {
            const bool written = x >= 4 && x < 6 && y >= 3 && y < 10;
            ASSERT_EQ(part.get(P(x, y)), written ? full.get(P(x, y)) : 1) << x << "," << y;
        }
}

namespace {

// Rows handed out from a buffer, with a record of the order they were asked
// for in.
class RecordedRows final : public vk_detail::GaussRowSource {
  public:
    explicit RecordedRows(const vkPelBuffer_const<U8>& b) : b_(b) {}
    const std::uint8_t* row(std::int32_t y) override {
        asked.push_back(y);
        return b_.pointToOffset() + y * b_.rowUpdate();
    }
    std::vector<std::int32_t> asked;

  private:
    vkPelBuffer_const<U8> b_;
};

}  // namespace

TEST(GaussSampleRows, RowsFromASourceGiveTheBufferResultWithItsWindowAndTransforms) {
    auto gen = testimg::rng(45);
    auto img = testimg::embedded<U8>(testimg::random<U8>(45, 33, gen), 2, U8{0}, P(5, -9));
    img.clientFromImageXform(vkXform<2>(1, 0, 0, 2, 30, 40));
    // The direct FIR (its kernels shorter than the factor skip rows), and
    // the running sums, which gather the rows first.
    for (const auto& c :
         {std::pair<P, P>{P(4, 4), P(3, 3)}, {P(2, 6), P(0, 0)}, {P(3, 3), P(20, 9)}}) {
        SCOPED_TRACE(testing::Message() << "f=" << c.first.x() << "," << c.first.y());
        const auto p = params(c.first, c.second, 1.0, true);
        RecordedRows rows(img);
        const auto fromRows = vk_detail::gaussSampleRows(rows, img, p);
        const auto direct = vfGaussSample<U8>(img, p);
        EXPECT_EQ(fromRows.window(), direct.window());
        EXPECT_EQ(fromRows.clientFromImageXform().map(vkVector<2>(1, 1)).y(),
                  direct.clientFromImageXform().map(vkVector<2>(1, 1)).y());
        EXPECT_EQ(pixels<U8>(fromRows), pixels<U8>(direct));
        ASSERT_FALSE(rows.asked.empty());
        EXPECT_TRUE(std::is_sorted(rows.asked.begin(), rows.asked.end()));
        EXPECT_GE(rows.asked.front(), 0);
        EXPECT_LT(rows.asked.back(), 33);
    }
}
