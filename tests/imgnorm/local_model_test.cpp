#include <gtest/gtest.h>

#include "imgnorm/local_model.h"
#include "scene.h"

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
    Img src = scene::maskOf(vkPelRect(5, 7, 40, 30), vkPelRect(5, 7, 40, 30));
    src.clientFromImageXform(vkXform<2>::translation(100, 200));
    const vkXformHandle before = src.imageFromClientXformBase();
    vkPelBuffer<std::uint16_t> out;
    gaussianLocalMean(src, {11, 11}, out);
    EXPECT_TRUE(src.imageFromClientXformBase() == before && out.imageFromClientXformBase() == before);
    EXPECT_EQ(out.window(), src.window());
    for (auto v : testimg::pixels<std::uint16_t>(out)) ASSERT_EQ(v, 255 * 128);
}

// Every non-zero value is included; only the local mean gets weights (the
// smoothed binary mask), and only a granularity a reduced mask, binary on its
// grid: blocks mostly in the included half are included, and the dilation
// adds the block next to them.
TEST(TrainMasks, BinaryReducedAndWeightMasksForEachMethodAndGranularity) {
    Img b, r;
    vkPelBuffer<std::uint16_t> w, expect;
    auto mask = testimg::fromRows<std::uint8_t>(4, 2, {0, 1, 255, 7, 0, 0, 128, 1});
    mask.offset(10, 20);
    trainMasks(eMatchHistogram, mask, {5, 5}, {1, 1}, b, r, w);
    EXPECT_EQ(b.window(), mask.window());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(b), (std::vector<std::uint8_t>{0, 255, 255, 255, 0, 0, 255, 255}));
    EXPECT_FALSE(r.isBound() || w.isBound());
    auto gen = testimg::rng(3);
    trainMasks(eLocalCorrection, testimg::random<std::uint8_t>(37, 23, gen, 0, 3), {9, 9}, {1, 1},
               b, r, w);
    ASSERT_TRUE(w.isBound() && !r.isBound());
    Img copy = vfPelCopy<std::uint8_t>(b);
    gaussianLocalMean(copy, {9, 9}, expect);
    EXPECT_EQ(testimg::pixels<std::uint16_t>(w), testimg::pixels<std::uint16_t>(expect));
    const Img halves =
        testimg::fromRows<std::uint8_t>(8, 2, {0, 0, 0, 0, 9, 9, 9, 9, 0, 0, 0, 0, 9, 9, 9, 9});
    const std::pair<P, std::vector<std::uint8_t>> cases[] = {{P(2, 2), {0, 255, 255, 255}},
                                                             {P(3, 1), {255, 255, 255, 255, 255, 255}}};
    for (const auto& [g, expected] : cases) {
        trainMasks(eLocalCorrectionEnhanced, halves, {15, 15}, g, b, r, w);
        EXPECT_FALSE(w.isBound());
        EXPECT_EQ(P(r.width(), r.height()), P((8 + g.x() - 1) / g.x(), (2 + g.y() - 1) / g.y())) << g.x();
        EXPECT_EQ(testimg::pixels<std::uint8_t>(r), expected) << g.x();
    }
}
