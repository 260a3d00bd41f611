#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "imgnorm/linear_fit.h"
#include "support/images.h"

using namespace imgnorm_detail;
using P = vkPair<std::int32_t>;
using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;

namespace {

std::uint8_t clampRound(double v) {
    const double r = v >= 0 ? std::floor(v + 0.5) : -std::floor(-v + 0.5);
    return static_cast<std::uint8_t>(std::min(255.0, std::max(0.0, r)));
}

// A smooth random texture stretched over 0..255: a coarse random grid,
// bilinearly interpolated, plus a little fine noise.
Img texture(std::int32_t w, std::int32_t h, std::uint32_t seed) {
    std::mt19937 gen(seed);
    const std::int32_t cell = 12, gw = w / cell + 2, gh = h / cell + 2;
    std::uniform_real_distribution<double> coarse(0, 1), fine(-0.01, 0.01);
    std::vector<double> grid(static_cast<size_t>(gw * gh));
    for (auto& g : grid) g = coarse(gen);
    std::vector<double> v(static_cast<size_t>(w * h));
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const double fx = static_cast<double>(x) / cell, fy = static_cast<double>(y) / cell;
            const std::int32_t x0 = static_cast<std::int32_t>(fx), y0 = static_cast<std::int32_t>(fy);
            const double ax = fx - x0, ay = fy - y0;
            auto g = [&](std::int32_t gx, std::int32_t gy) { return grid[static_cast<size_t>(gy * gw + gx)]; };
            v[static_cast<size_t>(y * w + x)] = (1 - ay) * ((1 - ax) * g(x0, y0) + ax * g(x0 + 1, y0)) +
                                                ay * ((1 - ax) * g(x0, y0 + 1) + ax * g(x0 + 1, y0 + 1)) + fine(gen);
        }
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    const double a = *lo, span = *hi - *lo;
    Img out(w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            out.pointToOffset()[y * out.rowUpdate() + x] = clampRound(255.0 * (v[static_cast<size_t>(y * w + x)] - a) / span);
    return out;
}

// A copy of src (same window and positions) with f applied to every value.
Img mapped(const CImg& src, const std::function<double(double)>& f) {
    Img out = vfPelCopy(src);
    for (std::int32_t y = 0; y < src.height(); ++y)
        for (std::int32_t x = 0; x < src.width(); ++x) {
            std::uint8_t& p = out.pointToOffset()[y * out.rowUpdate() + x];
            p = clampRound(f(p));
        }
    return out;
}

// Replaces a fraction of the pixels by uniform random values; returns the
// positions (window-relative, row-major index) it replaced.
std::vector<bool> addOutliers(const Img& img, double fraction, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::bernoulli_distribution pick(fraction);
    std::uniform_int_distribution<int> val(0, 255);
    std::vector<bool> hit(static_cast<size_t>(img.width() * img.height()));
    for (std::int32_t y = 0; y < img.height(); ++y)
        for (std::int32_t x = 0; x < img.width(); ++x)
            if (pick(gen)) {
                img.pointToOffset()[y * img.rowUpdate() + x] = static_cast<std::uint8_t>(val(gen));
                hit[static_cast<size_t>(y * img.width() + x)] = true;
            }
    return hit;
}

std::vector<vkDegree> angles() {
    std::vector<vkDegree> a;
    buildFitAngles(a);
    return a;
}

std::uint32_t bin(std::uint32_t g) { return (g + 4) / 8; }

vkPelBuffer<std::uint32_t> row(const std::vector<std::uint32_t>& v) {
    vkPelBuffer<std::uint32_t> b(static_cast<std::int32_t>(v.size()), 1);
    std::copy(v.begin(), v.end(), b.pointToOffset());
    return b;
}

// Largest error of result against the reference over the pixels keep()
// selects (window-relative x, y).
int worstError(const CImg& result, const CImg& reference, const std::function<bool(std::int32_t, std::int32_t)>& keep) {
    int worst = 0;
    for (std::int32_t y = 0; y < result.height(); ++y)
        for (std::int32_t x = 0; x < result.width(); ++x)
            if (keep(x, y)) worst = std::max(worst, std::abs(testimg::at(result, x, y) - testimg::at(reference, x, y)));
    return worst;
}

}  // namespace

TEST(FitAngles, SixtyThreeEntriesWithoutFortyFiveDegrees) {
    for (size_t start : {0u, 5u, 100u}) {
        std::vector<vkDegree> a(start, vkDegree(-7.0));
        buildFitAngles(a);
        ASSERT_EQ(a.size(), 63u);
        EXPECT_NEAR(a[0].toDouble(), 1.7357, 5e-5);
        EXPECT_NEAR(a[3].toDouble(), 6.9112, 5e-5);
        EXPECT_NEAR(a[31].toDouble(), 44.1186, 5e-5);
        EXPECT_NEAR(a[32].toDouble(), 46.7899, 5e-5);
        EXPECT_NEAR(a[59].toDouble(), 83.0888, 5e-5);
        EXPECT_NEAR(a[62].toDouble(), 88.2643, 5e-5);
        for (size_t i = 1; i < a.size(); ++i) EXPECT_GT(a[i].toDouble(), a[i - 1].toDouble());
    }
}

TEST(FitAngles, TangentsStepByOneThirtyThird) {
    const auto a = angles();
    for (size_t i = 0; i < 32; ++i) EXPECT_NEAR(std::tan(vkRadian(a[i]).toDouble()), (i + 1) / 33.0, 1e-12);
    for (size_t i = 32; i < 63; ++i) EXPECT_NEAR(std::tan(vkRadian(a[i]).toDouble()), 33.0 / (63 - i), 1e-10);
}

TEST(GrayBins, EdgesLieBetween3And4And251And252) {
    const auto& b = grayBins();
    EXPECT_EQ(b[3], 0);
    EXPECT_EQ(b[4], 1);
    EXPECT_EQ(b[251], 31);
    EXPECT_EQ(b[252], 32);
    std::vector<int> width(33, 0);
    for (int g = 0; g < 256; ++g) {
        ASSERT_LE(b[g], 32);
        if (g > 0) {
            ASSERT_LE(b[g - 1], b[g]);
        }
        ++width[b[g]];
    }
    EXPECT_EQ(width[0], 4);
    EXPECT_EQ(width[32], 4);
    for (int k = 1; k < 32; ++k) EXPECT_EQ(width[k], 8) << k;
}

TEST(PairImages, TemplateAndWeightAreNarrowedToTheRunTimeWindowByPosition) {
    auto gen = testimg::rng(2);
    Img tmpl = testimg::random<std::uint8_t>(20, 15, gen);
    Img weight = testimg::random<std::uint8_t>(30, 30, gen);
    weight.offset(P(-5, -5));
    Img run = testimg::random<std::uint8_t>(10, 40, gen);
    run.offset(P(12, 3));
    const PairedImages p = pairImages(run, tmpl, weight);
    EXPECT_EQ(p.runTime.window(), vkPelRect(12, 3, 8, 12));
    EXPECT_EQ(p.templ.window(), vkPelRect(12, 3, 8, 12));
    EXPECT_EQ(p.weight.window(), vkPelRect(12, 3, 8, 12));
    EXPECT_EQ(p.templ.pointToOffset(), tmpl.pointToPel(P(12, 3)));
    EXPECT_EQ(p.weight.pointToOffset(), weight.pointToPel(P(12, 3)));
    EXPECT_FALSE(pairImages(run, tmpl, CImg()).weight.isBound());
    run.offset(P(100, 100));
    EXPECT_TRUE(pairImages(run, tmpl, weight).runTime.window().isNull());
}

TEST(CountPairs, MatchesNaiveCountsByPosition) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
        for (bool weighted : {false, true}) {
            SCOPED_TRACE(testing::Message() << "w=" << w << " weighted=" << weighted);
            auto gen = testimg::rng(static_cast<std::uint32_t>(w * 2 + weighted));
            // Windows at different positions inside larger storage, filled
            // with values that would show up if read.
            const Img run = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 5, gen), 3, 255, P(4, 9));
            const Img tmpl = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w + 2, 7, gen), 2, 0, P(3, 8));
            Img weight;
            if (weighted) weight = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 5, gen), 1, 255, P(4, 9));
            const auto counts = countPairs(pairImages(run, tmpl, weight));
            std::vector<std::uint32_t> ref(33 * 33, 0), pairs(256 * 256, 0);
            for (std::int32_t y = 9; y < 14; ++y)
                for (std::int32_t x = 4; x < 4 + w; ++x) {
                    const std::uint32_t t = tmpl.get(P(x, y)), r = run.get(P(x, y));
                    ref[bin(t) * 33 + bin(r)] += weighted ? weight.get(P(x, y)) : 1;
                    if (!weighted || weight.get(P(x, y)) != 0) ++pairs[t * 256 + r];
                }
            ASSERT_EQ(counts.histogram.width(), 33);
            ASSERT_EQ(counts.histogram.height(), 33);
            EXPECT_EQ(testimg::pixels<std::uint32_t>(counts.histogram), ref);
            EXPECT_EQ(counts.pairs, pairs);
        }
}

TEST(CompressHistogram, LargestCountBelow256KeepsRawCounts) {
    auto gen = testimg::rng(4);
    // 10 x 10 pixels without weights: no count reaches 256.
    const Img a = testimg::random<std::uint8_t>(10, 10, gen), b = testimg::random<std::uint8_t>(10, 10, gen);
    const auto counts = countPairs(pairImages(a, b, CImg())).histogram;
    const auto image = compressHistogram(counts);
    const auto c = testimg::pixels<std::uint32_t>(counts);
    const auto i = testimg::pixels<std::uint8_t>(image);
    for (size_t k = 0; k < c.size(); ++k) EXPECT_EQ(i[k], c[k]);
    // 255 is still raw.
    vkPelBuffer<std::uint32_t> m(33, 33);
    m.set(P(0, 0), 255);
    m.set(P(1, 0), 2);
    EXPECT_EQ(compressHistogram(m).get(P(1, 0)), 2);
}

TEST(CompressHistogram, LargestCountFrom256IsLogarithmic) {
    for (std::uint32_t largest : {256u, 1000u, 65025u, 4000000000u}) {
        SCOPED_TRACE(largest);
        auto gen = testimg::rng(largest);
        std::uniform_int_distribution<std::uint32_t> d(0, largest);
        vkPelBuffer<std::uint32_t> counts(33, 33);
        for (std::int32_t y = 0; y < 33; ++y)
            for (std::int32_t x = 0; x < 33; ++x) counts.set(P(x, y), d(gen));
        counts.set(P(0, 0), largest);
        counts.set(P(1, 0), 1);
        counts.set(P(2, 0), 0);
        counts.set(P(3, 0), 2);
        const auto image = compressHistogram(counts);
        EXPECT_EQ(image.get(P(0, 0)), 255);
        EXPECT_EQ(image.get(P(1, 0)), 0);
        EXPECT_EQ(image.get(P(2, 0)), 0);
        for (std::int32_t y = 0; y < 33; ++y)
            for (std::int32_t x = 0; x < 33; ++x) {
                const std::uint32_t c = counts.get(P(x, y));
                if (c == 0) continue;
                const long double exact = 255.0L * std::log(static_cast<long double>(c)) / std::log(static_cast<long double>(largest));
                EXPECT_NEAR(image.get(P(x, y)), static_cast<double>(exact), 0.5 + 1e-9) << c;
            }
    }
}

TEST(ProjectionSampling, SampleCountsFollowTheTurnedBoundingBox) {
    const auto a = angles();
    for (size_t i : {3u, 59u}) {
        const auto p = projectionSampling(a[i]);
        EXPECT_EQ(p.width(), 38) << i;
        EXPECT_EQ(p.height(), 35) << i;
    }
    for (size_t i : {31u, 32u}) {
        const auto p = projectionSampling(a[i]);
        EXPECT_EQ(p.width(), 48) << i;
        EXPECT_EQ(p.height(), 45) << i;
    }
}

TEST(ProjectionSampling, RectangleCoversTheHistogramAndRunsAlongTheAngle) {
    const auto a = angles();
    for (size_t i = kFirstProjectedAngle; i <= kLastProjectedAngle; ++i) {
        SCOPED_TRACE(i);
        const auto p = projectionSampling(a[i]);
        const auto& r = p.rectangle();
        const double th = vkRadian(a[i]).toDouble();
        // The second side is parallel to the angle's direction.
        const vkVector<2> s2 = r.secondSide();
        EXPECT_NEAR(s2.x() * std::sin(th) - s2.y() * std::cos(th), 0.0, 1e-9);
        // Every corner of the 33 x 33 image lies inside the rectangle.
        const vkXform<2> grid = r.clientFromGrid(p.width(), p.height()).inverse();
        for (auto c : {vkVector<2>(0, 0), vkVector<2>(33, 0), vkVector<2>(0, 33), vkVector<2>(33, 33)}) {
            const vkVector<2> g = grid.map(c);
            EXPECT_GE(g.x(), -1e-9);
            EXPECT_LE(g.x(), p.width() + 1e-9);
            EXPECT_GE(g.y(), -1e-9);
            EXPECT_LE(g.y(), p.height() + 1e-9);
        }
    }
}

TEST(ProjectAtAngles, StrongestProjectionFollowsTheRidgeDirection) {
    // Joint histograms of exact linear relations t = s * r + b: the chosen
    // angle must be the table angle nearest the ridge (within one step).
    const auto a = angles();
    const Img ref = texture(160, 120, 21);
    for (double s : {0.15, 0.3, 0.5, 0.8, 1.0, 1.3, 2.0, 3.5, 7.0}) {
        SCOPED_TRACE(s);
        const double b = s < 1 ? 127.5 * (1 - s) : 0.0;  // keep the ridge inside the histogram
        // Template values s * r + b from run-time values r.
        const Img run = mapped(ref, [&](double v) { return s <= 1 ? v : v / s; });
        const Img tmpl = mapped(run, [&](double r) { return s * r + b; });
        const auto profiles = projectAtAngles(compressHistogram(countPairs(pairImages(run, tmpl, CImg())).histogram), a);
        ASSERT_EQ(profiles.size(), 57u);
        for (size_t k = 0; k < profiles.size(); ++k)
            EXPECT_EQ(profiles[k].width(), projectionSampling(a[k + 3]).width());
        const auto best = findStrongestProjection(profiles);
        const double chosen = a[best.index + 3].toDouble(), truth = std::atan(s) * 180 / vkDegree::kPi;
        EXPECT_NEAR(chosen, truth, 3.5);
    }
}

TEST(BoxSum, MirrorsAtTheEndsWithoutRepeatingTheEndSample) {
    EXPECT_EQ(boxSum({5, 1, 0, 0}, 1), (std::vector<std::uint32_t>{7, 6, 1, 0}));
    EXPECT_EQ(boxSum({0, 0, 1, 5}, 1), (std::vector<std::uint32_t>{0, 1, 6, 7}));
}

TEST(BoxSum, MatchesMirroredWindowSumsForRadiiAndLengths) {
    auto gen = testimg::rng(8);
    std::uniform_int_distribution<std::uint32_t> d(0, 0xFFFFFFFFu);
    for (std::int32_t r = 0; r <= 4; ++r)
        for (size_t n = static_cast<size_t>(2 * r + 1); n <= 20; ++n) {
            SCOPED_TRACE(testing::Message() << "r=" << r << " n=" << n);
            std::vector<std::uint32_t> v(n);
            for (auto& x : v) x = (n % 2) ? d(gen) : d(gen) % 1000;  // wrapping and plain sums
            std::vector<std::uint32_t> ref(n);
            const long last = static_cast<long>(n) - 1;
            for (long i = 0; i <= last; ++i) {
                std::uint32_t s = 0;
                for (long k = i - r; k <= i + r; ++k) {
                    const long m = k < 0 ? -k : (k > last ? 2 * last - k : k);
                    s += v[static_cast<size_t>(m)];
                }
                ref[static_cast<size_t>(i)] = s;
            }
            EXPECT_EQ(boxSum(v, r), ref);
        }
}

TEST(BoxSum, TooShortVectorIsAnAssertion) {
    EXPECT_THROW(boxSum({1, 2}, 1), vkAssertionFailure);
    EXPECT_THROW(boxSum({1, 2, 3, 4}, 2), vkAssertionFailure);
    EXPECT_THROW(boxSum({1, 2, 3}, -1), vkAssertionFailure);
}

TEST(FindStrongestProjection, TiesKeepTheEarlierProfileAndFirstPosition) {
    // Smoothed: [3 3 3 3 3] peaks at 0; [0 3 3 3 0] ties it.
    auto best = findStrongestProjection({row({1, 1, 1, 1, 1}), row({0, 0, 3, 0, 0})});
    EXPECT_EQ(best.index, 0u);
    EXPECT_EQ(best.peakPosition, 0);
    EXPECT_EQ(best.peakValue, 3u);
    best = findStrongestProjection({row({0, 0, 3, 0, 0}), row({1, 1, 1, 1, 1})});
    EXPECT_EQ(best.index, 0u);
    EXPECT_EQ(best.peakPosition, 1);
}

TEST(FindStrongestProjection, ComparesSmoothedNotRawPeaks) {
    // Raw peak 9 against smoothed 9; raw 4s smoothed to 12.
    const auto best = findStrongestProjection({row({0, 0, 9, 0, 0, 0}), row({0, 0, 0, 4, 4, 4})});
    EXPECT_EQ(best.index, 1u);
    EXPECT_EQ(best.peakPosition, 4);
    EXPECT_EQ(best.peakValue, 12u);
}

TEST(FindStrongestProjection, AllZeroPicksTheFirstProfileAtZero) {
    const auto best = findStrongestProjection({row({0, 0, 0}), row({0, 0, 0, 0})});
    EXPECT_EQ(best.index, 0u);
    EXPECT_EQ(best.peakPosition, 0);
}

TEST(LineBand, LowerLimitInsideUpperLimitOutside) {
    vkPelBuffer<std::uint32_t> profile(40, 1);  // identity transform: u = x
    const auto band = makeLineBand(profile, 5);
    ASSERT_EQ(band.width(), 33);
    ASSERT_EQ(band.height(), 33);
    for (std::int32_t y = 0; y < 33; ++y)
        for (std::int32_t x = 0; x < 33; ++x) EXPECT_EQ(band.get(P(x, y)), (x >= 4 && x <= 6) ? 255 : 0) << x << "," << y;
}

TEST(LineBand, CellsAreTestedAtTheirCornerPoint) {
    // u = x + 0.7 at the corner (x, y) but x + 1.2 at the centre: the
    // corner puts 4..6 in the band, the centre would put 3..5.
    vkPelBuffer<std::uint32_t> profile(40, 1);
    profile.imageFromClientXform(vkXform<2>::translation(0.7, 0));
    const auto band = makeLineBand(profile, 5);
    for (std::int32_t x = 0; x < 33; ++x) EXPECT_EQ(band.get(P(x, 17)), (x >= 4 && x <= 6) ? 255 : 0) << x;
}

// Least squares of t on r over (r, t) points, in long double.
vkPair<double> naiveLine(const std::vector<std::pair<int, int>>& pts) {
    long double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (auto [r, t] : pts) {
        n += 1;
        sx += r;
        sy += t;
        sxx += static_cast<long double>(r) * r;
        sxy += static_cast<long double>(r) * t;
    }
    const long double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    return {static_cast<double>(slope), static_cast<double>((sy - slope * sx) / n)};
}

std::vector<std::uint32_t> pairTable(const std::vector<std::pair<int, int>>& pts) {
    std::vector<std::uint32_t> table(256 * 256, 0);
    for (auto [r, t] : pts) ++table[static_cast<size_t>(t * 256 + r)];
    return table;
}

Img fullBand() {
    Img band(33, 33);
    vfPelSet(band, std::uint8_t{255});
    return band;
}

TEST(FitGrayLine, NoiseWithinTheToleranceGivesPlainLeastSquares) {
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 gen(seed);
        std::uniform_int_distribution<int> rd(1, 254), noise(-3, 3);
        std::vector<std::pair<int, int>> pts;
        for (int i = 0; i < 3000; ++i) {
            const int r = rd(gen);
            pts.emplace_back(r, std::clamp(static_cast<int>(std::lround(0.7 * r + 30)) + noise(gen), 1, 254));
        }
        vkPair<double> line(-1, -1);
        ASSERT_TRUE(fitGrayLine(pairTable(pts), fullBand(), line));
        const auto ref = naiveLine(pts);
        EXPECT_NEAR(line.x(), ref.x(), 1e-9);
        EXPECT_NEAR(line.y(), ref.y(), 1e-7);
    }
}

TEST(FitGrayLine, OnlyPairsInTheBandCount) {
    std::mt19937 gen(3);
    std::uniform_int_distribution<int> v(1, 254), noise(-1, 1);
    std::vector<std::pair<int, int>> pts, inside;
    // A band of the cells whose column is even: pairs elsewhere follow
    // another line and must not count.
    Img band(33, 33);
    for (std::int32_t y = 0; y < 33; ++y)
        for (std::int32_t x = 0; x < 33; x += 2) band.set(P(x, y), 255);
    for (int i = 0; i < 4000; ++i) {
        const int r = v(gen);
        const bool in = bin(static_cast<std::uint32_t>(r)) % 2 == 0;
        const int t = std::clamp(in ? r / 2 + 60 + noise(gen) : 250 - r / 3, 1, 254);
        pts.emplace_back(r, t);
        if (in) inside.emplace_back(r, t);
    }
    vkPair<double> line;
    ASSERT_TRUE(fitGrayLine(pairTable(pts), band, line));
    const auto ref = naiveLine(inside);
    EXPECT_NEAR(line.x(), ref.x(), 1e-9);
    EXPECT_NEAR(line.y(), ref.y(), 1e-7);
}

TEST(FitGrayLine, PairsFarFromTheLineAreTrimmed) {
    std::mt19937 gen(4);
    std::uniform_int_distribution<int> rd(20, 230), noise(-1, 1), side(0, 1);
    std::vector<std::pair<int, int>> pts, inliers;
    for (int i = 0; i < 5000; ++i) {
        const int r = rd(gen);
        const int t = static_cast<int>(std::lround(1.1 * r - 10)) + noise(gen);
        if (i % 8 == 0) {
            pts.emplace_back(r, std::clamp(t + (side(gen) ? 40 : -35), 1, 254));  // in the band, off the line
        } else {
            pts.emplace_back(r, t);
            inliers.emplace_back(r, t);
        }
    }
    vkPair<double> line;
    ASSERT_TRUE(fitGrayLine(pairTable(pts), fullBand(), line));
    const auto ref = naiveLine(inliers);
    EXPECT_NEAR(line.x(), ref.x(), 1e-9);
    EXPECT_NEAR(line.y(), ref.y(), 1e-7);
}

TEST(FitGrayLine, SaturatedPairsAreLeftOutUnlessNeeded) {
    std::vector<std::pair<int, int>> pts, unsaturated;
    for (int t = 1; t < 255; ++t) {
        const int r = std::clamp(2 * t - 60, 0, 255);  // clipped at both ends
        pts.emplace_back(r, t);
        if (r != 0 && r != 255) unsaturated.emplace_back(r, t);
    }
    vkPair<double> line;
    ASSERT_TRUE(fitGrayLine(pairTable(pts), fullBand(), line));
    EXPECT_NEAR(line.x(), 0.5, 1e-12);
    EXPECT_NEAR(line.y(), 30.0, 1e-10);
    EXPECT_NEAR(naiveLine(unsaturated).x(), 0.5, 1e-12);
    // A two-level image: only saturated pairs, which then make the line.
    std::vector<std::pair<int, int>> twoLevels(50, {0, 40});
    twoLevels.insert(twoLevels.end(), 30, {255, 200});
    ASSERT_TRUE(fitGrayLine(pairTable(twoLevels), fullBand(), line));
    EXPECT_NEAR(line.x(), 160.0 / 255.0, 1e-12);
    EXPECT_NEAR(line.y(), 40.0, 1e-10);
}

TEST(FitGrayLine, EqualValuesGiveSlopeOneInterceptZero) {
    std::vector<std::pair<int, int>> pts;
    for (int g = 0; g < 256; g += 3) pts.emplace_back(g, g);
    vkPair<double> line;
    ASSERT_TRUE(fitGrayLine(pairTable(pts), fullBand(), line));
    EXPECT_NEAR(line.x(), 1.0, 1e-12);
    EXPECT_NEAR(line.y(), 0.0, 1e-10);
    EXPECT_EQ(grayMap(line)[200], 200);
}

TEST(FitGrayLine, NoLineLeavesTheLineAsItWas) {
    vkPair<double> line(3, 4);
    EXPECT_FALSE(fitGrayLine(std::vector<std::uint32_t>(256 * 256, 0), fullBand(), line));  // no pair
    EXPECT_FALSE(fitGrayLine(pairTable({{90, 10}, {90, 200}, {90, 60}}), fullBand(), line));  // one run-time value
    EXPECT_FALSE(fitGrayLine(pairTable({{10, 10}, {200, 200}}), Img(33, 33), line));  // empty band
    EXPECT_EQ(line, vkPair<double>(3, 4));
}

TEST(GrayMap, RoundsHalfAwayFromZeroAndClamps) {
    auto m = grayMap(vkPair<double>(0.5, 10));
    EXPECT_EQ(m[0], 10);
    EXPECT_EQ(m[1], 11);
    EXPECT_EQ(m[255], 138);
    m = grayMap(vkPair<double>(1, -3.5));
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[3], 0);  // -0.5 rounds to -1, clamped
    EXPECT_EQ(m[4], 1);
    EXPECT_EQ(m[255], 252);
    m = grayMap(vkPair<double>(-2, 300));
    EXPECT_EQ(m[0], 255);
    EXPECT_EQ(m[30], 240);
    EXPECT_EQ(m[255], 0);
}

TEST(GrayMap, AccumulatesTheSlopeRatherThanMultiplying) {
    // 0.5 + 10 * 0.3 is 3.5 (rounds to 4), but ten additions of 0.3 give
    // 3.4999999999999991 (rounds to 3).
    const auto m = grayMap(vkPair<double>(0.3, 0.5));
    EXPECT_EQ(m[10], 3);
    EXPECT_EQ(m[9], 3);
}

TEST(GrayMap, NonFiniteAndHugeLinesStayDefined) {
    EXPECT_EQ(grayMap(vkPair<double>(5, std::nan(""))), std::vector<std::uint8_t>(256, 0));
    const auto nanSlope = grayMap(vkPair<double>(std::nan(""), 5));
    EXPECT_EQ(nanSlope[0], 5);
    EXPECT_EQ(std::count(nanSlope.begin(), nanSlope.end(), 0), 255);
    const auto m = grayMap(vkPair<double>(1e300, -1e300));
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[255], 255);
    const auto inf = grayMap(vkPair<double>(INFINITY, 0));
    EXPECT_EQ(inf[0], 0);
    EXPECT_EQ(inf[1], 255);
}

TEST(RunLinearFit, UnboundImagesThrowBadImage) {
    const Img img(4, 4);
    for (auto [run, tmpl] : {std::pair<CImg, CImg>{CImg(), img}, {img, CImg()}}) {
        try {
            runLinearFit(run, tmpl, CImg(), angles());
            FAIL() << "no exception";
        } catch (const vkImageNormalizerDefs::BadImage& e) {
            EXPECT_STREQ(e.what(), "Both template image and run-time image must be bound.");
        }
    }
}

TEST(RunLinearFit, AngleTableOtherThan63FiniteEntriesIsAnAssertion) {
    const Img img(4, 4);
    auto a = angles();
    a.pop_back();
    EXPECT_THROW(runLinearFit(img, img, CImg(), a), vkAssertionFailure);
    a = angles();
    a[10] = vkDegree(std::nan(""));
    EXPECT_THROW(runLinearFit(img, img, CImg(), a), vkAssertionFailure);
}

TEST(RunLinearFit, MapsAnAffineGrayTransformBackWithinOneLevel) {
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const Img ref = texture(200, 150, seed);
        const Img run = mapped(ref, [](double v) { return 0.5 * v + 40; });
        const auto result = runLinearFit(run, ref, CImg(), angles());
        EXPECT_LE(worstError(result, ref, [](std::int32_t, std::int32_t) { return true; }), 1);
    }
}

TEST(RunLinearFit, MapsAClippedTransformBackAtUnclippedPixels) {
    for (std::uint32_t seed : {4u, 5u, 6u}) {
        SCOPED_TRACE(seed);
        const Img ref = texture(200, 150, seed);
        auto f = [](double v) { return 1.8 * v - 30; };
        const Img run = mapped(ref, f);
        const auto result = runLinearFit(run, ref, CImg(), angles());
        EXPECT_LE(worstError(result, ref, [&](std::int32_t x, std::int32_t y) {
                      const double v = f(testimg::at<std::uint8_t>(ref, x, y));
                      return v >= 0 && v <= 255;
                  }),
                  1);
    }
}

TEST(RunLinearFit, TwentyPercentOutliersDoNotPullTheLine) {
    for (std::uint32_t seed : {7u, 8u}) {
        for (auto f : std::vector<std::function<double(double)>>{[](double v) { return 0.5 * v + 40; },
                                                                  [](double v) { return 1.8 * v - 30; }}) {
            SCOPED_TRACE(seed);
            const Img ref = texture(200, 150, seed);
            const Img run = mapped(ref, f);
            const auto outlier = addOutliers(run, 0.2, seed);
            const auto result = runLinearFit(run, ref, CImg(), angles());
            EXPECT_LE(worstError(result, ref, [&](std::int32_t x, std::int32_t y) {
                          const double v = f(testimg::at<std::uint8_t>(ref, x, y));
                          return !outlier[static_cast<size_t>(y * 200 + x)] && v >= 0 && v <= 255;
                      }),
                      1);
        }
    }
}

TEST(RunLinearFit, MaskKeepsMaskedOffPixelsOutOfTheFit) {
    const Img ref = texture(200, 150, 9);
    auto f = [](double v) { return 0.6 * v + 70; };
    const Img run = mapped(ref, f);
    // The left 45% of the run-time image follows an inverted relation, and
    // 20% of the rest are outliers; the mask (0 / 255) covers the rest.
    Img mask(200, 150);
    for (std::int32_t y = 0; y < 150; ++y)
        for (std::int32_t x = 0; x < 200; ++x) {
            if (x < 90)
                run.set(P(x, y), static_cast<std::uint8_t>(255 - ref.get(P(x, y))));
            else
                mask.set(P(x, y), 255);
        }
    const auto outlier = addOutliers(run, 0.2, 9);
    const auto result = runLinearFit(run, ref, mask, angles());
    EXPECT_LE(worstError(result, ref, [&](std::int32_t x, std::int32_t y) {
                  return x >= 90 && !outlier[static_cast<size_t>(y * 200 + x)];
              }),
              1);
}

TEST(RunLinearFit, PairsByPositionWhenTheRunTimeWindowOnlyPartlyOverlaps) {
    // The scene spans positions (-40, -30) .. (200, 150); the reference sees
    // (0, 0, 200, 150) of it and the run-time camera (-40, -30, 180, 130).
    const Img scene = texture(240, 180, 10);
    auto view = [&](vkPelRect r) {
        CImg v(scene);
        v.offset(P(-40, -30));
        v.window(r);
        return vfPelCopy(v);
    };
    const Img ref = view(vkPelRect(0, 0, 200, 150));
    auto f = [](double v) { return 0.55 * v + 50; };
    const Img run = mapped(view(vkPelRect(-40, -30, 180, 130)), f);
    const vkPelRect common = run.window() & ref.window();
    auto compare = [&](const CImg& result) {
        int worst = 0;
        for (std::int32_t y = common.ul().y(); y < common.lr().y(); ++y)
            for (std::int32_t x = common.ul().x(); x < common.lr().x(); ++x)
                worst = std::max(worst, std::abs(result.get(P(x, y)) - scene.get(P(x + 40, y + 30))));
        return worst;
    };
    // As the tool passes it: the run-time view narrowed to the common window.
    CImg narrowed(run);
    narrowed.window(common);
    const auto a = runLinearFit(narrowed, ref, CImg(), angles());
    EXPECT_EQ(a.window(), common);
    EXPECT_LE(compare(a), 1);
    // The whole run-time image: the map covers it, fitted on the overlap.
    const auto b = runLinearFit(run, ref, CImg(), angles());
    EXPECT_EQ(b.window(), run.window());
    EXPECT_LE(compare(b), 1);
}

TEST(RunLinearFit, IdenticalImagesComeBackUnchanged) {
    const Img ref = texture(90, 70, 11);
    const auto result = runLinearFit(ref, ref, CImg(), angles());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(result), testimg::pixels<std::uint8_t>(ref));
}

TEST(RunLinearFit, NoFittableLineMapsEveryPixelToZero) {
    const Img ref = texture(60, 40, 12);
    Img flat(60, 40);
    vfPelSet(flat, std::uint8_t{120});
    const std::vector<std::uint8_t> zeros(60 * 40, 0);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(runLinearFit(flat, ref, CImg(), angles())), zeros);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(runLinearFit(ref, ref, Img(60, 40), angles())), zeros);
    Img far = vfPelCopy(ref);
    far.offset(P(500, 500));  // no overlap with the template
    EXPECT_EQ(testimg::pixels<std::uint8_t>(runLinearFit(far, ref, CImg(), angles())), zeros);
}

TEST(RunLinearFit, ResultIsNewOnTheRunTimeWindowAndInputsAreUntouched) {
    const Img ref = texture(64, 48, 13);
    Img run = testimg::embedded<std::uint8_t>(mapped(ref, [](double v) { return v * 0.9 + 10; }), 3, 7);
    run.clientFromImageXform(vkXform<2>::translation(2, 5));
    const auto before = testimg::storagePixels<std::uint8_t>(run);
    const auto beforeRef = testimg::storagePixels<std::uint8_t>(ref);
    const auto result = runLinearFit(run, ref, CImg(), angles());
    EXPECT_NE(result.root(), run.root());
    EXPECT_EQ(result.window(), run.window());
    EXPECT_EQ(result.clientFromImageXformBase(), run.clientFromImageXformBase());
    EXPECT_EQ(testimg::storagePixels<std::uint8_t>(run), before);
    EXPECT_EQ(testimg::storagePixels<std::uint8_t>(ref), beforeRef);
    EXPECT_LE(worstError(result, ref, [](std::int32_t, std::int32_t) { return true; }), 1);
}
