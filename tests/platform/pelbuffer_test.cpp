#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;

TEST(PelBuffer, DefaultIsUnboundWithEmptyWindow) {
    vkPelBuffer<std::uint8_t> b;
    EXPECT_FALSE(b.isBound());
    EXPECT_TRUE(b.window().isNull());
    EXPECT_THROW(b.pointToOffset(), vkPel::UnboundWindow);
    EXPECT_THROW(b.setEntire(), vkPel::UnboundWindow);
    EXPECT_THROW(b.get(P(0, 0)), vkPel::UnboundWindow);
}

TEST(PelBuffer, NewStorageIsZeroedWithAlignedRows) {
    vkPelBuffer<std::uint16_t> b(33, 3, 32);
    EXPECT_EQ(b.rowUpdate() * 2 % 32, 0);
    EXPECT_GE(b.rowUpdate(), 33);
    for (auto v : testimg::pixels<std::uint16_t>(b)) EXPECT_EQ(v, 0);
    vkPelBuffer<std::uint8_t> tight(5, 2, 1);
    EXPECT_EQ(tight.rowUpdate(), 5);
    EXPECT_THROW(vkPelBuffer<std::uint8_t>(5, 2, 3), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelBuffer<std::uint8_t>(-1, 2), vkPel::BadWindow);
}

TEST(PelBuffer, RectConstructorKeepsPositions) {
    vkPelBuffer<std::uint8_t> b(vkPelRect(10, 20, 4, 3));
    EXPECT_EQ(b.offset(), P(10, 20));
    b.set(P(13, 22), 9);
    EXPECT_EQ(b.get(P(13, 22)), 9);
    EXPECT_EQ(b.pointToOffset()[2 * b.rowUpdate() + 3], 9);
    EXPECT_THROW(b.get(P(14, 22)), vkPel::BadWindow);
}

TEST(PelBuffer, CopiesSharePixelsButNotWindows) {
    vkPelBuffer<std::uint8_t> a(8, 8);
    vkPelBuffer<std::uint8_t> b = a;
    b.window(vkPelRect(2, 2, 3, 3));
    b.set(P(2, 2), 77);
    EXPECT_EQ(a.get(P(2, 2)), 77);
    EXPECT_EQ(a.window(), vkPelRect(0, 0, 8, 8));
    EXPECT_EQ(a.root(), b.root());
    EXPECT_NE(a.root(), vkPelBuffer<std::uint8_t>(8, 8).root());
    vkPelBuffer_const<std::uint8_t> c = b;  // read-only view of the same pixels
    EXPECT_EQ(c.get(P(2, 2)), 77);
    EXPECT_EQ(c.pointToOffset(), b.pointToOffset());
}

TEST(PelBuffer, WindowMustLieInsideStorageUnlessClipped) {
    vkPelBuffer<std::uint8_t> b(8, 6);
    EXPECT_THROW(b.window(vkPelRect(5, 0, 4, 2)), vkPel::BadWindow);
    EXPECT_EQ(b.window(), vkPelRect(0, 0, 8, 6));  // unchanged by the failed call
    b.window(vkPelRect(5, -2, 4, 4), true);
    EXPECT_EQ(b.window(), vkPelRect(5, 0, 3, 2));
    b.setEntire();
    EXPECT_EQ(b.window(), vkPelRect(0, 0, 8, 6));
}

TEST(PelBuffer, OffsetRenumbersPositionsKeepingPixels) {
    vkPelBuffer<std::uint8_t> b(6, 4);
    b.window(vkPelRect(2, 1, 3, 2));
    b.set(P(2, 1), 5);
    const std::uint8_t* first = b.pointToOffset();
    b.offset(P(100, 200));
    EXPECT_EQ(b.window(), vkPelRect(100, 200, 3, 2));
    EXPECT_EQ(b.pointToOffset(), first);
    EXPECT_EQ(b.get(P(100, 200)), 5);
    b.setEntire();  // the storage moved with the window
    EXPECT_EQ(b.window(), vkPelRect(98, 199, 6, 4));
    EXPECT_EQ(b.pointToPel(P(98, 199)), b.pointToOffset());
    EXPECT_THROW(b.offset(P(INT32_MAX - 2, 0)), vkPel::BadWindow);
}

TEST(PelBuffer, RowUpdateStepsBetweenRowsOfTheWindow) {
    vkPelBuffer<std::uint32_t> b(10, 5);
    b.set(P(3, 4), 0xDEADBEEF);
    b.window(vkPelRect(2, 3, 4, 2));
    EXPECT_EQ(b.pointToOffset()[1 * b.rowUpdate() + 1], 0xDEADBEEFu);
}

TEST(PelBuffer, TransformsAreSharedHandlesKeptInverse) {
    vkPelBuffer<std::uint8_t> a(4, 4);
    EXPECT_EQ(a.imageFromClientXformBase(), vfIdentityXformHandle());
    a.clientFromImageXform(vkXform<2>::translation(10, 20) * vkXform<2>::scale(2, 2));
    const vkVector<2> c = a.clientFromImageXform().map({1, 1});
    EXPECT_EQ(c, vkVector<2>(12, 22));
    const vkVector<2> back = a.imageFromClientXform().map(c);
    EXPECT_NEAR(back.x(), 1, 1e-12);
    EXPECT_NEAR(back.y(), 1, 1e-12);

    vkPelBuffer<std::uint16_t> b(2, 2);
    b.copyXforms(a);
    EXPECT_EQ(b.clientFromImageXformBase(), a.clientFromImageXformBase());  // same handle
    EXPECT_THROW(b.imageFromClientXformBase(vkXformHandle()), vkBadPointer);
    EXPECT_THROW(b.imageFromClientXform(vkXform<2>::scale(0, 1)), vkPelFunc::BadParams);
    EXPECT_EQ(b.clientFromImageXformBase(), a.clientFromImageXformBase());
}

TEST(PelBuffer, SetUnboundReleasesOnlyThisHandle) {
    vkPelBuffer<std::uint8_t> a(3, 3);
    a.set(P(1, 1), 4);
    vkPelBuffer<std::uint8_t> b = a;
    a.setUnbound();
    EXPECT_FALSE(a.isBound());
    EXPECT_EQ(b.get(P(1, 1)), 4);
}

TEST(PelBuffer, EmptyWindowIsAllowedAndNeverDereferenced) {
    vkPelBuffer<std::uint8_t> a(vkPelRect(0, 0, 0, 0));
    EXPECT_TRUE(a.isBound());
    EXPECT_TRUE(a.window().isNull());
    vkPelBuffer<std::uint8_t> b(4, 4);
    b.window(vkPelRect(4, 4, 0, 0));
    EXPECT_EQ(b.width(), 0);
}
