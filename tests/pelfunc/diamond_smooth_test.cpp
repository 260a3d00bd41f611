#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;

TEST(PelSmooth3x3Diamond, MatchesNaiveKernelForSmallShapesInTheMiddleAndAtCornersOfStorage) {
    for (std::int32_t w : {1, 2, 3, 4, 7, 8, 9, 17, 64, 65})
        for (std::int32_t h : {1, 2, 3, 5})
            for (std::int32_t margin : {0, 2}) {
                const auto seed = static_cast<std::uint32_t>(w * 100 + h);
                auto gen = testimg::rng(seed);
                const auto content = testimg::random<Pel>(w, h, gen);
                // 255 around, and the window flush with a corner of its storage.
                auto img = testimg::embeddedWithMargins<Pel>(content, margin, margin, 2 - margin, 2 - margin, 255,
                                                             P(-3, 6));
                const auto before = testimg::storagePixels<Pel>(img);
                vf_PelSmooth3x3Diamond(img);
                // 4 x pixel + edge neighbours in the window over their weight.
                const auto naive = [&](P p, Pel) {
                    const P c = p - P(-3, 6);
                    unsigned sum = 4u * content.get(c), weight = 4;
                    for (const P& t : {P(0, -1), P(-1, 0), P(1, 0), P(0, 1)})
                        if (content.window().contains(c + t)) sum += content.get(c + t), ++weight;
                    return Pel(sum / weight);
                };
                ASSERT_EQ(testimg::windowMismatch(before, img, naive), "") << testimg::trace(w, h, seed);
            }
}

TEST(PelSmooth3x3Diamond, EmptyOrUnboundImageIsLeftAlone) {
    vkPelBuffer<Pel> unbound, img = testimg::fromRows<Pel>(2, 2, {1, 2, 3, 4});
    vf_PelSmooth3x3Diamond(unbound);
    img.window(vkPelRect(1, 0, 0, 2));
    vf_PelSmooth3x3Diamond(img);
    EXPECT_EQ(testimg::storagePixels<Pel>(img), (std::vector<Pel>{1, 2, 3, 4}));
}
