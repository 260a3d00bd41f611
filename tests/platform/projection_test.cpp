#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "platform/projection.h"
#include "platform/util.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using V = vkVector<2>;
using Params = vkAffineSamplingParams;
using U8 = std::uint8_t;
using U32 = std::uint32_t;

namespace {

// The source pixel at a window-relative position, 0 outside the window.
double pel(const vkPelBuffer_const<U8>& s, double x, double y) {
    if (x < 0 || y < 0 || x >= s.width() || y >= s.height()) return 0.0;
    return s.get(P(s.offset().x() + static_cast<std::int32_t>(x),
                   s.offset().y() + static_cast<std::int32_t>(y)));
}

struct Result {
    vkPelBuffer<U32> profile, scratch;
    U32 inside = 0;
    bool allInside = false;
};
Result project(const vkPelBuffer_const<U8>& s, const Params& p) {
    Result r;
    vfProjectImage(s, r.profile, r.scratch, p, r.inside, r.allInside);
    return r;
}

// Column sums and the inside count sample by sample. Samples are held to
// 1/256, so a column of h may be off by h / 512; the profile rounds that, and
// its transform puts the centre of sample (i, 0) at (i + 0.5, 0.5).
void expectMatchesReference(const vkPelBuffer_const<U8>& s, const Params& p) {
    const Result got = project(s, p);
    ASSERT_TRUE(got.profile.window() == vkPelRect(0, 0, p.width(), 1) &&
                got.scratch.window() == got.profile.window());
    const auto& r = p.rectangle();
    U32 inside = 0;
    for (std::int32_t i = 0; i < p.width(); ++i) {
        double sum = 0;
        for (std::int32_t j = 0; j < p.height(); ++j) {
            const V client = r.origin() + (i + 0.5) / p.width() * (r.firstSideEnd() - r.origin()) +
                             (j + 0.5) / p.height() * (r.secondSideEnd() - r.origin());
            const V q = s.imageFromClientXform().map(client) - V(s.offset().x(), s.offset().y());
            inside += q.x() >= 0 && q.y() >= 0 && q.x() < s.width() && q.y() < s.height();
            const double x0 = std::floor(q.x() - 0.5), y0 = std::floor(q.y() - 0.5);
            const double ax = q.x() - 0.5 - x0, ay = q.y() - 0.5 - y0;
            sum += p.interpolation() == Params::eNearestNeighbor
                       ? pel(s, std::floor(q.x()), std::floor(q.y()))
                       : (1 - ax) * (1 - ay) * pel(s, x0, y0) + ax * (1 - ay) * pel(s, x0 + 1, y0) +
                             (1 - ax) * ay * pel(s, x0, y0 + 1) + ax * ay * pel(s, x0 + 1, y0 + 1);
        }
        const V first =
            r.origin() + (i + 0.5) / p.width() * r.firstSide() + 0.5 / p.height() * r.secondSide();
        EXPECT_TRUE(vfRealEq(got.profile.imageFromClientXform().map(first), V(i + 0.5, 0.5), 1e-9));
        const U32 scratch = got.scratch.pointToOffset()[i];
        EXPECT_NEAR(scratch / 256.0, sum, p.height() / 512.0 + 1e-6) << i;
        EXPECT_EQ(got.profile.pointToOffset()[i], (scratch + 128) / 256) << i;
    }
    EXPECT_EQ(got.scratch.imageFromClientXformBase(), got.profile.imageFromClientXformBase());
    EXPECT_EQ(got.inside, inside);
    EXPECT_EQ(got.allInside, inside == static_cast<U32>(p.width() * p.height()));
}

Params randomParams(std::mt19937& gen, double extent, Params::Interpolation mode) {
    std::uniform_real_distribution<double> pos(-0.3 * extent, 1.1 * extent), ang(0, 6.283),
        len(0.3, 1.3);
    std::uniform_int_distribution<std::int32_t> n(1, 40);
    const V o(pos(gen), pos(gen));
    const double a = ang(gen), b = a + 1.0 + ang(gen) / 4;  // sides never parallel
    const double l1 = len(gen) * extent, l2 = len(gen) * extent;
    return Params(vkAffineRectangle(o, o + l1 * V(std::cos(a), std::sin(a)),
                                    o + l2 * V(std::cos(b), std::sin(b))),
                  n(gen), n(gen), mode);
}

}  // namespace

TEST(ProjectImage, SumsMatchDirectSamplingAndACroppedCopyOverSmallSizes) {
    // The window sits in storage holding 200 and must read 0 beyond its edge.
    std::uint32_t seed = 0;
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 23, 63, 64, 65})
        for (std::int32_t h : {1, 2, 9, 17}) {
            SCOPED_TRACE(testing::Message() << "seed " << ++seed << " " << w << "x" << h);
            auto gen = testimg::rng(seed);
            const auto content = testimg::random<U8>(w, h, gen);
            auto big = testimg::embedded<U8>(content, 2, 200, P(30, -20));
            vkXform<2> toClient = vkXform<2>::translation(-30, 20);
            if (seed % 3 == 0) toClient = vkXform<2>(0.8, 0.3, -0.2, 1.1, 5, -4) * toClient;
            big.clientFromImageXform(toClient);
            const auto params = randomParams(
                gen, std::max(w, h), seed % 4 ? Params::eBilinear : Params::eNearestNeighbor);
            expectMatchesReference(big, params);
        }
}

TEST(ProjectImage, OutputsAreReplacedAndLeftAloneOnBadInput) {
    vkPelBuffer<U8> src(4, 4), empty(vkPelRect(1, 1, 0, 2));
    vkPelBuffer<U32> old(3, 3), profile = old, scratch(2, 2);
    vfPelSet(old, 77u);
    U32 inside = 9;
    bool all = false;
    auto params = [](V b, V c, Params::Interpolation m = Params::eBilinear) {
        return Params(vkAffineRectangle(V(0, 0), b, c), 4, 4, m);
    };
    const Params good = params(V(4, 0), V(0, 4));
    EXPECT_THROW(vfProjectImage(vkPelBuffer_const<U8>(), profile, scratch, good, inside, all),
                 vkPel::UnboundWindow);
    EXPECT_THROW(vfProjectImage(empty, profile, scratch, good, inside, all), vkPel::BadWindow);
    for (const Params& bad : {params(V(4, 2), V(8, 4)), params(V(NAN, 0), V(0, 4)),
                              params(V(4, 0), V(0, 4), Params::eBicubic)})
        EXPECT_THROW(vfProjectImage(src, profile, scratch, bad, inside, all), vkPelFunc::BadParams);
    EXPECT_TRUE(profile.root() == old.root() && inside == 9u);
    vfProjectImage(src, profile, scratch, good, inside, all);
    EXPECT_NE(profile.root(), old.root());  // a new buffer; the old pixels stay
    EXPECT_EQ(testimg::pixels<U32>(old), std::vector<U32>(9, 77u));
    EXPECT_TRUE(all && inside == 16u);
    // Samples at positions 0..7: 0 is inside the 4 x 4 window, 4 is not.
    const Params edges(vkAffineRectangle(V(-0.5, -0.5), V(7.5, -0.5), V(-0.5, 7.5)), 8, 8,
                       Params::eBilinear);
    vfProjectImage(src, profile, scratch, edges, inside, all);
    EXPECT_TRUE(!all && inside == 16u) << inside;
}
