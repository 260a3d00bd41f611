#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(AdjustWindow, StorageIsReusedFromItsFirstPixelOnlyWhenLargeEnough) {
    // 10 x 6 storage with a small window, for rectangles that fit exactly,
    // with room, or are one pixel too wide or too tall; and no storage at all.
    const struct {
        vkPelRect rect;
        bool bound, reused;
    } cases[] = {{vkPelRect(100, -50, 10, 6), true, true},
                 {vkPelRect(-3, 7, 5, 2), true, true},
                 {vkPelRect(0, 0, 11, 6), true, false},
                 {vkPelRect(0, 0, 10, 7), true, false},
                 {vkPelRect(-3, 7, 5, 2), false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rect.width()) + "x" + std::to_string(c.rect.height()) + (c.bound ? "" : " unbound"));
        auto gen = testimg::rng(61);
        U8 b = c.bound ? testimg::random<std::uint8_t>(10, 6, gen) : U8();
        const U8 sharer(b);
        const auto old = c.bound ? testimg::pixels<std::uint8_t>(sharer) : std::vector<std::uint8_t>();
        if (c.bound) {
            b.window(vkPelRect(5, 4, 2, 2));
            b.clientFromImageXform(vkXform<2>::scale(3, 3));
        }
        vf_AdjustWindow(b, c.rect);
        ASSERT_EQ(b.window(), c.rect);
        EXPECT_EQ(b.root() == sharer.root(), c.reused);
        if (c.reused) {
            EXPECT_EQ(b.get(c.rect.ul()), old[0]);
            EXPECT_EQ(*b.clientFromImageXformBase(), vkXform<2>::scale(3, 3));
        } else if (c.bound) {  // the old storage is left as it was to its other users
            EXPECT_EQ(sharer.window(), vkPelRect(0, 0, 10, 6));
            EXPECT_EQ(testimg::pixels<std::uint8_t>(sharer), old);
        }
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
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 64})
        for (std::int32_t h : {1, 2, 4}) {
            const auto seed = static_cast<std::uint32_t>(700 + w * 10 + h);
            SCOPED_TRACE(testimg::trace(w, h, seed));
            auto gen = testimg::rng(seed);
            auto src = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 0, 2, 1, 0,
                                                                  250, P(-2, 9));
            src.clientFromImageXform(vkXform<2>::translation(4, 4));
            const U8 out = vf_ExpandByDuplicatingBorderPixels(src);
            ASSERT_EQ(out.window(), vkPelRect(-3, 8, w + 2, h + 2));
            EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
            for (std::int32_t y = 8; y < 10 + h; ++y)
                for (std::int32_t x = -3; x < w - 1; ++x)
                    ASSERT_EQ(out.get(P(x, y)), src.get(P(std::clamp(x, -2, w - 3), std::clamp(y, 9, 8 + h))))
                        << x << "," << y;
        }
    U8 empty(5, 5);
    empty.window(vkPelRect(2, 2, 3, 0));
    EXPECT_THROW(vf_ExpandByDuplicatingBorderPixels(U8()), vkPel::UnboundWindow);
    EXPECT_THROW(vf_ExpandByDuplicatingBorderPixels(empty), vkPel::BadWindow);
}
