#include <gtest/gtest.h>

#include "imgnorm/attention.h"
#include "scene.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;

namespace {

template <class F>
void expectCanNotTrain(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception";
    } catch (const CanNotTrain& e) {
        EXPECT_EQ(e.message(), message);
    }
}

vkImageNormalizer toolWith(const vkPelBuffer_const<std::uint8_t>& ref, const vkPelBuffer_const<std::uint8_t>& mask = {}) {
    vkImageNormalizer t;
    t.referenceImage(ref, false);
    t.maskImage(mask, false);
    return t;
}

}  // namespace

TEST(Train, UnknownMethodBitsAreRejectedAndChangeNothing) {
    vkImageNormalizer t = toolWith(scene::texture(16, 16));
    t.train(eMatchHistogram, nullptr, 0);
    expectCanNotTrain([&] { t.train(static_cast<Method>(64), nullptr, 0); },
                      "<methods> contains an unknown normalization method.");
    expectCanNotTrain([&] { t.train(static_cast<Method>(eMatchHistogram | 128), nullptr, 0); },
                      "<methods> contains an unknown normalization method.");
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
}

TEST(Train, ReferenceMustBeBoundUnlessNothingIsTrained) {
    vkImageNormalizer t;
    expectCanNotTrain([&] { t.train(eMatchHistogram, nullptr, 0); },
                      "referenceImage() must be bound for the specified methods.");
    EXPECT_NO_THROW(t.train(eIdentity, nullptr, 0));
    EXPECT_EQ(t.trainedMethods(), eIdentity);
}

TEST(Train, EmptyMaskedHistogramDropsOnlyTheGlobalMethods) {
    auto ref = scene::texture(16, 16);
    vkPelBuffer<std::uint8_t> disjoint(vkPelRect(100, 100, 8, 8));
    vfPelSet<std::uint8_t>(disjoint, 255);
    vkPelBuffer<std::uint8_t> zeros(16, 16);
    for (const auto& mask : {disjoint, zeros}) {
        vkImageNormalizer t = toolWith(ref, mask);
        expectCanNotTrain([&] { t.train(eMatchMeanAndStddev, nullptr, 0); },
                          "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(t.trainedMethods(), eIdentity);
        expectCanNotTrain([&] { t.train(eMatchHistogram | eLocalCorrection, nullptr, 0); },
                          "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(t.trainedMethods(), eLocalCorrection);
        EXPECT_NO_THROW(t.train(eLocalCorrection, nullptr, 0));
    }
}

TEST(Train, RetrainingReplacesTheMethodSet) {
    vkImageNormalizer t = toolWith(scene::texture(16, 16));
    t.train(eMatchHistogram, nullptr, 0);
    t.train(eLocalCorrection, nullptr, 0);
    EXPECT_EQ(t.trainedMethods(), eLocalCorrection);
}

TEST(Train, SettersUntrainButSetKeepsTheTraining) {
    vkImageNormalizer t = toolWith(scene::texture(16, 16));
    const std::function<void(vkImageNormalizer&)> setters[] = {
        [](vkImageNormalizer& x) { x.neighborhoodSize(x.neighborhoodSize()); },
        [](vkImageNormalizer& x) { x.granularity(x.granularity()); },
        [](vkImageNormalizer& x) { x.tailFractions(x.tailFractions()); },
        [](vkImageNormalizer& x) { x.intensityVariationRange(x.intensityVariationRange()); },
        [](vkImageNormalizer& x) { x.keepMaskedPixels(false); },
        [](vkImageNormalizer& x) { x.referenceImage(x.referenceImage(), false); },
        [](vkImageNormalizer& x) { x.maskImage(x.maskImage(), false); },
    };
    for (const auto& set : setters) {
        t.train(eMatchHistogram, nullptr, 0);
        set(t);
        EXPECT_EQ(t.trainedMethods(), eIdentity);
    }
    t.train(eMatchHistogram, nullptr, 0);
    t.set({0.1, 0.9}, {-5, 5}, true);
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
}

TEST(Train, RecordsReferenceParametersAndMaskWhenAsked) {
    auto ref = scene::texture(16, 16);
    vkPelBuffer<std::uint8_t> mask(16, 16);
    vfPelSet<std::uint8_t>(mask, 1);
    vkImageNormalizer t = toolWith(ref, mask);
    t.neighborhoodSize({31, 7});
    t.set({0.25, 0.75}, {-20, 50}, true);
    vkDiagObject diag;
    diag.level(2);
    t.train(eMatchHistogram | eMatchHistogramTails, &diag, 0x10000);
    ASSERT_EQ(diag.records().size(), 3u);
    EXPECT_EQ(diag.records()[0].name(), "referenceImage");
    EXPECT_EQ(diag.records()[0].image().root(), ref.root());
    EXPECT_EQ(diag.records()[1].name(), "Parameters");
    EXPECT_EQ(diag.records()[1].text(),
              "trainedMethods=(1 | 4 | )\n"
              "keepMaskedPixels=true\n"
              "tailFractions=( 0.25 , 0.75 )\n"
              "neighborhoodSize=( 31 , 7 )\n"
              "granularity=( 1 , 1 )\n"
              "intensityRange=( -20 , 50 )\n");
    EXPECT_EQ(diag.records()[2].name(), "maskImage");
    for (const auto& r : diag.records()) EXPECT_EQ(r.level(), 2);
    EXPECT_EQ(diag.level(), 2);

    vkDiagObject quiet;
    t.train(eIdentity, &quiet, 0x20000);
    t.train(eIdentity, nullptr, 0x10000);
    EXPECT_TRUE(quiet.records().empty());
    vkImageNormalizer noMask = toolWith(ref);
    noMask.train(eIdentity, &quiet, 0x10000);
    ASSERT_EQ(quiet.records().size(), 2u);  // no mask record without a mask
    EXPECT_EQ(quiet.records()[1].text().substr(0, 17), "trainedMethods=()");
}

TEST(Train, CancellationPassesThroughAndKeepsTheMethodSet) {
    vkImageNormalizer t = toolWith(scene::texture(16, 16));
    t.train(eMatchHistogram, nullptr, 0);
    vkAttention::Token token;
    token.cancel();
    vkAttention::Scope scope(token);
    EXPECT_THROW(t.train(eMatchMeanAndStddev, nullptr, 0), vkAttention::Cancelled);
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
}
