// The deep-image tool: its depth checks and its archive record. Its global
// maps are checked with the maps (and the pixel functions they use) and
// through the Python package at 8 and 12 bits, its linear fit and local
// corrections with the 8-bit ones.
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

}  // namespace

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
    ref.pointToOffset()[ref.rowUpdate() + 19] = 4096;
    vkDeepImageNormalizer bad = t;
    bad.referenceImage(ref, false);
    EXPECT_THROW(bad.train(eMatchHistogram, nullptr, 0), BadImage);
    EXPECT_EQ(t.trainedMethods(), all);
    // The value is refused wherever a run reads it: in the run-time image, or
    // in a shared reference that changed after training, inside the run-time
    // window or outside it; at full and at reduced resolution, also in a
    // last column that no inner output of the reduction reads.
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
                          {"reference inside", &sharing, &good, {19, 1}},
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
