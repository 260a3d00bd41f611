#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;

TEST(PelSmooth3x3Diamond, MatchesNaiveKernelForSmallShapesInTheMiddleAndAtCornersOfStorage) {
    for (std::int32_t w : {1, 2, 3, 4, 7, 8, 9, 17, 64, 65})
        for (std::int32_t h : {1, 2, 3, 5})
            for (std::int32_t margin : {0, 2}) {
                const auto seed = static_cast<std::uint32_t>(w * 100 + h);
                SCOPED_TRACE(testimg::trace(w, h, seed));
                auto gen = testimg::rng(seed);
                const auto content = testimg::random<Pel>(w, h, gen);
                // Bright surroundings, so that reading past the window shows; the
                // window is flush with the storage's upper-left or lower-right.
                auto img = testimg::embeddedWithMargins<Pel>(content, margin, margin, 2 - margin, 2 - margin, 255,
                                                             P(-3, 6));
                const auto before = testimg::storagePixels<Pel>(img);
                vf_PelSmooth3x3Diamond(img);
                // Weight 4 for the pixel, 1 for each edge neighbour inside the
                // window; the weighted sum of old values divided, truncating.
                const auto naive = [&](P p, Pel) {
                    const P c = p - P(-3, 6);
                    unsigned sum = 4u * content.get(c), weight = 4;
                    for (const P& t : {P(0, -1), P(-1, 0), P(1, 0), P(0, 1)})
                        if (content.window().contains(c + t)) sum += content.get(c + t), ++weight;
                    return Pel(sum / weight);
                };
                ASSERT_EQ(testimg::windowMismatch(before, img, naive), "");
            }
}

TEST(PelSmooth3x3Diamond, EmptyOrUnboundImageIsLeftAlone) {
    vkPelBuffer<Pel> unbound;
    EXPECT_NO_THROW(vf_PelSmooth3x3Diamond(unbound));
    auto gen = testimg::rng(12);
    auto img = testimg::random<Pel>(4, 4, gen);
    const auto before = testimg::storagePixels<Pel>(img);
    img.window(vkPelRect(1, 1, 0, 3));
    vf_PelSmooth3x3Diamond(img);
    EXPECT_EQ(testimg::storagePixels<Pel>(img), before);
}
