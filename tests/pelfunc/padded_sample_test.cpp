#include <gtest/gtest.h>

#include <algorithm>

#include "pelfunc/border.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(DuplicateBorderPixels, EveryRingPixelTakesTheNearestInteriorPixelAndNothingOutsideTheWindowChanges) {
    for (int border : {0, 1, 2, 3})
        for (std::int32_t iw : {1, 2, 5, 9}) {
            const auto seed = static_cast<std::uint32_t>(border * 100 + iw);
            auto gen = testimg::rng(seed);
            const std::int32_t w = iw + 2 * border, h = 3 + 2 * border;
            const auto content = testimg::random<std::uint8_t>(w, h, gen);
            auto b = testimg::embeddedWithMargins<std::uint8_t>(content, 1, 0, 2, 3, 123, P(-4, 7));
            const auto before = testimg::storagePixels<std::uint8_t>(b);
            vk_detail::duplicateBorderPixels(b, border);
            const auto nearest = [&](P p, auto) {
                return content.get(P(std::clamp(p.x() + 4, border, w - border - 1), std::clamp(p.y() - 7, border, h - border - 1)));
            };
            EXPECT_EQ(testimg::windowMismatch(before, b, nearest), "") << "seed " << seed;
        }
    U8 b(5, 4);  // a border that leaves no interior, and a negative one
    vfPelSet(b, std::uint8_t{6});
    EXPECT_THROW(vk_detail::duplicateBorderPixels(b, 2), vkAssertionFailure);
    EXPECT_THROW(vk_detail::duplicateBorderPixels(b, -1), vkAssertionFailure);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(b), std::vector<std::uint8_t>(20, 6));
}

TEST(PaddedAffineSample, WindowInStorageSamplesLikeClampedSamplingOfItsCroppedCopy) {
    // 255 around the window: the padding must repeat the window's own edge.
    auto gen = testimg::rng(32);
    auto src = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(10, 10, gen), 0, 3, 5, 0,
                                                          255, P(-5, 6));
    src.clientFromImageXform(vkXform<2>(2, 0, 0, 3, 7, -1));
    const U8 cropped = testimg::crop<std::uint8_t>(src, src.window());
    const vkXform<2>& c = src.clientFromImageXform();
    const vkAffineRectangle rect(c.map(vkVector<2>(-5, 6)), c.map(vkVector<2>(5, 6)), c.map(vkVector<2>(-5, 16)));
    for (bool cubic : {false, true})
        for (auto [w, h] : {std::pair{37, 41}, std::pair{40, 10}, std::pair{3, 2}, std::pair{1, 1}}) {
            const auto mode = cubic ? vkAffineSamplingParams::eBicubic : vkAffineSamplingParams::eBilinear;
            const U8 direct = vfAffineTransformImage(cropped, vkAffineSamplingParams(rect, w, h, mode));
            const U8 padded = vf_PaddedAffineSample(src, w, h, cubic);
            EXPECT_EQ(testimg::pixels<std::uint8_t>(padded), testimg::pixels<std::uint8_t>(direct)) << w << "x" << h;
            EXPECT_EQ(padded.window(), vkPelRect(0, 0, w, h));
            EXPECT_EQ(padded.clientFromImageXform(), rect.clientFromGrid(w, h));
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
