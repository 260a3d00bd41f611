#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
using Buf = vkPelBuffer<Pel>;
using testimg::pixels;

namespace {

std::vector<Pel> naiveThreshold(const std::vector<Pel>& v, int t) {
    std::vector<Pel> out;
    for (Pel p : v) out.push_back(p >= t ? 255 : 0);
    return out;
}

}  // namespace

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
            int want = t;
            if (t < 0) {  // Otsu's threshold of the window's own histogram
                std::vector<std::uint32_t> h(256, 0);
                for (Pel p : pixels<Pel>(src)) ++h[p];
                vkThresholdResult r;
                vfThresholdWGV(h, r, 0, -1);
                want = r.threshold();
            }
            const auto out = t < 0 ? vf_PelThreshold(src) : vf_PelThreshold(src, static_cast<unsigned char>(t));
            EXPECT_EQ(out.window(), src.window());
            EXPECT_EQ(out.clientFromImageXformBase(), src.clientFromImageXformBase());
            EXPECT_EQ(pixels<Pel>(out), naiveThreshold(pixels<Pel>(src), want));
        }
    Buf flat(13, 5);
    vfPelSet<Pel>(flat, 77);
    EXPECT_EQ(pixels<Pel>(vf_PelThreshold(flat)), std::vector<Pel>(65, 255)) << "one gray level";
    EXPECT_THROW(vf_PelThreshold(Buf(), 5), vkPel::UnboundWindow);
    EXPECT_THROW(vf_PelThreshold(Buf()), vkPel::UnboundWindow);
}

TEST(MaskedPelThreshold, MatchesNaiveReferenceAndLeavesTheRestOfTheDestination) {
    const int thresholds[] = {0, 255, 1, 128, 77, 254, 0, 200, 255};
    const std::int32_t widths[] = {1, 2, 3, 7, 8, 9, 16, 17, 33};
    for (std::size_t k = 0; k < 9; ++k) {
        const std::int32_t w = widths[k];
        const int t = thresholds[k];
        SCOPED_TRACE(testimg::trace(w, 4, std::uint32_t(w)) + " threshold " + std::to_string(t));
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
        EXPECT_EQ(testimg::windowMismatch(before, dst, want), "");
    }
}

TEST(MaskedPelThreshold, UnboundDestinationGetsTheCommonWindowUnlessEmptyAndSourceTransforms) {
    auto gen = testimg::rng(4);
    auto src = testimg::random<Pel>(10, 8, gen);
    src.clientFromImageXform(vkXform<2>::scale(2, 3));
    Buf mask(vkPelRect(4, -2, 10, 6)), dst, none;
    vfPelSet<Pel>(mask, 1);
    vf_MaskedPelThreshold(src, mask, 50, dst);
    ASSERT_EQ(dst.window(), vkPelRect(4, 0, 6, 4));
    EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
    EXPECT_EQ(pixels<Pel>(dst), naiveThreshold(pixels<Pel>(testimg::crop<Pel>(src, dst.window())), 50));
    vf_MaskedPelThreshold(src, Buf(vkPelRect(10, 0, 5, 5)), 1, none);
    EXPECT_FALSE(none.isBound());
}

TEST(MaskedPelThreshold, UnboundMaskReplacesTheDestinationAndUnboundSourceThrows) {
    auto gen = testimg::rng(5);
    const auto src = testimg::embedded<Pel>(testimg::random<Pel>(6, 5, gen), 2, 0, P(30, 40));
    auto dst = testimg::random<Pel>(50, 50, gen);
    const auto other = dst;  // shares the old destination's pixels
    const auto otherBefore = pixels<Pel>(other);
    EXPECT_THROW(vf_MaskedPelThreshold(Buf(), Buf(), 1, dst), vkPel::UnboundWindow);
    EXPECT_THROW(vf_MaskedPelThreshold(Buf(), src, 1, dst), vkPel::UnboundWindow);
    EXPECT_EQ(dst.root(), other.root());
    vf_MaskedPelThreshold(src, Buf(), 90, dst);
    EXPECT_EQ(dst.window(), src.window());
    EXPECT_EQ(pixels<Pel>(dst), naiveThreshold(pixels<Pel>(src), 90));
    EXPECT_EQ(pixels<Pel>(other), otherBefore);
}

TEST(MaskedPelThreshold, SourceSharingTheDestinationIsJudgedByItsValuesBeforeTheCall) {
    // In place, and with the destination one pixel right of the source in
    // the same storage.
    for (std::int32_t shift : {0, 1}) {
        auto gen = testimg::rng(9);
        auto img = testimg::random<Pel>(21, 3, gen);
        const auto orig = pixels<Pel>(img);
        Buf mask(21, 3), dst = img;
        vfPelSet<Pel>(mask, 1);
        dst.window(vkPelRect(shift, 0, 21 - shift, 3));
        dst.offset(P(0, 0));
        vf_MaskedPelThreshold(img, mask, 120, dst);
        const auto want = [&](P p, Pel) { return orig[std::size_t(p.y() * 21 + p.x())] >= 120 ? 255 : 0; };
        EXPECT_EQ(testimg::windowMismatch(orig, dst, want), "") << "shift " << shift;
    }
}
