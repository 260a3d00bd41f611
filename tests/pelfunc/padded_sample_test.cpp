#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "pelfunc/border.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;

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
                    const P nearest(std::clamp(x, border, border + iw - 1) - 4, std::clamp(y, border, border + 2) + 7);
                    ASSERT_EQ(b.get(P(x - 4, y + 7)), old.get(nearest)) << "seed " << seed << " at " << x << "," << y;
                }
            EXPECT_EQ(testimg::changedOutsideWindow(before, b), 0u) << "seed " << seed;
        }
    }
}

TEST(DuplicateBorderPixels, BorderLeavingNoInteriorIsRejectedBeforeWriting) {
    U8 b(5, 4), unbound;
    vfPelSet(b, std::uint8_t{6});
    EXPECT_THROW(vk_detail::duplicateBorderPixels(b, 2), vkAssertionFailure);
    EXPECT_THROW(vk_detail::duplicateBorderPixels(b, -1), vkAssertionFailure);
    EXPECT_THROW(vk_detail::duplicateBorderPixels(unbound, 0), vkAssertionFailure);
    EXPECT_EQ(pixels<std::uint8_t>(b), std::vector<std::uint8_t>(20, 6));
}

TEST(PaddedAffineSample, UpsamplingReproducesARampAwayFromTheDuplicatedBorder) {
    // value 10 + 19 x, upsampled by g: output i lies at reduced index
    // u = (i + 0.5) / g - 0.5. Bilinear is exact on a ramp except within half
    // a reduced pixel of either border, where the duplicated pixels flatten
    // it; the cubic's outer taps reach the duplicates within 1.5 pixels.
    const std::int32_t n = 12;
    U8 src(n, 3);
    for (std::int32_t y = 0; y < 3; ++y)
        for (std::int32_t x = 0; x < n; ++x) src.set(P(x, y), static_cast<std::uint8_t>(10 + 19 * x));
    for (bool cubic : {false, true}) {
        for (std::int32_t g : {2, 3, 4}) {
            const U8 up = vf_PaddedAffineSample(src, n * g, 3 * g, cubic);
            for (std::int32_t i = 0; i < n * g; ++i) {
                const double u = (i + 0.5) / g - 0.5;
                if (cubic && (u < 1 || u > n - 2)) continue;
                const double ideal = 10 + 19 * std::clamp(u, 0.0, n - 1.0);
                for (std::int32_t k = 0; k < 3 * g; ++k)
                    ASSERT_LE(std::abs(up.get(P(i, k)) - ideal), 0.5 + 1e-9)
                        << "factor " << g << (cubic ? " bicubic" : " bilinear") << " at " << i;
            }
        }
    }
}

TEST(PaddedAffineSample, ConstantImageStaysExactlyConstantForAnySize) {
    for (bool cubic : {false, true}) {
        for (std::uint8_t c : {0, 1, 128, 254, 255}) {
            U8 src = testimg::embedded<std::uint8_t>(U8(7, 5), 2, static_cast<std::uint8_t>(255 - c), P(3, -2));
            vfPelSet(src, c);
            const std::pair<std::int32_t, std::int32_t> sizes[] = {{28, 20}, {21, 15}, {7, 5}, {3, 2}, {1, 1}};
            for (auto [w, h] : sizes)
                EXPECT_EQ(pixels<std::uint8_t>(vf_PaddedAffineSample(src, w, h, cubic)),
                          std::vector<std::uint8_t>(static_cast<std::size_t>(w * h), c))
                    << "value " << int(c) << " size " << w << "x" << h << (cubic ? " bicubic" : " bilinear");
        }
    }
}

TEST(PaddedAffineSample, BlockAveragesOfTheUpsampledImageGiveTheSourceBack) {
    // A plane: a shift of the samples against the source would show as
    // slope x shift in every block.
    const std::int32_t w = 9, h = 7;
    U8 src(w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) src.set(P(x, y), static_cast<std::uint8_t>(20 + 8 * x + 12 * y));
    for (std::int32_t g : {2, 3, 4}) {
        const U8 up = vf_PaddedAffineSample(src, w * g, h * g, false);
        for (std::int32_t y = 1; y + 1 < h; ++y)
            for (std::int32_t x = 1; x + 1 < w; ++x) {
                int sum = 0;
                for (std::int32_t j = 0; j < g; ++j)
                    for (std::int32_t i = 0; i < g; ++i) sum += up.get(P(x * g + i, y * g + j));
                EXPECT_LE(std::abs(static_cast<double>(sum) / (g * g) - src.get(P(x, y))), 0.5)
                    << "factor " << g << " block " << x << "," << y;
            }
    }
}

TEST(PaddedAffineSample, WindowInStorageSamplesLikeClampedSamplingOfItsCroppedCopy) {
    auto gen = testimg::rng(32);
    // The storage around the window is 255: the padding must repeat the
    // window's own edge, exactly as clamped sampling of the window does.
    auto src = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(10, 10, gen), 0, 3, 5, 0,
                                                          255, P(-5, 6));
    src.clientFromImageXform(vkXform<2>(2, 0, 0, 3, 7, -1));
    const U8 cropped = testimg::crop<std::uint8_t>(src, src.window());
    const vkXform<2>& c = src.clientFromImageXform();
    const vkAffineRectangle rect(c.map(vkVector<2>(-5, 6)), c.map(vkVector<2>(5, 6)), c.map(vkVector<2>(-5, 16)));
    for (bool cubic : {false, true}) {
        const auto mode = cubic ? vkAffineSamplingParams::eBicubic : vkAffineSamplingParams::eBilinear;
        const U8 direct = vfAffineTransformImage(cropped, vkAffineSamplingParams(rect, 37, 41, mode));
        const U8 padded = vf_PaddedAffineSample(src, 37, 41, cubic);
        EXPECT_EQ(pixels<std::uint8_t>(padded), pixels<std::uint8_t>(direct));
        EXPECT_EQ(padded.window(), vkPelRect(0, 0, 37, 41));
        EXPECT_EQ(padded.clientFromImageXform(), rect.clientFromGrid(37, 41));
    }
}

TEST(PaddedAffineSample, BadSizesAndMissingPixelsThrow) {
    U8 src(4, 4), empty(4, 4);
    empty.window(vkPelRect(1, 1, 0, 3));
    EXPECT_THROW(vf_PaddedAffineSample(src, 0, 4, false), vkPelFunc::BadParams);
    EXPECT_THROW(vf_PaddedAffineSample(src, 4, 32768, true), vkPelFunc::BadParams);
    EXPECT_THROW(vf_PaddedAffineSample(U8(), 4, 4, false), vkPel::UnboundWindow);
    EXPECT_THROW(vf_PaddedAffineSample(empty, 4, 4, false), vkPel::BadWindow);
}
