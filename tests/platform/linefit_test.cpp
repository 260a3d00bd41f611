#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/images.h"

namespace {

// y where the line meets x = 0, or NaN when it does not.
double interceptOf(const vkFLine& line) {
    const auto at = line.intersection(vkFLine(vkDegree(90.0), vkVector<2>(0, 0)));
    return at.empty() ? std::nan("") : at.front().y();
}
double slopeOf(const vkFLine& line) { return std::tan(line.angle().toDouble()); }
double degrees(const vkFLine& line) { return vkDegree(line.angle()).toDouble(); }

}  // namespace

TEST(FLine, AngleIsFoldedIntoMinus90To90) {
    const double in[] = {135, -90, 270, 180, -135, 30}, out[] = {-45, 90, 90, 0, 45, 30};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(degrees(vkFLine(vkDegree(in[i]), vkVector<2>(1, 2))), out[i], 1e-12);
    EXPECT_THROW(vkFLine(vkRadian(std::nan("")), vkVector<2>(0, 0)), vkPelFunc::BadParams);
    EXPECT_THROW(vkFLine(vkRadian(1.0), vkVector<2>(INFINITY, 0)), vkPelFunc::BadParams);
}

TEST(FLine, IntersectionLiesOnBothLines) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> ang(-4.0, 4.0), pos(-100.0, 100.0);
    for (int k = 0; k < 500; ++k) {
        const vkFLine a(vkRadian(ang(gen)), vkVector<2>(pos(gen), pos(gen)));
        const vkFLine b(vkRadian(ang(gen)), vkVector<2>(pos(gen), pos(gen)));
        const auto at = a.intersection(b);
        ASSERT_EQ(at.size(), 1u) << k;
        // The tolerance grows as the lines become nearly parallel.
        const double tol = 1e-9 / std::fabs(std::sin(a.angle().toDouble() - b.angle().toDouble()));
        for (const vkFLine& l : {a, b}) {
            const vkVector<2> d = at[0] - l.point();
            EXPECT_LT(std::fabs(d.x() * l.direction().y() - d.y() * l.direction().x()), tol) << k;
        }
    }
}

TEST(FLine, ParallelAndCoincidentLinesDoNotIntersect) {
    EXPECT_TRUE(vkFLine(vkDegree(30), vkVector<2>(0, 0)).intersection(vkFLine(vkDegree(210), vkVector<2>(5, 0))).empty());
    EXPECT_TRUE(vkFLine(vkDegree(30), vkVector<2>(1, 1)).intersection(vkFLine(vkDegree(30), vkVector<2>(1, 1))).empty());
    // Verticals built in different ways.
    EXPECT_TRUE(std::isnan(interceptOf(vkFLine(vkRadian(vkDegree::kPi / 2), vkVector<2>(7, 1)))));
    EXPECT_TRUE(std::isnan(interceptOf(vkFLine(vkRadian(-vkDegree::kPi / 2), vkVector<2>(-3, 1)))));
    EXPECT_NEAR(interceptOf(vkFLine(vkRadian(std::atan(1e6)), vkVector<2>(1, 0))), -1e6, 1e-3);  // steep, not vertical
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
}

TEST(LSLineFitter, FitsVerticalNotPerpendicularDistances) {
    // Perpendicular least squares would give the vertical here (more spread
    // in y than in x, uncorrelated); vertical least squares gives y = 1.
    vkLSLineFitter f;
    for (auto p : {vkVector<2>(0, 0), vkVector<2>(0, 2), vkVector<2>(1, 0), vkVector<2>(1, 2)}) f.update(p);
    EXPECT_NEAR(degrees(f.fit()), 0.0, 1e-12);
    EXPECT_NEAR(interceptOf(f.fit()), 1.0, 1e-12);
}

TEST(LSLineFitter, LargeCoordinatesKeepTheirPrecision) {
    // Sums of squares would cancel to ~1e-2 here; centred sums do not.
    vkLSLineFitter f;
    for (int i = 0; i < 1000; ++i) f.update(1e7 + i * 0.01, 3e7 + i * 0.005);
    EXPECT_NEAR(slopeOf(f.fit()), 0.5, 1e-6);
}

TEST(LSLineFitter, DegenerateInputGivesVerticalLines) {
    vkLSLineFitter f;
    EXPECT_NEAR(degrees(f.fit()), 90.0, 1e-12);  // no point: x = 0
    EXPECT_EQ(f.fit().point(), vkVector<2>(0, 0));
    f.update(5, 5, 0.0);  // zero weight adds nothing
    EXPECT_EQ(f.fit().point(), vkVector<2>(0, 0));
    f.update(7, 1);
    f.update(7, 5);
    f.update(7, 12);  // one x: the vertical through the centroid
    EXPECT_NEAR(degrees(f.fit()), 90.0, 1e-12);
    EXPECT_NEAR(f.fit().point().x(), 7.0, 1e-12);
    EXPECT_NEAR(f.fit().point().y(), 6.0, 1e-12);
    EXPECT_TRUE(std::isnan(interceptOf(f.fit())));
    f.update(8, 6);
    EXPECT_FALSE(std::isnan(interceptOf(f.fit())));
}

TEST(LSLineFitter, BadPointThrowsAndChangesNothing) {
    vkLSLineFitter f;
    f.update(0, 1);
    f.update(2, 5);
    EXPECT_THROW(f.update(std::nan(""), 1), vkPelFunc::BadParams);
    EXPECT_THROW(f.update(1, INFINITY), vkPelFunc::BadParams);
    EXPECT_THROW(f.update(1, 1, -1.0), vkPelFunc::BadParams);
    EXPECT_THROW(f.update(1, 1, INFINITY), vkPelFunc::BadParams);
    EXPECT_EQ(f.weight(), 2.0);
    EXPECT_NEAR(slopeOf(f.fit()), 2.0, 1e-14);
}
