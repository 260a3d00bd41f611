#include <gtest/gtest.h>

#include "support/images.h"
#include "support/threads.h"

using P = vkPair<std::int32_t>;
using Hist = std::vector<std::uint32_t>;
using U8 = vkPelBuffer<std::uint8_t>;
using U16 = vkPelBuffer<std::uint16_t>;

namespace {

// The histogram of 2^depth bins: the 8-bit function at depth 8.
void histogramOf(const vkPelBuffer_const<std::uint8_t>& image,
                 const vkPelBuffer_const<std::uint8_t>& mask, int, Hist& h) {
    vf_MaskedPelHistogram(image, mask, h);
}
void histogramOf(const vkPelBuffer_const<std::uint16_t>& image,
                 const vkPelBuffer_const<std::uint8_t>& mask, int depth, Hist& h) {
    vf_MaskedPelHistogram(image, mask, depth, h);
}

// Values 0..3 and the four top levels of the depth: both ends of the bins.
template <class T>
vkPelBuffer<T> endValues(std::int32_t w, std::int32_t h, std::mt19937& gen, int depth) {
    auto b = testimg::random<T>(w, h, gen, 0, 7);
    const std::uint32_t top = (1u << depth) - 1;
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            if (const T v = b.get(P(x, y)); v >= 4) b.set(P(x, y), static_cast<T>(top - (v - 4u)));
    return b;
}

// Masks of zeros, of 0..3, or unbound (the image's window counts whole, its
// margin not); the tall images are cut into several strips of rows, counted
// at every thread count.
template <class T>
void expectNaiveCounts(int depth) {
    std::vector<P> sizes{P(300, 701), P(40, 3301)};
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 64, 65, 66, 130})
        for (std::int32_t h : {1, 5})
            sizes.emplace_back(w, h);
    for (const P size : sizes)
        for (int maskMax : {0, 3, -1}) {
            const std::int32_t w = size.x(), h = size.y();
            const auto seed = static_cast<std::uint32_t>(1000 + w * 10 + h);
            auto gen = testimg::rng(seed);
            // The windows (other strides) share all but the image's first
            // column, none at width 1.
            auto image = testimg::embedded<T>(endValues<T>(w, h, gen, depth), 3, 200, P(5, 9));
            U8 mask;
            if (maskMax >= 0)
                mask = testimg::embeddedWithMargins<std::uint8_t>(
                    testimg::random<std::uint8_t>(w + 2, h + 1, gen, 0, std::uint32_t(maskMax)), 0,
                    2, 5, 0, 255, P(6, 9));
            const vkPelRect r = maskMax >= 0 ? image.window() & mask.window() : image.window();
            Hist want = r.isNull() ? Hist{} : Hist(std::size_t{1} << depth, 0);
            for (std::int32_t y = r.ul().y(); y < r.lr().y(); ++y)
                for (std::int32_t x = r.ul().x(); x < r.lr().x(); ++x)
                    if (maskMax < 0 || mask.get(P(x, y)) != 0) ++want[image.get(P(x, y))];
            for (const std::int32_t n : testthreads::kCounts) {
                const testthreads::Count count(n);
                Hist got{1, 2, 3};
                histogramOf(image, mask, depth, got);
                EXPECT_EQ(got, want) << testimg::trace(w, h, seed) << " mask max " << maskMax
                                     << " depth " << depth << ", " << n << " threads";
            }
        }
}

}  // namespace

TEST(MaskedPelHistogram, MatchesNaiveCountOnTheCommonWindowOnBothPathsAtEveryDepth) {
    expectNaiveCounts<std::uint8_t>(8);
    for (int depth : {9, 12, 16})
        expectNaiveCounts<std::uint16_t>(depth);
}

TEST(MaskedPelHistogram, UnboundImageDeepValueAboveTheDepthOrBadDepthThrowsAndLeavesTheHistogram) {
    // One 4096 in a 12-bit image, at a pixel the mask excludes, on both paths
    // (unmasked wide rows: last of a group of four, and in the row's tail),
    // also in the last of several strips of rows.
    for (const auto& [w, rows] : {std::pair{5, 3}, {99, 3}, {100, 3}, {40, 3301}}) {
        U16 image(w, rows);
        image.set(P(w - 1, rows - 1), 4096);
        U8 mask(w, rows);
        Hist h{7};
        EXPECT_THROW(vf_MaskedPelHistogram(image, mask, 12, h), vkPelFunc::BadParams) << w;
        EXPECT_THROW(vf_MaskedPelHistogram(image, U8(), 12, h), vkPelFunc::BadParams) << w;
        EXPECT_EQ(h, Hist{7});
        vf_MaskedPelHistogram(image, mask, 13, h);
        EXPECT_EQ(h, Hist(8192, 0));
    }
    Hist h{7};
    for (int depth : {0, 17})
        EXPECT_THROW(vf_MaskedPelHistogram(U16(4, 4), U8(), depth, h), vkPelFunc::BadParams);
    EXPECT_THROW(vf_MaskedPelHistogram(U8(), U8(4, 4), h), vkPel::UnboundWindow);
    EXPECT_THROW(vf_MaskedPelHistogram(U16(), U8(4, 4), 11, h), vkPel::UnboundWindow);
    EXPECT_EQ(h, Hist{7});
}

// Counts are 32-bit. Views over four rows of storage claim windows of
// 65536 x 65536 pixels: counting them is refused before a pixel is read,
// while a mask that narrows the common window to those rows is counted.
TEST(MaskedPelHistogram, WindowsOf2To32PixelsAreRefusedBeforeAnyPixelIsRead) {
    constexpr std::int32_t kSide = 65536;
    std::vector<std::uint8_t> rows(4 * kSide, 7);
    std::vector<std::uint16_t> deepRows(4 * kSide, 7);
    const vkPelBuffer_const<std::uint8_t> huge(rows.data(), kSide, kSide, kSide, nullptr);
    const vkPelBuffer_const<std::uint16_t> deep(deepRows.data(), kSide, kSide, 2 * kSide, nullptr);
    U8 mask(kSide, 4);
    vfPelSet<std::uint8_t>(mask, 1);
    Hist h{1};
    EXPECT_THROW(vfPelHistogram(huge, h), vkPel::BadWindow);
    EXPECT_THROW(vf_MaskedPelHistogram(huge, U8(), h), vkPel::BadWindow);
    EXPECT_THROW(vf_MaskedPelHistogram(deep, U8(), 12, h), vkPel::BadWindow);
    EXPECT_EQ(h, Hist{1});
    vf_MaskedPelHistogram(huge, mask, h);
    EXPECT_EQ(h[7], 4u * kSide);
    vf_MaskedPelHistogram(deep, mask, 12, h);
    EXPECT_EQ(h[7], 4u * kSide);
}
