#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Hist = std::vector<std::uint32_t>;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(MaskedPelHistogram, MatchesNaiveCountOnTheCommonWindowOnBothPaths) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 64, 65, 66, 130})
        for (std::int32_t h : {1, 5})
            for (std::uint32_t maskMax : {0u, 3u}) {
                const auto seed = static_cast<std::uint32_t>(1000 + w * 10 + h);
                auto gen = testimg::rng(seed);
                // Included zeros are common; the windows (other strides) share
                // all but the image's first column, none at width 1.
                auto image = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen, 0, 7), 3, 200,
                                                             P(5, 9));
                auto mask = testimg::embeddedWithMargins<std::uint8_t>(
                    testimg::random<std::uint8_t>(w + 2, h + 1, gen, 0, maskMax), 0, 2, 5, 0, 255, P(6, 9));
                const vkPelRect r = image.window() & mask.window();
                Hist got{1, 2, 3}, want = r.isNull() ? Hist{} : Hist(256, 0);
                vf_MaskedPelHistogram(image, mask, got);
                for (std::int32_t y = r.ul().y(); y < r.lr().y(); ++y)
                    for (std::int32_t x = r.ul().x(); x < r.lr().x(); ++x)
                        if (mask.get(P(x, y)) != 0) ++want[image.get(P(x, y))];
                EXPECT_EQ(got, want) << testimg::trace(w, h, seed) << " mask max " << maskMax;
            }
}

TEST(MaskedPelHistogram, UnboundMaskCountsTheImageWindowOnlyAndUnboundImageThrows) {
    auto gen = testimg::rng(3);
    auto image = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(70, 6, gen), 2, 9, P(-3, 4));
    Hist got, plain;
    vf_MaskedPelHistogram(image, U8(), got);
    vfPelHistogram(testimg::crop<std::uint8_t>(image, image.window()), plain);
    EXPECT_EQ(got, plain);
    EXPECT_THROW(vf_MaskedPelHistogram(U8(), image, got), vkPel::UnboundWindow);
    EXPECT_EQ(got, plain);
}
