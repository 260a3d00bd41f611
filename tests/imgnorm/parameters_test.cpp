#include <gtest/gtest.h>

#include "imgnorm/methods.h"
#include "support/images.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using D = vkPair<double>;

namespace {

// Expects BadParams with exactly this message.
template <class F>
void expectBadParams(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception";
    } catch (const BadParams& e) {
        EXPECT_EQ(e.message(), message);
    }
}

// A tool that looks trained, without depending on train(): a copy of a tool
// whose trained methods were set through the archive-free path is not
// available, so the tests use set(), which keeps the trained methods.
}  // namespace

TEST(Parameters, DefaultsAreValid) {
    vkImageNormalizer t;
    EXPECT_EQ(t.trainedMethods(), eIdentity);
    EXPECT_EQ(t.tailFractions(), D(0.0, 1.0));
    EXPECT_EQ(t.neighborhoodSize(), P(101, 101));
    EXPECT_EQ(t.granularity(), P(1, 1));
    EXPECT_EQ(t.intensityVariationRange(), P(-127, 127));
    EXPECT_FALSE(t.keepMaskedPixels());
    EXPECT_FALSE(t.referenceImage().isBound());
    EXPECT_FALSE(t.maskImage().isBound());
}

TEST(Parameters, PairSettersRejectOutOfRangeValuesAndKeepTheOldOne) {
    vkImageNormalizer t;
    t.neighborhoodSize(P(1, 1));
    expectBadParams([&] { t.neighborhoodSize(P(0, 5)); }, "Both elements of neighborhoodSize must be >= 1");
    expectBadParams([&] { t.neighborhoodSize(P(5, -1)); }, "Both elements of neighborhoodSize must be >= 1");
    EXPECT_EQ(t.neighborhoodSize(), P(1, 1));

    expectBadParams([&] { t.granularity(P(1, 0)); }, "Both elements of granularity must be >= 1");
    EXPECT_EQ(t.granularity(), P(1, 1));

    for (D ok : {D(0.5, 0.5), D(0.0, 0.0), D(1.0, 1.0)}) EXPECT_NO_THROW(t.tailFractions(ok));
    for (D bad : {D(0.6, 0.4), D(-0.1, 0.5), D(0.2, 1.5), D(std::nan(""), 0.5), D(0.1, std::nan(""))})
        expectBadParams([&] { t.tailFractions(bad); }, "Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
    EXPECT_EQ(t.tailFractions(), D(1.0, 1.0));

    EXPECT_NO_THROW(t.intensityVariationRange(P(0, 0)));
    expectBadParams([&] { t.intensityVariationRange(P(1, 5)); }, "intensityVariationRange must be: x <= 0 and y >= 0");
    expectBadParams([&] { t.intensityVariationRange(P(-5, -1)); }, "intensityVariationRange must be: x <= 0 and y >= 0");
    EXPECT_EQ(t.intensityVariationRange(), P(0, 0));
}

TEST(Parameters, ImageSettersCopyOrShare) {
    vkPelBuffer<std::uint8_t> img(4, 4);
    vkImageNormalizer t;
    t.referenceImage(img, false);
    t.maskImage(img, true);
    img.set(P(1, 1), 200);
    EXPECT_EQ(t.referenceImage().get(P(1, 1)), 200);  // shared
    EXPECT_EQ(t.maskImage().get(P(1, 1)), 0);         // copied
    EXPECT_EQ(t.maskImage().window(), img.window());
    t.referenceImage(vkPelBuffer<std::uint8_t>(), true);
    EXPECT_FALSE(t.referenceImage().isBound());
}

TEST(Parameters, CopyAndAssignmentCopyEveryMember) {
    vkImageNormalizer a;
    a.neighborhoodSize(P(7, 9));
    a.granularity(P(2, 3));
    a.set(D(0.1, 0.9), P(-3, 4), true);
    vkPelBuffer<std::uint8_t> img(3, 3);
    a.referenceImage(img, false);
    vkImageNormalizer b(a), c;
    c = a;
    for (const vkImageNormalizer* t : {&b, &c}) {
        EXPECT_EQ(t->neighborhoodSize(), P(7, 9));
        EXPECT_EQ(t->granularity(), P(2, 3));
        EXPECT_EQ(t->tailFractions(), D(0.1, 0.9));
        EXPECT_EQ(t->intensityVariationRange(), P(-3, 4));
        EXPECT_TRUE(t->keepMaskedPixels());
        EXPECT_EQ(t->referenceImage().root(), img.root());  // images share pixels
    }
}

TEST(Parameters, UntrainResetsEverything) {
    vkImageNormalizer t;
    t.neighborhoodSize(P(3, 3));
    t.set(D(0.2, 0.3), P(-1, 1), true);
    t.referenceImage(vkPelBuffer<std::uint8_t>(2, 2), false);
    t.untrain();
    EXPECT_EQ(t.neighborhoodSize(), P(101, 101));
    EXPECT_EQ(t.tailFractions(), D(0.0, 1.0));
    EXPECT_EQ(t.intensityVariationRange(), P(-127, 127));
    EXPECT_FALSE(t.keepMaskedPixels());
    EXPECT_FALSE(t.referenceImage().isBound());
}

TEST(Parameters, SetStoresTailsBeforeCheckingTheRange) {
    vkImageNormalizer t;
    expectBadParams([&] { t.set(D(0.9, 0.1), P(-1, 1), true); }, "Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0");
    EXPECT_EQ(t.tailFractions(), D(0.0, 1.0));
    EXPECT_FALSE(t.keepMaskedPixels());
    expectBadParams([&] { t.set(D(0.2, 0.4), P(1, 1), true); }, "intensityVariationRange must be: x <= 0 and y >= 0");
    EXPECT_EQ(t.tailFractions(), D(0.2, 0.4));  // the first step already took effect
    EXPECT_FALSE(t.keepMaskedPixels());
}

TEST(MethodHelpers, NamesAndCounts) {
    using imgnorm_detail::methodCount;
    using imgnorm_detail::methodName;
    EXPECT_EQ(methodName(eIdentity), "eIdentity");
    EXPECT_EQ(methodName(eLocalCorrection), "eLocalCorrection");
    EXPECT_EQ(methodName(eLocalCorrectionEnhanced), "eLocalCorrectionEnhanced");
    EXPECT_EQ(methodName(static_cast<Method>(3)), "UnknownMethod");
    EXPECT_EQ(methodName(static_cast<Method>(64)), "UnknownMethod");
    EXPECT_EQ(methodCount(eIdentity), 0);
    EXPECT_EQ(methodCount(static_cast<Method>(3)), 2);
    EXPECT_EQ(methodCount(static_cast<Method>(0xFFFFFFFFu)), 32);
}
