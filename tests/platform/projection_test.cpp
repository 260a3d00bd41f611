#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using V = vkVector<2>;
using Params = vkAffineSamplingParams;

namespace {

// The source pixel at a window-relative position, 0 outside the window.
double pel(const vkPelBuffer_const<std::uint8_t>& s, double x, double y) {
    if (x < 0 || y < 0 || x >= s.width() || y >= s.height()) return 0.0;
    return s.get(P(s.offset().x() + static_cast<std::int32_t>(x), s.offset().y() + static_cast<std::int32_t>(y)));
}

// Column sums and the inside count written out sample by sample: client
// point from the rectangle's corners, source position through the source's
// transform, bilinear weights between pixel centres.
struct Reference {
    std::vector<double> sums;
    std::uint32_t inside = 0;
};
Reference reference(const vkPelBuffer_const<std::uint8_t>& s, const Params& p) {
    const auto& r = p.rectangle();
    Reference ref;
    for (std::int32_t i = 0; i < p.width(); ++i) {
        double sum = 0;
        for (std::int32_t j = 0; j < p.height(); ++j) {
            const double a = (i + 0.5) / p.width(), b = (j + 0.5) / p.height();
            const V client = r.origin() + a * (r.firstSideEnd() - r.origin()) + b * (r.secondSideEnd() - r.origin());
            const V q = s.imageFromClientXform().map(client) - V(s.offset().x(), s.offset().y());
            ref.inside += q.x() >= 0 && q.y() >= 0 && q.x() < s.width() && q.y() < s.height();
            if (p.interpolation() == Params::eNearestNeighbor) {
                sum += pel(s, std::floor(q.x()), std::floor(q.y()));
                continue;
            }
            const double x0 = std::floor(q.x() - 0.5), y0 = std::floor(q.y() - 0.5);
            const double ax = q.x() - 0.5 - x0, ay = q.y() - 0.5 - y0;
            sum += (1 - ax) * (1 - ay) * pel(s, x0, y0) + ax * (1 - ay) * pel(s, x0 + 1, y0) +
                   (1 - ax) * ay * pel(s, x0, y0 + 1) + ax * ay * pel(s, x0 + 1, y0 + 1);
        }
        ref.sums.push_back(sum);
    }
    return ref;
}

struct Result {
    vkPelBuffer<std::uint32_t> profile, scratch;
    std::uint32_t inside = 0;
    bool allInside = false;
};
Result project(const vkPelBuffer_const<std::uint8_t>& s, const Params& p) {
    Result r;
    vfProjectImage(s, r.profile, r.scratch, p, r.inside, r.allInside);
    return r;
}

// Each sample is held to 1/256 before summing, so a column of h samples may
// be off the exact sum by h / 512; the profile adds the final rounding.
void expectMatchesReference(const vkPelBuffer_const<std::uint8_t>& s, const Params& p) {
    const Reference ref = reference(s, p);
    const Result got = project(s, p);
    ASSERT_EQ(got.profile.window(), vkPelRect(0, 0, p.width(), 1));
    ASSERT_EQ(got.scratch.window(), vkPelRect(0, 0, p.width(), 1));
    const double slack = p.height() / 512.0 + 1e-6;
    for (std::int32_t i = 0; i < p.width(); ++i) {
        const std::uint32_t scratch = got.scratch.pointToOffset()[i];
        EXPECT_NEAR(scratch / 256.0, ref.sums[static_cast<size_t>(i)], slack) << i;
        EXPECT_EQ(got.profile.pointToOffset()[i], (scratch + 128) / 256) << i;
    }
    EXPECT_EQ(got.inside, ref.inside);
    EXPECT_EQ(got.allInside, ref.inside == static_cast<std::uint32_t>(p.width() * p.height()));
}

Params randomParams(std::mt19937& gen, double extent, Params::Interpolation mode = Params::eBilinear) {
    std::uniform_real_distribution<double> pos(-0.3 * extent, 1.1 * extent), ang(0, 6.283), len(0.3, 1.3);
    std::uniform_int_distribution<std::int32_t> n(1, 40);
    const V o(pos(gen), pos(gen));
    const double a = ang(gen), b = a + 1.0 + ang(gen) / 4;  // sides never parallel
    const double l1 = len(gen) * extent, l2 = len(gen) * extent;
    return Params(vkAffineRectangle(o, o + l1 * V(std::cos(a), std::sin(a)), o + l2 * V(std::cos(b), std::sin(b))),
                  n(gen), n(gen), mode);
}

}  // namespace

TEST(ProjectImage, SumsMatchDirectSamplingOnRandomRectangles) {
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        auto gen = testimg::rng(seed);
        auto src = testimg::random<std::uint8_t>(23, 17, gen);
        if (seed % 3 == 0) src.clientFromImageXform(vkXform<2>(0.8, 0.3, -0.2, 1.1, 5, -4));
        expectMatchesReference(src, randomParams(gen, 23, seed % 4 ? Params::eBilinear : Params::eNearestNeighbor));
    }
}

TEST(ProjectImage, WindowInLargerStorageReadsZeroBeyondItsEdge) {
    // The storage around the window holds 255 and its positions start at
    // (30, -20); with a client transform undoing that, the projection must
    // equal that of a cropped copy.
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        auto gen = testimg::rng(seed);
        const auto crop = testimg::random<std::uint8_t>(15, 11, gen);
        auto big = testimg::embedded<std::uint8_t>(crop, 4, 255, P(30, -20));
        big.clientFromImageXform(vkXform<2>::translation(-30, 20));
        const auto params = randomParams(gen, 15);
        EXPECT_EQ(testimg::pixels<std::uint32_t>(project(big, params).profile),
                  testimg::pixels<std::uint32_t>(project(crop, params).profile)) << seed;
        expectMatchesReference(big, params);
    }
}

TEST(ProjectImage, SmallSourceSizesSweep) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
        for (std::int32_t h : {1, 2, 9}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h);
            auto gen = testimg::rng(static_cast<std::uint32_t>(w * 100 + h));
            const auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 2, 200);
            expectMatchesReference(src, randomParams(gen, std::max(w, h)));
        }
}

TEST(ProjectImage, ProfileTransformPutsSampleCentresAtHalfPositions) {
    auto gen = testimg::rng(11);
    const auto p = randomParams(gen, 10);
    const Result r = project(testimg::random<std::uint8_t>(10, 10, gen), p);
    const auto& rect = p.rectangle();
    for (std::int32_t i = 0; i < p.width(); ++i) {
        const V centre = rect.origin() + (i + 0.5) / p.width() * rect.firstSide() + 0.5 / p.height() * rect.secondSide();
        EXPECT_NEAR(r.profile.imageFromClientXform().map(centre).x(), i + 0.5, 1e-9);
        EXPECT_NEAR(r.profile.imageFromClientXform().map(centre).y(), 0.5, 1e-9);
    }
    EXPECT_EQ(r.scratch.imageFromClientXformBase(), r.profile.imageFromClientXformBase());
}

TEST(ProjectImage, OutputsAreReplacedAndLeftAloneOnBadInput) {
    vkPelBuffer<std::uint8_t> src(4, 4);
    vkPelBuffer<std::uint32_t> old(3, 3), profile = old, scratch(2, 2);
    vfPelSet(old, 77u);
    std::uint32_t inside = 9;
    bool all = false;
    auto rect = [](V b, V c, Params::Interpolation m = Params::eBilinear) {
        return Params(vkAffineRectangle(V(0, 0), b, c), 4, 4, m);
    };
    EXPECT_THROW(vfProjectImage(vkPelBuffer_const<std::uint8_t>(), profile, scratch, rect(V(4, 0), V(0, 4)), inside, all),
                 vkPel::UnboundWindow);
    vkPelBuffer_const<std::uint8_t> empty(src);
    empty.window(vkPelRect(1, 1, 0, 2));
    EXPECT_THROW(vfProjectImage(empty, profile, scratch, rect(V(4, 0), V(0, 4)), inside, all), vkPel::BadWindow);
    EXPECT_THROW(vfProjectImage(src, profile, scratch, rect(V(4, 2), V(8, 4)), inside, all), vkPelFunc::BadParams);
    EXPECT_THROW(vfProjectImage(src, profile, scratch, rect(V(NAN, 0), V(0, 4)), inside, all), vkPelFunc::BadParams);
    EXPECT_THROW(vfProjectImage(src, profile, scratch, rect(V(4, 0), V(0, 4), Params::eBicubic), inside, all),
                 vkPelFunc::BadParams);
    EXPECT_EQ(profile.root(), old.root());
    EXPECT_EQ(inside, 9u);
    vfProjectImage(src, profile, scratch, rect(V(4, 0), V(0, 4)), inside, all);
    EXPECT_NE(profile.root(), old.root());  // a new buffer; the old pixels stay
    EXPECT_EQ(testimg::pixels<std::uint32_t>(old), std::vector<std::uint32_t>(9, 77u));
    EXPECT_TRUE(all);
    EXPECT_EQ(inside, 16u);
}
