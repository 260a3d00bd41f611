#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/images.h"

namespace {

constexpr double kPi = vkDegree::kPi;

// Slope and intercept of y on x by the normal equations, in long double.
struct Ols {
    long double slope, intercept;
};
Ols referenceOls(const std::vector<double>& xs, const std::vector<double>& ys, const std::vector<double>& ws) {
    long double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < xs.size(); ++i) {
        const long double w = ws[i], x = xs[i], y = ys[i];
        n += w;
        sx += w * x;
        sy += w * y;
        sxx += w * x * x;
        sxy += w * x * y;
    }
    const long double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    return {slope, (sy - slope * sx) / n};
}

// y where the line meets x = 0, or NaN when it does not.
double interceptOf(const vkFLine& line) {
    const auto at = line.intersection(vkFLine(vkDegree(90.0), vkVector<2>(0, 0)));
    return at.empty() ? std::nan("") : at.front().y();
}

double distanceToLine(const vkFLine& l, const vkVector<2>& p) {
    const vkVector<2> d = p - l.point();
    return std::fabs(d.x() * l.direction().y() - d.y() * l.direction().x());
}

}  // namespace

TEST(FLine, AngleIsFoldedIntoMinus90To90) {
    auto deg = [](double a) { return vkDegree(vkFLine(vkDegree(a), vkVector<2>(1, 2)).angle()).toDouble(); };
    EXPECT_NEAR(deg(135.0), -45.0, 1e-12);
    EXPECT_NEAR(deg(-90.0), 90.0, 1e-12);
    EXPECT_NEAR(deg(270.0), 90.0, 1e-12);
    EXPECT_NEAR(deg(180.0), 0.0, 1e-12);
    EXPECT_NEAR(deg(-135.0), 45.0, 1e-12);
    EXPECT_NEAR(deg(30.0), 30.0, 1e-12);
    const vkFLine l(vkDegree(210.0), vkVector<2>(3, 4));
    EXPECT_NEAR(l.direction().x(), std::cos(kPi / 6), 1e-15);
    EXPECT_NEAR(l.direction().y(), std::sin(kPi / 6), 1e-15);
    EXPECT_EQ(l.point(), vkVector<2>(3, 4));
}

TEST(FLine, NonFiniteAngleOrPointThrows) {
    EXPECT_THROW(vkFLine(vkRadian(std::nan("")), vkVector<2>(0, 0)), vkPelFunc::BadParams);
    EXPECT_THROW(vkFLine(vkRadian(1.0), vkVector<2>(INFINITY, 0)), vkPelFunc::BadParams);
}

TEST(FLine, IntersectionLiesOnBothLinesForRandomPairs) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> ang(-4.0, 4.0), pos(-100.0, 100.0);
    for (int k = 0; k < 500; ++k) {
        SCOPED_TRACE(k);
        const vkFLine a(vkRadian(ang(gen)), vkVector<2>(pos(gen), pos(gen)));
        const vkFLine b(vkRadian(ang(gen)), vkVector<2>(pos(gen), pos(gen)));
        const auto at = a.intersection(b);
        ASSERT_EQ(at.size(), 1u);
        // Tolerance grows as the lines become nearly parallel.
        const double s = std::fabs(std::sin(a.angle().toDouble() - b.angle().toDouble()));
        EXPECT_LT(distanceToLine(a, at[0]), 1e-9 / s);
        EXPECT_LT(distanceToLine(b, at[0]), 1e-9 / s);
        const auto back = b.intersection(a);
        ASSERT_EQ(back.size(), 1u);
        EXPECT_NEAR(back[0].x(), at[0].x(), 1e-7 / s);
    }
}

TEST(FLine, ParallelAndCoincidentLinesHaveNoIntersection) {
    EXPECT_TRUE(vkFLine(vkDegree(30), vkVector<2>(0, 0)).intersection(vkFLine(vkDegree(210), vkVector<2>(5, 0))).empty());
    EXPECT_TRUE(vkFLine(vkDegree(30), vkVector<2>(0, 0)).intersection(vkFLine(vkDegree(30), vkVector<2>(0, 0))).empty());
    // Vertical lines built in different ways.
    const vkFLine v1(vkDegree(90.0), vkVector<2>(0, 0));
    const vkFLine v2(vkRadian(kPi / 2), vkVector<2>(7, 1));
    const vkFLine v3(vkRadian(-kPi / 2), vkVector<2>(-3, 1));
    EXPECT_TRUE(v1.intersection(v2).empty());
    EXPECT_TRUE(v2.intersection(v3).empty());
    EXPECT_TRUE(v3.intersection(v1).empty());
    // A steep but not vertical line still meets the vertical.
    const vkFLine steep(vkRadian(std::atan(1e6)), vkVector<2>(1, 0));
    const auto at = steep.intersection(v1);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_NEAR(at[0].y(), -1e6, 1e-3);
}

TEST(LSLineFitter, MatchesNormalEquationsOnRandomWeightedPoints) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 gen(seed);
        std::uniform_real_distribution<double> xd(0, 255), noise(-20, 20), wd(0.1, 5), sd(-3, 3);
        const double s = sd(gen), b = noise(gen) * 5;
        std::vector<double> xs, ys, ws;
        vkLSLineFitter f;
        const int n = 2 + static_cast<int>(seed * 13);
        for (int i = 0; i < n; ++i) {
            xs.push_back(xd(gen));
            ys.push_back(b + s * xs.back() + noise(gen));
            ws.push_back(seed % 2 ? 1.0 : wd(gen));
            f.update(xs.back(), ys.back(), ws.back());
        }
        const Ols ref = referenceOls(xs, ys, ws);
        const vkFLine line = f.fit();
        EXPECT_NEAR(std::tan(line.angle().toDouble()), static_cast<double>(ref.slope), 1e-9);
        EXPECT_NEAR(interceptOf(line), static_cast<double>(ref.intercept), 1e-7);
        double total = 0;
        for (double w : ws) total += w;
        EXPECT_NEAR(f.weight(), total, 1e-9);
    }
}

TEST(LSLineFitter, FitsVerticalNotPerpendicularDistances) {
    // Perpendicular least squares would give the vertical here (the y spread
    // is larger than the x spread and uncorrelated); vertical least squares
    // gives the horizontal line y = 1.
    vkLSLineFitter f;
    for (auto p : {vkVector<2>(0, 0), vkVector<2>(0, 2), vkVector<2>(1, 0), vkVector<2>(1, 2)}) f.update(p);
    const vkFLine line = f.fit();
    EXPECT_NEAR(line.angle().toDouble(), 0.0, 1e-15);
    EXPECT_NEAR(interceptOf(line), 1.0, 1e-12);
    // Noise only in y: the slope of y = 2x + 5 survives exactly in the mean.
    vkLSLineFitter g;
    for (int x = 0; x < 10; ++x) {
        g.update(x, 2.0 * x + 5 + 3);
        g.update(x, 2.0 * x + 5 - 3);
    }
    EXPECT_NEAR(std::tan(g.fit().angle().toDouble()), 2.0, 1e-12);
    EXPECT_NEAR(interceptOf(g.fit()), 5.0, 1e-10);
}

TEST(LSLineFitter, LargeCoordinatesKeepTheirPrecision) {
    vkLSLineFitter f;
    for (int i = 0; i < 1000; ++i) f.update(1e7 + i * 0.01, 3e7 + i * 0.005);
    EXPECT_NEAR(std::tan(f.fit().angle().toDouble()), 0.5, 1e-6);
}

TEST(LSLineFitter, WeightedPointEqualsRepeatedPoint) {
    vkLSLineFitter a, b;
    a.update(1, 1, 3.0);
    a.update(4, 2);
    a.update(6, 7, 2.0);
    for (int i = 0; i < 3; ++i) b.update(1, 1);
    b.update(4, 2);
    b.update(vkVector<2>(6, 7));
    b.update(6, 7);
    b.update(100, -50, 0.0);  // adds nothing
    EXPECT_NEAR(a.fit().angle().toDouble(), b.fit().angle().toDouble(), 1e-14);
    EXPECT_NEAR(interceptOf(a.fit()), interceptOf(b.fit()), 1e-12);
}

TEST(LSLineFitter, NoPointGivesVerticalThroughOrigin) {
    vkLSLineFitter f;
    const vkFLine line = f.fit();
    EXPECT_NEAR(vkDegree(line.angle()).toDouble(), 90.0, 1e-12);
    EXPECT_EQ(line.point(), vkVector<2>(0, 0));
    EXPECT_TRUE(std::isnan(interceptOf(line)));
    f.update(5, 5, 0.0);
    EXPECT_NEAR(vkDegree(f.fit().angle()).toDouble(), 90.0, 1e-12);
}

TEST(LSLineFitter, PointsOnOneVerticalGiveVerticalThroughCentroid) {
    vkLSLineFitter f;
    f.update(7, 1);
    EXPECT_NEAR(vkDegree(f.fit().angle()).toDouble(), 90.0, 1e-12);  // a single point
    f.update(7, 5);
    f.update(7, 12);
    const vkFLine line = f.fit();
    EXPECT_NEAR(vkDegree(line.angle()).toDouble(), 90.0, 1e-12);
    EXPECT_NEAR(line.point().x(), 7.0, 1e-12);
    EXPECT_NEAR(line.point().y(), 6.0, 1e-12);
    EXPECT_TRUE(std::isnan(interceptOf(line)));
    f.update(8, 6);  // one point off the vertical makes the fit proper
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
    EXPECT_NEAR(std::tan(f.fit().angle().toDouble()), 2.0, 1e-14);
    f.reset();
    EXPECT_EQ(f.weight(), 0.0);
}
