#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Hist = std::vector<std::uint32_t>;

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

// A mask of mixed values: 0 for about half the pixels, the rest 1, 7, 255 or
// any other value, all of which include.
vkPelBuffer<std::uint8_t> mixedMask(std::int32_t w, std::int32_t h, std::mt19937& gen) {
    auto m = testimg::random<std::uint8_t>(w, h, gen);
    std::uniform_int_distribution<int> pick(0, 7);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const int k = pick(gen);
            auto& v = m.pointToOffset()[y * m.rowUpdate() + x];
            v = k < 4 ? 0 : k == 4 ? 1 : k == 5 ? 255 : k == 6 ? 7 : v;
        }
    return m;
}

}  // namespace

TEST(MaskedPelHistogram, MatchesNaiveCountOnBothPathsForAllSmallWidths) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65, 130}) {
        for (std::int32_t h : {1, 5}) {
            const std::uint32_t seed = static_cast<std::uint32_t>(1000 + w * 10 + h);
            auto gen = testimg::rng(seed);
            // Image and mask in storage of different strides and positions;
            // the mask's window is shifted so that the two only partly overlap.
            auto image = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 3, 200, P(5, 9));
            auto mask = testimg::embeddedWithMargins<std::uint8_t>(mixedMask(w + 2, h + 1, gen), 0, 2, 5, 0, 255,
                                                                   P(4, 9));
            Hist got{1, 2, 3};
            vf_MaskedPelHistogram(image, mask, got);
            EXPECT_EQ(got, referenceHistogram(image, mask)) << "seed " << seed << " width " << w << " height " << h;
        }
    }
}

TEST(MaskedPelHistogram, WidthsAroundThePathSwitchGiveTheSameCountsForTheSameContent) {
    auto gen = testimg::rng(77);
    auto image = testimg::random<std::uint8_t>(64, 40, gen);
    auto mask = mixedMask(64, 40, gen);
    // The 64-wide window and a 63-wide window plus its last column counted
    // separately must agree: the paths differ only in how they count.
    Hist wide, narrow, column;
    vf_MaskedPelHistogram(image, mask, wide);
    auto image63 = testimg::crop<std::uint8_t>(image, vkPelRect(0, 0, 63, 40));
    auto image1 = testimg::crop<std::uint8_t>(image, vkPelRect(63, 0, 1, 40));
    vf_MaskedPelHistogram(image63, mask, narrow);
    vf_MaskedPelHistogram(image1, mask, column);
    for (std::size_t v = 0; v < 256; ++v) narrow[v] += column[v];
    EXPECT_EQ(wide, narrow);
    EXPECT_EQ(wide, referenceHistogram(image, mask));
}

TEST(MaskedPelHistogram, UnboundMaskCountsTheWholeImageWindow) {
    auto gen = testimg::rng(3);
    auto image = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(70, 6, gen), 2, 9, P(-3, 4));
    Hist got, plain;
    vf_MaskedPelHistogram(image, vkPelBuffer_const<std::uint8_t>(), got);
    vfPelHistogram(image, plain);
    ASSERT_EQ(got.size(), 256u);
    EXPECT_EQ(got, plain);
    const auto values = testimg::pixels<std::uint8_t>(image);
    EXPECT_EQ(got[9], static_cast<std::uint32_t>(std::count(values.begin(), values.end(), 9)));
}

TEST(MaskedPelHistogram, MaskOfZerosGives256ZeroBinsNotAnEmptyVector) {
    for (std::int32_t w : {63, 64}) {
        auto gen = testimg::rng(5);
        auto image = testimg::random<std::uint8_t>(w, 4, gen);
        vkPelBuffer<std::uint8_t> mask(w, 4);
        Hist got{7};
        vf_MaskedPelHistogram(image, mask, got);
        EXPECT_EQ(got, Hist(256, 0)) << "width " << w;
    }
}

TEST(MaskedPelHistogram, IncludedZeroPixelsAreCountedInBinZero) {
    for (std::int32_t w : {10, 100}) {
        vkPelBuffer<std::uint8_t> image(w, 3);  // all 0
        vkPelBuffer<std::uint8_t> mask(w, 3);  // all 0 but the first row
        vkPelBuffer<std::uint8_t> firstRow(mask);
        firstRow.window(vkPelRect(0, 0, w, 1));
        vfPelSet(firstRow, std::uint8_t{1});
        Hist got;
        vf_MaskedPelHistogram(image, mask, got);
        Hist want(256, 0);
        want[0] = static_cast<std::uint32_t>(w);
        EXPECT_EQ(got, want) << "width " << w;
    }
}

TEST(MaskedPelHistogram, AllInMaskOnConstantImageCountsEveryPixelOnce) {
    // Every pixel falls into one bin: the interleaved tables must all be summed.
    vkPelBuffer<std::uint8_t> image(131, 17);
    vfPelSet(image, std::uint8_t{255});
    vkPelBuffer<std::uint8_t> mask(131, 17);
    vfPelSet(mask, std::uint8_t{3});
    Hist got;
    vf_MaskedPelHistogram(image, mask, got);
    Hist want(256, 0);
    want[255] = 131 * 17;
    EXPECT_EQ(got, want);
}

TEST(MaskedPelHistogram, DisjointWindowsGiveAnEmptyVector) {
    vkPelBuffer<std::uint8_t> image(vkPelRect(0, 0, 80, 4));
    vkPelBuffer<std::uint8_t> mask(vkPelRect(80, 0, 80, 4));  // touches, does not overlap
    vfPelSet(mask, std::uint8_t{255});
    Hist got(256, 5);
    vf_MaskedPelHistogram(image, mask, got);
    EXPECT_TRUE(got.empty());
}

TEST(MaskedPelHistogram, UnboundImageThrowsAndLeavesTheHistogram) {
    vkPelBuffer<std::uint8_t> mask(4, 4);
    Hist got{1, 2, 3};
    EXPECT_THROW(vf_MaskedPelHistogram(vkPelBuffer_const<std::uint8_t>(), mask, got), vkPel::UnboundWindow);
    EXPECT_EQ(got, (Hist{1, 2, 3}));
}
