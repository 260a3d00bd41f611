#include <gtest/gtest.h>

#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;

namespace {

// OR or AND of the pixel and those of its four edge neighbours that lie in
// rect, read through the checked accessor.
std::uint8_t referenceMorph(const vkPelBuffer_const<std::uint8_t>& s, const vkPelRect& rect, P p, bool dilate) {
    std::uint8_t v = s.get(p);
    for (P d : {P(-1, 0), P(1, 0), P(0, -1), P(0, 1)}) {
        const P q = p + d;
        if (!rect.contains(q)) continue;
        v = static_cast<std::uint8_t>(dilate ? (v | s.get(q)) : (v & s.get(q)));
    }
    return v;
}

}  // namespace

TEST(BinaryMorph3x3Diamond, MatchesNaiveNeighbourhoodForAllSmallShapes) {
    for (bool dilate : {true, false}) {
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
            for (std::int32_t h : {1, 2, 3, 5}) {
                const auto seed = static_cast<std::uint32_t>(w * 10 + h + (dilate ? 1000 : 0));
                auto gen = testimg::rng(seed);
                // Arbitrary bytes: a wrong neighbour shows in some bit. The storage
                // around the window is 0xFF (dilation) or 0x00 (erosion) so that a
                // read outside the window would change the result.
                const std::uint8_t fill = dilate ? 0xFF : 0x00;
                auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 2, fill, P(-1, 5));
                U8 dst;
                vfBinaryMorph3x3Diamond(src, dilate, dst);
                ASSERT_EQ(dst.window(), src.window());
                for (std::int32_t y = 0; y < h; ++y)
                    for (std::int32_t x = 0; x < w; ++x) {
                        const P p(x - 1, y + 5);
                        ASSERT_EQ(dst.get(p), referenceMorph(src, src.window(), p, dilate))
                            << "seed " << seed << " size " << w << "x" << h << " at " << x << "," << y;
                    }
            }
        }
    }
}

TEST(BinaryMorph3x3Diamond, SmallerDestinationIgnoresSourcePixelsOutsideTheCommonRectangle) {
    auto gen = testimg::rng(51);
    auto src = testimg::random<std::uint8_t>(12, 9, gen);
    for (bool dilate : {true, false}) {
        auto dst = testimg::embedded<std::uint8_t>(U8(5, 4), 3, 0x5A, P(4, 3));
        const auto before = testimg::storagePixels<std::uint8_t>(dst);
        vfBinaryMorph3x3Diamond(src, dilate, dst);
        const vkPelRect rect(4, 3, 5, 4);
        for (std::int32_t y = 3; y < 7; ++y)
            for (std::int32_t x = 4; x < 9; ++x)
                EXPECT_EQ(dst.get(P(x, y)), referenceMorph(src, rect, P(x, y), dilate)) << x << "," << y;
        EXPECT_EQ(testimg::changedOutsideWindow(before, dst), 0u);
    }
}

TEST(BinaryMorph3x3Diamond, SharedStorageThrowsEvenForDisjointWindows) {
    U8 storage(20, 4);
    vfPelSet(storage, std::uint8_t{3});
    U8 src(storage), dst(storage);
    src.window(vkPelRect(0, 0, 8, 4));
    dst.window(vkPelRect(10, 0, 8, 4));
    EXPECT_THROW(vfBinaryMorph3x3Diamond(src, true, dst), vkPel::BadWindow);
    EXPECT_EQ(pixels<std::uint8_t>(storage), std::vector<std::uint8_t>(80, 3));
}

TEST(BinaryMorph3x3Diamond, UnboundSourceThrowsAndUnboundDestinationGetsSourceTransforms) {
    U8 dst;
    EXPECT_THROW(vfBinaryMorph3x3Diamond(U8(), true, dst), vkPel::BadWindow);
    EXPECT_FALSE(dst.isBound());
    U8 src(vkPelRect(3, 4, 2, 2));
    src.clientFromImageXform(vkXform<2>::translation(1, 1));
    vfBinaryMorph3x3Diamond(src, false, dst);
    EXPECT_EQ(dst.window(), src.window());
    EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
}
