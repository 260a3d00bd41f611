#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "imgnorm/local_correction.h"
#include "imgnorm/local_model.h"
#include "scene.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;

namespace {

using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;
const Method kLocal[] = {eLocalCorrection, eLocalCorrectionEnhanced};

struct Params {
    P granularity{1, 1};
    P range{-127, 127};
    bool keepMasked = false;
    P neighborhood{51, 51};
};

Img correct(const CImg& ref, const CImg& img, Method m, const Params& s, const CImg& mask = {}) {
    vkImageNormalizer t;
    t.referenceImage(ref, false);
    t.maskImage(mask, false);
    t.neighborhoodSize(s.neighborhood);
    t.granularity(s.granularity);
    t.set(t.tailFractions(), s.range, s.keepMasked);
    t.train(m, nullptr, 0);
    bool ok = false;
    std::string msg;
    Img out = t.run(img, m, ok, msg, nullptr, 0);
    EXPECT_TRUE(ok) << msg;
    return out;
}

// Largest |a - b| over the window shrunk by margin on every side.
int maxDiffInside(const CImg& a, const CImg& b, int margin = 0) {
    int m = 0;
    for (std::int32_t y = margin; y < a.height() - margin; ++y)
        for (std::int32_t x = margin; x < a.width() - margin; ++x)
            m = std::max(m, std::abs(int(testimg::at(a, x, y)) - int(testimg::at(b, x, y))));
    return m;
}

std::string label(Method m, P g) { return std::string(m == eLocalCorrection ? "mean" : "median") + " g" + std::to_string(g.x()); }

// The correction as the stages composed one after the other on whole images
// with the library's pixel functions: the straightforward form the fused
// implementation must reproduce bit for bit.
Img composed(const CImg& image, const CImg& reference, const CImg& binaryMask, const CImg& reducedMask,
             const vkPelBuffer_const<std::uint16_t>& maskWeights, Method m, P n, P g, P range) {
    using U8 = std::uint8_t;
    vkPelRect rect = image.window() & reference.window();
    if (binaryMask.isBound()) rect &= binaryMask.window();
    vkPelBuffer_const<U8> img(image), ref(reference), mask(binaryMask);
    img.window(rect);
    ref.window(rect);
    if (mask.isBound()) mask.window(rect);
    const int h = std::min(std::max(-range.x(), range.y()), 127);
    vkPelBuffer<U8> d = vfPelCopy(img);
    vf_PelSubClamp(d, ref, static_cast<unsigned char>(h));
    const bool reduce = (g.x() > 1 || g.y() > 1) && (n.x() > 1 || n.y() > 1);
    vkPelBuffer_const<U8> working = mask, reduced = reducedMask;
    vkPelBuffer_const<std::uint16_t> weights = maskWeights;
    if (mask.isBound() && (rect != binaryMask.window() || reduce != reducedMask.isBound())) {
        vkPelBuffer<U8> b, r;
        vkPelBuffer<std::uint16_t> w;
        imgnorm_detail::trainMasks(m, mask, n, reduce ? g : P(1, 1), b, r, w);
        reduced = r;
        weights = w;
    }
    if (reduce) {
        if (mask.isBound() && m == eLocalCorrection) {
            vfPelMin<U8>(d, mask, d);
            vf_PelMapValue(d, 0, 128);
        }
        d = vfGaussSample<U8>(d, vkGaussSampleParams(g, P(g.x() - 1, g.y() - 1), 1.0, true));
        working = reduced;
    }
    const P s = imgnorm_detail::reducedNeighborhood(n, g);
    vkPelBuffer<U8> e;
    if (m == eLocalCorrection) {
        e = working.isBound() ? vfPelMin<U8>(d, working) : vfPelCopy<U8>(d);
        vkPelBuffer<std::uint16_t> sum;
        imgnorm_detail::gaussianLocalMean(e, s, sum);
        if (working.isBound()) {
            vf_MaskedPelDivide(sum, weights, working, e, 255);
        } else {
            for (std::int32_t y = 0; y < e.height(); ++y)
                for (std::int32_t x = 0; x < e.width(); ++x)
                    e.pointToOffset()[y * e.rowUpdate() + x] =
                        static_cast<U8>(testimg::at<std::uint16_t>(sum, x, y) >> 7);
        }
    } else if (s.x() < 2 && s.y() < 2) {
        e = vfPelCopy<U8>(d);
    } else {
        const P values(std::clamp(128 + range.x(), 0, 255), std::clamp(128 + range.y(), 0, 255));
        const vkPelMedianParams params(imgnorm_detail::medianKernel(s), values, true);
        if (working.isBound())
            vfPelMedian(d, working, params, e);
        else
            vfPelMedian(d, params, e);
    }
    if (reduce) {
        e.clientFromImageXformBase(vfIdentityXformHandle());
        e = vf_PaddedAffineSample(e, rect.width(), rect.height(), false);
        e.offset(rect.origin());
        e.window(rect);
    }
    vkPelBuffer<U8> out = vfPelCopy(img);
    vf_PelSubClampSigned(out, e);
    return out;
}

// A 0/255 mask with holes: a random pattern of blocks of side 1 to 6.
Img holeyMask(const vkPelRect& window, std::mt19937& gen) {
    Img mask(window);
    std::uniform_int_distribution<int> side(1, 6), pick(0, 3);
    const int block = side(gen);
    for (std::int32_t y = 0; y < window.height(); ++y)
        for (std::int32_t x = 0; x < window.width(); ++x)
            mask.pointToOffset()[y * mask.rowUpdate() + x] = (x / block + 3 * (y / block)) % 4 == pick(gen) % 2 ? 0 : 255;
    return mask;
}

}  // namespace

TEST(LocalCorrection, TheReferenceItselfComesBackUnchanged) {
    const auto ref = scene::texture(96, 80);
    // The excluded hole comes back through keepMaskedPixels.
    Img mask = scene::maskOf(ref.window(), ref.window()), hole = mask;
    hole.window(vkPelRect(30, 30, 20, 20));
    vfPelSet<std::uint8_t>(hole, 0);
    for (Method m : kLocal)
        for (P g : {P(1, 1), P(2, 2), P(4, 4)}) {
            EXPECT_EQ(maxDiffInside(correct(ref, ref, m, {.granularity = g}), ref), 0) << label(m, g);
            EXPECT_EQ(maxDiffInside(correct(ref, ref, m, {.granularity = g, .keepMasked = true}, mask), ref), 0) << label(m, g) << " masked";
        }
}

TEST(LocalCorrection, SmoothIlluminationIsRemovedAwayFromTheBorders) {
    const auto ref = scene::texture(320, 240);
    const auto ramp = scene::mapped(ref, [](double v, int x, int y) {
        const double dx = (x - 160) / 200.0, dy = (y - 120) / 200.0;
        return v - 10 + 40.0 * x / 319 - 40.0 * (dx * dx + dy * dy);  // a ramp and a vignette
    });
    for (Method m : kLocal)
        for (P g : {P(1, 1), P(2, 2), P(4, 4)}) EXPECT_LE(maxDiffInside(correct(ref, ramp, m, {.granularity = g}), ref, 40), 2) << label(m, g);
}

TEST(LocalCorrection, AsymmetricRangeLimitsEachDirection) {
    const auto ref = scene::mapped(scene::texture(60, 60), [](double v, int, int) { return 60 + v / 2; });
    const Params s{.range = {-20, 50}};
    // Brighter by 60: both methods correct at most 50 (the band half-width).
    const auto brighter = scene::mapped(ref, [](double v, int, int) { return v + 60; });
    for (Method m : kLocal) EXPECT_EQ(maxDiffInside(correct(ref, brighter, m, s), ref), 10) << m;
    // Darker by 30: the mean corrects fully (30 is inside the band of 50),
    // the median's value range stops the correction at 20.
    const auto darker = scene::mapped(ref, [](double v, int, int) { return v - 30; });
    EXPECT_LE(maxDiffInside(correct(ref, darker, eLocalCorrection, s), ref), 1);
    EXPECT_EQ(maxDiffInside(correct(ref, darker, eLocalCorrectionEnhanced, s), ref), 10);
}

TEST(LocalCorrection, ExcludedPixelsGetNoEstimateUnlessKept) {
    const auto ref = scene::texture(64, 64);
    const auto img = scene::mapped(ref, [](double v, int, int) { return v / 2; });
    for (bool keep : {false, true}) {
        const auto out = correct(ref, img, eLocalCorrection, {.keepMasked = keep}, scene::maskOf(ref.window(), vkPelRect(0, 0, 32, 64)));
        for (std::int32_t y = 0; y < 64; ++y)
            for (std::int32_t x = 32; x < 64; ++x)
                ASSERT_EQ(testimg::at(out, x, y), keep ? testimg::at(img, x, y) : std::min(255, testimg::at(img, x, y) + 128));
    }
}

TEST(MedianKernel, CapsTheKernelAt32767PixelsShrinkingTheLargerSideFirst) {
    using imgnorm_detail::medianKernel;
    EXPECT_EQ(medianKernel({101, 101}), P(101, 101));
    EXPECT_EQ(medianKernel({255, 255}), P(181, 181));
    EXPECT_EQ(medianKernel({100, 4}), P(101, 5));
    EXPECT_EQ(medianKernel({1000001, 1}), P(32767, 1));
    EXPECT_EQ(medianKernel({301, 121}), P(269, 121));
}

TEST(BandHalfWidth, IsTheLargerSideCappedAt127) {
    using imgnorm_detail::bandHalfWidth;
    EXPECT_EQ(bandHalfWidth({-127, 127}), 127);
    EXPECT_EQ(bandHalfWidth({-20, 50}), 50);
    EXPECT_EQ(bandHalfWidth({-300, 0}), 127);
}

TEST(RunLocalCorrection, FusedStagesEqualTheComposedPixelFunctionsBitForBit) {
    // Smooth images with noise and a few saturated spots, so that the band
    // clamps, the estimate varies and the subtraction saturates somewhere.
    const P sizes[] = {P(1, 9), P(9, 1), P(2, 3), P(7, 8), P(37, 23), P(63, 65), P(64, 64), P(65, 30)};
    const P neighbourhoods[] = {P(5, 9), P(21, 13), P(1, 1), P(3, 1), P(51, 51), P(9, 4)};
    const P ranges[] = {P(-127, 127), P(-20, 50), P(0, 0), P(-300, 10), P(-5, 90)};
    int round = 0;
    for (P size : sizes)
        for (std::int32_t gx = 1; gx <= 4; ++gx)
            for (std::int32_t gy = 1; gy <= 4; ++gy)
                for (Method m : kLocal)
                    for (int masked = 0; masked < 2; ++masked, ++round) {
                        const auto seed = static_cast<std::uint32_t>(round);
                        const P n = neighbourhoods[round % 6], range = ranges[round % 5], g(gx, gy);
                        SCOPED_TRACE(testing::Message() << "seed=" << seed << " size=" << size.x() << "x" << size.y()
                                                        << " g=" << gx << "," << gy << " n=" << n.x() << "," << n.y()
                                                        << " range=" << range.x() << "," << range.y() << " "
                                                        << label(m, g) << " masked=" << masked);
                        auto gen = testimg::rng(seed);
                        const auto base = scene::texture(size.x() + 6, size.y() + 6, seed);
                        const auto lit = scene::mapped(base, [&](double v, int x, int y) {
                            return v + 30.0 * x / (size.x() + 6) - 15 + ((x * 7 + y * 13 + round) % 23 == 0 ? 140 : 0);
                        });
                        // The run-time window sits inside larger storage at
                        // an odd position; the reference covers it but for a
                        // strip on the left, so the working rectangle is
                        // smaller than either window.
                        const auto image = testimg::embeddedWithMargins<std::uint8_t>(
                            testimg::crop<std::uint8_t>(lit, vkPelRect(0, 0, size.x(), size.y())), round % 3, 2, 0,
                            round % 2, 7, P(-3, 11));
                        const std::int32_t strip = round % 2 == 1 && size.x() > 1 ? 1 : 0;
                        const auto reference = testimg::embedded<std::uint8_t>(base, 1, 99, P(-3 + strip, 11));
                        Img maskImage;
                        // Every other round the mask is larger than the
                        // working rectangle, so its masks are derived.
                        if (masked)
                            maskImage = holeyMask(round % 4 < 2 ? image.window() & reference.window()
                                                                : vkPelRect(-5, 9, size.x() + 8, size.y() + 6),
                                                  gen);
                        Img binary, reduced;
                        vkPelBuffer<std::uint16_t> weights;
                        imgnorm_detail::trainMasks(m, maskImage, n, g, binary, reduced, weights);
                        vkPelRect common = image.window() & reference.window();
                        if (binary.isBound()) common &= binary.window();
                        CImg view(image);
                        view.window(common);
                        Img fused;
                        imgnorm_detail::runLocalCorrection(view, reference, binary, reduced, weights, m, n, g, range, fused);
                        const auto expected = composed(view, reference, binary, reduced, weights, m, n, g, range);
                        ASSERT_EQ(fused.window(), expected.window());
                        ASSERT_EQ(testimg::pixels<std::uint8_t>(fused), testimg::pixels<std::uint8_t>(expected));
                    }
}
