#include <gtest/gtest.h>

#include <cmath>

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
    P range{0, 0};  // (0, 0): the depth's default
    bool keepMasked = false;
    P neighborhood{51, 51};
    std::int32_t depth = 8;
};

// img corrected by method m of the depth's tool, trained on ref and set up by s.
template <class Pel>
vkPelBuffer<Pel> correct(const vkPelBuffer<Pel>& ref, const vkPelBuffer<Pel>& img, Method m,
                         const Params& s, const CImg& mask = {}) {
    auto t = [&] {
        if constexpr (sizeof(Pel) == 1)
            return vkImageNormalizer();
        else
            return vkDeepImageNormalizer(s.depth);
    }();
    t.referenceImage(ref, true);
    t.maskImage(mask, true);
    t.neighborhoodSize(s.neighborhood);
    t.granularity(s.granularity);
    t.keepMaskedPixels(s.keepMasked);
    if (s.range != P(0, 0)) t.intensityVariationRange(s.range);
    t.train(m, nullptr, 0);
    return scene::ran(t, img, m);
}

// At the depth, the reference comes back unchanged (with a mask, the pixels
// it excludes, which keepMaskedPixels keeps); an offset and a ramp (19 + x / 8 gray levels of 8
// bits) are removed, or cut to a range of 6 such levels, away from the borders of the image and of
// the mask (where the reduced mask mixes in neutral pixels). Windows off the origin.
template <class Pel>
void expectReferenceBackAndRampRemoved(std::int32_t depth) {
    const std::int32_t k = 1 << (depth - 8), tolerance = 2 * std::max(1, k / 16);
    const auto ref = testimg::embeddedWithMargins<Pel>(
        testimg::mapped<Pel>(
            scene::texture(64, 48),
            [&](int v, int x, int y) { return std::lround((30 + 0.6 * v) * k) + (x + y) % k; }),
        2, 1, 3, 4, 0, P(6, -3));
    const auto ramp = testimg::mapped<Pel>(
        ref, [&](int v, int x, int) { return v + std::lround((19 + x / 8.0) * k); });
    const Img mask = scene::maskOf(ref.window(), vkPelRect(6, -3, 44, 36));
    // The largest difference of out + shift from want over [x0, x1) x [y0, y1).
    auto worst = [&](const vkPelBuffer<Pel>& out, const vkPelBuffer<Pel>& want, int shift,
                     std::int32_t x0, std::int32_t x1, std::int32_t y0, std::int32_t y1) {
        int most = 0;
        for (std::int32_t y = y0; y < y1; ++y)
            for (std::int32_t x = x0; x < x1; ++x)
                most = std::max(most, std::abs(testimg::at<Pel>(out, x, y) + shift -
                                               testimg::at<Pel>(want, x, y)));
        return most;
    };
    for (Method m : kLocal)
        for (std::int32_t g : {1, 2, 4})
            for (bool masked : {false, true}) {
                SCOPED_TRACE(testing::Message() << depth << " bits, method " << m
                                                << ", granularity " << g << ", masked " << masked);
                Params s{.granularity = P(g, g),
                         .keepMasked = true,
                         .neighborhood = P(9, 9),
                         .depth = depth};
                const Img on = masked ? mask : Img();
                EXPECT_EQ(worst(correct(ref, ref, m, s, on), ref, 0, masked ? 44 : 0, 64, 0, 48),
                          0);
                for (std::int32_t limit : {0, 6}) {
                    s.range = limit == 0 ? P(0, 0) : P(-limit * k, limit * k);
                    EXPECT_LE(worst(correct(ref, ramp, m, s, on), limit ? ramp : ref, limit * k, 8,
                                    masked ? 24 : 56, 8, masked ? 20 : 40),
                              tolerance)
                        << "range " << limit;
                }
            }
}

// The correction of img (already narrowed to the working rectangle) as the stages composed one after
// the other on whole images with the library's pixel functions, the masks always made afresh for the
// working rectangle: the straightforward form the fused implementation must reproduce bit for bit.
Img composed(const CImg& img, const CImg& reference, const CImg& binaryMask, Method m, P n, P g, P range) {
    using U8 = std::uint8_t;
    const vkPelRect rect = img.window();
    CImg ref(reference), mask(binaryMask);
    ref.window(rect);
    if (mask.isBound()) mask.window(rect);
    const int h = std::min(std::max(-range.x(), range.y()), 127);
    vkPelBuffer<U8> d = vfPelCopy(img);
    vf_PelSubClamp(d, ref, static_cast<unsigned char>(h));
    const bool reduce = (g.x() > 1 || g.y() > 1) && (n.x() > 1 || n.y() > 1);
    vkPelBuffer<U8> unused, reduced;
    vkPelBuffer<std::uint16_t> weights;
    imgnorm_detail::trainMasks(m, mask, n, reduce ? g : P(1, 1), unused, reduced, weights);
    vkPelBuffer_const<U8> working = mask;
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
        if (working.isBound())
            vf_MaskedPelDivide(sum, weights, working, e, 255);
        else
            imgnorm_detail::shiftDown(sum, 7, e);
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

TEST(LocalCorrection, TheReferenceComesBackAndAnOffsetAndRampAreRemovedUpToTheRangeAtEveryDepth) {
    expectReferenceBackAndRampRemoved<std::uint8_t>(8);
    expectReferenceBackAndRampRemoved<std::uint16_t>(12);
    expectReferenceBackAndRampRemoved<std::uint16_t>(16);
}

TEST(LocalCorrection, AsymmetricRangeLimitsEachDirection) {
    const auto ref = scene::mapped(scene::texture(60, 60), [](double v, int, int) { return 60 + v / 2; });
    const Params s{.range = {-20, 50}};
    // Brighter by 60: both methods correct at most 50 (the band half-width). Darker by 30: the
    // mean corrects fully (30 is inside the band), the median's value range stops it at 20.
    const auto brighter = scene::mapped(ref, [](double v, int, int) { return v + 60; });
    for (Method m : kLocal) EXPECT_EQ(scene::maxDiff(correct(ref, brighter, m, s), ref), 10) << m;
    const auto darker = scene::mapped(ref, [](double v, int, int) { return v - 30; });
    EXPECT_LE(scene::maxDiff(correct(ref, darker, eLocalCorrection, s), ref), 1);
    EXPECT_EQ(scene::maxDiff(correct(ref, darker, eLocalCorrectionEnhanced, s), ref), 10);
}

TEST(MedianKernel, CapsTheKernelAt32767PixelsShrinkingTheLargerSideFirst) {
    using imgnorm_detail::medianKernel;
    EXPECT_EQ(medianKernel({101, 101}), P(101, 101));
    EXPECT_EQ(medianKernel({255, 255}), P(181, 181));
    EXPECT_EQ(medianKernel({100, 4}), P(101, 5));
    EXPECT_EQ(medianKernel({1000001, 1}), P(32767, 1));
    EXPECT_EQ(medianKernel({301, 121}), P(269, 121));
}

TEST(RunLocalCorrection, FusedStagesEqualTheComposedPixelFunctionsBitForBit) {
    // Smooth images with noise and a few saturated spots, so that the band
    // clamps, the estimate varies and the subtraction saturates somewhere.
    // The last size is cut into several bands and strips of rows by the streamed local mean.
    const P sizes[] = {P(1, 9),   P(9, 1),   P(2, 3),   P(7, 8),    P(37, 23),
                       P(63, 65), P(64, 64), P(65, 30), P(299, 157)};
    const P neighbourhoods[] = {P(5, 9),   P(21, 13), P(1, 1),   P(3, 1),
                                P(51, 51), P(9, 4),   P(101, 61)};
    const P ranges[] = {P(-127, 127), P(-20, 50), P(0, 0), P(-300, 10), P(-5, 90)};
    // Every size with every granularity up to (4, 4) (the last size: even ones up to 8 across,
    // odd ones up to 7 down), both methods, without and with a mask.
    for (int round = 0; round < 9 * 16 * 4; ++round) {
        const P size = sizes[round / 64];
        const int step = size.y() > 100 ? 2 : 1;
        const P g(step + round / 16 % 4 * step, 1 + round / 4 % 4 * step);
        const P n = neighbourhoods[round % 7], range = ranges[round % 5];
        const Method m = kLocal[round / 2 % 2];
        const bool masked = round % 2 == 1;
        SCOPED_TRACE(testing::Message() << "seed=" << round << " size=" << size.x() << "x" << size.y() << " g=" << g.x() << ","
                                        << g.y() << " n=" << n.x() << "," << n.y() << " method=" << m << " masked=" << masked);
        auto gen = testimg::rng(static_cast<std::uint32_t>(round));
        const auto base = scene::texture(size.x() + 6, size.y() + 6, static_cast<std::uint32_t>(round));
        const auto lit = scene::mapped(base, [&](double v, int x, int y) {
            const int spot = (x * 7 + y * 13 + round) % 23;  // a few bright and dark ones
            return v + 30.0 * x / (size.x() + 6) - 15 + (spot == 0 ? 140 : spot == 11 ? -140 : 0);
        });
        // The run-time window sits inside larger storage at an odd position; with a mask the reference
        // misses a strip on the left, so the working rectangle is smaller than either window, and every
        // other time the mask is larger than the working rectangle, so its masks are derived.
        const auto image = testimg::embeddedWithMargins<std::uint8_t>(
            testimg::crop<std::uint8_t>(lit, vkPelRect(0, 0, size.x(), size.y())), round % 3, 2, 0, round % 2, 7, P(-3, 11));
        const auto reference = testimg::embedded<std::uint8_t>(base, 1, 99, P(masked && size.x() > 1 ? -2 : -3, 11));
        Img maskImage, binary, reduced, fused;
        if (masked)
            maskImage = holeyMask(round % 4 < 2 ? image.window() & reference.window() : vkPelRect(-5, 9, size.x() + 8, size.y() + 6), gen);
        vkPelBuffer<std::uint16_t> weights;
        imgnorm_detail::trainMasks(m, maskImage, n, g, binary, reduced, weights);
        CImg view(image);
        view.window(image.window() & reference.window() & (masked ? binary.window() : image.window()));
        imgnorm_detail::runLocalCorrection(view, reference, binary, reduced, weights, m, n, g, range, fused);
        const auto expected = composed(view, reference, binary, m, n, g, range);
        ASSERT_EQ(fused.window(), expected.window());
        ASSERT_EQ(testimg::pixels<std::uint8_t>(fused), testimg::pixels<std::uint8_t>(expected));
    }
}

TEST(RunLocalCorrection, DeepReducedEstimateAndItsMagnificationEqualTheStagesComposed) {
    // The fused deep path (difference taken into the reduction's sums, the
    // estimate magnified from its byte planes) against the stages run on
    // whole images, and an exact x2 or x4 magnification against bilinear
    // interpolation in double precision, rounded half up. Without a
    // diagnostics object the local mean is streamed in bands of rows: the
    // same bits.
    using U16 = std::uint16_t;
    int round = 0;
    for (std::int32_t depth : {12, 16})
        for (P size : {P(64, 48), P(37, 23), P(150, 36)})
            for (P g : {P(1, 1), P(2, 2), P(4, 4), P(3, 2)})
                for (Method m : kLocal)
                    for (bool masked : {false, true}) {
                        if (masked && g.x() == 1) continue;  // full-size masks differ
                        SCOPED_TRACE(testing::Message()
                                     << depth << " bits " << size.x() << "x" << size.y() << " g "
                                     << g.x() << "," << g.y() << " method " << m << " masked "
                                     << masked);
                        const std::int32_t top = (1 << depth) - 1, half = 1 << (depth - 1);
                        auto gen = testimg::rng(static_cast<std::uint32_t>(++round));
                        std::uniform_int_distribution<int> noise(-top / 16, top / 16);
                        vkPelBuffer<U16> ref(size.x(), size.y()), img(size.x(), size.y());
                        for (std::int32_t y = 0; y < size.y(); ++y)
                            for (std::int32_t x = 0; x < size.x(); ++x) {
                                const int r = std::clamp(
                                    static_cast<int>(top / 2 + top / 4 * std::sin(x * 0.3) *
                                                                   std::cos(y * 0.2)) +
                                        noise(gen),
                                    0, top);
                                ref.pointToOffset()[y * ref.rowUpdate() + x] = static_cast<U16>(r);
                                // Sparse 0 and top values: the output clamps at both ends.
                                const int v = (x + 3 * y) % 11 == 0 ? (x + y) % 2 * top
                                                                    : r + top * x / (4 * size.x()) -
                                                                          top / 8 + noise(gen) / 2;
                                img.pointToOffset()[y * img.rowUpdate() + x] =
                                    static_cast<U16>(std::clamp(v, 0, top));
                            }
                        const P n(9, 7), range(-top / 10, top / 8);  // the band clamps both sides
                        const Img maskImage = masked ? holeyMask(img.window(), gen) : Img();
                        Img binary, reduced;
                        vkPelBuffer<std::uint16_t> weights;
                        imgnorm_detail::trainMasks(m, maskImage, n, g, binary, reduced, weights);
                        vkDiagObject diag;
                        vkPelBuffer<U16> out;
                        imgnorm_detail::runLocalCorrection<U16>(img, ref, binary, reduced, weights,
                                                                m, n, g, range, out, &diag, depth);
                        vkPelBuffer<U16> streamed;
                        imgnorm_detail::runLocalCorrection<U16>(img, ref, binary, reduced, weights,
                                                                m, n, g, range, streamed, nullptr,
                                                                depth);
                        ASSERT_EQ(testimg::pixels<U16>(streamed), testimg::pixels<U16>(out));

                        const std::int32_t h = imgnorm_detail::bandHalfWidth(range, depth);
                        vkPelBuffer<U16> d(img.window());
                        for (std::int32_t y = 0; y < size.y(); ++y)
                            for (std::int32_t x = 0; x < size.x(); ++x) {
                                const bool neutral = masked && m == eLocalCorrection &&
                                                     testimg::at(binary, x, y) == 0;
                                d.pointToOffset()[y * d.rowUpdate() + x] = static_cast<U16>(
                                    neutral ? half
                                            : std::clamp(testimg::at<U16>(img, x, y) -
                                                             testimg::at<U16>(ref, x, y) + half,
                                                         half - h, half + h));
                            }
                        vkPelBuffer<U16> small = vfGaussSample<U16>(
                                             d, vkGaussSampleParams(g, P(g.x() - 1, g.y() - 1), 1.0,
                                                                    true)),
                                         e;
                        const P s = imgnorm_detail::reducedNeighborhood(n, g);
                        if (m == eLocalCorrection)
                            imgnorm_detail::localMeanEstimate(small, reduced, weights, s, e, depth);
                        else
                            imgnorm_detail::localMedianEstimate(small, reduced, s, range, e, depth);
                        ASSERT_EQ(diag.records().size(), 1u);
                        ASSERT_EQ(testimg::pixels<U16>(diag.records()[0].deepImage()),
                                  testimg::pixels<U16>(e));

                        if (size.x() % 4 != 0 || size.y() % 4 != 0 || g.x() == 3) continue;
                        const std::int32_t w = e.width(), eh = e.height();
                        auto pel = [&](std::int32_t x, std::int32_t y) {
                            return static_cast<double>(testimg::at<U16>(e, std::clamp(x, 0, w - 1),
                                                                        std::clamp(y, 0, eh - 1)));
                        };
                        for (std::int32_t y = 0; y < size.y(); ++y)
                            for (std::int32_t x = 0; x < size.x(); ++x) {
                                const double sx = (x + 0.5) * w / size.x() - 0.5,
                                             sy = (y + 0.5) * eh / size.y() - 0.5;
                                const auto x0 = static_cast<std::int32_t>(std::floor(sx)),
                                           y0 = static_cast<std::int32_t>(std::floor(sy));
                                const double fx = sx - x0, fy = sy - y0;
                                const double v =
                                    (1 - fy) * ((1 - fx) * pel(x0, y0) + fx * pel(x0 + 1, y0)) +
                                    fy * ((1 - fx) * pel(x0, y0 + 1) + fx * pel(x0 + 1, y0 + 1));
                                const auto estimate =
                                    static_cast<std::int32_t>(std::floor(v + 0.5));
                                ASSERT_EQ(testimg::at<U16>(out, x, y),
                                          std::clamp(testimg::at<U16>(img, x, y) - estimate + half,
                                                     0, top))
                                    << x << "," << y;
                            }
                    }
}
