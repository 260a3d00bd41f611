#include <gtest/gtest.h>

#include "platform/threshold.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
using Buf = vkPelBuffer<Pel>;

TEST(PelThreshold, FixedAndAutomaticThresholdsOnWindowsOfEveryWidth) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 15, 16, 17, 63, 64, 65})
        for (int t : {0, 1, 100, 254, 255, -1}) {
            const auto seed = static_cast<std::uint32_t>(w * 1000 + t + 1);
            SCOPED_TRACE(testimg::trace(w, 3, seed) + " threshold " + std::to_string(t));
            auto gen = testimg::rng(seed);
            // Dark surroundings would pull the automatic threshold (-1) down if
            // counted; a pixel at the fixed threshold tells >= from >.
            auto src = testimg::embedded<Pel>(testimg::random<Pel>(w, 3, gen), 3, 0, P(-4, 9));
            src.clientFromImageXform(vkXform<2>::translation(2.5, -1));
            if (t >= 0) src.set(P(-4 + w / 2, 10), Pel(t));
            std::vector<std::uint32_t> h;  // Otsu's threshold of the window's own histogram
            vfPelHistogram(testimg::crop<Pel>(src, src.window()), h);
            vkThresholdResult otsu;
            vfThresholdWGV(h, otsu, 0, -1);
            const auto out = t < 0 ? vf_PelThreshold(src) : vf_PelThreshold(src, static_cast<unsigned char>(t));
            EXPECT_EQ(out.window(), src.window());
            EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
            const int want = t < 0 ? otsu.threshold() : t;
            EXPECT_EQ(testimg::windowMismatch(std::vector<Pel>(std::size_t(3 * w)), out, [&](P p, Pel) { return src.get(p) >= want ? 255 : 0; }), "");
        }
    Buf flat(13, 5);
    vfPelSet<Pel>(flat, 77);
    EXPECT_EQ(testimg::pixels<Pel>(vf_PelThreshold(flat)), std::vector<Pel>(65, 255)) << "one gray level";
    EXPECT_THROW(vf_PelThreshold(Buf(), 5), vkPel::UnboundWindow);
    EXPECT_THROW(vf_PelThreshold(Buf()), vkPel::UnboundWindow);
}

TEST(MaskedPelThreshold, MatchesNaiveReferenceAndLeavesTheRestOfTheDestination) {
    const std::pair<std::int32_t, int> cases[] = {{1, 0}, {2, 255}, {3, 1}, {7, 128}, {8, 77}, {9, 254}, {16, 0}, {17, 200}, {33, 255}};
    for (const auto& [w, threshold] : cases) {
        const int t = threshold;  // a variable the lambda below can capture
        auto gen = testimg::rng(static_cast<std::uint32_t>(w));
        auto src = testimg::embedded<Pel>(testimg::random<Pel>(w, 4, gen), 2, 255, P(10, 10));
        // The mask covers the source except its first column, and has zeros.
        auto mask = testimg::embedded<Pel>(testimg::random<Pel>(w + 3, 4, gen, 0, 3), 1, 1, P(11, 10));
        // The destination misses the source's last row.
        auto dst = testimg::random<Pel>(w + 20, 13, gen);
        dst.offset(P(5, 0));
        const auto before = testimg::storagePixels<Pel>(dst);
        vf_MaskedPelThreshold(src, mask, static_cast<unsigned char>(t), dst);
        const vkPelRect common = src.window() & mask.window();
        const auto want = [&](P p, Pel old) {
            return !common.contains(p) ? old : mask.get(p) != 0 && src.get(p) >= t ? Pel{255} : Pel{0};
        };
        EXPECT_EQ(testimg::windowMismatch(before, dst, want), "") << testimg::trace(w, 4, std::uint32_t(w)) << " " << t;
    }
}

TEST(MaskedPelThreshold, UnboundDestinationOrMaskOrSource) {
    // An unbound destination gets the common window (unless empty) and the
    // source's transforms; an unbound mask replaces the destination.
    auto gen = testimg::rng(4);
    auto src = testimg::random<Pel>(10, 8, gen);
    src.clientFromImageXform(vkXform<2>::scale(2, 3));
    Buf mask(vkPelRect(4, -2, 10, 6)), dst, none;
    vfPelSet<Pel>(mask, 1);
    vf_MaskedPelThreshold(src, mask, 50, dst);
    ASSERT_EQ(dst.window(), vkPelRect(4, 0, 6, 4));
    EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
    EXPECT_EQ(testimg::pixels<Pel>(dst), testimg::pixels<Pel>(vf_PelThreshold(testimg::crop<Pel>(src, dst.window()), 50)));
    vf_MaskedPelThreshold(src, Buf(vkPelRect(10, 0, 5, 5)), 1, none);
    EXPECT_FALSE(none.isBound());
    const auto other = dst;
    const auto otherBefore = testimg::pixels<Pel>(other);
    EXPECT_THROW(vf_MaskedPelThreshold(Buf(), Buf(), 1, dst), vkPel::UnboundWindow);
    EXPECT_THROW(vf_MaskedPelThreshold(Buf(), src, 1, dst), vkPel::UnboundWindow);
    EXPECT_EQ(dst.root(), other.root());
    vf_MaskedPelThreshold(src, Buf(), 90, dst);
    EXPECT_EQ(dst.window(), src.window());
    EXPECT_EQ(testimg::pixels<Pel>(dst), testimg::pixels<Pel>(vf_PelThreshold(src, 90)));
    EXPECT_EQ(testimg::pixels<Pel>(other), otherBefore);
}

TEST(MaskedPelThreshold, SourceSharingTheDestinationIsJudgedByItsValuesBeforeTheCall) {
    // The destination one pixel right of the source, in the same storage.
    auto gen = testimg::rng(9);
    auto img = testimg::random<Pel>(21, 3, gen);
    const auto orig = testimg::crop<Pel>(img, img.window());
    Buf mask(21, 3), dst = img;
    vfPelSet<Pel>(mask, 1);
    dst.window(vkPelRect(1, 0, 20, 3));
    dst.offset(P(0, 0));
    vf_MaskedPelThreshold(img, mask, 120, dst);
    const auto want = [&](P p, Pel) { return orig.get(p) >= 120 ? 255 : 0; };
    EXPECT_EQ(testimg::windowMismatch(testimg::pixels<Pel>(orig), dst, want), "");
}
