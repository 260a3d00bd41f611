#include <gtest/gtest.h>
#include <imgnorm/geometry.h>

using P = vkPair<std::int32_t>;

TEST(Rectangle, PixelEdgeConventionHoldsAndNegativeSizesOrOverflowThrow) {
    const vkPelRect r(2, 3, 4, 5), a(0, 0, 10, 10);
    EXPECT_TRUE(r.ur() == P(6, 3) && r.ll() == P(2, 8) && r.contains(P(5, 7)));
    EXPECT_FALSE(r.contains(P(6, 7)) || r.contains(P(2, 8)) || r.contains(vkPelRect(3, 3, 4, 5)));
    EXPECT_EQ(a & vkPelRect(5, -3, 10, 6), vkPelRect(5, 0, 5, 3));
    EXPECT_TRUE((a & vkPelRect(10, 0, 5, 5)).isNull());  // touching edges share no pixel
    EXPECT_EQ(r.trim(-1, -2, -3, -4), vkPelRect(1, 1, 8, 11));
    EXPECT_TRUE(r.trim(2, 0, 2, 0).isNull());
    EXPECT_THROW(vkPelRect(0, 0, -1, 3), vkPel::BadWindow);
    EXPECT_THROW(vkPelRect(INT32_MAX - 2, 0, 5, 1), vkPel::BadWindow);
    EXPECT_THROW(vkPelRect(INT32_MAX - 1, 0, 1, 1).trim(0, 0, -5, 0), vkPel::BadWindow);
    EXPECT_NO_THROW(vkPelRect(INT32_MAX - 5, INT32_MIN, 5, 1));
}
