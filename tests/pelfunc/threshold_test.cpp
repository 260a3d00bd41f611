#include <gtest/gtest.h>

#include <string>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
using testimg::pixels;

namespace {

Pel binarised(Pel v, int t) { return v >= t ? 255 : 0; }

std::vector<Pel> naiveThreshold(const std::vector<Pel>& v, int t) {
    std::vector<Pel> out;
    for (Pel p : v) out.push_back(binarised(p, t));
    return out;
}

// The threshold of a window's pixels, counted naively.
int windowThreshold(const vkPelBuffer_const<Pel>& b) {
    std::vector<std::uint32_t> h(256, 0);
    for (Pel p : pixels<Pel>(b)) ++h[p];
    vkThresholdResult r;
    vfThresholdWGV(h, r, 0, -1);
    return r.threshold();
}

}  // namespace

TEST(PelThreshold, FixedThresholdOnWindowsOfEveryWidth) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 15, 16, 17, 63, 64, 65}) {
        for (int t : {0, 1, 100, 254, 255}) {
            const auto seed = static_cast<std::uint32_t>(w * 1000 + t);
            SCOPED_TRACE("width " + std::to_string(w) + " threshold " + std::to_string(t) + " seed " +
                         std::to_string(seed));
            auto gen = testimg::rng(seed);
            auto src = testimg::embedded<Pel>(testimg::random<Pel>(w, 3, gen), 3, 200, P(-4, 9));
            src.clientFromImageXform(vkXform<2>::translation(2.5, -1));
            const auto out = vf_PelThreshold(src, static_cast<unsigned char>(t));
            EXPECT_EQ(out.window(), src.window());
            EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
            EXPECT_EQ(pixels<Pel>(out), naiveThreshold(pixels<Pel>(src), t));
        }
    }
}

TEST(PelThreshold, UnboundSourceThrows) {
    EXPECT_THROW(vf_PelThreshold(vkPelBuffer<Pel>(), 5), vkPel::UnboundWindow);
    EXPECT_THROW(vf_PelThreshold(vkPelBuffer<Pel>()), vkPel::UnboundWindow);
}

TEST(PelThresholdAutomatic, UsesTheHistogramOfTheWindowOnly) {
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        auto gen = testimg::rng(seed);
        // Dark surroundings that would pull the threshold down if counted.
        auto src = testimg::embedded<Pel>(testimg::random<Pel>(17, 9, gen, 60, 250), 6, 0, P(3, 3));
        const int t = windowThreshold(src);
        EXPECT_EQ(pixels<Pel>(vf_PelThreshold(src)), naiveThreshold(pixels<Pel>(src), t));
    }
}

TEST(PelThresholdAutomatic, TwoClustersAreSeparated) {
    auto gen = testimg::rng(7);
    auto src = testimg::random<Pel>(32, 32, gen, 30, 50);
    std::vector<Pel> expected;
    for (std::int32_t y = 0; y < 32; ++y)
        for (std::int32_t x = 0; x < 32; ++x) {
            if ((x * 7 + y * 3) % 5 == 0) src.set(P(x, y), static_cast<Pel>(200 + (x + y) % 11));
            expected.push_back(src.get(P(x, y)) >= 200 ? 255 : 0);
        }
    EXPECT_EQ(pixels<Pel>(vf_PelThreshold(src)), expected);
}

TEST(PelThresholdAutomatic, FlatImageBecomesAll255) {
    vkPelBuffer<Pel> src(13, 5);
    vfPelSet<Pel>(src, 77);
    for (Pel v : pixels<Pel>(vf_PelThreshold(src))) ASSERT_EQ(v, 255);
}

TEST(MaskedPelThreshold, MatchesNaiveReferenceAndLeavesTheRestOfTheDestination) {
    // Widths paired with thresholds, the extremes included.
    const std::int32_t widths[] = {1, 2, 3, 7, 8, 9, 16, 17, 33};
    const int thresholds[] = {0, 255, 1, 128, 77, 254, 0, 200, 255};
    for (std::size_t k = 0; k < 9; ++k) {
        const std::int32_t w = widths[k];
        const int t = thresholds[k];
        const auto seed = static_cast<std::uint32_t>(w);
        SCOPED_TRACE("width " + std::to_string(w) + " threshold " + std::to_string(t) + " seed " +
                     std::to_string(seed));
        auto gen = testimg::rng(seed);
        auto src = testimg::embedded<Pel>(testimg::random<Pel>(w, 4, gen), 2, 255, P(10, 10));
        // The mask covers the source except its first column, and has zeros.
        auto mask = testimg::embedded<Pel>(testimg::random<Pel>(w + 3, 4, gen, 0, 3), 1, 1, P(11, 10));
        // The destination misses the source's last row.
        auto dst = testimg::random<Pel>(w + 20, 13, gen);
        dst.offset(P(5, 0));
        const auto before = testimg::storagePixels<Pel>(dst);
        vf_MaskedPelThreshold(src, mask, static_cast<unsigned char>(t), dst);

        vkPelBuffer<Pel> all(dst);
        all.setEntire();
        const auto after = pixels<Pel>(all);
        const vkPelRect common = src.window() & mask.window() & dst.window();
        for (std::int32_t y = 0; y < all.height(); ++y)
            for (std::int32_t x = 0; x < all.width(); ++x) {
                const P p = all.offset() + P(x, y);
                const auto i = static_cast<std::size_t>(y * all.width() + x);
                const Pel want = common.contains(p)
                                     ? (mask.get(p) != 0 ? binarised(src.get(p), t) : Pel{0})
                                     : before[i];
                ASSERT_EQ(after[i], want) << p.x() << "," << p.y();
            }
    }
}

TEST(MaskedPelThreshold, UnboundDestinationGetsTheCommonWindowAndSourceTransforms) {
    auto gen = testimg::rng(4);
    auto src = testimg::random<Pel>(10, 8, gen);
    src.clientFromImageXform(vkXform<2>::scale(2, 3));
    vkPelBuffer<Pel> mask(vkPelRect(4, -2, 10, 6));
    vfPelSet<Pel>(mask, 1);
    vkPelBuffer<Pel> dst;
    vf_MaskedPelThreshold(src, mask, 50, dst);
    ASSERT_TRUE(dst.isBound());
    EXPECT_EQ(dst.window(), vkPelRect(4, 0, 6, 4));
    EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
    vkPelBuffer_const<Pel> covered(src);
    covered.window(dst.window());
    EXPECT_EQ(pixels<Pel>(dst), naiveThreshold(pixels<Pel>(covered), 50));
}

TEST(MaskedPelThreshold, UnboundMaskReplacesTheDestinationWithTheUnmaskedResult) {
    auto gen = testimg::rng(5);
    const auto src = testimg::embedded<Pel>(testimg::random<Pel>(6, 5, gen), 2, 0, P(30, 40));
    auto dst = testimg::random<Pel>(50, 50, gen);
    auto other = dst;  // shares the old destination's pixels
    const auto otherBefore = pixels<Pel>(other);
    vf_MaskedPelThreshold(src, vkPelBuffer<Pel>(), 90, dst);
    EXPECT_EQ(dst.window(), src.window());
    EXPECT_NE(dst.root(), other.root());
    EXPECT_EQ(pixels<Pel>(dst), naiveThreshold(pixels<Pel>(src), 90));
    EXPECT_EQ(pixels<Pel>(other), otherBefore);
}

TEST(MaskedPelThreshold, DisjointWindowsLeaveAnUnboundDestinationUnbound) {
    auto gen = testimg::rng(6);
    const auto src = testimg::random<Pel>(5, 5, gen);
    const vkPelBuffer<Pel> mask(vkPelRect(5, 0, 5, 5));
    vkPelBuffer<Pel> dst;
    EXPECT_NO_THROW(vf_MaskedPelThreshold(src, mask, 1, dst));
    EXPECT_FALSE(dst.isBound());
}

TEST(MaskedPelThreshold, UnboundSourceThrowsEvenWithUnboundMask) {
    auto gen = testimg::rng(8);
    auto dst = testimg::random<Pel>(4, 4, gen);
    const auto before = pixels<Pel>(dst);
    const auto mask = testimg::random<Pel>(4, 4, gen);
    EXPECT_THROW(vf_MaskedPelThreshold(vkPelBuffer<Pel>(), vkPelBuffer<Pel>(), 1, dst), vkPel::UnboundWindow);
    EXPECT_THROW(vf_MaskedPelThreshold(vkPelBuffer<Pel>(), mask, 1, dst), vkPel::UnboundWindow);
    EXPECT_EQ(pixels<Pel>(dst), before);
}

TEST(MaskedPelThreshold, InPlaceOnTheSourceAndThroughAShiftedView) {
    auto gen = testimg::rng(9);
    auto img = testimg::random<Pel>(21, 3, gen);
    const auto orig = pixels<Pel>(img);
    vkPelBuffer<Pel> mask(21, 3);
    vfPelSet<Pel>(mask, 1);
    vf_MaskedPelThreshold(img, mask, 120, img);
    EXPECT_EQ(pixels<Pel>(img), naiveThreshold(orig, 120));

    // Destination view one pixel to the right of the source in the same
    // storage: every pixel is judged by its value before the call.
    img = testimg::fromRows<Pel>(21, 3, orig);
    vkPelBuffer<Pel> dst = img;
    dst.window(vkPelRect(1, 0, 20, 3));
    dst.offset(P(0, 0));
    vf_MaskedPelThreshold(img, mask, 120, dst);
    for (std::int32_t y = 0; y < 3; ++y)
        for (std::int32_t x = 0; x < 20; ++x)
            ASSERT_EQ(testimg::at<Pel>(img, x + 1, y), binarised(orig[static_cast<std::size_t>(y * 21 + x)], 120))
                << x << "," << y;
}
