// Median filter, unmasked and masked, against a sort-based median of each
// neighbourhood.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/median_kernel.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using Buffer = vkPelBuffer<std::uint8_t>;
using testimg::pixels;

namespace {

struct Filter {
    std::int32_t kx, ky;
    std::int32_t lo = 0, hi = 255;
    bool clip = true;
};

std::ostream& operator<<(std::ostream& os, const Filter& f) {
    return os << "kernel " << f.kx << "x" << f.ky << " range " << f.lo << ".." << f.hi
              << (f.clip ? " clip" : " repeat");
}

vkPelMedianParams paramsOf(const Filter& f) {
    return vkPelMedianParams(P(f.kx, f.ky), P(f.lo, f.hi), f.clip);
}

// The median of every neighbourhood by sorting its counted, clamped values.
// img and mask hold w x h pixels row by row; an empty mask counts everything.
std::vector<std::uint8_t> reference(const std::vector<std::uint8_t>& img,
                                    const std::vector<std::uint8_t>& mask, std::int32_t w,
                                    std::int32_t h, const Filter& f) {
    std::vector<std::uint8_t> out;
    std::vector<int> values;
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            values.clear();
            for (std::int32_t dy = -f.ky / 2; dy <= f.ky / 2; ++dy)
                for (std::int32_t dx = -f.kx / 2; dx <= f.kx / 2; ++dx) {
                    std::int32_t sx = x + dx, sy = y + dy;
                    const bool inside = sx >= 0 && sx < w && sy >= 0 && sy < h;
                    if (f.clip && !inside) continue;
                    sx = std::clamp(sx, 0, w - 1);
                    sy = std::clamp(sy, 0, h - 1);
                    const auto i = static_cast<std::size_t>(sy * w + sx);
                    if (!mask.empty() && mask[i] == 0) continue;
                    values.push_back(std::clamp<int>(img[i], f.lo, f.hi));
                }
            std::sort(values.begin(), values.end());
            const int m =
                values.empty() ? std::clamp(128, f.lo, f.hi) : values[(values.size() - 1) / 2];
            out.push_back(static_cast<std::uint8_t>(m));
        }
    return out;
}

// A random mask with about `percent` of its pixels included, by varied
// non-zero values.
Buffer randomMask(std::int32_t w, std::int32_t h, int percent, std::mt19937& gen) {
    Buffer m(w, h);
    std::uniform_int_distribution<int> d(0, 99), v(1, 255);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            m.pointToOffset()[y * m.rowUpdate() + x] =
                d(gen) < percent ? static_cast<std::uint8_t>(v(gen)) : 0;
    return m;
}

const Filter kSweepFilters[] = {
    {1, 1},
    {3, 3},
    {1, 5},
    {7, 1},
    {5, 3, 0, 255, false},
    {9, 7, 60, 190},
    {3, 11, 0, 255, false},
    {21, 3},
    {131, 9, 100, 140},
    {5, 131, 0, 255, false},
    {41, 5, 0, 255, false},
};

}  // namespace

TEST(PelMedianParams, RejectsEvenZeroAndOversizedKernelsAndBadRanges) {
    EXPECT_THROW(vkPelMedianParams(P(2, 3), P(0, 255), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelMedianParams(P(3, 0), P(0, 255), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelMedianParams(P(-3, 3), P(0, 255), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelMedianParams(P(183, 181), P(0, 255), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelMedianParams(P(65535, 65535), P(0, 255), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelMedianParams(P(3, 3), P(-1, 255), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelMedianParams(P(3, 3), P(0, 256), true), vkPelFunc::BadParams);
    EXPECT_THROW(vkPelMedianParams(P(3, 3), P(11, 10), true), vkPelFunc::BadParams);
    const vkPelMedianParams p(P(181, 181), P(7, 7), false);
    EXPECT_EQ(p.kernelSize(), P(181, 181));
    EXPECT_EQ(p.valueRange(), P(7, 7));
    EXPECT_FALSE(p.clipToWindow());
    EXPECT_NO_THROW(vkPelMedianParams(P(32767, 1), P(0, 255), true));
    EXPECT_NO_THROW(vkPelMedianParams(P(1, 32767), P(0, 255), true));
}

TEST(PelMedian, MatchesSortedNeighbourhoodsForSmallSizesAndWindowsInLargerStorage) {
    const std::uint32_t seed = 101;
    auto gen = testimg::rng(seed);
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
        for (std::int32_t h : {1, 4, 9})
            for (const Filter& f : kSweepFilters) {
                // Noise in 90..170 so that narrow value ranges clamp on both sides.
                const auto content = testimg::random<std::uint8_t>(w, h, gen, 90, 170);
                const auto img = testimg::embedded<std::uint8_t>(content, 2, 0, P(-5, 11));
                Buffer out;
                vfPelMedian(img, paramsOf(f), out);
                ASSERT_EQ(out.window(), img.window());
                EXPECT_EQ(pixels<std::uint8_t>(out),
                          reference(pixels<std::uint8_t>(content), {}, w, h, f))
                    << "seed " << seed << " size " << w << "x" << h << " " << f;
            }
}

TEST(PelMedian, EvenCountTakesTheLowerMiddleValue) {
    const auto img = testimg::fromRows<std::uint8_t>(2, 1, {10, 20});
    Buffer out;
    vfPelMedian(img, vkPelMedianParams(P(3, 1), P(0, 255), true), out);
    EXPECT_EQ(pixels<std::uint8_t>(out), (std::vector<std::uint8_t>{10, 10}));
}

TEST(PelMedian, ConstantImageStaysConstantUnderAnyKernelAndBorder) {
    Buffer img(37, 23);
    vfPelSet<std::uint8_t>(img, 77);
    for (const Filter& f :
         {Filter{181, 181}, Filter{181, 181, 0, 255, false}, Filter{1, 32767}, Filter{101, 3}}) {
        Buffer out;
        vfPelMedian(img, paramsOf(f), out);
        EXPECT_EQ(pixels<std::uint8_t>(out), std::vector<std::uint8_t>(37 * 23, 77)) << f;
    }
}

TEST(PelMedian, LargestKernelsKeepExactCountsWhenEdgesRepeat) {
    // Repeating the edges fills every neighbourhood with kx * ky values, up
    // to the 32767 the counters must hold.
    const std::uint32_t seed = 102;
    auto gen = testimg::rng(seed);
    const auto img = testimg::random<std::uint8_t>(6, 5, gen);
    for (const Filter& f : {Filter{181, 181, 0, 255, false}, Filter{32767, 1, 0, 255, false},
                            Filter{1, 32767, 0, 255, false}}) {
        Buffer out;
        vfPelMedian(img, paramsOf(f), out);
        EXPECT_EQ(pixels<std::uint8_t>(out), reference(pixels<std::uint8_t>(img), {}, 6, 5, f))
            << "seed " << seed << " " << f;
    }
}

TEST(PelMedian, NarrowStripesPartialRectanglesAndBothPathsMatchTheWholeFilter) {
    const std::uint32_t seed = 103;
    auto gen = testimg::rng(seed);
    const std::int32_t w = 41, h = 30;
    const auto img = testimg::random<std::uint8_t>(w, h, gen);
    const auto mask = randomMask(w, h, 60, gen);
    for (bool masked : {false, true})
        for (const Filter& f : {Filter{7, 5}, Filter{15, 3, 0, 255, false}, Filter{1, 9},
                                Filter{61, 1}, Filter{61, 3, 0, 255, false}}) {
            const auto full = reference(
                pixels<std::uint8_t>(img),
                masked ? pixels<std::uint8_t>(mask) : std::vector<std::uint8_t>{}, w, h, f);
            for (auto path : {vk_detail::MedianPath::Fastest, vk_detail::MedianPath::Portable})
                for (std::int32_t stripe : {1, 2, 3, 7, 8, 40, 100})
                    for (const vkPelRect& r : {vkPelRect(0, 0, w, h), vkPelRect(5, 3, 17, 20),
                                               vkPelRect(40, 29, 1, 1)}) {
                        // One guard column on each side of the results.
                        Buffer out(r.width() + 2, r.height());
                        vfPelSet<std::uint8_t>(out, 3);
                        const vk_detail::MedianJob job{
                            .image = img.pointToOffset(),
                            .imageStride = img.rowUpdate(),
                            .mask = masked ? mask.pointToOffset() : nullptr,
                            .maskStride = mask.rowUpdate(),
                            .width = w,
                            .height = h,
                            .radiusX = f.kx / 2,
                            .radiusY = f.ky / 2,
                            .clip = f.clip,
                            .lo = 0,
                            .hi = 255,
                            .outX = r.ul().x(),
                            .outY = r.ul().y(),
                            .outWidth = r.width(),
                            .outHeight = r.height(),
                            .result = out.pointToOffset() + 1,
                            .resultStride = out.rowUpdate()};
                        vk_detail::medianFilter(job, stripe, path);
                        std::vector<std::uint8_t> expect;
                        for (std::int32_t y = r.ul().y(); y < r.ll().y(); ++y) {
                            expect.push_back(3);
                            for (std::int32_t x = r.ul().x(); x < r.ur().x(); ++x)
                                expect.push_back(full[static_cast<std::size_t>(y * w + x)]);
                            expect.push_back(3);
                        }
                        ASSERT_EQ(pixels<std::uint8_t>(out), expect)
                            << "seed " << seed << " " << f << " masked " << masked << " stripe "
                            << stripe << " portable " << (path == vk_detail::MedianPath::Portable);
                    }
        }
}

TEST(PelMedian, BoundResultIsWrittenOnlyWhereItOverlapsTheSourceWindow) {
    const std::uint32_t seed = 104;
    auto gen = testimg::rng(seed);
    const auto content = testimg::random<std::uint8_t>(20, 16, gen);
    const auto img = testimg::embedded<std::uint8_t>(content, 4, 0, P(10, 10));
    const Filter f{5, 5};
    const auto expect = reference(pixels<std::uint8_t>(content), {}, 20, 16, f);
    // The result's window, inside larger storage, overlaps the image
    // window's lower right corner.
    Buffer storage(vkPelRect(20, 16, 19, 19));
    vfPelSet<std::uint8_t>(storage, 3);
    Buffer out = storage;
    out.window(vkPelRect(22, 18, 15, 15));
    vfPelMedian(img, paramsOf(f), out);
    ASSERT_EQ(out.window(), vkPelRect(22, 18, 15, 15));
    for (std::int32_t y = 16; y < 35; ++y)
        for (std::int32_t x = 20; x < 39; ++x) {
            const bool written = x >= 22 && x < 30 && y >= 18 && y < 26;
            EXPECT_EQ(storage.get(P(x, y)),
                      written ? expect[static_cast<std::size_t>((y - 10) * 20 + x - 10)] : 3)
                << "seed " << seed << " at " << x << "," << y;
        }
}

TEST(PelMedian, ResultSharingTheImageStorageSeesTheOriginalPixels) {
    const std::uint32_t seed = 105;
    auto gen = testimg::rng(seed);
    auto img = testimg::random<std::uint8_t>(30, 25, gen);
    const Filter f{7, 9};
    const auto expect = reference(pixels<std::uint8_t>(img), {}, 30, 25, f);
    vfPelMedian(img, paramsOf(f), img);
    EXPECT_EQ(pixels<std::uint8_t>(img), expect) << "seed " << seed;
}

TEST(PelMedian, UnboundImageOrCancellationThrowsAndLeavesTheResultAlone) {
    Buffer none, out(8, 8), unboundOut;
    vfPelSet<std::uint8_t>(out, 9);
    const vkPelMedianParams p(P(3, 3), P(0, 255), true);
    EXPECT_THROW(vfPelMedian(none, p, out), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelMedian(out, none, p, unboundOut), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelMedian(none, out, p, unboundOut), vkPel::UnboundWindow);
    EXPECT_FALSE(unboundOut.isBound());

    auto gen = testimg::rng(106);
    const auto img = testimg::random<std::uint8_t>(8, 8, gen);
    vkAttention::Token token;
    token.cancel();
    vkAttention::Scope scope(token);
    EXPECT_THROW(vfPelMedian(img, p, out), vkAttention::Cancelled);
    EXPECT_THROW(vfPelMedian(img, img, p, unboundOut), vkAttention::Cancelled);
    EXPECT_EQ(pixels<std::uint8_t>(out), std::vector<std::uint8_t>(64, 9));
    EXPECT_FALSE(unboundOut.isBound());
}

TEST(PelMedianMasked, MatchesSortedIncludedPixelsOverTheIntersectionOfWindows) {
    const std::uint32_t seed = 201;
    auto gen = testimg::rng(seed);
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
        for (int percent : {10, 50, 95})
            for (const Filter& f : kSweepFilters) {
                const std::int32_t h = 7;
                // The mask window is shifted by (1, -2) and one pixel larger.
                const auto content = testimg::random<std::uint8_t>(w, h, gen, 90, 170);
                const auto maskContent = randomMask(w + 1, h + 1, percent, gen);
                const auto img = testimg::embedded<std::uint8_t>(content, 2, 0, P(0, 0));
                const auto mask = testimg::embedded<std::uint8_t>(maskContent, 1, 255, P(1, -2));
                const vkPelRect common = img.window() & mask.window();
                Buffer out;
                vfPelMedian(img, mask, paramsOf(f), out);
                ASSERT_EQ(out.window(), common);
                std::vector<std::uint8_t> cropImg, cropMask;
                for (std::int32_t y = common.ul().y(); y < common.ll().y(); ++y)
                    for (std::int32_t x = common.ul().x(); x < common.ur().x(); ++x) {
                        cropImg.push_back(img.get(P(x, y)));
                        cropMask.push_back(mask.get(P(x, y)));
                    }
                EXPECT_EQ(pixels<std::uint8_t>(out),
                          reference(cropImg, cropMask, common.width(), common.height(), f))
                    << "seed " << seed << " width " << w << " mask " << percent << "% " << f;
            }
}

TEST(PelMedianMasked, NeighbourhoodWithoutIncludedPixelsGives128ClampedIntoTheRange) {
    // A 9 x 9 hole in an otherwise included mask: with a 3 x 3 kernel the
    // hole's inner 7 x 7 sees no included pixel.
    Buffer img(15, 15), mask(15, 15);
    vfPelSet<std::uint8_t>(img, 30);
    vfPelSet<std::uint8_t>(mask, 1);
    Buffer hole = mask;
    hole.window(vkPelRect(3, 3, 9, 9));
    vfPelSet<std::uint8_t>(hole, 0);
    for (const Filter& f : {Filter{3, 3}, Filter{3, 3, 0, 100}, Filter{3, 3, 150, 200}}) {
        Buffer out;
        vfPelMedian(img, mask, paramsOf(f), out);
        for (std::int32_t y = 0; y < 15; ++y)
            for (std::int32_t x = 0; x < 15; ++x) {
                const bool blind = x >= 4 && x < 11 && y >= 4 && y < 11;
                EXPECT_EQ(out.get(P(x, y)), std::clamp(blind ? 128 : 30, f.lo, f.hi))
                    << f << " at " << x << "," << y;
            }
    }
}

TEST(PelMedianMasked, MedianHoppingBetweenBinGroupsAcrossExcludedGapsStaysExact) {
    // Values straddle 128, where one group of 16 fine bins ends and the next
    // begins, so the median keeps changing group; excluded bars make
    // neighbourhoods empty for a step or two in between.
    const std::uint32_t seed = 202;
    auto gen = testimg::rng(seed);
    for (const Filter& f :
         {Filter{5, 1}, Filter{11, 1}, Filter{9, 3}, Filter{13, 5}, Filter{7, 7}}) {
        const std::int32_t w = 64, h = 12;
        const auto img = testimg::random<std::uint8_t>(w, h, gen, 120, 135);
        auto mask = randomMask(w, h, 100, gen);
        std::uniform_int_distribution<int> len(1, f.kx + 2), gap(0, 6);
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = gap(gen); x < w; x += gap(gen) + 1)
                for (const std::int32_t end = std::min(w, x + len(gen)); x < end; ++x)
                    mask.pointToOffset()[y * mask.rowUpdate() + x] = 0;
        Buffer out;
        vfPelMedian(img, mask, paramsOf(f), out);
        EXPECT_EQ(pixels<std::uint8_t>(out),
                  reference(pixels<std::uint8_t>(img), pixels<std::uint8_t>(mask), w, h, f))
            << "seed " << seed << " " << f;
    }
}

TEST(PelMedianMasked, DisjointWindowsLeaveABoundResultAlone) {
    Buffer img(4, 4), mask(vkPelRect(10, 10, 4, 4)), out(20, 20);
    vfPelSet<std::uint8_t>(out, 5);
    vfPelMedian(img, mask, vkPelMedianParams(P(3, 3), P(0, 255), true), out);
    EXPECT_EQ(pixels<std::uint8_t>(out), std::vector<std::uint8_t>(400, 5));
    Buffer fresh;
    vfPelMedian(img, mask, vkPelMedianParams(P(3, 3), P(0, 255), true), fresh);
    EXPECT_TRUE(fresh.window().isNull());
}
