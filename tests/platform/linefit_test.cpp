#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "platform/linefit.h"
#include "platform/util.h"
#include "support/images.h"

using V = vkVector<2>;

namespace {

// y where the line meets x = 0, or NaN when it does not.
double interceptOf(const vkFLine& line) {
    const auto at = line.intersection(vkFLine(vkDegree(90.0), V(0, 0)));
    return at.empty() ? std::nan("") : at.front().y();
}
const auto slopeOf = [](const vkFLine& line) { return std::tan(line.angle().toDouble()); };
const auto degrees = [](const vkFLine& line) { return vkDegree(line.angle()).toDouble(); };

}  // namespace

TEST(FLine, AngleIsFoldedIntoMinus90To90AndParallelLinesDoNotIntersect) {
    const double in[] = {135, -90, 270, 180, -135, 30}, out[] = {-45, 90, 90, 0, 45, 30};
    for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(degrees(vkFLine(vkDegree(in[i]), V(1, 2))), out[i], 1e-12);
    EXPECT_THROW(vkFLine(vkRadian(std::nan("")), V(0, 0)), vkPelFunc::BadParams);
    EXPECT_THROW(vkFLine(vkRadian(1.0), V(INFINITY, 0)), vkPelFunc::BadParams);
    // General intersections are checked through the fitter's intercepts.
    EXPECT_TRUE(
        vkFLine(vkDegree(30), V(0, 0)).intersection(vkFLine(vkDegree(210), V(5, 0))).empty());
    EXPECT_TRUE(
        vkFLine(vkDegree(30), V(1, 1)).intersection(vkFLine(vkDegree(30), V(1, 1))).empty());
    EXPECT_TRUE(std::isnan(interceptOf(vkFLine(vkRadian(-vkDegree::kPi / 2), V(-3, 1)))));
    EXPECT_NEAR(interceptOf(vkFLine(vkRadian(std::atan(1e6)), V(1, 0))), -1e6, 1e-3);  // steep
}

TEST(LSLineFitter, MatchesNormalEquationsOnRandomWeightedPoints) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 gen(seed);
        std::uniform_real_distribution<double> xd(0, 255), noise(-20, 20), wd(0.1, 5), sd(-3, 3);
        const double s = sd(gen), b = noise(gen) * 5;
        long double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        vkLSLineFitter f;
        for (int i = 0; i < 2 + static_cast<int>(seed * 13); ++i) {
            const double x = xd(gen), y = b + s * x + noise(gen), w = seed % 2 ? 1.0 : wd(gen);
            f.update(x, y, w);
            n += w, sx += w * x, sy += w * y, sxx += w * x * x, sxy += w * x * y;
        }
        const long double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        EXPECT_NEAR(slopeOf(f.fit()), static_cast<double>(slope), 1e-9) << seed;
        EXPECT_NEAR(interceptOf(f.fit()), static_cast<double>((sy - slope * sx) / n), 1e-7) << seed;
        EXPECT_NEAR(f.weight(), static_cast<double>(n), 1e-9);
    }
    // The normal equations above are those of vertical distances.
    vkLSLineFitter f;
    // Large coordinates keep their precision (plain sums of squares would not).
    for (int i = 0; i < 1000; ++i)
        f.update(1e7 + i * 0.01, 3e7 + i * 0.005);
    EXPECT_NEAR(slopeOf(f.fit()), 0.5, 1e-6);
}

TEST(LSLineFitter, DegenerateInputGivesVerticalLinesAndBadPointsChangeNothing) {
    vkLSLineFitter f;
    EXPECT_NEAR(degrees(f.fit()), 90.0, 1e-12);  // no point: x = 0
    f.update(5, 5, 0.0);                         // zero weight adds nothing
    EXPECT_EQ(f.fit().point(), V(0, 0));
    for (double y : {1, 5, 12})
        f.update(7, y);  // one x: the vertical through the centroid
    EXPECT_NEAR(degrees(f.fit()), 90.0, 1e-12);
    EXPECT_TRUE(vfRealEq(f.fit().point(), V(7, 6), 1e-12));
    f.reset();
    f.update(0, 1);
    f.update(2, 5);
    EXPECT_THROW(f.update(std::nan(""), 1), vkPelFunc::BadParams);
    EXPECT_THROW(f.update(1, INFINITY), vkPelFunc::BadParams);
    EXPECT_THROW(f.update(1, 1, -1.0), vkPelFunc::BadParams);
    EXPECT_THROW(f.update(1, 1, INFINITY), vkPelFunc::BadParams);
    EXPECT_EQ(f.weight(), 2.0);
    EXPECT_NEAR(slopeOf(f.fit()), 2.0, 1e-14);
}
