// The deep-image tool against slow references on small 12- and 16-bit
// images, its depth checks, and its archive record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include "scene.h"
#include "support/archive_bytes.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using Deep = vkPelBuffer<std::uint16_t>;

namespace {

// A texture stretched to the depth's levels, its brightest pixels at the top
// level, inside larger storage at a window away from the origin.
Deep deepTexture(std::int32_t w, std::int32_t h, std::int32_t depth, std::uint32_t seed,
                 double gain = 1.0, double offset = 0.0) {
    const double top = std::ldexp(1.0, depth) - 1;
    const Deep out =
        testimg::mapped<std::uint16_t>(scene::texture(w, h, seed), [&](double v, int, int) {
            return std::clamp(std::round((v - 20) * top / 200.0 * gain + offset), 0.0, top);
        });
    return testimg::embeddedWithMargins<std::uint16_t>(out, 2, 1, 3, 4, 0, P(6, -3));
}

vkDeepImageNormalizer deepTool(const Deep& ref, std::int32_t depth, Method methods,
                               const vkPelBuffer_const<std::uint8_t>& mask = {}) {
    vkDeepImageNormalizer t(depth);
    t.referenceImage(ref, true);
    t.maskImage(mask, true);
    t.tailFractions({0.1, 0.9});
    t.train(methods, nullptr, 0);
    return t;
}

// Included pixel values of a window, sorted (mask unbound: all; bound: on
// the same window).
std::vector<std::int64_t> included(const Deep& image, const vkPelBuffer_const<std::uint8_t>& mask) {
    std::vector<std::int64_t> v;
    for (std::int32_t y = 0; y < image.height(); ++y)
        for (std::int32_t x = 0; x < image.width(); ++x)
            if (!mask.isBound() || testimg::at(mask, x, y) != 0)
                v.push_back(testimg::at<std::uint16_t>(image, x, y));
    std::sort(v.begin(), v.end());
    return v;
}

// The level at which the sorted values' count first reaches percent %.
std::int64_t levelAt(const std::vector<std::int64_t>& sorted, std::int64_t percent) {
    const auto n = static_cast<std::int64_t>(sorted.size());
    return sorted[static_cast<std::size_t>(std::max<std::int64_t>((percent * n + 99) / 100, 1) -
                                           1)];
}

// What each global method makes of value v, from the sorted included values
// of the reference and of the run-time image, computed from the definitions.
double expectedLevel(Method m, std::int64_t v, const std::vector<std::int64_t>& ref,
                     const std::vector<std::int64_t>& run, double top) {
    if (m == eMatchHistogram) {
        // The smallest reference level whose share reaches the middle of v's
        // share of the run-time values, (below + upTo) / 2.
        const auto below = std::lower_bound(run.begin(), run.end(), v) - run.begin();
        const auto upTo = std::upper_bound(run.begin(), run.end(), v) - run.begin();
        const auto nRef = static_cast<std::int64_t>(ref.size()),
                   nRun = static_cast<std::int64_t>(run.size());
        const std::int64_t k = ((below + upTo) * nRef + 2 * nRun - 1) / (2 * nRun) - 1;
        return static_cast<double>(ref[static_cast<std::size_t>(std::max<std::int64_t>(k, 0))]);
    }
    double gain = 0, offset = 0;
    if (m == eMatchMeanAndStddev) {
        auto moments = [](const std::vector<std::int64_t>& s, double& mean, double& sd) {
            double s1 = 0, s2 = 0;
            for (auto x : s)
                s1 += static_cast<double>(x), s2 += static_cast<double>(x) * static_cast<double>(x);
            mean = s1 / static_cast<double>(s.size());
            sd = std::sqrt(s2 / static_cast<double>(s.size()) - mean * mean);
        };
        double mr = 0, sr = 0, mi = 0, si = 0;
        moments(ref, mr, sr);
        moments(run, mi, si);
        gain = sr / si;
        offset = mr - mi * gain;
    } else {
        gain = static_cast<double>(levelAt(ref, 90) - levelAt(ref, 10)) /
               static_cast<double>(levelAt(run, 90) - levelAt(run, 10));
        offset =
            static_cast<double>(levelAt(ref, 10)) - static_cast<double>(levelAt(run, 10)) * gain;
    }
    return std::clamp(std::trunc(static_cast<double>(v) * gain + offset), 0.0, top);
}

}  // namespace

TEST(DeepTool, GlobalMethodsMatchTheirDefinitionsAtTopLevelsMaskedAndOffTheOrigin) {
    for (std::int32_t depth : {12, 16}) {
        const double top = std::ldexp(1.0, depth) - 1;
        const Deep ref = deepTexture(37, 23, depth, 1);
        const Deep image = deepTexture(37, 23, depth, 2, 0.7, 0.2 * top);
        for (bool masked : {false, true}) {
            const auto mask = masked
                                  ? scene::maskOf(vkPelRect(6, -3, 37, 23), vkPelRect(9, 0, 20, 15))
                                  : vkPelBuffer<std::uint8_t>();
            const auto refLevels = included(ref, mask), runLevels = included(image, mask);
            EXPECT_TRUE(masked || refLevels.back() == static_cast<std::int64_t>(top));
            for (Method m : {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails}) {
                const Deep out = scene::ran(deepTool(ref, depth, m, mask), image, m);
                ASSERT_EQ(out.window(), image.window());
                int worst = 0;
                for (std::int32_t y = 0; y < out.height(); ++y)
                    for (std::int32_t x = 0; x < out.width(); ++x) {
                        const double want = expectedLevel(
                            m, testimg::at<std::uint16_t>(image, x, y), refLevels, runLevels, top);
                        worst = std::max(worst, static_cast<int>(std::abs(
                                                    testimg::at<std::uint16_t>(out, x, y) - want)));
                    }
                // The stretches may truncate a value that lies on a level
                // one way in the reference's arithmetic and the other in ours.
                EXPECT_LE(worst, m == eMatchHistogram ? 0 : 1)
                    << depth << " bits, method " << m << " mask " << masked;
            }
        }
    }
}

TEST(DeepTool, LinearFitRecoversADeepGainAndOffsetDespiteOutliers) {
    const Deep ref = deepTexture(64, 48, 12, 4);
    auto gen = testimg::rng(9);
    std::uniform_int_distribution<int> outlier(0, 4), level(0, 4095);
    const Deep image = testimg::mapped<std::uint16_t>(ref, [&](int p, int, int) {
        return outlier(gen) == 0 ? level(gen) : std::lround(0.7 * p + 300);
    });
    const Deep out =
        scene::ran(deepTool(ref, 12, eLinearlyFitGrayValues), image, eLinearlyFitGrayValues);
    // Where the image follows the line, the result gives the reference back
    // within a few levels of the 4096 (the gain's rounding amplified by 1/0.7).
    int close = 0;
    for (std::int32_t y = 0; y < out.height(); ++y)
        for (std::int32_t x = 0; x < out.width(); ++x)
            close += std::abs(testimg::at<std::uint16_t>(out, x, y) -
                              testimg::at<std::uint16_t>(ref, x, y)) <= 4;
    EXPECT_GE(close, out.width() * out.height() * 78 / 100);
}

TEST(DeepTool, DepthDecidesTheDefaultsAndValuesAboveItAreBadImages) {
    for (std::int32_t bad : {8, 17})
        EXPECT_THROW(vkDeepImageNormalizer{bad}, BadParams);
    vkDeepImageNormalizer t(12);
    EXPECT_EQ(t.intensityVariationRange(), P(-2047, 2047));
    EXPECT_THROW(t.depth(17), BadParams);
    t.intensityVariationRange({-5, 9});
    t.untrain();
    EXPECT_EQ(t.depth(), 12);
    EXPECT_EQ(t.intensityVariationRange(), P(-2047, 2047));

    Deep ref = deepTexture(20, 10, 12, 3);
    const Method all =
        eMatchHistogram | eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced;
    t = deepTool(ref, 12, all);
    const Deep good = vfPelCopy<std::uint16_t>(ref);
    ref.pointToOffset()[ref.rowUpdate() + 4] = 4096;
    vkDeepImageNormalizer bad = t;
    bad.referenceImage(ref, false);
    EXPECT_THROW(bad.train(eMatchHistogram, nullptr, 0), BadImage);
    EXPECT_EQ(t.trainedMethods(), all);
    // The value is refused wherever a run reads it: in the run-time image, or
    // in a shared reference that changed after training, inside the run-time
    // window or outside it; at full and at reduced resolution.
    Deep shared = vfPelCopy<std::uint16_t>(good);
    vkDeepImageNormalizer sharing = deepTool(good, 12, all);
    sharing.referenceImage(shared, false);
    Deep left = vfPelCopy<std::uint16_t>(good);
    left.window(vkPelRect(good.window().ul().x() + 6, good.window().ul().y(), 14, 10));
    struct Case {
        const char* what;
        vkDeepImageNormalizer* tool;
        const Deep* image;
        vkPair<std::int32_t> at;  // the pixel of shared set to 4096 (none: -1)
    };
    const Case cases[] = {{"image", &t, &ref, {-1, -1}},
                          {"reference inside", &sharing, &good, {4, 1}},
                          {"reference outside", &sharing, &left, {2, 7}}};
    for (const Case& c : cases)
        for (std::int32_t g : {1, 4})
            for (Method m : {eMatchHistogram, eLinearlyFitGrayValues, eLocalCorrection,
                             eLocalCorrectionEnhanced}) {
                if (m == eMatchHistogram && c.at.x() >= 0) continue;  // reads no reference
                vfPelCopy<std::uint16_t>(good, shared);
                c.tool->granularity({g, g});
                c.tool->train(all, nullptr, 0);
                vfPelCopy<std::uint16_t>(good, shared);
                if (c.at.x() >= 0)
                    shared.pointToOffset()[c.at.y() * shared.rowUpdate() + c.at.x()] = 4096;
                bool ok = true;
                std::string message;
                EXPECT_THROW(c.tool->run(*c.image, m, ok, message, nullptr, 0), BadImage)
                    << c.what << " g " << g << " method " << m;
                EXPECT_FALSE(ok);
            }
}

TEST(DeepTool, ArchiveRoundTripsAndRefusesHostileBytes) {
    Deep ref = deepTexture(30, 20, 12, 5);
    const auto mask = scene::maskOf(ref.window(), vkPelRect(8, 0, 20, 12));
    vkDeepImageNormalizer t =
        deepTool(ref, 12, eMatchHistogramTails | eLinearlyFitGrayValues, mask);
    t.neighborhoodSize({9, 7});
    t.set({0.05, 0.95}, {-300, 200}, true);
    t.train(eMatchHistogramTails | eLinearlyFitGrayValues, nullptr, 0);
    const auto bytes = scene::stored(t);
    testbytes::Bytes untrained;
    untrained.u8(1).u8(12).u32(0).u8(0).f64(0).f64(1).u8(0).i32(101).i32(101).u8(0).i32(1).i32(1);
    untrained.u8(0).i32(-2047).i32(2047).u8(0).unboundImage().unboundImage();
    EXPECT_EQ(scene::stored(vkDeepImageNormalizer(12)), untrained.v);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 1);  // the deep record's own version byte
    EXPECT_EQ(bytes[1], 12);
    vkDeepImageNormalizer back(16);
    ASSERT_EQ(scene::loadOutcome(back, bytes), "ok");
    EXPECT_TRUE(back == t);
    EXPECT_EQ(back.trainedMethods(), t.trainedMethods());
    const Deep image = deepTexture(30, 20, 12, 6, 0.8, 100);
    EXPECT_TRUE(vfPelEqual<std::uint16_t>(scene::ran(t, image, eLinearlyFitGrayValues),
                                          scene::ran(back, image, eLinearlyFitGrayValues)));

    // Each loader refuses the other record's version byte before touching the tool.
    vkImageNormalizer eight;
    vkArchive in(bytes);
    EXPECT_THROW(in || eight, vkArchive::UnknownVersion);
    vkArchive eightBytes;
    eightBytes || eight;
    EXPECT_EQ(scene::loadOutcome(back, eightBytes.bytes()),
              typeid(vkArchive::UnknownVersion).name());
    EXPECT_TRUE(back == t);

    // Depths outside 9..16, every truncation, and a reference above the depth.
    for (std::uint8_t depth : {8, 17}) {
        auto bad = bytes;
        bad[1] = depth;
        EXPECT_EQ(scene::loadOutcome(back, bad), typeid(vkArchive::Corrupt).name()) << int(depth);
    }
    for (std::size_t n = 0; n < bytes.size(); ++n)
        ASSERT_EQ(
            scene::loadOutcome(back, std::vector<std::uint8_t>(
                                         bytes.begin(), bytes.begin() + static_cast<long>(n))),
            typeid(vkArchive::Corrupt).name())
            << n;
    auto above = bytes;
    above[above.size() - 1] = 0x10;  // the last pixel becomes 4096 + its low byte
    EXPECT_EQ(scene::loadOutcome(back, above), typeid(BadImage).name());
    EXPECT_EQ(back.trainedMethods(), eIdentity);
}
