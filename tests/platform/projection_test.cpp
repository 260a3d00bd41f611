#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using V = vkVector<2>;

namespace {

// The source pixel at a window-relative position, 0 outside the window.
double pel(const vkPelBuffer_const<std::uint8_t>& s, long x, long y) {
    if (x < 0 || y < 0 || x >= s.width() || y >= s.height()) return 0.0;
    return s.get(P(s.offset().x() + static_cast<std::int32_t>(x), s.offset().y() + static_cast<std::int32_t>(y)));
}

// Client point of sample (i, j), written out from the rectangle's corners.
V samplePoint(const vkAffineSamplingParams& p, std::int32_t i, std::int32_t j) {
    const auto& r = p.rectangle();
    const double a = (i + 0.5) / p.width(), b = (j + 0.5) / p.height();
    return V(r.origin().x() + a * (r.firstSideEnd().x() - r.origin().x()) + b * (r.secondSideEnd().x() - r.origin().x()),
             r.origin().y() + a * (r.firstSideEnd().y() - r.origin().y()) + b * (r.secondSideEnd().y() - r.origin().y()));
}

// Window-relative pixel-edge position of a client point.
V windowPos(const vkPelBuffer_const<std::uint8_t>& s, const V& client) {
    const V q = s.imageFromClientXform().map(client);
    return V(q.x() - s.offset().x(), q.y() - s.offset().y());
}

double sampleValue(const vkPelBuffer_const<std::uint8_t>& s, const V& q, bool bilinear) {
    if (!bilinear) return pel(s, static_cast<long>(std::floor(q.x())), static_cast<long>(std::floor(q.y())));
    const double fx = q.x() - 0.5, fy = q.y() - 0.5;
    const long x0 = static_cast<long>(std::floor(fx)), y0 = static_cast<long>(std::floor(fy));
    const double ax = fx - x0, ay = fy - y0;
    return (1 - ax) * (1 - ay) * pel(s, x0, y0) + ax * (1 - ay) * pel(s, x0 + 1, y0) +
           (1 - ax) * ay * pel(s, x0, y0 + 1) + ax * ay * pel(s, x0 + 1, y0 + 1);
}

struct Reference {
    std::vector<double> sums;
    std::uint32_t inside = 0;
};

Reference referenceProjection(const vkPelBuffer_const<std::uint8_t>& s, const vkAffineSamplingParams& p) {
    Reference r;
    for (std::int32_t i = 0; i < p.width(); ++i) {
        double sum = 0;
        for (std::int32_t j = 0; j < p.height(); ++j) {
            const V q = windowPos(s, samplePoint(p, i, j));
            if (q.x() >= 0 && q.y() >= 0 && q.x() < s.width() && q.y() < s.height()) ++r.inside;
            sum += sampleValue(s, q, p.interpolation() == vkAffineSamplingParams::eBilinear);
        }
        r.sums.push_back(sum);
    }
    return r;
}

struct Result {
    vkPelBuffer<std::uint32_t> profile, scratch;
    std::uint32_t inside = 0;
    bool allInside = false;
};

Result project(const vkPelBuffer_const<std::uint8_t>& s, const vkAffineSamplingParams& p) {
    Result r;
    vfProjectImage(s, r.profile, r.scratch, p, r.inside, r.allInside);
    return r;
}

// Each sample is held to 1/256 before summing, so a column of h samples may
// be off the exact sum by h / 512; the profile adds the final rounding.
void expectMatchesReference(const vkPelBuffer_const<std::uint8_t>& s, const vkAffineSamplingParams& p) {
    const Reference ref = referenceProjection(s, p);
    const Result got = project(s, p);
    ASSERT_EQ(got.profile.width(), p.width());
    ASSERT_EQ(got.profile.height(), 1);
    ASSERT_EQ(got.scratch.width(), p.width());
    const double slack = p.height() / 512.0 + 1e-6;
    for (std::int32_t i = 0; i < p.width(); ++i) {
        SCOPED_TRACE(i);
        const double exact = ref.sums[static_cast<size_t>(i)];
        const std::uint32_t scratch = got.scratch.pointToOffset()[i];
        EXPECT_NEAR(scratch / 256.0, exact, slack);
        EXPECT_NEAR(got.profile.pointToOffset()[i], exact, 0.5 + slack);
        EXPECT_EQ(got.profile.pointToOffset()[i], (scratch + 128) / 256);
    }
    EXPECT_EQ(got.inside, ref.inside);
    EXPECT_EQ(got.allInside, ref.inside == static_cast<std::uint32_t>(p.width() * p.height()));
}

vkAffineSamplingParams randomParams(std::mt19937& gen, double extent, vkAffineSamplingParams::Interpolation mode) {
    std::uniform_real_distribution<double> pos(-0.3 * extent, 1.1 * extent), ang(0, 6.283), len(0.3, 1.3);
    std::uniform_int_distribution<std::int32_t> n(1, 40);
    const V o(pos(gen), pos(gen));
    const double a = ang(gen), b = a + 1.0 + ang(gen) / 4;  // sides never parallel
    const double l1 = len(gen) * extent, l2 = len(gen) * extent;
    return vkAffineSamplingParams(
        vkAffineRectangle(o, o + V(l1 * std::cos(a), l1 * std::sin(a)), o + V(l2 * std::cos(b), l2 * std::sin(b))),
        n(gen), n(gen), mode);
}

}  // namespace

TEST(ProjectImage, BilinearSumsMatchDirectSamplingOnRandomRectangles) {
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        auto gen = testimg::rng(seed);
        const auto src = testimg::random<std::uint8_t>(23, 17, gen);
        expectMatchesReference(src, randomParams(gen, 23, vkAffineSamplingParams::eBilinear));
    }
}

TEST(ProjectImage, NearestSumsMatchDirectSampling) {
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE(seed);
        auto gen = testimg::rng(seed);
        const auto src = testimg::random<std::uint8_t>(12, 19, gen);
        expectMatchesReference(src, randomParams(gen, 19, vkAffineSamplingParams::eNearestNeighbor));
    }
}

TEST(ProjectImage, WindowInsideLargerStorageReadsZeroBeyondItsEdge) {
    // The storage around the window holds 255; a projection that read past
    // the window's edge instead of 0 would differ from the cropped copy.
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE(seed);
        auto gen = testimg::rng(seed);
        const auto crop = testimg::random<std::uint8_t>(15, 11, gen);
        const auto big = testimg::embedded<std::uint8_t>(crop, 4, 255, P(30, -20));
        // The same client frame for both: the crop's positions start at 0.
        vkPelBuffer_const<std::uint8_t> shifted(big);
        shifted.clientFromImageXform(vkXform<2>::translation(-30, 20));
        const auto params = randomParams(gen, 15, vkAffineSamplingParams::eBilinear);
        const Result a = project(shifted, params), b = project(crop, params);
        EXPECT_EQ(testimg::pixels<std::uint32_t>(a.profile), testimg::pixels<std::uint32_t>(b.profile));
        EXPECT_EQ(a.inside, b.inside);
        expectMatchesReference(shifted, params);
    }
}

TEST(ProjectImage, SourceClientTransformPlacesSamples) {
    auto gen = testimg::rng(3);
    auto src = testimg::random<std::uint8_t>(20, 20, gen);
    src.clientFromImageXform(vkXform<2>(0.8, 0.3, -0.2, 1.1, 5, -4));
    for (int k = 0; k < 10; ++k) expectMatchesReference(src, randomParams(gen, 20, vkAffineSamplingParams::eBilinear));
}

TEST(ProjectImage, SmallSourceSizesSweep) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
        for (std::int32_t h : {1, 2, 3, 9}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h);
            auto gen = testimg::rng(static_cast<std::uint32_t>(w * 100 + h));
            const auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, h, gen), 2, 200);
            expectMatchesReference(src, randomParams(gen, std::max(w, h), vkAffineSamplingParams::eBilinear));
        }
}

TEST(ProjectImage, ConstantImageInsideGivesHeightTimesValue) {
    vkPelBuffer<std::uint8_t> src(40, 40);
    vfPelSet(src, std::uint8_t{200});
    // A turned rectangle well inside the image.
    const double c = std::cos(0.5), s = std::sin(0.5);
    const V o(12, 8);
    const vkAffineSamplingParams p(vkAffineRectangle(o, o + V(20 * c, 20 * s), o + V(-15 * s, 15 * c)), 31, 17,
                                   vkAffineSamplingParams::eBilinear);
    const Result r = project(src, p);
    for (std::int32_t i = 0; i < 31; ++i) EXPECT_EQ(r.profile.pointToOffset()[i], 17u * 200u);
    EXPECT_TRUE(r.allInside);
    EXPECT_EQ(r.inside, 31u * 17u);
}

TEST(ProjectImage, ProfileTransformPutsSampleCentresAtHalfPositions) {
    auto gen = testimg::rng(11);
    const auto src = testimg::random<std::uint8_t>(10, 10, gen);
    const auto p = randomParams(gen, 10, vkAffineSamplingParams::eBilinear);
    const Result r = project(src, p);
    for (std::int32_t i = 0; i < p.width(); ++i)
        for (std::int32_t j = 0; j < p.height(); j += 3) {
            const V u = r.profile.imageFromClientXform().map(samplePoint(p, i, j));
            EXPECT_NEAR(u.x(), i + 0.5, 1e-9);
            EXPECT_NEAR(u.y(), j + 0.5, 1e-9);
        }
    // The rectangle's origin is position 0 and the end of its first side is
    // the width.
    EXPECT_NEAR(r.profile.imageFromClientXform().map(p.rectangle().origin()).x(), 0.0, 1e-9);
    EXPECT_NEAR(r.profile.imageFromClientXform().map(p.rectangle().firstSideEnd()).x(), p.width(), 1e-9);
    EXPECT_EQ(r.scratch.imageFromClientXformBase(), r.profile.imageFromClientXformBase());
}

TEST(ProjectImage, RectangleHalfOutsideCountsOnlyInsideSamples) {
    vkPelBuffer<std::uint8_t> src(10, 10);
    vfPelSet(src, std::uint8_t{10});
    // Columns 0..9 over x in 5..15: the right half of the samples is outside.
    const vkAffineSamplingParams p(vkAffineRectangle(V(5, 0), V(15, 0), V(5, 10)), 10, 10,
                                   vkAffineSamplingParams::eNearestNeighbor);
    const Result r = project(src, p);
    EXPECT_EQ(r.inside, 50u);
    EXPECT_FALSE(r.allInside);
    for (std::int32_t i = 0; i < 10; ++i) EXPECT_EQ(r.profile.pointToOffset()[i], i < 5 ? 100u : 0u);
}

TEST(ProjectImage, OutputsAreReplacedNotWrittenInto) {
    auto gen = testimg::rng(5);
    const auto src = testimg::random<std::uint8_t>(8, 8, gen);
    vkPelBuffer<std::uint32_t> oldProfile(3, 3), profile = oldProfile, scratch(2, 2);
    vfPelSet(oldProfile, 77u);
    std::uint32_t inside = 0;
    bool all = false;
    vfProjectImage(src, profile, scratch,
                   vkAffineSamplingParams(vkAffineRectangle(V(0, 0), V(8, 0), V(0, 8)), 8, 4,
                                          vkAffineSamplingParams::eBilinear),
                   inside, all);
    EXPECT_EQ(profile.width(), 8);
    EXPECT_NE(profile.root(), oldProfile.root());
    EXPECT_EQ(testimg::pixels<std::uint32_t>(oldProfile), std::vector<std::uint32_t>(9, 77u));
    EXPECT_TRUE(all);
    EXPECT_EQ(inside, 32u);
}

TEST(ProjectImage, BadInputThrowsAndLeavesOutputsAlone) {
    vkPelBuffer<std::uint32_t> profile(3, 1), scratch(3, 1);
    const void* root = profile.root();
    std::uint32_t inside = 9;
    bool all = true;
    const vkAffineSamplingParams ok(vkAffineRectangle(V(0, 0), V(4, 0), V(0, 4)), 4, 4,
                                    vkAffineSamplingParams::eBilinear);
    vkPelBuffer<std::uint8_t> src(4, 4);
    EXPECT_THROW(vfProjectImage(vkPelBuffer_const<std::uint8_t>(), profile, scratch, ok, inside, all),
                 vkPel::UnboundWindow);
    vkPelBuffer_const<std::uint8_t> empty(src);
    empty.window(vkPelRect(1, 1, 0, 2));
    EXPECT_THROW(vfProjectImage(empty, profile, scratch, ok, inside, all), vkPel::BadWindow);
    const vkAffineSamplingParams flat(vkAffineRectangle(V(0, 0), V(4, 2), V(8, 4)), 4, 4,
                                      vkAffineSamplingParams::eBilinear);
    EXPECT_THROW(vfProjectImage(src, profile, scratch, flat, inside, all), vkPelFunc::BadParams);
    const vkAffineSamplingParams nanRect(vkAffineRectangle(V(NAN, 0), V(4, 0), V(0, 4)), 4, 4,
                                         vkAffineSamplingParams::eBilinear);
    EXPECT_THROW(vfProjectImage(src, profile, scratch, nanRect, inside, all), vkPelFunc::BadParams);
    const vkAffineSamplingParams cubic(vkAffineRectangle(V(0, 0), V(4, 0), V(0, 4)), 4, 4,
                                       vkAffineSamplingParams::eBicubic);
    EXPECT_THROW(vfProjectImage(src, profile, scratch, cubic, inside, all), vkPelFunc::BadParams);
    EXPECT_EQ(profile.root(), root);
    EXPECT_EQ(inside, 9u);
    EXPECT_TRUE(all);
}
