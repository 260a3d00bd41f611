#include <gtest/gtest.h>

#include "imgnorm/local_model.h"
#include "support/images.h"

using namespace imgnorm_detail;
using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using Img = vkPelBuffer<std::uint8_t>;

TEST(ReducedNeighborhood, DividesByGranularityAndStaysOdd) {
    const std::pair<P, P> cases[] = {{P(1, 1), P(101, 101)}, {P(2, 2), P(51, 51)}, {P(4, 4), P(25, 25)}, {P(3, 1), P(33, 101)}};
    for (auto [g, expected] : cases) EXPECT_EQ(reducedNeighborhood({101, 101}, g), expected) << g.x() << "," << g.y();
    EXPECT_EQ(reducedNeighborhood({100, 8}, {4, 1}), P(25, 9));
    EXPECT_THROW(reducedNeighborhood({5, 5}, {0, 1}), vkAssertionFailure);
}

TEST(GaussKernelSize, MatchesTheNeighbourhoodExtent) {
    const std::pair<int, int> table[] = {{1, 0},   {3, 2},   {5, 4},   {7, 4},    {9, 6},    {11, 6},  {15, 8},
                                         {21, 12}, {25, 14}, {31, 16}, {51, 26}, {101, 52}, {201, 102}, {255, 128}};
    for (auto [n, k] : table) EXPECT_EQ(gaussKernelSize({n, 1}), P(k, 0)) << "neighbourhood " << n;
}

TEST(GaussianLocalMean, ConstantImageGivesExactWeightsAndKeepsTransforms) {
    Img src(vkPelRect(5, 7, 40, 30));
    vfPelSet<std::uint8_t>(src, 255);
    src.clientFromImageXform(vkXform<2>::translation(100, 200));
    const vkXformHandle before = src.imageFromClientXformBase();
    vkPelBuffer<std::uint16_t> out;
    gaussianLocalMean(src, {11, 11}, out);
    EXPECT_EQ(src.imageFromClientXformBase(), before);
    EXPECT_EQ(out.imageFromClientXformBase(), before);
    EXPECT_EQ(out.window(), src.window());
    for (auto v : testimg::pixels<std::uint16_t>(out)) ASSERT_EQ(v, 255 * 128);
}

TEST(TrainMasks, BinaryMaskTreatsEveryNonZeroValueAsIncludedAndWeightsOnlyForTheMean) {
    Img b(3, 3), r(3, 3);
    vkPelBuffer<std::uint16_t> w(3, 3);
    trainMasks(static_cast<Method>(63), Img(), {5, 5}, {2, 2}, b, r, w);
    EXPECT_FALSE(b.isBound() || r.isBound() || w.isBound());  // no mask
    auto mask = testimg::fromRows<std::uint8_t>(4, 2, {0, 1, 255, 7, 0, 0, 128, 1});
    mask.offset(10, 20);
    trainMasks(eMatchHistogram, mask, {5, 5}, {1, 1}, b, r, w);
    EXPECT_EQ(b.window(), mask.window());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(b), (std::vector<std::uint8_t>{0, 255, 255, 255, 0, 0, 255, 255}));
    EXPECT_FALSE(r.isBound());  // granularity (1, 1)
    EXPECT_FALSE(w.isBound());  // eLocalCorrection not trained
}

TEST(TrainMasks, FullResolutionWeightsAreTheSmoothedBinaryMask) {
    auto gen = testimg::rng(3);
    const auto mask = testimg::random<std::uint8_t>(37, 23, gen, 0, 3);
    Img b, r;
    vkPelBuffer<std::uint16_t> w, expect;
    trainMasks(eLocalCorrection, mask, {9, 9}, {1, 1}, b, r, w);
    ASSERT_TRUE(w.isBound());
    EXPECT_FALSE(r.isBound());
    Img copy = vfPelCopy<std::uint8_t>(b);
    gaussianLocalMean(copy, {9, 9}, expect);
    EXPECT_EQ(testimg::pixels<std::uint16_t>(w), testimg::pixels<std::uint16_t>(expect));
}

TEST(TrainMasks, ReducedMaskIsBinaryOnTheGranularityGridAndDilated) {
    // Left half excluded, right half included.
    Img mask(40, 12), right = mask;
    right.window(vkPelRect(20, 0, 20, 12));
    vfPelSet<std::uint8_t>(right, 255);
    for (P g : {P(2, 2), P(3, 1)}) {
        Img b, r;
        vkPelBuffer<std::uint16_t> w;
        trainMasks(eLocalCorrectionEnhanced, mask, {15, 15}, g, b, r, w);
        ASSERT_TRUE(r.isBound());
        EXPECT_FALSE(w.isBound());  // only eLocalCorrection needs weights
        EXPECT_EQ(P(r.width(), r.height()), P((40 + g.x() - 1) / g.x(), (12 + g.y() - 1) / g.y()));
        for (std::int32_t y = 0; y < r.height(); ++y)
            for (std::int32_t x = 0; x < r.width(); ++x) {
                // Blocks well inside either half keep their value; the
                // dilation widens the included half by one reduced pixel.
                const auto v = testimg::at<std::uint8_t>(r, x, y);
                const double centre = (x + 0.5) * g.x();
                ASSERT_TRUE(v == 0 || v == 255);
                const bool edge = centre >= 20 - 2.0 * g.x() && centre <= 20;
                EXPECT_TRUE(edge || v == (centre > 20 ? 255 : 0)) << x;
            }
    }
}
