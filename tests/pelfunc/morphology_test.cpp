#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(BinaryMorph3x3Diamond, MatchesNaiveNeighbourhoodOnTheCommonWindowOfANewOrSmallerDestination) {
    for (bool dilate : {true, false})
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
            for (std::int32_t h : {1, 2, 3, 5})
                for (bool bound : {false, true}) {
                    const auto seed = static_cast<std::uint32_t>(w * 10 + h + (dilate ? 1000 : 0));
                    SCOPED_TRACE(testimg::trace(w, h, seed) + (dilate ? " dilate" : " erode") + (bound ? " bound" : ""));
                    auto gen = testimg::rng(seed);
                    // Any bytes, so a wrong neighbour shows in some bit; around the
                    // window the value that a read outside it would show.
                    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 2,
                                                               std::uint8_t(dilate ? 0xFF : 0x00), P(-1, 5));
                    src.clientFromImageXform(vkXform<2>::translation(1, 1));
                    // A bound one lacks the source's first row and column.
                    U8 dst = bound ? testimg::embedded<std::uint8_t>(U8(w, h), 1, 0x5A, P(0, 6)) : U8();
                    const auto before = bound ? testimg::storagePixels<std::uint8_t>(dst) : std::vector<std::uint8_t>(std::size_t(w * h));
                    vfBinaryMorph3x3Diamond(src, dilate, dst);
                    ASSERT_EQ(dst.window(), bound ? vkPelRect(0, 6, w, h) : src.window());
                    EXPECT_EQ(dst.clientFromImageXformBase() == src.clientFromImageXformBase(), !bound);
                    const vkPelRect rect = src.window() & dst.window();
                    // OR or AND of the pixel and its edge neighbours inside rect.
                    const auto naive = [&](P p, std::uint8_t old) {
                        if (!rect.contains(p)) return old;
                        std::uint8_t v = src.get(p);
                        for (P d : {P(-1, 0), P(1, 0), P(0, -1), P(0, 1)})
                            if (rect.contains(p + d)) v = std::uint8_t(dilate ? v | src.get(p + d) : v & src.get(p + d));
                        return v;
                    };
                    ASSERT_EQ(testimg::windowMismatch(before, dst, naive), "");
                }
}

TEST(BinaryMorph3x3Diamond, UnboundSourceOrDestinationSharingItsStorageThrowsBeforeWriting) {
    U8 storage(20, 4), dst, src(storage), shared(storage);
    vfPelSet(storage, std::uint8_t{3});
    EXPECT_THROW(vfBinaryMorph3x3Diamond(U8(), true, dst), vkPel::BadWindow);
    EXPECT_FALSE(dst.isBound());
    src.window(vkPelRect(0, 0, 8, 4));  // even disjoint windows of one storage
    shared.window(vkPelRect(10, 0, 8, 4));
    EXPECT_THROW(vfBinaryMorph3x3Diamond(src, true, shared), vkPel::BadWindow);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(storage), std::vector<std::uint8_t>(80, 3));
}
