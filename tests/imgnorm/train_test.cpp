#include <gtest/gtest.h>

#include <functional>

#include "imgnorm/attention.h"
#include "scene.h"

using namespace vkImageNormalizerDefs;
using CImg = vkPelBuffer_const<std::uint8_t>;

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

vkImageNormalizer toolWith(const CImg& ref, const CImg& mask = {}) {
    vkImageNormalizer t;
    t.referenceImage(ref, false);
    t.maskImage(mask, false);
    return t;
}

}  // namespace

TEST(Train, UnknownMethodBitsOrAnUnboundReferenceAreRejectedAndChangeNothing) {
    vkImageNormalizer t = toolWith(scene::texture(16, 16));
    t.train(eMatchHistogram, nullptr, 0);
    for (std::uint32_t bad : {64u, eMatchHistogram | 128u})
        expectCanNotTrain([&] { t.train(static_cast<Method>(bad), nullptr, 0); }, "<methods> contains an unknown normalization method.");
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
    vkImageNormalizer unbound;
    expectCanNotTrain([&] { unbound.train(eMatchHistogram, nullptr, 0); }, "referenceImage() must be bound for the specified methods.");
    EXPECT_NO_THROW(unbound.train(eIdentity, nullptr, 0));
}

TEST(Train, EmptyMaskedHistogramDropsOnlyTheGlobalMethods) {
    vkPelBuffer<std::uint8_t> disjoint(vkPelRect(100, 100, 8, 8)), zeros(16, 16);
    vfPelSet<std::uint8_t>(disjoint, 255);
    for (const auto& mask : {disjoint, zeros}) {
        vkImageNormalizer t = toolWith(scene::texture(16, 16), mask);
        expectCanNotTrain([&] { t.train(eMatchMeanAndStddev, nullptr, 0); }, "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(t.trainedMethods(), eIdentity);
        expectCanNotTrain([&] { t.train(eMatchHistogram | eLocalCorrection, nullptr, 0); },
                          "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(t.trainedMethods(), eLocalCorrection);
    }
}

TEST(Train, SettersUntrainButSetKeepsTheTrainingAndRetrainingReplacesIt) {
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
    t.train(eLocalCorrection, nullptr, 0);
    EXPECT_EQ(t.trainedMethods(), eLocalCorrection);
}

TEST(Train, RecordsReferenceParametersAndMaskWhenAsked) {
    const auto ref = scene::texture(16, 16);
    vkPelBuffer<std::uint8_t> mask(16, 16);
    vfPelSet<std::uint8_t>(mask, 1);
    vkImageNormalizer t = toolWith(ref, mask);
    t.neighborhoodSize({31, 7});
    t.set({0.25, 0.75}, {-20, 50}, true);
    vkDiagObject diag;
    diag.level(2);
    t.train(eMatchHistogramTails | eLocalCorrection, &diag, 0x10000);
    const auto& r = diag.records();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].name() + r[1].name() + r[2].name(), "referenceImageParametersmaskImage");
    EXPECT_EQ(r[0].image().root(), ref.root());
    EXPECT_EQ(r[1].text(),
              "trainedMethods=(4 | 16 | )\nkeepMaskedPixels=true\ntailFractions=( 0.25 , 0.75 )\n"
              "neighborhoodSize=( 31 , 7 )\ngranularity=( 1 , 1 )\nintensityRange=( -20 , 50 )\n");
    for (const auto& record : r) EXPECT_EQ(record.level(), 2);
    EXPECT_EQ(diag.level(), 2);
    vkDiagObject quiet;
    t.train(eIdentity, &quiet, 0x20000);
    EXPECT_TRUE(quiet.records().empty());
    toolWith(ref).train(eIdentity, &quiet, 0x10000);
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
