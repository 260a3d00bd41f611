#include <gtest/gtest.h>

#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Hist = std::vector<std::uint32_t>;
using U8 = vkPelBuffer<std::uint8_t>;

namespace {

// Pixel by pixel over the common window, through the checked accessors.
Hist referenceHistogram(const vkPelBuffer_const<std::uint8_t>& image, const vkPelBuffer_const<std::uint8_t>& mask) {
    const vkPelRect r = image.window() & mask.window();
    if (r.isNull()) return {};
    Hist h(256, 0);
    for (std::int32_t y = r.ul().y(); y < r.lr().y(); ++y)
        for (std::int32_t x = r.ul().x(); x < r.lr().x(); ++x)
            if (mask.get(P(x, y)) != 0) ++h[image.get(P(x, y))];
    return h;
}

}  // namespace

TEST(MaskedPelHistogram, MatchesNaiveCountOnBothPathsForAllSmallWidths) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65, 130}) {
        for (std::int32_t h : {1, 5}) {
            const auto seed = static_cast<std::uint32_t>(1000 + w * 10 + h);
            auto gen = testimg::rng(seed);
            // Image values 0..7 make included zeros common; mask values 0..3
            // mix excluded pixels with several including values. The windows
            // sit in storage of different strides and overlap only partly.
            auto image = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen, 0, 7), 3, 200, P(5, 9));
            auto mask = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w + 2, h + 1, gen, 0, 3),
                                                                   0, 2, 5, 0, 255, P(4, 9));
            Hist got{1, 2, 3};
            vf_MaskedPelHistogram(image, mask, got);
            EXPECT_EQ(got, referenceHistogram(image, mask)) << "seed " << seed << " width " << w << " height " << h;
        }
    }
}

TEST(MaskedPelHistogram, MaskOfZerosGives256ZeroBinsOnBothPaths) {
    for (std::int32_t w : {63, 64}) {
        auto gen = testimg::rng(5);
        Hist got{7};
        vf_MaskedPelHistogram(testimg::random<std::uint8_t>(w, 4, gen), U8(w, 4), got);
        EXPECT_EQ(got, Hist(256, 0)) << "width " << w;
    }
}

TEST(MaskedPelHistogram, UnboundMaskCountsTheImageWindowOnly) {
    auto gen = testimg::rng(3);
    auto image = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(70, 6, gen), 2, 9, P(-3, 4));
    Hist got, plain;
    vf_MaskedPelHistogram(image, U8(), got);
    vfPelHistogram(testimg::crop<std::uint8_t>(image, image.window()), plain);
    EXPECT_EQ(got, plain);
}

TEST(MaskedPelHistogram, DisjointWindowsGiveAnEmptyVector) {
    U8 image(vkPelRect(0, 0, 80, 4)), mask(vkPelRect(80, 0, 80, 4));  // touching, not overlapping
    vfPelSet(mask, std::uint8_t{255});
    Hist got(256, 5);
    vf_MaskedPelHistogram(image, mask, got);
    EXPECT_TRUE(got.empty());
}

TEST(MaskedPelHistogram, UnboundImageThrowsAndLeavesTheHistogram) {
    Hist got{1, 2, 3};
    EXPECT_THROW(vf_MaskedPelHistogram(U8(), U8(4, 4), got), vkPel::UnboundWindow);
    EXPECT_EQ(got, (Hist{1, 2, 3}));
}
