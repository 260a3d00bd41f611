#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "imgnorm/linear_fit.h"
#include "scene.h"

using namespace imgnorm_detail;
using P = vkPair<std::int32_t>;
using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;
using Points = std::vector<std::pair<int, int>>;  // (run-time, template)

namespace {

std::vector<vkDegree> angles() {
    std::vector<vkDegree> a;
    buildFitAngles(a);
    return a;
}

int bin(int g) { return (g + 4) / 8; }

vkPelBuffer<std::uint32_t> row(const std::vector<std::uint32_t>& v) {
    vkPelBuffer<std::uint32_t> b(static_cast<std::int32_t>(v.size()), 1);
    std::copy(v.begin(), v.end(), b.pointToOffset());
    return b;
}

Img filled(std::int32_t w, std::int32_t h, std::uint8_t value) {
    Img b(w, h);
    vfPelSet(b, value);
    return b;
}

// Least squares of template on run-time value, in long double.
vkPair<double> naiveLine(const Points& pts) {
    long double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (auto [r, t] : pts) n += 1, sx += r, sy += t, sxx += 1.0L * r * r, sxy += 1.0L * r * t;
    const long double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    return {double(slope), double((sy - slope * sx) / n)};
}

vkPair<double> fitted(const Points& pts) {
    std::vector<std::uint32_t> table(256 * 256, 0);
    for (auto [r, t] : pts) ++table[size_t(t * 256 + r)];
    vkPair<double> line(-1, -1);
    EXPECT_TRUE(fitGrayLine(table, filled(33, 33, 255), line));
    return line;
}

}  // namespace

TEST(FitAngles, TangentsStepByOneThirtyThirdWithoutFortyFiveDegrees) {
    std::vector<vkDegree> a(100, vkDegree(-7.0));
    buildFitAngles(a);
    ASSERT_EQ(a.size(), 63u);
    for (size_t i = 0; i < 63; ++i)
        EXPECT_NEAR(std::tan(vkRadian(a[i]).toDouble()), i < 32 ? (i + 1) / 33.0 : 33.0 / double(63 - i), 1e-10) << i;
}

// One case of the pair counts and the refinement: the run-time image of
// values lowest..top, the template about 0.7 r + 300 (in 12-bit levels) plus
// noise where they overlap, both windows inside larger storage full of values
// that would show up if read; the pairs kept at random, in a band about the
// line, or all.
struct PairCase {
    int depth;
    std::int32_t w, h;
    bool weighted;
    char kept;
    std::uint32_t lowest;
};

template <class Pel>
void expectNaivePairsAndLine(const PairCase& c) {
    SCOPED_TRACE(testing::Message() << "depth=" << c.depth << " w=" << c.w << " h=" << c.h
                                    << " weighted=" << c.weighted << " kept=" << c.kept);
    const int shift = c.depth - 8;
    const std::uint32_t top = (1u << c.depth) - 1;
    const double scale = double(top) / 4095;
    auto gen = testimg::rng(static_cast<std::uint32_t>(c.depth * 4096 + c.w * 2 + c.weighted));
    auto runContent = testimg::random<Pel>(c.w, c.h, gen, c.lowest, top);
    runContent.set(P(c.w - 1, 0), Pel(top));  // the top level on both sides
    auto tmplContent = testimg::random<Pel>(c.w + 2, c.h + 2, gen, 0, top);
    for (std::int32_t i = 0; i < c.w * c.h; ++i) {
        const double t =
            0.7 * runContent.get(P(i % c.w, i / c.w)) + double(280 + gen() % 41) * scale;
        tmplContent.set(P(i % c.w + 1, i / c.w + 1), Pel(std::clamp(t, 0.0, double(top))));
    }
    const auto run = testimg::embedded<Pel>(runContent, 3, Pel(top), P(4, 9));
    const auto tmpl = testimg::embedded<Pel>(tmplContent, 2, 0, P(3, 8));
    Img weight;
    if (c.weighted)
        weight = testimg::embedded<std::uint8_t>(
            testimg::mapped<std::uint8_t>(testimg::random<std::uint8_t>(c.w + 1, c.h + 1, gen),
                                          [](int v, int, int) { return v % 3 == 0 ? 0 : v; }),
            1, 255, P(3, 9));
    std::vector<std::uint8_t> kept(256 * 256);
    for (std::size_t i = 0; i < kept.size(); ++i)
        kept[i] = c.kept == 'a' ||
                  (c.kept == 'b' ? std::abs(double(i >> 8) - 0.7 * double(i & 255) - 19) < 3
                                 : gen() % 4 != 0);
    std::vector<std::uint32_t> cells(33 * 33, 0), pairs(256 * 256, 0);
    Points pts;
    for (std::int32_t y = 9; y < 9 + c.h; ++y)
        for (std::int32_t x = 4; x < 4 + c.w; ++x) {
            const int t = tmpl.get(P(x, y)), r = run.get(P(x, y));
            const int wt = c.weighted ? weight.get(P(x, y)) : 1;
            cells[size_t(bin(t >> shift) * 33 + bin(r >> shift))] += wt;
            pairs[size_t((t >> shift) * 256 + (r >> shift))] += wt != 0;
            if (wt != 0 && kept[size_t((t >> shift) * 256 + (r >> shift))]) pts.emplace_back(r, t);
        }
    const auto images = pairImages<Pel>(run, tmpl, weight);
    const PairCounts counts = countPairs(images, shift);
    EXPECT_EQ(testimg::pixels<std::uint32_t>(counts.histogram), cells);
    EXPECT_EQ(counts.pairs, pairs);
    if constexpr (sizeof(Pel) == 2) {
        // A line needs kept pixels of two run-time values at least.
        const bool some =
            std::any_of(pts.begin(), pts.end(), [&](auto p) { return p.first != pts[0].first; });
        const auto ref = some ? naiveLine(pts) : vkPair<double>(3, 4);
        for (RefinePath path : {RefinePath::Fastest, RefinePath::Portable}) {
            vkPair<double> line(3, 4);
            EXPECT_EQ(refineGrayLine(images, kept, pairs, shift, line, path), some);
            EXPECT_NEAR(line.x(), ref.x(), 1e-9) << (path == RefinePath::Portable);
            EXPECT_NEAR(line.y(), ref.y(), 1e-9 * top) << (path == RefinePath::Portable);
        }
    }
}

// Every width the row kernels treat apart, and images of more than one
// strip. A row of 2^20 + 2^16 values with high bytes 255 would overflow
// 32-bit lanes kept for all of it.
TEST(PairCounts, MatchNaiveCountsByPositionAndTheRefinedLineIsLeastSquaresOverKeptPairs) {
    for (int depth : {8, 12, 16})
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65, 1030})
            for (bool weighted : {false, true}) {
                const PairCase c{depth, w, 5, weighted, "rba"[(w + depth + weighted) % 3], 0};
                depth == 8 ? expectNaivePairsAndLine<std::uint8_t>(c)
                           : expectNaivePairsAndLine<std::uint16_t>(c);
            }
    expectNaivePairsAndLine<std::uint16_t>({16, 63, 2, true, 'b', 0});
    // Strips hold 2^21 pixels at least: 2100 rows of 1030 are two strips,
    // the second one short, whose tables are summed into the counts.
    expectNaivePairsAndLine<std::uint8_t>({8, 1030, 2100, false, 'a', 0});
    expectNaivePairsAndLine<std::uint16_t>({12, 1030, 2100, true, 'r', 0});
    expectNaivePairsAndLine<std::uint16_t>({16, (1 << 20) + (1 << 16), 1, false, 'a', 65280});
    // Kept pixels of a single run-time value give no line.
    vkPelBuffer<std::uint16_t> one(8, 8), tmpl(8, 8);
    vfPelSet<std::uint16_t>(one, 1000);
    vkPair<double> line(3, 4);
    EXPECT_FALSE(refineGrayLine(pairImages<std::uint16_t>(one, tmpl, Img()),
                                std::vector<std::uint8_t>(65536, 1),
                                std::vector<std::uint32_t>(65536, 0), 4, line));
    EXPECT_EQ(line, vkPair<double>(3, 4));
}

TEST(CompressHistogram, RawBelow256LogarithmicFrom256) {
    for (std::uint32_t largest : {255u, 256u, 1000u, 4000000000u}) {
        SCOPED_TRACE(largest);
        auto gen = testimg::rng(largest);
        vkPelBuffer<std::uint32_t> counts(33, 33);
        for (std::int32_t i = 0; i < 33 * 33; ++i) counts.set(P(i % 33, i / 33), gen() % (largest + 1));
        counts.set(P(0, 0), largest);
        counts.set(P(1, 0), 1);  // log 1 = 0, like a zero count
        const auto image = compressHistogram(counts);
        for (std::int32_t i = 0; i < 33 * 33; ++i) {
            const std::uint32_t c = counts.get(P(i % 33, i / 33));
            const double expected = largest < 256 || c == 0 ? c : 255.0L * std::log(1.0L * c) / std::log(1.0L * largest);
            EXPECT_NEAR(image.get(P(i % 33, i / 33)), expected, largest < 256 ? 0.0 : 0.5 + 1e-9) << c;
        }
    }
}

TEST(ProjectAtAngles, StrongestProjectionFollowsTheRidgeDirection) {
    const auto a = angles();
    for (size_t i : {3u, 59u, 31u, 32u})
        EXPECT_EQ(P(projectionSampling(a[i]).width(), projectionSampling(a[i]).height()), i == 3 || i == 59 ? P(38, 35) : P(48, 45));
    // Exact relations t = s * r + b: the chosen angle is within two steps of the ridge.
    const Img ref = scene::texture(160, 120, 21);
    for (double s : {0.15, 0.3, 0.5, 0.8, 1.0, 1.3, 2.0, 3.5, 7.0}) {
        const Img run = scene::mapped(ref, [&](double v, int, int) { return s <= 1 ? v : v / s; });
        const Img tmpl = scene::mapped(run, [&](double r, int, int) { return s * r + (s < 1 ? 127.5 * (1 - s) : 0.0); });
        const auto profiles = projectAtAngles(compressHistogram(countPairs(pairImages(run, tmpl, CImg())).histogram), a);
        ASSERT_EQ(profiles.size(), 57u);
        const auto best = findStrongestProjection(profiles);
        EXPECT_NEAR(a[best.index + 3].toDouble(), std::atan(s) * 180 / vkDegree::kPi, 3.5) << s;
    }
}

TEST(BoxSum, MirrorsAtTheEndsWithoutRepeatingTheEndSample) {
    auto gen = testimg::rng(8);
    for (std::int32_t r = 0; r <= 4; ++r)
        for (long n = 2 * r + 1; n <= 20; ++n) {
            std::vector<std::uint32_t> v, ref;
            for (long i = 0; i < n; ++i) v.push_back(n % 2 ? gen() : gen() % 1000);  // wrapping and plain sums
            for (long i = 0; i < n; ++i) {
                std::uint32_t s = 0;
                for (long k = i - r; k <= i + r; ++k) s += v[size_t(k < 0 ? -k : (k >= n ? 2 * (n - 1) - k : k))];
                ref.push_back(s);
            }
            EXPECT_EQ(boxSum(v, r), ref) << "r=" << r << " n=" << n;
        }
    EXPECT_THROW(boxSum({1, 2}, 1), vkAssertionFailure);
}

TEST(FindStrongestProjection, ComparesSmoothedPeaksAndTiesKeepTheEarlierProfileAndPosition) {
    // Smoothed, [1 1 1 1 1] is [3 3 3 3 3] (peak at 0) and [0 0 3 0 0] is
    // [0 3 3 3 0] (peak at 1): a tie either way round.
    auto best = findStrongestProjection({row({1, 1, 1, 1, 1}), row({0, 0, 3, 0, 0})});
    EXPECT_EQ(P(int(best.index), best.peakPosition), P(0, 0));
    best = findStrongestProjection({row({0, 0, 3, 0, 0}), row({1, 1, 1, 1, 1})});
    EXPECT_EQ(P(int(best.index), best.peakPosition), P(0, 1));
    best = findStrongestProjection({row({0, 0, 9, 0, 0, 0}), row({0, 0, 0, 4, 4, 4})});
    EXPECT_EQ(P(int(best.index), best.peakPosition), P(1, 4));
    EXPECT_EQ(best.peakValue, 12u);
}

TEST(LineBand, LowerLimitInsideUpperLimitOutsideTestedAtTheCellCorner) {
    // u = x + shift at the corner point (x, y). Shift 0 puts exactly
    // peak - 1 (x = 4) inside and peak + 2 (x = 7) outside; shift 0.7 still
    // gives 4..6 at the corners, while cell centres would give 3..5.
    for (double shift : {0.0, 0.7}) {
        vkPelBuffer<std::uint32_t> profile(40, 1);
        profile.imageFromClientXform(vkXform<2>::translation(shift, 0));
        const auto band = makeLineBand(profile, 5);
        ASSERT_EQ(band.window(), vkPelRect(0, 0, 33, 33));
        for (std::int32_t y = 0; y < 33; y += 8)
            for (std::int32_t x = 0; x < 33; ++x) EXPECT_EQ(band.get(P(x, y)), (x >= 4 && x <= 6) ? 255 : 0) << x;
    }
}

TEST(FitGrayLine, PlainLeastSquaresWithinTheToleranceAndFarPairsTrimmed) {
    // Every eighth pair (with outliers) lies 35 to 40 levels off the line;
    // the fit equals least squares over the other pairs.
    for (bool outliers : {false, true})
        for (std::uint32_t seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(testing::Message() << "seed=" << seed << " outliers=" << outliers);
            std::mt19937 gen(seed);
            Points pts, inliers;
            for (int i = 0; i < 4000; ++i) {
                const int r = 1 + int(gen() % 254), t = std::clamp(int(std::lround(0.7 * r + 30)) + int(gen() % 7) - 3, 1, 254);
                const bool off = outliers && i % 8 == 0;
                pts.emplace_back(r, off ? std::clamp(t + (gen() % 2 ? 40 : -35), 1, 254) : t);
                if (!off) inliers.push_back(pts.back());
            }
            const auto line = fitted(pts), ref = naiveLine(inliers);
            EXPECT_NEAR(line.x(), ref.x(), 1e-9);
            EXPECT_NEAR(line.y(), ref.y(), 1e-7);
        }
}

TEST(FitGrayLine, SaturatedPairsAreLeftOutUnlessNeeded) {
    for (bool templateClipped : {false, true}) {  // at both ends
        Points pts;
        for (int v = 1; v < 255; ++v) {
            const int clipped = std::clamp(2 * v - 60, 0, 255);
            pts.emplace_back(templateClipped ? v : clipped, templateClipped ? clipped : v);
        }
        const auto line = fitted(pts);
        EXPECT_NEAR(line.x(), templateClipped ? 2.0 : 0.5, 1e-12);
        EXPECT_NEAR(line.y(), templateClipped ? -60.0 : 30.0, 1e-10);
    }
    // A two-level image: only saturated pairs, which then make the line.
    Points twoLevels(50, {0, 40});
    twoLevels.insert(twoLevels.end(), 30, {255, 200});
    const auto line = fitted(twoLevels);
    EXPECT_NEAR(line.x(), 160.0 / 255.0, 1e-12);
    EXPECT_NEAR(line.y(), 40.0, 1e-10);
}

TEST(FitGrayLine, NoLineLeavesTheLineAsItWas) {
    vkPair<double> line(3, 4);
    std::vector<std::uint32_t> table(256 * 256, 0);
    EXPECT_FALSE(fitGrayLine(table, filled(33, 33, 255), line));  // no pair
    table[10 * 256 + 90] = table[200 * 256 + 90] = 5;
    EXPECT_FALSE(fitGrayLine(table, filled(33, 33, 255), line));  // one run-time value
    table[20 * 256 + 20] = 5;
    EXPECT_FALSE(fitGrayLine(table, Img(33, 33), line));  // empty band
    EXPECT_EQ(line, vkPair<double>(3, 4));
}

TEST(GrayMap, RoundsHalfAwayFromZeroClampsAndAccumulates) {
    auto m = grayMap(vkPair<double>(0.5, 10));
    EXPECT_EQ(std::vector<int>({m[0], m[1], m[255]}), std::vector<int>({10, 11, 138}));
    m = grayMap(vkPair<double>(1, -3.5));
    EXPECT_EQ(std::vector<int>({m[0], m[3], m[4], m[255]}), std::vector<int>({0, 0, 1, 252}));
    m = grayMap(vkPair<double>(-2, 300));
    EXPECT_EQ(std::vector<int>({m[0], m[30], m[255]}), std::vector<int>({255, 240, 0}));
    // 0.5 + 10 * 0.3 is 3.5 (rounds to 4), ten additions of 0.3 give 3.4999999999999991.
    EXPECT_EQ(grayMap(vkPair<double>(0.3, 0.5))[10], 3);
    // Defined for lines no fit produces.
    EXPECT_EQ(grayMap(vkPair<double>(5, std::nan(""))), std::vector<std::uint8_t>(256, 0));
    m = grayMap(vkPair<double>(1e300, -1e300));
    EXPECT_EQ(std::vector<int>({m[0], m[255]}), std::vector<int>({0, 255}));
    // Deep maps: 2^depth entries clamped to the depth's top level.
    for (int depth : {12, 16}) {
        const int top = (1 << depth) - 1;
        const auto d = grayMap<std::uint16_t>(vkPair<double>(1.5, -100.5), depth);
        ASSERT_EQ(d.size(), size_t(top) + 1);
        EXPECT_EQ(
            std::vector<int>({d[66], d[67], d[68], d[size_t(top) / 2 + 100], d[size_t(top)]}),
            std::vector<int>({0, 0, 2,
                              std::min(top, int(std::lround(1.5 * (top / 2 + 100) - 100.5 + 1e-9))),
                              top}));
    }
}

TEST(RunLinearFit, BadInputThrows) {
    const Img img(4, 4);
    for (const auto& images : {std::pair<CImg, CImg>{CImg(), img}, {img, CImg()}})
        scene::expectThrow<vkImageNormalizerDefs::BadImage>(
            [&] { runLinearFit(images.first, images.second, CImg(), angles()); },
            "Both template image and run-time image must be bound.");
    auto a = angles();
    a.pop_back();
    EXPECT_THROW(runLinearFit(img, img, CImg(), a), vkAssertionFailure);
    a = angles();
    a[10] = vkDegree(std::nan(""));
    EXPECT_THROW(runLinearFit(img, img, CImg(), a), vkAssertionFailure);
}

TEST(RunLinearFit, IdenticalImagesComeBackUnchangedInANewBufferAndNoLineGivesZeros) {
    Img ref = testimg::embedded<std::uint8_t>(scene::texture(64, 48, 13), 3, 7);
    ref.clientFromImageXform(vkXform<2>::translation(2, 5));
    const auto before = testimg::storagePixels<std::uint8_t>(ref);
    const auto result = runLinearFit(ref, ref, CImg(), angles());
    EXPECT_NE(result.root(), ref.root());
    EXPECT_EQ(result.window(), ref.window());
    EXPECT_EQ(result.clientFromImageXformBase(), ref.clientFromImageXformBase());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(result), testimg::pixels<std::uint8_t>(ref));
    EXPECT_EQ(testimg::storagePixels<std::uint8_t>(ref), before);
    // One run-time value, every weight 0, or no overlap: every pixel maps to 0.
    Img far = vfPelCopy(ref);
    far.offset(P(500, 500));
    const std::vector<std::uint8_t> zeros(64 * 48, 0);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(runLinearFit(filled(64, 48, 120), ref, CImg(), angles())), zeros);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(runLinearFit(ref, ref, Img(64, 48), angles())), zeros);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(runLinearFit(far, ref, CImg(), angles())), zeros);
}

// The run-time image is the reference through 1.8 x - 30 gray levels of 8
// bits (clipped) with 20% defects; its left 60% follows 1.8 x - 90, which the
// mask leaves out and which would otherwise dominate the fit. Where the image
// follows the line the result gives the reference back within a level.
template <class Pel>
void expectFitKeepsTheMaskedOffRelationAndDefectsOut(std::int32_t depth) {
    const std::int32_t k = 1 << (depth - 8);
    const double top = std::ldexp(1.0, depth) - 1;
    const auto ref = testimg::mapped<Pel>(
        scene::texture(200, 150, 14), [&](int v, int x, int y) { return v * k + (x * 7 + y) % k; });
    std::mt19937 gen(14);
    std::vector<bool> keep;
    const auto run = testimg::mapped<Pel>(ref, [&](int v, int x, int) {
        const bool defect = std::bernoulli_distribution(0.2)(gen);
        const double line = 1.8 * v - 30 * k;
        keep.push_back(x >= 120 && !defect && line >= 0 && line <= top);
        return defect ? double(gen() % (std::uint32_t(top) + 1))
                      : std::clamp(std::round(x < 120 ? line - 60 * k : line), 0.0, top);
    });
    auto tool = [&] {
        if constexpr (sizeof(Pel) == 1)
            return vkImageNormalizer();
        else
            return vkDeepImageNormalizer(depth);
    }();
    tool.referenceImage(ref, true);
    tool.maskImage(scene::maskOf(ref.window(), vkPelRect(120, 0, 80, 150)), true);
    const auto method = vkImageNormalizerDefs::eLinearlyFitGrayValues;
    tool.train(method, nullptr, 0);
    const auto result = scene::ran(tool, run, method);
    int worst = 0;
    for (std::int32_t i = 0; i < 200 * 150; ++i)
        if (keep[size_t(i)])
            worst = std::max(worst, std::abs(testimg::at<Pel>(result, i % 200, i / 200) -
                                             testimg::at<Pel>(ref, i % 200, i / 200)));
    EXPECT_LE(worst, 1) << depth << " bits";
}

TEST(LinearFitRun, ToolKeepsTheMaskedOffRelationAndDefectsOutOfTheFitAtEveryDepth) {
    expectFitKeepsTheMaskedOffRelationAndDefectsOut<std::uint8_t>(8);
    expectFitKeepsTheMaskedOffRelationAndDefectsOut<std::uint16_t>(12);
    expectFitKeepsTheMaskedOffRelationAndDefectsOut<std::uint16_t>(16);
}
