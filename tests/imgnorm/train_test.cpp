#include <gtest/gtest.h>

#include "scene.h"

using namespace vkImageNormalizerDefs;

namespace {

void expectCanNotTrain(vkImageNormalizer& t, std::uint32_t methods, const std::string& message) {
    scene::expectThrow<CanNotTrain>([&] { t.train(static_cast<Method>(methods), nullptr, 0); }, message);
}

}  // namespace

TEST(Train, BadRequestsAndEmptyMaskedHistogramsKeepOnlyWhatCouldTrain) {
    const auto ref = scene::texture(16, 16);
    vkImageNormalizer t = scene::trained(ref, eMatchHistogram), unbound;
    for (std::uint32_t bad : {64u, eMatchHistogram | 128u}) expectCanNotTrain(t, bad, "<methods> contains an unknown normalization method.");
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
    expectCanNotTrain(unbound, eMatchHistogram, "referenceImage() must be bound for the specified methods.");
    // A mask away from the reference, or one that excludes everything: only
    // the global methods fail.
    for (const auto& mask : {scene::maskOf(vkPelRect(100, 100, 8, 8), vkPelRect(100, 100, 8, 8)), scene::maskOf(ref.window(), {})}) {
        vkImageNormalizer m = scene::trained(ref, eIdentity, mask);
        expectCanNotTrain(m, eMatchMeanAndStddev, "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(m.trainedMethods(), eIdentity);
        expectCanNotTrain(m, eMatchHistogram | eLocalCorrection, "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(m.trainedMethods(), eLocalCorrection);
    }
}

TEST(Train, SettersUntrainButSetKeepsTheTraining) {
    vkImageNormalizer t = scene::trained(scene::texture(16, 16), eIdentity);
    for (int setter = 0; setter < 7; ++setter) {
        t.train(eMatchHistogram, nullptr, 0);
        if (setter == 0) t.neighborhoodSize(t.neighborhoodSize());
        if (setter == 1) t.granularity(t.granularity());
        if (setter == 2) t.tailFractions(t.tailFractions());
        if (setter == 3) t.intensityVariationRange(t.intensityVariationRange());
        if (setter == 4) t.keepMaskedPixels(false);
        if (setter == 5) t.referenceImage(t.referenceImage(), false);
        if (setter == 6) t.maskImage(t.maskImage(), false);
        EXPECT_EQ(t.trainedMethods(), eIdentity) << "setter " << setter;
    }
    t.train(eMatchHistogram, nullptr, 0);
    t.set({0.1, 0.9}, {-5, 5}, true);
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
}

TEST(Train, RecordsTheParametersAndNoMaskRecordWithoutAMask) {
    const auto ref = scene::texture(16, 16);
    vkImageNormalizer t = scene::trained(ref, eIdentity, scene::maskOf(ref.window(), ref.window()));
    t.neighborhoodSize({31, 7});
    t.set({0.25, 0.75}, {-20, 50}, true);
    vkDiagObject diag, noMask;
    diag.level(2);
    t.train(eMatchHistogramTails | eLocalCorrection, &diag, 0x10000);
    ASSERT_EQ(diag.records().size(), 3u);
    EXPECT_EQ(diag.records()[1].text(),
              "trainedMethods=(4 | 16 | )\nkeepMaskedPixels=true\ntailFractions=( 0.25 , 0.75 )\n"
              "neighborhoodSize=( 31 , 7 )\ngranularity=( 1 , 1 )\nintensityRange=( -20 , 50 )\n");
    EXPECT_EQ(diag.level(), 2);
    scene::trained(ref, eIdentity).train(eIdentity, &noMask, 0x10000);
    ASSERT_EQ(noMask.records().size(), 2u);  // no mask record without a mask
    EXPECT_EQ(noMask.records()[1].text().substr(0, 17), "trainedMethods=()");
}
