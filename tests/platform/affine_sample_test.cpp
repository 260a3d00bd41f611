#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include "platform/affine_rows.h"
#include "support/images.h"

using P = vkPair<std::int32_t>;
using V = vkVector<2>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;
using Mode = vkAffineSamplingParams::Interpolation;

namespace {

// Interpolation kernels as functions of the distance between a sample and a
// pixel centre.
double triangle(double t) {
    t = std::abs(t);
    return t < 1 ? 1 - t : 0;
}
double catmullRom(double t) {
    t = std::abs(t);
    if (t < 1) return 1.5 * t * t * t - 2.5 * t * t + 1;
    if (t < 2) return -0.5 * t * t * t + 2.5 * t * t - 4 * t + 2;
    return 0;
}

// The window pixel at window index (x, y) clamped into the window.
double clampedPel(const vkPelBuffer_const<std::uint8_t>& s, std::int64_t x, std::int64_t y) {
    const auto cx = static_cast<std::int32_t>(std::clamp<std::int64_t>(x, 0, s.width() - 1));
    const auto cy = static_cast<std::int32_t>(std::clamp<std::int64_t>(y, 0, s.height() - 1));
    return s.get(P(s.window().ul().x() + cx, s.window().ul().y() + cy));
}

// Checks every result pixel against the sample computed in double precision
// straight from the rectangle, the source's transform and the kernel. A
// result passes when it is a correct rounding of the exact value: within
// 0.5 of it, with a margin of 1e-3 for float accumulation at exact ties.
// Nearest neighbour at a tie may take either pixel.
void expectMatchesReference(const vkPelBuffer_const<std::uint8_t>& src, const vkAffineRectangle& rect,
                            std::int32_t w, std::int32_t h, Mode mode, const std::string& what) {
    const U8 out = vfAffineTransformImage(src, vkAffineSamplingParams(rect, w, h, mode));
    ASSERT_EQ(out.window(), vkPelRect(0, 0, w, h)) << what;
    const vkXform<2>& toImage = src.imageFromClientXform();
    int failures = 0;
    for (std::int32_t j = 0; j < h; ++j)
        for (std::int32_t i = 0; i < w; ++i) {
            const V c = rect.origin() + ((i + 0.5) / w) * rect.firstSide() + ((j + 0.5) / h) * rect.secondSide();
            const V pos = toImage.map(c);
            const double u = pos.x() - 0.5 - src.window().ul().x();
            const double v = pos.y() - 0.5 - src.window().ul().y();
            const double got = out.get(P(i, j));
            double exact = u;
            bool ok;
            if (mode == vkAffineSamplingParams::eNearestNeighbor) {
                ok = false;
                for (double du : {-1e-9, 0.0, 1e-9})
                    for (double dv : {-1e-9, 0.0, 1e-9})
                        ok = ok || got == clampedPel(src, static_cast<std::int64_t>(std::floor(u + du + 0.5)),
                                                     static_cast<std::int64_t>(std::floor(v + dv + 0.5)));
            } else {
                const int reach = mode == vkAffineSamplingParams::eBilinear ? 1 : 2;
                const auto kx0 = static_cast<std::int64_t>(std::floor(u)), ky0 = static_cast<std::int64_t>(std::floor(v));
                double sum = 0;
                for (std::int64_t ky = ky0 - reach + 1; ky <= ky0 + reach; ++ky)
                    for (std::int64_t kx = kx0 - reach + 1; kx <= kx0 + reach; ++kx) {
                        const double wgt = reach == 1 ? triangle(u - kx) * triangle(v - ky)
                                                      : catmullRom(u - kx) * catmullRom(v - ky);
                        sum += wgt * clampedPel(src, kx, ky);
                    }
                exact = sum;
                ok = std::abs(got - std::clamp(sum, 0.0, 255.0)) <= 0.5 + 1e-3;
            }
            if (!ok && ++failures < 5)
                ADD_FAILURE() << what << " at " << i << "," << j << " got " << got << " exact " << exact;
        }
    EXPECT_EQ(failures, 0) << what;
}

const Mode kModes[] = {vkAffineSamplingParams::eNearestNeighbor, vkAffineSamplingParams::eBilinear,
                       vkAffineSamplingParams::eBicubic};

std::string label(const char* name, Mode m) {
    std::ostringstream s;
    s << name << " mode " << static_cast<int>(m);
    return s.str();
}

}  // namespace

TEST(AffineTransformImage, AxisAlignedGridsMatchTheDirectKernelSum) {
    auto gen = testimg::rng(81);
    // A window at an odd position inside storage whose other pixels are 255:
    // any read outside the window would show.
    auto src = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(13, 9, gen, 0, 200), 1, 0, 3,
                                                          2, 255, P(7, -3));
    struct Case {
        const char* name;
        vkAffineRectangle rect;
        std::int32_t w, h;
    };
    const Case cases[] = {
        {"upsample", {V(7, -3), V(20, -3), V(7, 6)}, 40, 29},
        {"downsample", {V(7, -3), V(20, -3), V(7, 6)}, 5, 4},
        {"same size shifted", {V(7.3, -3.6), V(20.3, -3.6), V(7.3, 5.4)}, 13, 9},
        {"flipped", {V(20, 6), V(7, 6), V(20, -3)}, 26, 18},
        {"beyond the window", {V(-10, -20), V(40, -20), V(-10, 30)}, 31, 23},
        {"one pixel", {V(9, 0), V(11, 0), V(9, 1)}, 1, 1},
        {"one row", {V(7, 1), V(20, 1), V(7, 1.5)}, 50, 1},
    };
    for (const Case& c : cases)
        for (Mode m : kModes) expectMatchesReference(src, c.rect, c.w, c.h, m, label(c.name, m));
}

TEST(AffineTransformImage, SourceTransformIsAppliedToTheSamplePoints) {
    auto gen = testimg::rng(82);
    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(10, 8, gen), 2, 0, P(-4, 2));
    // Axis-aligned scale and translation keep the separable path; a rotation
    // takes the general one.
    src.clientFromImageXform(vkXform<2>(0.5, 0, 0, 2, 3, -1));
    const vkAffineRectangle rect(V(1, 3), V(6, 3), V(1, 20));
    for (Mode m : kModes) expectMatchesReference(src, rect, 23, 17, m, label("scaled source", m));
    src.clientFromImageXform(vkXform<2>(V(3, -1), vkRadian(0.4), vkRadian(0.4), 1.5, 1.5));
    for (Mode m : kModes) expectMatchesReference(src, rect, 23, 17, m, label("rotated source", m));
}

TEST(AffineTransformImage, RotatedAndShearedGridsMatchTheDirectKernelSum) {
    auto gen = testimg::rng(83);
    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(16, 12, gen), 3, 255, P(2, 2));
    const double a = 0.5236;  // 30 degrees
    const V o(3, 10), s1(14 * std::cos(a), -14 * std::sin(a)), s2(9 * std::sin(a), 9 * std::cos(a));
    const vkAffineRectangle rotated(o, o + s1, o + s2);
    const vkAffineRectangle quarterTurn(V(2, 14), V(2, 2), V(18, 14));  // grid x runs up the source's y
    const vkAffineRectangle sheared(V(0, 0), V(20, 3), V(-2, 16));
    // Shears along one axis only: one of the two cross terms is still zero.
    const vkAffineRectangle shearedRows(V(1, 0), V(17, 4), V(1, 12));
    const vkAffineRectangle shearedColumns(V(1, 0), V(17, 0), V(5, 12));
    for (Mode m : kModes) {
        expectMatchesReference(src, rotated, 33, 21, m, label("rotated", m));
        expectMatchesReference(src, quarterTurn, 12, 16, m, label("quarter turn", m));
        expectMatchesReference(src, sheared, 19, 27, m, label("sheared", m));
        expectMatchesReference(src, shearedRows, 19, 27, m, label("sheared rows", m));
        expectMatchesReference(src, shearedColumns, 19, 27, m, label("sheared columns", m));
    }
}

TEST(AffineTransformImage, ConstantImageResamplesToExactlyTheConstant) {
    for (std::uint8_t c : {0, 1, 127, 254, 255}) {
        auto src = testimg::embedded<std::uint8_t>(U8(9, 7), 2, static_cast<std::uint8_t>(255 - c), P(1, 1));
        vfPelSet(src, c);
        const vkAffineRectangle rects[] = {{V(0, 0), V(12, 0), V(0, 9)},
                                           {V(3, 1), V(9, 6), V(-1, 7)},
                                           {V(-30, -30), V(60, -25), V(-35, 40)}};
        for (const auto& r : rects)
            for (Mode m : kModes) {
                const U8 out = vfAffineTransformImage(src, vkAffineSamplingParams(r, 37, 29, m));
                EXPECT_EQ(pixels<std::uint8_t>(out), std::vector<std::uint8_t>(37 * 29, c))
                    << "value " << int(c) << " mode " << static_cast<int>(m);
            }
    }
}

TEST(AffineTransformImage, ResultTransformGivesEachPixelItsSampledClientPosition) {
    const vkAffineRectangle rect(V(5, 1), V(5, 9), V(-7, 1));
    U8 src(vkPelRect(-10, 0, 20, 12));
    const U8 out = vfAffineTransformImage(src, vkAffineSamplingParams(rect, 4, 6, vkAffineSamplingParams::eBilinear));
    EXPECT_EQ(out.window(), vkPelRect(0, 0, 4, 6));
    const vkXform<2>& x = out.clientFromImageXform();
    const V centre = x.map(V(2.5, 3.5));  // cell (2, 3)
    const V want = rect.origin() + (2.5 / 4) * rect.firstSide() + (3.5 / 6) * rect.secondSide();
    EXPECT_NEAR(centre.x(), want.x(), 1e-12);
    EXPECT_NEAR(centre.y(), want.y(), 1e-12);
    EXPECT_NEAR(x.map(V(4, 0)).y(), 9, 1e-12);
}

TEST(AffineTransformImage, DegenerateRectangleOrMissingPixelsThrow) {
    U8 src(4, 4);
    const vkAffineRectangle flat(V(0, 0), V(4, 0), V(8, 0));
    EXPECT_THROW(vfAffineTransformImage(src, vkAffineSamplingParams(flat, 3, 3, vkAffineSamplingParams::eBicubic)),
                 vkPelFunc::BadParams);
    const vkAffineSamplingParams ok(vkAffineRectangle(V(0, 0), V(4, 0), V(0, 4)), 3, 3,
                                    vkAffineSamplingParams::eBilinear);
    EXPECT_THROW(vfAffineTransformImage(U8(), ok), vkPel::UnboundWindow);
    U8 empty(src);
    empty.window(vkPelRect(0, 0, 0, 4));
    EXPECT_THROW(vfAffineTransformImage(empty, ok), vkPel::BadWindow);
}

TEST(AffineTransformImage, MagnificationsAroundEightSampleTheRightPixels) {
    // Magnifications that take the periodic form (exact 2, 3, 4), runs of
    // equal taps (up to 8) and gathered taps (above 8), also mirrored.
    auto gen = testimg::rng(83);
    auto src = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(13, 9, gen),
                                                          2, 1, 0, 3, 255, P(-4, 6));
    for (double m : {2.0, 3.0, 4.0, 2.5, 7.9, 8.0, 8.5, 12.0}) {
        const auto w = static_cast<std::int32_t>(std::lround(11 * m)),
                   h = static_cast<std::int32_t>(std::lround(7 * m));
        for (bool flip : {false, true}) {
            const vkAffineRectangle rect = flip ? vkAffineRectangle(V(8, 7), V(-3, 7), V(8, 14))
                                                : vkAffineRectangle(V(-3, 7), V(8, 7), V(-3, 14));
            std::ostringstream what;
            what << "magnification " << m << (flip ? " flipped" : "");
            expectMatchesReference(src, rect, w, h, vkAffineSamplingParams::eBilinear, what.str());
        }
    }
}

TEST(AffineTransformImage, PeriodicRunAndGatheredFormsGiveTheSameBits) {
    // Three x4 samplings of one source whose sample positions coincide on a
    // common stretch (all positions are exact binary fractions): A lies
    // inside the window, so its taps repeat with period 4; C starts a pixel
    // before the window, where clamped taps break the period but leave runs
    // of at most four; B reaches far beyond, where clamped runs are too long
    // and the taps are gathered.
    auto gen = testimg::rng(84);
    auto src = testimg::embeddedWithMargins<std::uint8_t>(
        testimg::random<std::uint8_t>(20, 12, gen), 3, 2, 1, 0, 17, P(7, 5));
    auto sample = [&](double x0, double side, std::int32_t w) {
        return vfAffineTransformImage(
            src, vkAffineSamplingParams(vkAffineRectangle(V(x0, 6), V(x0 + side, 6), V(x0, 14)), w,
                                        32, vkAffineSamplingParams::eBilinear));
    };
    const U8 a = sample(8, 16, 64), c = sample(6, 16, 64), b = sample(0, 32, 128);
    for (std::int32_t y = 0; y < 32; ++y)
        for (std::int32_t k = 0; k < 64; ++k) {
            ASSERT_EQ(a.get(P(k, y)), b.get(P(k + 32, y))) << k << "," << y;
            if (k < 56) {
                ASSERT_EQ(a.get(P(k, y)), c.get(P(k + 8, y))) << k << "," << y;
            }
        }
}

TEST(AffineRowSampler, RowsTakenInAnyOrderAreTheRowsOfTheImage) {
    auto gen = testimg::rng(85);
    auto src =
        testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(17, 11, gen), 2, 0, P(3, -2));
    const vkAffineRectangle rects[] = {{V(2.5, -3), V(21, -3), V(2.5, 10)},
                                       {V(3, -2), V(19, 0), V(1, 8)}};
    for (int turned = 0; turned < 2; ++turned)
        for (Mode m : kModes) {
            SCOPED_TRACE(label(turned ? "turned" : "straight", m));
            const vkAffineRectangle& rect = rects[turned];
            const vkAffineSamplingParams params(rect, 45, 37, m);
            const U8 whole = vfAffineTransformImage(src, params);
            vk_detail::AffineRowSampler sampler(src, params);
            std::vector<std::int32_t> order(37);
            for (std::int32_t j = 0; j < 37; ++j)
                order[static_cast<std::size_t>(j)] = j;
            std::shuffle(order.begin(), order.end(), gen);
            std::vector<std::uint8_t> row(45);
            for (std::int32_t j : order) {
                sampler.row(j, row.data());
                for (std::int32_t i = 0; i < 45; ++i)
                    ASSERT_EQ(row[static_cast<std::size_t>(i)], whole.get(P(i, j)));
                // Only a separable bilinear sampling hands out its two rows.
                vk_detail::BilinearRowPair pair{};
                const bool pairs = sampler.bilinearRowPair(j, pair);
                ASSERT_EQ(pairs, !turned && m == vkAffineSamplingParams::eBilinear);
                for (std::int32_t i = 0; pairs && i < 45; ++i)
                    ASSERT_EQ(vk_detail::bilinearPel(pair.w0, pair.r0[i], pair.w1, pair.r1[i]),
                              whole.get(P(i, j)));
            }
        }
    EXPECT_THROW(vk_detail::AffineRowSampler(
                     src, vkAffineSamplingParams(vkAffineRectangle(V(0, 0), V(4, 4), V(8, 8)), 4, 4,
                                                 vkAffineSamplingParams::eBilinear)),
                 vkPelFunc::BadParams);
}
