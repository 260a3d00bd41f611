// Median filter against a sort-based median of each neighbourhood.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/median_kernel.h"
#include "support/images.h"
#include "support/threads.h"

using P = vkPair<std::int32_t>;
using U8 = std::uint8_t;
using Buffer = vkPelBuffer<U8>;
using testimg::pixels;

namespace {

struct Filter {
    std::int32_t kx, ky;
    std::int32_t lo = 0, hi = 255;
    bool clip = true;
};

std::ostream& operator<<(std::ostream& os, const Filter& f) {
    return os << f.kx << "x" << f.ky << " " << f.lo << ".." << f.hi
              << (f.clip ? " clip" : " repeat");
}

vkPelMedianParams paramsOf(const Filter& f, std::int32_t depth = 8) {
    return vkPelMedianParams(P(f.kx, f.ky), P(f.lo, f.hi), f.clip, depth);
}

using Paths = std::vector<vk_detail::MedianPath>;

// Every instruction set this build and processor can run.
Paths availablePaths() {
    Paths paths;
    for (auto p : {vk_detail::MedianPath::Portable, vk_detail::MedianPath::Sse2,
                   vk_detail::MedianPath::Avx2, vk_detail::MedianPath::Avx512})
        if (vk_detail::medianPathAvailable(p)) paths.push_back(p);
    return paths;
}

// Sorted counted, clamped values: the lower middle one, or `empty` clamped
// into the range when none counts. An empty mask counts everything.
template <class T>
std::vector<T> reference(const std::vector<T>& img, const std::vector<U8>& mask, std::int32_t w,
                         std::int32_t h, const Filter& f, int empty = 128) {
    std::vector<T> out;
    std::vector<int> values;
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            values.clear();
            for (std::int32_t dy = -f.ky / 2; dy <= f.ky / 2; ++dy)
                for (std::int32_t dx = -f.kx / 2; dx <= f.kx / 2; ++dx) {
                    const std::int32_t sx = x + dx, sy = y + dy;
                    if (f.clip && (sx < 0 || sx >= w || sy < 0 || sy >= h)) continue;
                    const auto i = static_cast<std::size_t>(std::clamp(sy, 0, h - 1) * w +
                                                            std::clamp(sx, 0, w - 1));
                    if (!mask.empty() && mask[i] == 0) continue;
                    values.push_back(std::clamp<int>(img[i], f.lo, f.hi));
                }
            std::sort(values.begin(), values.end());
            out.push_back(static_cast<T>(values.empty() ? std::clamp(empty, f.lo, f.hi)
                                                        : values[(values.size() - 1) / 2]));
        }
    return out;
}

std::vector<U8> reference(const vkPelBuffer_const<U8>& img, const Filter& f) {
    return reference<U8>(pixels<U8>(img), {}, img.width(), img.height(), f);
}

// About `percent` of the pixels included, by varied non-zero values.
Buffer randomMask(std::int32_t w, std::int32_t h, int percent, std::mt19937& gen) {
    Buffer m = testimg::random<U8>(w, h, gen, 1, 255);
    std::uniform_int_distribution<int> d(0, 99);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            if (d(gen) >= percent) m.pointToOffset()[y * m.rowUpdate() + x] = 0;
    return m;
}

const Filter kSweepFilters[] = {
    {1, 1, 0, 255, true},    {3, 3, 0, 255, true},   {1, 5, 0, 255, true},
    {7, 1, 0, 255, true},    {5, 3, 0, 255, false},  {9, 7, 60, 190, true},
    {3, 11, 0, 255, false},  {21, 3, 0, 255, true},  {131, 9, 100, 140, true},
    {5, 131, 0, 255, false}, {41, 5, 0, 255, false}, {3, 3, 0, 100, true},
    {5, 3, 150, 200, false}, {5, 5, 0, 255, true},   {5, 5, 120, 160, false},
    {3, 3, 0, 255, false}};

}  // namespace

TEST(PelMedianParams, RejectsBadKernelsAndRangesAndTheLargestKernelsKeepExactCounts) {
    const Filter bad[] = {{2, 3, 0, 255, true},         {3, 0, 0, 255, true},
                          {-3, 3, 0, 255, true},        {183, 181, 0, 255, true},
                          {65535, 65535, 0, 255, true}, {3, 3, -1, 255, true},
                          {3, 3, 0, 256, true},         {3, 3, 11, 10, true}};
    for (const Filter& f : bad)
        EXPECT_THROW(paramsOf(f), vkPelFunc::BadParams) << f;
    for (const auto& [hi, depth] : {std::pair{255, 7}, std::pair{4096, 12}, std::pair{65535, 17}})
        EXPECT_THROW(paramsOf({3, 3, 0, hi, true}, depth), vkPelFunc::BadParams)
            << hi << " depth " << depth;
    Buffer none;
    EXPECT_THROW(vfPelMedian(Buffer(2, 2), paramsOf({3, 3, 0, 255, true}, 12), none),
                 vkPelFunc::BadParams);
    // Repeated edges fill neighbourhoods with up to 32767 values to count.
    auto gen = testimg::rng(102);
    const auto img = testimg::random<U8>(6, 5, gen);
    for (const Filter& f : {Filter{181, 181, 7, 9, true}, Filter{181, 181, 0, 255, false},
                            Filter{32767, 1, 0, 255, false}, Filter{1, 32767, 0, 255, false}}) {
        Buffer out;
        vfPelMedian(img, paramsOf(f), out);
        EXPECT_EQ(pixels<U8>(out), reference(img, f)) << "seed 102 " << f;
    }
    // 16-bit values under kernels far wider than the window. Columns count
    // in bytes up to kernels 255 rows high, in 16 bits above: with values
    // 2000..2010 and repeated edge rows, one bin holds all of a column's 255
    // or 257 pixels; 16-bit values count their low bytes in 16 bits too.
    using U16 = std::uint16_t;
    struct Deep {
        Filter f;
        std::int32_t depth, lo, hi;
    };
    for (const Deep& d : {Deep{{1025, 3, 0, 65535, true}, 16, 0, 65535},
                          Deep{{1025, 1, 9, 60000, false}, 16, 0, 65535},
                          Deep{{5, 255, 0, 4095, false}, 12, 2000, 2010},
                          Deep{{3, 257, 100, 4000, false}, 12, 2000, 2010},
                          Deep{{5, 257, 0, 65535, false}, 16, 30000, 36000}}) {
        const auto deep = testimg::random<U16>(6, 5, gen, d.lo, d.hi);
        vkPelBuffer<U16> out;
        vfPelMedian(deep, paramsOf(d.f, d.depth), out);
        EXPECT_EQ(pixels<U16>(out), reference<U16>(pixels<U16>(deep), {}, 6, 5, d.f)) << d.f;
    }
}

// Values and ranges of kSweepFilters scaled to the depth.
template <class T>
void expectSortedNeighbourhoods(std::uint32_t seed, std::int32_t depth,
                                const std::vector<std::int32_t>& widths) {
    auto gen = testimg::rng(seed);
    const int top = (1 << depth) - 1, scale = (top + 1) / 256;
    for (std::int32_t w : widths)
        for (std::int32_t h : {1, 4, 9})
            for (Filter f : kSweepFilters) {
                f.lo = std::min(f.lo * scale, top);
                f.hi = std::min(f.hi * scale, top);
                const int percent = (w + h + f.kx) % 4 * 30 - 20;  // unmasked, 10%, 40%, 70%
                SCOPED_TRACE(testing::Message() << testimg::trace(w, h, seed) << " " << f
                                                << " mask " << percent << " depth " << depth);
                // Ranges clamp on both sides and hop bin groups (8-bit:
                // 120..135; 16-bit: every digit changes at the middle);
                // the tallest images take every value.
                const std::uint32_t mid = (top + 1) / 2;
                const std::uint32_t lo = h == 9   ? 0
                                         : h == 4 ? mid - 8 * scale
                                                  : mid - 38 * scale,
                                    hi = h == 9   ? top
                                         : h == 4 ? mid + 7 * scale
                                                  : mid + 42 * scale;
                const auto content = testimg::random<T>(w, h, gen, lo, hi);
                auto img = testimg::embedded<T>(content, 2, 0, P(-5, 11));
                // A shifted mask window; sparse masks leave empty neighbourhoods.
                const auto mask = testimg::embedded<U8>(randomMask(w + 1, h + 1, percent, gen), 1,
                                                        255, P(-4, 10));
                const vkPelRect common = percent < 0 ? img.window() : img.window() & mask.window();
                const auto expect = reference<T>(
                    pixels<T>(testimg::crop<T>(img, common)),
                    percent < 0 ? std::vector<U8>{} : pixels<U8>(testimg::crop<U8>(mask, common)),
                    common.width(), common.height(), f, static_cast<int>(mid));
                auto median = [&](vkPelBuffer<T>& out) {
                    percent < 0 ? vfPelMedian(img, paramsOf(f, depth), out)
                                : vfPelMedian(img, mask, paramsOf(f, depth), out);
                };
                vkPelBuffer<T> out;
                median(out);
                ASSERT_EQ(out.window(), common);
                EXPECT_EQ(pixels<T>(out), expect);
                // A bound result is written only where it overlaps.
                vkPelBuffer<T> part(img.window().trim(-2, -2, -2, -2));
                vfPelSet<T>(part, 3);
                part.window(vkPelRect(-4, 12, w, h));
                const auto blank = testimg::storagePixels<T>(part);
                median(part);
                EXPECT_EQ(testimg::windowMismatch<T>(
                              blank, part,
                              [&](P p, T old) { return common.contains(p) ? out.get(p) : old; }),
                          "");
                // Narrow stripes and every instruction set give the same results.
                const auto imgC = testimg::crop<T>(img, common);
                const auto maskC = testimg::crop<U8>(mask, common);
                for (auto path : availablePaths())
                    for (std::int32_t stripe : {1, 3, 8}) {
                        vkPelBuffer<T> again(common);
                        vk_detail::MedianJobOf<T> job{imgC.pointToOffset(),
                                                      imgC.rowUpdate(),
                                                      percent < 0 ? nullptr : maskC.pointToOffset(),
                                                      maskC.rowUpdate(),
                                                      common.width(),
                                                      common.height(),
                                                      f.kx / 2,
                                                      f.ky / 2,
                                                      f.clip,
                                                      T(f.lo),
                                                      T(f.hi),
                                                      0,
                                                      0,
                                                      common.width(),
                                                      common.height(),
                                                      again.pointToOffset(),
                                                      again.rowUpdate(),
                                                      T(mid),
                                                      depth};
                        vk_detail::medianFilter(job, stripe, path);
                        ASSERT_EQ(pixels<T>(again), expect)
                            << "stripe " << stripe << " path " << int(path);
                        if (stripe == 1 && vk_detail::smallMedianApplies(job)) {
                            vfPelSet<T>(again, 7);
                            vk_detail::smallMedian(job, path);
                            ASSERT_EQ(pixels<T>(again), expect)
                                << "sorting network, path " << int(path);
                        }
                    }
                // In place it sees the original pixels and changes only the window.
                const auto before = testimg::storagePixels<T>(img);
                median(img);
                EXPECT_EQ(pixels<T>(testimg::crop<T>(img, common)), expect);
                EXPECT_EQ(testimg::windowMismatch<T>(
                              before, img,
                              [&](P p, T old) { return common.contains(p) ? img.get(p) : old; }),
                          "");
            }
}

TEST(PelMedian, MatchesSortedNeighbourhoodsUnmaskedAndMaskedForSmallSizesInLargerStorage) {
    expectSortedNeighbourhoods<U8>(101, 8, {1, 2, 3, 7, 8, 9, 63, 64, 65});
    expectSortedNeighbourhoods<std::uint16_t>(111, 16, {1, 2, 8, 65});
    expectSortedNeighbourhoods<std::uint16_t>(112, 12, {3, 9});
}

// Several strips of rows (each filling its column histograms anew), against
// one pass of the kernel over the whole window; small kernels also on an
// image large enough for their results to bypass the caches.
TEST(PelMedian, EveryThreadCountMatchesOneStrip) {
    auto gen = testimg::rng(107);
    const auto small =
        testimg::embedded<U8>(testimg::random<U8>(200, 701, gen, 100, 160), 2, 0, P(3, -4));
    const auto mask = testimg::embedded<U8>(randomMask(200, 701, 60, gen), 1, 0, P(3, -4));
    const auto large = testimg::random<U8>(2901, 2900, gen, 0, 255);
    const struct {
        const Buffer& img;
        Filter f;
        bool masked;
    } cases[] = {{small, {9, 7, 0, 255, true}, false},   {small, {9, 7, 0, 255, true}, true},
                 {small, {5, 61, 0, 255, false}, false}, {small, {5, 61, 0, 255, false}, true},
                 {small, {3, 3, 0, 255, true}, false},   {small, {3, 3, 0, 255, true}, true},
                 {large, {3, 3, 0, 255, true}, false},   {large, {5, 5, 0, 255, false}, false}};
    for (const auto& [img, f, masked] : cases) {
        const std::int32_t w = img.width(), h = img.height();
        Buffer want(img.window());
        vk_detail::medianFilter(vk_detail::MedianJob{
            img.pointToOffset(), img.rowUpdate(), masked ? mask.pointToOffset() : nullptr,
            mask.rowUpdate(), w, h, f.kx / 2, f.ky / 2, f.clip, 0, 255, 0, 0, w, h,
            want.pointToOffset(), want.rowUpdate()});
        for (const std::int32_t n : testthreads::kCounts) {
            const testthreads::Count count(n);
            Buffer out;
            masked ? vfPelMedian(img, mask, paramsOf(f), out) : vfPelMedian(img, paramsOf(f), out);
            EXPECT_EQ(pixels<U8>(out), pixels<U8>(want))
                << w << "x" << h << " " << f << (masked ? " masked, " : ", ") << n << " threads";
        }
    }
}

TEST(PelMedian, UnboundImageCancellationOrDisjointWindowsLeaveTheResultAlone) {
    Buffer none, out(8, 8), unboundOut;
    vfPelSet<U8>(out, 9);
    const vkPelMedianParams p(P(3, 3), P(0, 255), true);
    EXPECT_THROW(vfPelMedian(none, p, out), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelMedian(out, none, p, unboundOut), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelMedian(none, out, p, unboundOut), vkPel::UnboundWindow);
    auto gen = testimg::rng(106);
    const auto img = testimg::random<U8>(8, 8, gen);
    vfPelMedian(img, Buffer(vkPelRect(10, 10, 4, 4)), p, out);  // no common window
    vfPelMedian(img, Buffer(vkPelRect(10, 10, 4, 4)), p, unboundOut);
    EXPECT_TRUE(unboundOut.window().isNull());
    unboundOut.setUnbound();
    vkAttention::Token token;
    token.cancel();
    vkAttention::Scope scope(token);
    EXPECT_THROW(vfPelMedian(img, p, out), vkAttention::Cancelled);
    EXPECT_THROW(vfPelMedian(img, img, p, unboundOut), vkAttention::Cancelled);
    EXPECT_EQ(pixels<U8>(out), std::vector<U8>(64, 9));
    EXPECT_FALSE(unboundOut.isBound());
}
