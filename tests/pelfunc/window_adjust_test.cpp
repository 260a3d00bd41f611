#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(AdjustWindow, UnboundBufferGetsExactlyTheRectangle) {
    U8 b;
    vf_AdjustWindow(b, vkPelRect(-3, 7, 5, 2));
    ASSERT_TRUE(b.isBound());
    EXPECT_EQ(b.window(), vkPelRect(-3, 7, 5, 2));
}

TEST(AdjustWindow, LargeEnoughStorageIsReusedFromItsFirstPixelWithTransformsKept) {
    auto gen = testimg::rng(61);
    U8 b = testimg::random<std::uint8_t>(10, 6, gen);
    const std::uint8_t first = b.get(P(0, 0));
    b.window(vkPelRect(5, 4, 2, 2));  // a small window: the storage decides
    b.clientFromImageXform(vkXform<2>::scale(3, 3));
    const auto xform = b.clientFromImageXformBase();
    const void* root = b.root();
    vf_AdjustWindow(b, vkPelRect(100, -50, 10, 6));
    EXPECT_EQ(b.root(), root);
    EXPECT_EQ(b.window(), vkPelRect(100, -50, 10, 6));
    EXPECT_EQ(b.get(P(100, -50)), first);
    EXPECT_EQ(b.clientFromImageXformBase(), xform);
}

TEST(AdjustWindow, StorageOnePixelTooSmallIsReplacedAndSharersKeepTheOld) {
    for (auto [w, h] : {std::pair{11, 6}, std::pair{10, 7}}) {
        auto gen = testimg::rng(62);
        U8 b = testimg::random<std::uint8_t>(10, 6, gen);
        const U8 sharer(b);
        const auto old = pixels<std::uint8_t>(sharer);
        vf_AdjustWindow(b, vkPelRect(0, 0, w, h));
        EXPECT_NE(b.root(), sharer.root());
        EXPECT_EQ(b.window(), vkPelRect(0, 0, w, h));
        EXPECT_EQ(sharer.window(), vkPelRect(0, 0, 10, 6));
        EXPECT_EQ(pixels<std::uint8_t>(sharer), old);
    }
}

TEST(AdjustWindow, RenumberingOutOfRangeThrowsWithTheBufferUnchanged) {
    U8 b(vkPelRect(0, 0, 10, 10));
    b.window(vkPelRect(2, 2, 3, 3));
    // The storage is 10 wide: its first pixel at INT32_MAX - 5 would put its
    // last column beyond the coordinate range.
    EXPECT_THROW(vf_AdjustWindow(b, vkPelRect(INT32_MAX - 5, 0, 4, 4)), vkPel::BadWindow);
    EXPECT_EQ(b.window(), vkPelRect(2, 2, 3, 3));
}

TEST(ExpandByDuplicatingBorderPixels, MatchesClampedReadForSmallSizesAndWindowsInStorage) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 64}) {
        for (std::int32_t h : {1, 2, 4}) {
            const auto seed = static_cast<std::uint32_t>(700 + w * 10 + h);
            auto gen = testimg::rng(seed);
            auto src = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 0, 2, 1,
                                                                  0, 250, P(-2, 9));
            src.clientFromImageXform(vkXform<2>::translation(4, 4));
            const U8 out = vf_ExpandByDuplicatingBorderPixels(src);
            ASSERT_EQ(out.window(), vkPelRect(-3, 8, w + 2, h + 2));
            EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
            for (std::int32_t y = 8; y < 10 + h; ++y)
                for (std::int32_t x = -3; x < w - 1; ++x) {
                    const P nearest(std::clamp(x, -2, w - 3), std::clamp(y, 9, 8 + h));
                    ASSERT_EQ(out.get(P(x, y)), src.get(nearest)) << "seed " << seed << " at " << x << "," << y;
                }
        }
    }
}

TEST(ExpandByDuplicatingBorderPixels, TwoByTwoBecomesFourByFourBlocks) {
    const U8 src = testimg::fromRows<std::uint8_t>(2, 2, {1, 2, 3, 4});
    const U8 out = vf_ExpandByDuplicatingBorderPixels(src);
    EXPECT_EQ(out.window(), vkPelRect(-1, -1, 4, 4));
    EXPECT_EQ(pixels<std::uint8_t>(out), (std::vector<std::uint8_t>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
}

TEST(ExpandByDuplicatingBorderPixels, UnboundOrEmptySourceThrows) {
    EXPECT_THROW(vf_ExpandByDuplicatingBorderPixels(U8()), vkPel::UnboundWindow);
    U8 empty(5, 5);
    empty.window(vkPelRect(2, 2, 3, 0));
    EXPECT_THROW(vf_ExpandByDuplicatingBorderPixels(empty), vkPel::BadWindow);
}
