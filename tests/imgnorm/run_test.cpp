#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "scene.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;

using scene::Outcome;
using scene::runOn;

TEST(Run, ChecksRunInOrderAndResetSuccessAndMessage) {
    const vkImageNormalizer t = scene::trained(scene::texture(16, 16), eLocalCorrection);
    const struct {
        Method method;
        CImg image;
        const char* message;
    } cases[] = {{static_cast<Method>(64), scene::texture(4, 4), "Cannot specify an unknown normalization method."},
                 {eMatchHistogram | eMatchMeanAndStddev, CImg(), "Cannot run with more than one normalization method."},
                 {eMatchHistogram, CImg(), "This tool was not trained for the specified  method."},
                 {eLocalCorrection, CImg(), "Image must be bound."}};
    for (const auto& c : cases) {
        bool success = true;
        std::string message = "stale";
        scene::expectThrow<Errors>([&] { t.run(c.image, c.method, success, message, nullptr, 0); }, c.message);
        EXPECT_FALSE(success);
        EXPECT_TRUE(message.empty());
    }
}

TEST(Run, NothingToMapGivesAnUnboundImageWithOrWithoutSuccess) {
    // Disjoint windows succeed with nothing; an empty histogram (the image
    // lies over the excluded half of the mask) or a flat image fail.
    const auto ref = scene::texture(32, 16);
    auto far = scene::texture(8, 8), right = scene::texture(16, 16, 9);
    far.offset(50, 50);
    right.offset(16, 0);
    Img flat(16, 16);
    vfPelSet<std::uint8_t>(flat, 90);
    const Outcome disjoint = runOn(scene::trained(ref, eMatchHistogram), far, eMatchHistogram),
                  empty = runOn(scene::trained(ref, eMatchHistogramTails, scene::maskOf(ref.window(), vkPelRect(0, 0, 16, 16))),
                                right, eMatchHistogramTails),
                  deviation = runOn(scene::trained(ref, eMatchMeanAndStddev), flat, eMatchMeanAndStddev);
    EXPECT_TRUE(disjoint.success && disjoint.message.empty() && !disjoint.image.isBound());
    EXPECT_FALSE(empty.success || empty.image.isBound() || deviation.success || deviation.image.isBound());
    EXPECT_EQ(empty.message, "Cannot normalize since histogram is empty.");
    EXPECT_EQ(deviation.message, "Cannot match when standard deviation is 0.");
}

TEST(Run, PartlyOverlappingViewEqualsACroppedCopyOfTheOverlap) {
    const auto ref = testimg::embedded<std::uint8_t>(scene::texture(40, 30), 5, 0);
    auto runTime = testimg::embedded<std::uint8_t>(scene::texture(40, 30, 5), 3, 255, P(10, 12));
    runTime.clientFromImageXform(vkXform<2>::translation(0.5, 0.25));
    // The mask reaches past the reference on the left, and ends 3 rows above it.
    const Img mask = scene::maskOf(vkPelRect(-5, 5, 60, 22), vkPelRect(-5, 5, 60, 22));
    const vkPelRect overlap(10, 12, 30, 15);
    for (Method m : {eMatchHistogram, eLinearlyFitGrayValues, eLocalCorrection}) {
        const vkImageNormalizer t = scene::trained(ref, m, mask);
        const Outcome o = runOn(t, runTime, m);
        ASSERT_TRUE(o.success);
        EXPECT_EQ(o.image.window(), overlap);
        EXPECT_EQ(o.image.clientFromImageXformBase(), runTime.clientFromImageXformBase());
        const Outcome c = runOn(t, testimg::crop<std::uint8_t>(runTime, overlap), m);
        EXPECT_EQ(testimg::pixels<std::uint8_t>(o.image), testimg::pixels<std::uint8_t>(c.image)) << m;
    }
}

// Training and runs record their parameters (training records a mask only
// when there is one) and restore the level; an invalid request is recorded
// under its method name before it fails.
TEST(Run, TrainingAndRunsRecordTheirParametersAndRestoreTheLevelEvenWhenTheRequestFails) {
    const auto ref = scene::texture(16, 16), img = scene::texture(16, 16, 3);
    vkImageNormalizer t = scene::trained(ref, eIdentity, scene::maskOf(ref.window(), ref.window()));
    t.neighborhoodSize({31, 7});
    t.set({0.25, 0.75}, {-20, 50}, true);
    vkDiagObject trained, noMask, run, invalid;
    trained.level(2);
    run.level(5);
    t.train(eMatchHistogramTails | eLocalCorrection, &trained, 0x10000);
    ASSERT_EQ(trained.records().size(), 3u);
    EXPECT_EQ(trained.records()[1].text(),
              "trainedMethods=(4 | 16 | )\nkeepMaskedPixels=true\ntailFractions=( 0.25 , 0.75 )\n"
              "neighborhoodSize=( 31 , 7 )\ngranularity=( 1 , 1 )\nintensityRange=( -20 , 50 )\n");
    scene::trained(ref, eIdentity).train(eIdentity, &noMask, 0x10000);
    ASSERT_EQ(noMask.records().size(), 2u);
    EXPECT_EQ(noMask.records()[1].text().substr(0, 17), "trainedMethods=()");
    t.set({0.5, 0.75}, {-3, 4}, false);
    ASSERT_TRUE(runOn(t, img, eMatchHistogramTails, &run, 0x30000).success);
    ASSERT_EQ(run.records().size(),
              5u);  // which ones, in which order, at which levels: see the CLI tests
    EXPECT_EQ(run.records()[1].text(),
              "method=eMatchHistogramTails\nkeepMaskedPixels=false\ntailFractions=( 0.5 , 0.75 )\n"
              "neighborhoodSize=(31, 7)\ngranularity=(1, 1)\nintensityRange=(-3, 4)\n");
    EXPECT_TRUE(trained.level() == 2 && run.level() == 5);
    EXPECT_THROW(runOn(t, img, static_cast<Method>(3), &invalid, 0x10000), BadParams);
    EXPECT_EQ(invalid.records().at(1).text().substr(0, 21), "method=UnknownMethod\n");
    EXPECT_EQ(invalid.level(), 0);
}

// The recorded line and estimate are the ones the result was made with, and
// the joint histogram counts exactly the pairs under the mask.
TEST(Run, MethodDetailsRecordTheLineAndEstimateTheResultWasMadeWith) {
    const auto ref = scene::texture(40, 30);
    const auto img = scene::mapped(
        ref, [](double v, std::int32_t x, std::int32_t) { return x < 6 ? 250 : 0.8 * v + 20; });
    const auto mask = scene::maskOf(ref.window(), vkPelRect(3, 2, 30, 25));
    const auto find = [](const vkDiagObject& d, const std::string& name) -> const vkDiagRecord& {
        for (const vkDiagRecord& r : d.records())
            if (r.name() == name) return r;
        throw std::runtime_error("no record " + name);
    };
    const auto at = [](const CImg& b, std::int32_t x, std::int32_t y) {
        return int{testimg::at(b, x, y)};
    };

    vkDiagObject fit;
    const Outcome lin = runOn(scene::trained(ref, eLinearlyFitGrayValues, mask), img,
                              eLinearlyFitGrayValues, &fit, vkDiagDefs::eMethodDetails);
    ASSERT_EQ(fit.records().size(), 3u);
    std::istringstream text(find(fit, "Gray line").text());
    double slope = 0, intercept = 0;
    text.ignore(6) >> slope;
    text.ignore(11) >> intercept;
    EXPECT_NEAR(slope, 1.25, 0.05);
    for (std::int32_t y = 0; y < 30; ++y)
        for (std::int32_t x = 0; x < 40; ++x)
            ASSERT_EQ(at(lin.image, x, y),
                      std::clamp<int>(std::lround(intercept + slope * at(img, x, y)), 0, 255));
    std::vector<int> pairs(256 * 256);
    for (std::int32_t y = 0; y < 30; ++y)
        for (std::int32_t x = 0; x < 40; ++x)
            if (at(mask, x, y) != 0) pairs[at(ref, x, y) * 256 + at(img, x, y)] = 1;
    const CImg& joint = find(fit, "Joint histogram").image();
    ASSERT_EQ(joint.window(), vkPelRect(0, 0, 256, 256));
    for (std::int32_t t = 0; t < 256; ++t)
        for (std::int32_t r = 0; r < 256; ++r)
            ASSERT_EQ(at(joint, r, t) != 0, pairs[t * 256 + r] == 1) << t << "," << r;

    // Full resolution: the estimate's storage becomes the result's.
    for (const Method m : {eLocalCorrection, eLocalCorrectionEnhanced}) {
        vkDiagObject local;
        const Outcome o =
            runOn(scene::trained(ref, m, mask), img, m, &local, vkDiagDefs::eMethodDetails);
        ASSERT_EQ(local.records().size(), 1u);
        const CImg& e = find(local, "Background estimate").image();
        for (std::int32_t y = 0; y < 30; ++y)
            for (std::int32_t x = 0; x < 40; ++x) {
                if (m == eLocalCorrection) {
                    ASSERT_EQ(at(e, x, y) == 0, at(mask, x, y) == 0);
                }
                ASSERT_EQ(at(o.image, x, y), std::clamp(at(img, x, y) - at(e, x, y) + 128, 0, 255))
                    << m;
            }
    }
    vkDiagObject global;
    runOn(scene::trained(ref, eMatchHistogram), img, eMatchHistogram, &global,
          vkDiagDefs::eMethodDetails);
    EXPECT_TRUE(global.records().empty());
}
