#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using U8 = std::uint8_t;

TEST(PelBuffer, BadSizesWindowsAndUnboundAccessThrowAndChangeNothing) {
    vkPelBuffer<U8> none;
    EXPECT_THROW(none.pointToOffset(), vkPel::UnboundWindow);
    EXPECT_THROW(none.setEntire(), vkPel::UnboundWindow);
    EXPECT_THROW(none.get(P(0, 0)), vkPel::UnboundWindow);
    EXPECT_THROW(vkPelBuffer<U8>(5, 2, 3), vkPelFunc::BadParams);  // alignment not a power of two
    EXPECT_THROW(vkPelBuffer<U8>(-1, 2), vkPel::BadWindow);
    vkPelBuffer<U8> b(vkPelRect(10, 20, 8, 6));
    b.window(vkPelRect(12, 21, 4, 2));
    EXPECT_THROW(b.get(P(16, 21)), vkPel::BadWindow);
    EXPECT_THROW(b.window(vkPelRect(15, 20, 4, 2)), vkPel::BadWindow);
    EXPECT_THROW(b.offset(P(INT32_MAX - 2, 0)), vkPel::BadWindow);
    EXPECT_THROW(b.imageFromClientXformBase(vkXformHandle()), vkBadPointer);
    EXPECT_THROW(b.imageFromClientXform(vkXform<2>::scale(0, 1)), vkPelFunc::BadParams);
    EXPECT_EQ(b.window(), vkPelRect(12, 21, 4, 2));
    EXPECT_EQ(b.imageFromClientXformBase(), vfIdentityXformHandle());
}

TEST(PelBuffer, RowsAreAlignedOrPackedClippedWindowsFitAndCopiesShareStorage) {
    // Positions, offsets and zeroed storage are exercised by every windowed test.
    vkPelBuffer<std::uint16_t> aligned(33, 3, 32);
    EXPECT_TRUE(aligned.rowUpdate() * 2 % 32 == 0 && aligned.rowUpdate() >= 33);
    EXPECT_EQ(vkPelBuffer<U8>(5, 2, 1).rowUpdate(), 5);
    vkPelBuffer<std::uint32_t> b(vkPelRect(10, 20, 10, 5));
    const vkPelBuffer_const<std::uint32_t> view = b;
    b.set(P(13, 24), 0xDEADBEEF);
    b.window(vkPelRect(15, 18, 6, 4), true);
    EXPECT_EQ(b.window(), vkPelRect(15, 20, 5, 2));
    b.setUnbound();
    EXPECT_EQ(view.get(P(13, 24)), 0xDEADBEEFu);
}
