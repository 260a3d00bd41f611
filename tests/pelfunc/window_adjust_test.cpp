#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(AdjustWindow, StorageIsReusedFromItsFirstPixelOnlyWhenLargeEnough) {
    // 10 x 6 storage for rectangles fitting exactly, with room, or not by one.
    for (const vkPelRect& rect : {vkPelRect(100, -50, 10, 6), vkPelRect(-3, 7, 5, 2), vkPelRect(0, 0, 11, 6),
                                  vkPelRect(0, 0, 10, 7)}) {
        const bool fits = rect.width() <= 10 && rect.height() <= 6;
        auto gen = testimg::rng(61);
        U8 b = testimg::random<std::uint8_t>(10, 6, gen);
        const U8 sharer(b);
        const auto old = testimg::pixels<std::uint8_t>(sharer);
        b.window(vkPelRect(5, 4, 2, 2));
        b.clientFromImageXform(vkXform<2>::scale(3, 3));
        vf_AdjustWindow(b, rect);
        ASSERT_EQ(b.window(), rect);
        EXPECT_EQ(b.root() == sharer.root(), fits) << rect.width() << "x" << rect.height();
        EXPECT_EQ(testimg::pixels<std::uint8_t>(sharer), old);  // neither cleared nor written
        EXPECT_EQ(b.get(rect.ul()), fits ? old[0] : 0);  // renumbered from the first pixel, or new and zeroed
        if (fits) {
            EXPECT_EQ(*b.clientFromImageXformBase(), vkXform<2>::scale(3, 3));
        }
    }
    U8 unbound;
    vf_AdjustWindow(unbound, vkPelRect(-3, 7, 5, 2));
    EXPECT_EQ(unbound.window(), vkPelRect(-3, 7, 5, 2));
}

TEST(AdjustWindow, RenumberingOutOfRangeThrowsWithTheBufferUnchanged) {
    U8 b(vkPelRect(0, 0, 10, 10));
    b.window(vkPelRect(2, 2, 3, 3));
    // The 10-wide storage from INT32_MAX - 5 would end beyond the range.
    EXPECT_THROW(vf_AdjustWindow(b, vkPelRect(INT32_MAX - 5, 0, 4, 4)), vkPel::BadWindow);
    EXPECT_EQ(b.window(), vkPelRect(2, 2, 3, 3));
}

TEST(ExpandByDuplicatingBorderPixels, CopiesTheWindowNotItsStorageAndRepeatsItsEdgePixels) {
    auto src = testimg::embedded<std::uint8_t>(testimg::fromRows<std::uint8_t>(2, 2, {1, 2, 3, 4}), 1, 250, P(-2, 9));
    src.clientFromImageXform(vkXform<2>::translation(4, 4));
    const U8 out = vf_ExpandByDuplicatingBorderPixels(src);
    EXPECT_EQ(out.window(), vkPelRect(-3, 8, 4, 4));
    EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(out), (std::vector<std::uint8_t>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
    U8 empty(5, 5);
    empty.window(vkPelRect(2, 2, 3, 0));
    EXPECT_THROW(vf_ExpandByDuplicatingBorderPixels(U8()), vkPel::UnboundWindow);
    EXPECT_THROW(vf_ExpandByDuplicatingBorderPixels(empty), vkPel::BadWindow);
}
