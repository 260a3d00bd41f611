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

TEST(PelBuffer, ViewsShareTheCallersPixelsAndKeepTheirOwnerAlive) {
    // A 5 x 3 image inside caller memory whose rows are 8 pixels apart.
    auto pixels = std::make_shared<std::vector<std::uint16_t>>(24, 7);
    std::weak_ptr<std::vector<std::uint16_t>> alive = pixels;
    std::uint16_t* data = pixels->data() + 1;
    vkPelBuffer_const<std::uint16_t> copy;
    {
        vkPelBuffer<std::uint16_t> view(data, 5, 3, 16, std::move(pixels));
        EXPECT_EQ(view.window(), vkPelRect(0, 0, 5, 3));
        EXPECT_EQ(view.rowUpdate(), 8);
        view.set(P(4, 2), 9);
        EXPECT_EQ(data[2 * 8 + 4], 9);
        copy = vfPelCopy<std::uint16_t>(view);  // a library function reads it through its row step
        view.window(vkPelRect(1, 1, 2, 2));
        copy = view;
    }
    EXPECT_FALSE(alive.expired());
    EXPECT_EQ(copy.get(P(1, 1)), 7);
    copy.setUnbound();
    EXPECT_TRUE(alive.expired());

    const U8 bytes[8] = {};
    struct Case {
        const U8* data;
        std::int32_t width, height;
        std::ptrdiff_t step;
    };
    for (const Case& c : {Case{nullptr, 1, 1, 1}, Case{bytes, -1, 1, 1}, Case{bytes, 1, -1, 1},
                          Case{bytes, 4, 2, 3}, Case{bytes, 2, 2, -2}})
        EXPECT_THROW(vkPelBuffer_const<U8>(c.data, c.width, c.height, c.step, nullptr),
                     vkPelFunc::BadParams);
    std::uint16_t one = 5;
    EXPECT_THROW(vkPelBuffer_const<std::uint16_t>(&one, 1, 1, 3, nullptr), vkPelFunc::BadParams);
}
