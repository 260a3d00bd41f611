#include <gtest/gtest.h>
#include <imgnorm/geometry.h>

TEST(Rectangle, CornersFollowThePixelEdgeConvention) {
    vkPelRect r(2, 3, 4, 5);
    EXPECT_EQ(r.ul(), vkPair<std::int32_t>(2, 3));
    EXPECT_EQ(r.ur(), vkPair<std::int32_t>(6, 3));
    EXPECT_EQ(r.ll(), vkPair<std::int32_t>(2, 8));
    EXPECT_EQ(r.lr(), vkPair<std::int32_t>(6, 8));
    EXPECT_TRUE(r.contains(vkPair<std::int32_t>(5, 7)));
    EXPECT_FALSE(r.contains(vkPair<std::int32_t>(6, 7)));
    EXPECT_FALSE(r.contains(vkPair<std::int32_t>(1, 3)));
}

TEST(Rectangle, IntersectionOfOverlappingAndDisjointRectangles) {
    vkPelRect a(0, 0, 10, 10), b(5, -3, 10, 6);
    EXPECT_EQ(a & b, vkPelRect(5, 0, 5, 3));
    EXPECT_EQ(b & a, vkPelRect(5, 0, 5, 3));
    EXPECT_TRUE((a & vkPelRect(10, 0, 5, 5)).isNull());  // touching edges share no pixel
    EXPECT_TRUE((a & vkPelRect(3, 3, 0, 5)).isNull());
    vkPelRect c = a;
    c &= vkPelRect(-5, -5, 7, 7);
    EXPECT_EQ(c, vkPelRect(0, 0, 2, 2));
}

TEST(Rectangle, TrimShrinksAndNegativeMarginsGrow) {
    vkPelRect r(10, 20, 6, 4);
    EXPECT_EQ(r.trim(-1, -2, -3, -4), vkPelRect(9, 18, 10, 10));
    EXPECT_EQ(r.trim(1, 1, 1, 1), vkPelRect(11, 21, 4, 2));
    EXPECT_TRUE(r.trim(4, 0, 4, 0).isNull());
}

TEST(Rectangle, RejectsNegativeSizesAndCoordinateOverflow) {
    EXPECT_THROW(vkPelRect(0, 0, -1, 3), vkPel::BadWindow);
    EXPECT_THROW(vkPelRect(INT32_MAX - 2, 0, 5, 1), vkPel::BadWindow);
    EXPECT_THROW(vkPelRect(INT32_MAX - 1, 0, 1, 1).trim(0, 0, -5, 0), vkPel::BadWindow);
    EXPECT_NO_THROW(vkPelRect(INT32_MAX - 5, INT32_MIN, 5, 1));
}

TEST(Rectangle, ContainsRectangle) {
    vkPelRect r(0, 0, 10, 10);
    EXPECT_TRUE(r.contains(vkPelRect(0, 0, 10, 10)));
    EXPECT_FALSE(r.contains(vkPelRect(1, 0, 10, 10)));
    EXPECT_TRUE(r.contains(vkPelRect(50, 50, 0, 0)));
}

TEST(Angle, DegreesAndRadiansConvert) {
    EXPECT_DOUBLE_EQ(vkRadian(vkDegree(180.0)).toDouble(), vkDegree::kPi);
    EXPECT_DOUBLE_EQ(vkDegree(vkRadian(vkDegree::kPi / 2)).toDouble(), 90.0);
    EXPECT_DOUBLE_EQ((vkDegree(30.0) + vkDegree(90.0)).toDouble(), 120.0);
}

TEST(Pair, ArithmeticAndComparison) {
    vkPair<std::int32_t> a(3, -4), b(1, 2);
    EXPECT_EQ(a + b, vkPair<std::int32_t>(4, -2));
    EXPECT_EQ(a - b, vkPair<std::int32_t>(2, -6));
    EXPECT_NE(a, b);
    vkVector<2> v(a);
    EXPECT_DOUBLE_EQ(v.length(), 5.0);
}
