#include <gtest/gtest.h>

#include "scene.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using D = vkPair<double>;

TEST(Parameters, SettersRejectOutOfRangeValuesAndKeepTheOldOne) {
    vkImageNormalizer t;
    t.set(D(1.0, 1.0), P(0, 0), false);  // the edges are valid
    t.neighborhoodSize(P(1, 1));
    const std::string tails = "Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0",
                      range = "intensityVariationRange must be: x <= 0 and y >= 0";
    for (P bad : {P(0, 5), P(5, -1)}) {
        scene::expectThrow<BadParams>([&] { t.neighborhoodSize(bad); }, "Both elements of neighborhoodSize must be >= 1");
        scene::expectThrow<BadParams>([&] { t.granularity(bad); }, "Both elements of granularity must be >= 1");
    }
    for (D bad : {D(0.6, 0.4), D(-0.1, 0.5), D(0.2, 1.5), D(std::nan(""), 0.5), D(0.1, std::nan(""))})
        scene::expectThrow<BadParams>([&] { t.tailFractions(bad); }, tails);
    for (P bad : {P(1, 5), P(-5, -1)}) scene::expectThrow<BadParams>([&] { t.intensityVariationRange(bad); }, range);
    EXPECT_EQ(t.neighborhoodSize(), P(1, 1));
    EXPECT_EQ(t.granularity(), P(1, 1));
    EXPECT_EQ(t.tailFractions(), D(1.0, 1.0));
    EXPECT_EQ(t.intensityVariationRange(), P(0, 0));
    // set() stores the tails before it checks the range.
    scene::expectThrow<BadParams>([&] { t.set(D(0.9, 0.1), P(-1, 1), true); }, tails);
    scene::expectThrow<BadParams>([&] { t.set(D(0.2, 0.4), P(1, 1), true); }, range);
    EXPECT_EQ(t.tailFractions(), D(0.2, 0.4));
    EXPECT_FALSE(t.keepMaskedPixels());
}

TEST(Parameters, ImageSettersCopyOrShare) {
    vkPelBuffer<std::uint8_t> img(4, 4);
    vkImageNormalizer t;
    t.referenceImage(img, false);
    t.maskImage(img, true);
    img.set(P(1, 1), 200);
    EXPECT_EQ(P(t.referenceImage().get(P(1, 1)), t.maskImage().get(P(1, 1))), P(200, 0));  // shared, copied
}
