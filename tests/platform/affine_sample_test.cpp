#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/affine_rows.h"
#include "platform/util.h"
#include "support/images.h"
#include "support/threads.h"

using P = vkPair<std::int32_t>;
using V = vkVector<2>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;
using Mode = vkAffineSamplingParams::Interpolation;

namespace {

// Bilinear (reach 1) or Catmull-Rom (reach 2) weight at distance t.
double weight(int reach, double t) {
    t = std::abs(t);
    if (reach == 1) return t < 1 ? 1 - t : 0;
    return t < 1   ? 1.5 * t * t * t - 2.5 * t * t + 1
           : t < 2 ? -0.5 * t * t * t + 2.5 * t * t - 4 * t + 2
                   : 0;
}

// The window pixel at window index (x, y) clamped into the window.
double clampedPel(const vkPelBuffer_const<std::uint8_t>& s, std::int64_t x, std::int64_t y) {
    const auto cx = static_cast<std::int32_t>(std::clamp<std::int64_t>(x, 0, s.width() - 1));
    const auto cy = static_cast<std::int32_t>(std::clamp<std::int64_t>(y, 0, s.height() - 1));
    return s.get(P(s.window().ul().x() + cx, s.window().ul().y() + cy));
}

// Every result pixel must be within 0.5 (+1e-3 for float sums at exact ties)
// of the sample computed in double precision from the rectangle, the
// source's transform and the kernel; nearest neighbour may take either
// pixel at a tie.
void expectMatchesReference(const vkPelBuffer_const<std::uint8_t>& src,
                            const vkAffineRectangle& rect, std::int32_t w, std::int32_t h,
                            Mode mode, const std::string& name) {
    const U8 out = vfAffineTransformImage(src, vkAffineSamplingParams(rect, w, h, mode));
    const std::string what = name + " mode " + std::to_string(static_cast<int>(mode));
    ASSERT_EQ(out.window(), vkPelRect(0, 0, w, h)) << what;
    // Each result pixel keeps the client position it was sampled at.
    auto client = [&](double u, double v) {
        return rect.origin() + u / w * rect.firstSide() + v / h * rect.secondSide();
    };
    EXPECT_TRUE(vfRealEq(out.clientFromImageXform().map(V(w - 0.5, h - 0.7)),
                         client(w - 0.5, h - 0.7), 1e-9));
    const int reach = mode == vkAffineSamplingParams::eBicubic ? 2 : 1;
    int failures = 0;
    for (std::int32_t j = 0; j < h; ++j)
        for (std::int32_t i = 0; i < w; ++i) {
            const V pos = src.imageFromClientXform().map(client(i + 0.5, j + 0.5));
            const double u = pos.x() - 0.5 - src.window().ul().x();
            const double v = pos.y() - 0.5 - src.window().ul().y();
            const double got = out.get(P(i, j));
            bool ok = false;
            if (mode == vkAffineSamplingParams::eNearestNeighbor) {
                for (double du : {-1e-9, 0.0, 1e-9})
                    for (double dv : {-1e-9, 0.0, 1e-9})
                        ok = ok || got == clampedPel(src, std::llround(std::floor(u + du + 0.5)),
                                                     std::llround(std::floor(v + dv + 0.5)));
            } else {
                const auto kx0 = std::llround(std::floor(u)), ky0 = std::llround(std::floor(v));
                double sum = 0;
                for (std::int64_t ky = ky0 - reach + 1; ky <= ky0 + reach; ++ky)
                    for (std::int64_t kx = kx0 - reach + 1; kx <= kx0 + reach; ++kx)
                        sum +=
                            weight(reach, u - kx) * weight(reach, v - ky) * clampedPel(src, kx, ky);
                ok = std::abs(got - std::clamp(sum, 0.0, 255.0)) <= 0.5 + 1e-3;
            }
            if (!ok && ++failures < 5)
                ADD_FAILURE() << what << " at " << i << "," << j << " got " << got;
        }
    EXPECT_EQ(failures, 0) << what;
}

const Mode kModes[] = {vkAffineSamplingParams::eNearestNeighbor, vkAffineSamplingParams::eBilinear,
                       vkAffineSamplingParams::eBicubic};

}  // namespace

TEST(AffineTransformImage, GridsMatchTheDirectKernelSumForEveryPathSourceTransformAndConstant) {
    // Storage around the window holds 255: reads outside it would show.
    auto gen = testimg::rng(83);
    auto src = testimg::embeddedWithMargins<std::uint8_t>(
        testimg::random<std::uint8_t>(16, 12, gen, 0, 200), 1, 0, 3, 2, 255, P(2, 2));
    struct Case {
        std::string name;
        vkAffineRectangle rect;
        std::int32_t w, h;
    };
    const double a = 0.5236;  // 30 degrees
    const V o(3, 10), s1(14 * std::cos(a), -14 * std::sin(a)), s2(9 * std::sin(a), 9 * std::cos(a));
    std::vector<Case> cases = {
        {"upsample", {V(2, 2), V(18, 2), V(2, 14)}, 40, 29},
        {"downsample", {V(2, 2), V(18, 2), V(2, 14)}, 5, 4},
        {"same size shifted", {V(2.3, 1.4), V(18.3, 1.4), V(2.3, 13.4)}, 16, 12},
        {"flipped", {V(18, 14), V(2, 14), V(18, 2)}, 26, 18},
        {"beyond the window", {V(-10, -20), V(40, -20), V(-10, 30)}, 31, 23},
        {"one pixel", {V(4, 5), V(6, 5), V(4, 6)}, 1, 1},
        {"one row", {V(2, 6), V(18, 6), V(2, 6.5)}, 50, 1},
        {"rotated", {o, o + s1, o + s2}, 33, 21},
        {"quarter turn", {V(2, 14), V(2, 2), V(18, 14)}, 12, 16},
        {"sheared", {V(0, 0), V(20, 3), V(-2, 16)}, 19, 27},
        {"sheared rows", {V(1, 0), V(17, 4), V(1, 12)}, 19, 27},
        {"sheared columns", {V(1, 0), V(17, 0), V(5, 12)}, 19, 27}};
    // Magnifications that take the periodic form (exact 2, 3, 4), runs of
    // equal taps (up to 8) and gathered taps (above 8), also mirrored.
    for (double m : {2.0, 3.0, 4.0, 2.5, 7.9, 8.0, 8.5, 12.0})
        for (bool flip : {false, true})
            cases.push_back({"magnification " + std::to_string(m) + (flip ? " flipped" : ""),
                             flip ? vkAffineRectangle(V(14, 3), V(3, 3), V(14, 10))
                                  : vkAffineRectangle(V(3, 3), V(14, 3), V(3, 10)),
                             static_cast<std::int32_t>(std::lround(11 * m)),
                             static_cast<std::int32_t>(std::lround(7 * m))});
    // Scale and translation keep the separable path; rotation does not.
    const vkXform<2> sourceXforms[] = {
        vk2XformLinear(), vkXform<2>(0.5, 0, 0, 2, 3, -1),
        vkXform<2>(V(3, -1), vkRadian(0.4), vkRadian(0.4), 1.5, 1.5)};
    for (const vkXform<2>& x : sourceXforms) {
        src.clientFromImageXform(x);
        for (const Case& c : cases)
            for (Mode m : kModes)
                expectMatchesReference(src, c.rect, c.w, c.h, m,
                                       c.name + (x.isIdentity() ? "" : " moved"));
    }
    // A constant window resamples to exactly the constant.
    for (std::uint8_t value : {0, 1, 254}) {
        vfPelSet(src, value);
        for (const Case& c : cases)
            for (Mode m : kModes)
                expectMatchesReference(src, c.rect, c.w, c.h, m,
                                       c.name + " constant " + std::to_string(value));
    }
}

// Results taken in strips of rows on several threads equal the rows taken in
// order by one sampler; magnified rows repeat across strip boundaries.
TEST(AffineTransformImage, EveryThreadCountGivesTheRowsOfOneSampler) {
    auto gen = testimg::rng(84);
    const auto src =
        testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(150, 120, gen), 2, 255);
    const vkAffineRectangle rects[] = {{V(0, 0), V(150, 0), V(0, 120)},
                                       {V(10, 0), V(140, 30), V(-5, 110)}};
    for (const auto& rect : rects)
        for (const Mode m : kModes) {
            const vkAffineSamplingParams params(rect, 300, 701, m);
            vk_detail::AffineRowSampler sampler(src, params);
            std::vector<std::uint8_t> want(300 * 701);
            for (std::int32_t j = 0; j < 701; ++j)
                sampler.row(j, want.data() + 300 * j);
            for (const std::int32_t n : testthreads::kCounts) {
                const testthreads::Count count(n);
                EXPECT_EQ(pixels<std::uint8_t>(vfAffineTransformImage(src, params)), want)
                    << "mode " << m << ", " << n << " threads";
            }
        }
}

TEST(AffineTransformImage, DegenerateRectangleOrMissingPixelsThrow) {
    auto params = [](V second) {
        return vkAffineSamplingParams({V(0, 0), V(4, 0), second}, 3, 3, Mode(3));
    };
    EXPECT_THROW(vfAffineTransformImage(U8(4, 4), params(V(8, 0))), vkPelFunc::BadParams);  // flat
    EXPECT_THROW(vfAffineTransformImage(U8(), params(V(0, 4))), vkPel::UnboundWindow);
    EXPECT_THROW(vfAffineTransformImage(U8(vkPelRect(0, 0, 0, 4)), params(V(0, 4))),
                 vkPel::BadWindow);
}
