#include <gtest/gtest.h>

#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using U8 = vkPelBuffer<std::uint8_t>;

namespace {

// OR or AND of the pixel and those of its four edge neighbours that lie in
// rect, read through the checked accessor.
std::uint8_t referenceMorph(const vkPelBuffer_const<std::uint8_t>& s, const vkPelRect& rect, P p, bool dilate) {
    std::uint8_t v = s.get(p);
    for (P d : {P(-1, 0), P(1, 0), P(0, -1), P(0, 1)})
        if (rect.contains(p + d)) v = static_cast<std::uint8_t>(dilate ? (v | s.get(p + d)) : (v & s.get(p + d)));
    return v;
}

}  // namespace

TEST(BinaryMorph3x3Diamond, MatchesNaiveNeighbourhoodIntoNewOrSmallerBoundDestination) {
    for (bool dilate : {true, false})
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
            for (std::int32_t h : {1, 2, 3, 5}) {
                const auto seed = static_cast<std::uint32_t>(w * 10 + h + (dilate ? 1000 : 0));
                SCOPED_TRACE(testimg::trace(w, h, seed) + (dilate ? " dilate" : " erode"));
                auto gen = testimg::rng(seed);
                // Arbitrary bytes: a wrong neighbour shows in some bit. Around the
                // window lies 0xFF (dilation) or 0x00 (erosion), which a read
                // outside the window would bring in.
                const std::uint8_t fill = dilate ? 0xFF : 0x00;
                auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 2, fill, P(-1, 5));
                src.clientFromImageXform(vkXform<2>::translation(1, 1));
                U8 dst;
                vfBinaryMorph3x3Diamond(src, dilate, dst);
                ASSERT_EQ(dst.window(), src.window());
                EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
                auto before = testimg::storagePixels<std::uint8_t>(dst);
                ASSERT_EQ(testimg::windowMismatch(before, dst,
                                                  [&](P p, auto) { return referenceMorph(src, src.window(), p, dilate); }),
                          "");
                // A destination window that lacks the source's first row and
                // column: source pixels outside it are not neighbours.
                dst = testimg::embedded<std::uint8_t>(U8(w, h), 1, 0x5A, P(0, 6));
                before = testimg::storagePixels<std::uint8_t>(dst);
                vfBinaryMorph3x3Diamond(src, dilate, dst);
                const vkPelRect common = src.window() & dst.window();
                ASSERT_EQ(testimg::windowMismatch(before, dst,
                                                  [&](P p, std::uint8_t old) {
                                                      return common.contains(p) ? referenceMorph(src, common, p, dilate) : old;
                                                  }),
                          "");
            }
}

TEST(BinaryMorph3x3Diamond, UnboundSourceOrDestinationSharingItsStorageThrowsBeforeWriting) {
    U8 storage(20, 4), dst;
    vfPelSet(storage, std::uint8_t{3});
    EXPECT_THROW(vfBinaryMorph3x3Diamond(U8(), true, dst), vkPel::BadWindow);
    EXPECT_FALSE(dst.isBound());
    // Even disjoint windows of one storage.
    U8 src(storage), shared(storage);
    src.window(vkPelRect(0, 0, 8, 4));
    shared.window(vkPelRect(10, 0, 8, 4));
    EXPECT_THROW(vfBinaryMorph3x3Diamond(src, true, shared), vkPel::BadWindow);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(storage), std::vector<std::uint8_t>(80, 3));
}
