#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "pelfunc/border.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(DuplicateBorderPixels, SixBySixWithBorderTwoRepeatsTheTwoByTwoInterior) {
    U8 b(6, 6);
    vfPelSet(b, std::uint8_t{99});
    b.set(P(2, 2), 1);
    b.set(P(3, 2), 2);
    b.set(P(2, 3), 3);
    b.set(P(3, 3), 4);
    vk_detail::duplicateBorderPixels(b, 2);
    const std::vector<std::uint8_t> want{1, 1, 1, 2, 2, 2,  //
                                         1, 1, 1, 2, 2, 2,  //
                                         1, 1, 1, 2, 2, 2,  //
                                         3, 3, 3, 4, 4, 4,  //
                                         3, 3, 3, 4, 4, 4,  //
                                         3, 3, 3, 4, 4, 4};
    EXPECT_EQ(pixels<std::uint8_t>(b), want);
}

TEST(DuplicateBorderPixels, EveryRingPixelTakesTheNearestInteriorPixelAndNothingOutsideTheWindowChanges) {
    for (int border : {0, 1, 2, 3}) {
        for (std::int32_t iw : {1, 2, 5, 9}) {
            const auto seed = static_cast<std::uint32_t>(border * 100 + iw);
            auto gen = testimg::rng(seed);
            const std::int32_t w = iw + 2 * border, h = 3 + 2 * border;
            auto b = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 1, 0, 2, 3,
                                                                123, P(-4, 7));
            const auto before = testimg::storagePixels<std::uint8_t>(b);
            const auto old = testimg::crop<std::uint8_t>(b, b.window());
            vk_detail::duplicateBorderPixels(b, border);
            for (std::int32_t y = 0; y < h; ++y)
                for (std::int32_t x = 0; x < w; ++x) {
                    const std::int32_t sx = std::clamp(x, border, border + iw - 1);
                    const std::int32_t sy = std::clamp(y, border, border + 2);
                    ASSERT_EQ(b.get(P(x - 4, y + 7)), old.get(P(sx - 4, sy + 7)))
                        << "seed " << seed << " at " << x << "," << y;
                }
            EXPECT_EQ(testimg::changedOutsideWindow(before, b), 0u) << "seed " << seed;
        }
    }
}

TEST(DuplicateBorderPixels, BorderLeavingNoInteriorIsRejectedBeforeWriting) {
    U8 b(5, 4);
    vfPelSet(b, std::uint8_t{6});
    EXPECT_THROW(vk_detail::duplicateBorderPixels(b, 2), vkAssertionFailure);
    EXPECT_THROW(vk_detail::duplicateBorderPixels(b, -1), vkAssertionFailure);
    U8 unbound;
    EXPECT_THROW(vk_detail::duplicateBorderPixels(unbound, 0), vkAssertionFailure);
    EXPECT_EQ(pixels<std::uint8_t>(b), std::vector<std::uint8_t>(20, 6));
}

namespace {

// value(x) = 10 + slope * x in every row (a horizontal ramp), or the same
// along y when vertical.
U8 ramp(std::int32_t w, std::int32_t h, int slope, bool vertical) {
    U8 b(w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) b.set(P(x, y), static_cast<std::uint8_t>(10 + slope * (vertical ? y : x)));
    return b;
}

}  // namespace

TEST(PaddedAffineSample, BilinearUpsamplingReproducesARampAwayFromTheOuterHalfPixel) {
    for (std::int32_t g : {2, 3, 4}) {
        for (bool vertical : {false, true}) {
            const std::int32_t n = 12, slope = 19;
            const U8 src = vertical ? ramp(5, n, slope, true) : ramp(n, 5, slope, false);
            const U8 up = vertical ? vf_PaddedAffineSample(src, 5 * g, n * g, false)
                                   : vf_PaddedAffineSample(src, n * g, 5 * g, false);
            for (std::int32_t i = 0; i < n * g; ++i) {
                // Output i lies at reduced index (i + 0.5) / g - 0.5; within half a
                // reduced pixel of either border the duplicated pixels flatten it.
                const double u = (i + 0.5) / g - 0.5;
                const double ideal = 10 + slope * std::clamp(u, 0.0, n - 1.0);
                for (std::int32_t k = 0; k < 5 * g; ++k) {
                    const auto got = vertical ? up.get(P(k, i)) : up.get(P(i, k));
                    ASSERT_LE(std::abs(got - ideal), 0.5 + 1e-9) << "factor " << g << " at " << i;
                }
            }
        }
    }
}

TEST(PaddedAffineSample, BicubicUpsamplingReproducesARampAwayFromTheBorders) {
    const std::int32_t n = 12, slope = 17, g = 4;
    const U8 src = ramp(n, 3, slope, false);
    const U8 up = vf_PaddedAffineSample(src, n * g, 3 * g, true);
    for (std::int32_t i = 0; i < n * g; ++i) {
        const double u = (i + 0.5) / g - 0.5;
        if (u < 1 || u > n - 2) continue;  // the cubic's outer taps reach duplicated pixels
        for (std::int32_t k = 0; k < 3 * g; ++k)
            ASSERT_LE(std::abs(up.get(P(i, k)) - (10 + slope * u)), 0.5 + 1e-9) << "at " << i;
    }
}

TEST(PaddedAffineSample, ConstantImageStaysExactlyConstantForAnySize) {
    for (bool cubic : {false, true}) {
        for (std::uint8_t c : {0, 1, 128, 254, 255}) {
            U8 src = testimg::embedded<std::uint8_t>(U8(7, 5), 2, static_cast<std::uint8_t>(255 - c), P(3, -2));
            vfPelSet(src, c);
            const std::pair<std::int32_t, std::int32_t> sizes[] = {{28, 20}, {21, 15}, {7, 5}, {3, 2}, {1, 1}, {50, 3}};
            for (auto [w, h] : sizes) {
                const U8 out = vf_PaddedAffineSample(src, w, h, cubic);
                ASSERT_EQ(out.width(), w);
                ASSERT_EQ(out.height(), h);
                EXPECT_EQ(pixels<std::uint8_t>(out), std::vector<std::uint8_t>(static_cast<std::size_t>(w * h), c))
                    << "value " << int(c) << " size " << w << "x" << h << (cubic ? " bicubic" : " bilinear");
            }
        }
    }
}

TEST(PaddedAffineSample, BlockAveragesOfTheUpsampledImageGiveTheSourceBack) {
    // A smooth plane: any shift of the samples against the source would show
    // as a difference of slope x shift in every block.
    for (std::int32_t g : {2, 3, 4}) {
        const std::int32_t w = 9, h = 7;
        U8 src(w, h);
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x) src.set(P(x, y), static_cast<std::uint8_t>(20 + 8 * x + 12 * y));
        const U8 up = vf_PaddedAffineSample(src, w * g, h * g, false);
        for (std::int32_t y = 1; y + 1 < h; ++y)
            for (std::int32_t x = 1; x + 1 < w; ++x) {
                int sum = 0;
                for (std::int32_t j = 0; j < g; ++j)
                    for (std::int32_t i = 0; i < g; ++i) sum += up.get(P(x * g + i, y * g + j));
                const double mean = static_cast<double>(sum) / (g * g);
                EXPECT_LE(std::abs(mean - src.get(P(x, y))), 0.5) << "factor " << g << " block " << x << "," << y;
            }
    }
}

TEST(PaddedAffineSample, WindowInsideLargerStorageSamplesLikeItsCroppedCopy) {
    auto gen = testimg::rng(31);
    const auto content = testimg::random<std::uint8_t>(11, 6, gen);
    // Storage pixels around the window differ wildly from the window's edge;
    // the padding must repeat the window's own edge, not read them.
    auto inside = testimg::embeddedWithMargins<std::uint8_t>(content, 0, 3, 5, 0, 255, P(40, 13));
    auto cropped = testimg::crop<std::uint8_t>(inside, inside.window());
    for (bool cubic : {false, true}) {
        const U8 a = vf_PaddedAffineSample(inside, 37, 19, cubic);
        const U8 b = vf_PaddedAffineSample(cropped, 37, 19, cubic);
        EXPECT_EQ(pixels<std::uint8_t>(a), pixels<std::uint8_t>(b));
    }
}

TEST(PaddedAffineSample, EqualsClampedSamplingOfTheWindowRectangle) {
    // The duplicated border is exactly what a sample outside the window would
    // read from the nearest window pixel.
    auto gen = testimg::rng(32);
    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(10, 10, gen), 4, 0, P(-5, 6));
    src.clientFromImageXform(vkXform<2>(2, 0, 0, 3, 7, -1));
    const vkXform<2>& c = src.clientFromImageXform();
    const vkAffineRectangle rect(c.map(vkVector<2>(-5, 6)), c.map(vkVector<2>(5, 6)), c.map(vkVector<2>(-5, 16)));
    for (bool cubic : {false, true}) {
        const auto mode = cubic ? vkAffineSamplingParams::eBicubic : vkAffineSamplingParams::eBilinear;
        const U8 direct = vfAffineTransformImage(src, vkAffineSamplingParams(rect, 40, 40, mode));
        const U8 padded = vf_PaddedAffineSample(src, 40, 40, cubic);
        EXPECT_EQ(pixels<std::uint8_t>(padded), pixels<std::uint8_t>(direct));
        EXPECT_EQ(padded.clientFromImageXform(), direct.clientFromImageXform());
        // The result covers the same client area as the source's window.
        const vkVector<2> far = padded.clientFromImageXform().map(vkVector<2>(40, 40));
        EXPECT_NEAR(far.x(), c.map(vkVector<2>(5, 16)).x(), 1e-9);
        EXPECT_NEAR(far.y(), c.map(vkVector<2>(5, 16)).y(), 1e-9);
    }
}

TEST(PaddedAffineSample, BadSizesAndMissingPixelsThrow) {
    U8 src(4, 4);
    EXPECT_THROW(vf_PaddedAffineSample(src, 0, 4, false), vkPelFunc::BadParams);
    EXPECT_THROW(vf_PaddedAffineSample(src, 4, 32768, true), vkPelFunc::BadParams);
    EXPECT_THROW(vf_PaddedAffineSample(U8(), 4, 4, false), vkPel::UnboundWindow);
    U8 empty(src);
    empty.window(vkPelRect(1, 1, 0, 3));
    EXPECT_THROW(vf_PaddedAffineSample(empty, 4, 4, false), vkPel::BadWindow);
}
