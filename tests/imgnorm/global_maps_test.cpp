#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <random>

#include "imgnorm/global_maps.h"

using namespace imgnorm_detail;
using Table = std::vector<std::uint8_t>;

namespace {

std::vector<std::uint32_t> hist(std::initializer_list<std::pair<int, std::uint32_t>> bins) {
    std::vector<std::uint32_t> h(256, 0);
    for (auto [v, c] : bins) h[static_cast<size_t>(v)] = c;
    return h;
}

Table identity() {
    Table t(256);
    std::iota(t.begin(), t.end(), std::uint8_t{0});
    return t;
}

}  // namespace

// Each level maps to the first reference level whose count reaches the end
// of the level's share, in raw counts: sparse random histograms with unequal
// totals, every fifth pair identical, the top level always occupied in the
// reference. (On deep images the map is the midpoint map of the pixel
// functions, checked there and through the deep tool.)
TEST(MatchHistogram, MapsEachLevelToTheFirstReferenceLevelReachingTheEndOfItsShare) {
    std::mt19937 gen(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::uint32_t> ref(256), run(256);
        for (auto* h : {&ref, &run})
            for (auto& count : *h) count = gen() % 4 ? 0 : gen() % 100;
        ref.back() += 1;
        if (round % 5 == 0) run = ref;
        Table expected, t;
        std::uint64_t runSum = 0;
        for (size_t i = 0; i < 256; ++i) {
            runSum += run[i];
            std::uint64_t refSum = 0;
            size_t j = 0;
            while (j < 255 && refSum + ref[j] < runSum)
                refSum += ref[j++];
            expected.push_back(runSum == 0 ? 0 : std::uint8_t(j));
        }
        std::string msg;
        matchHistogram(ref, run, t, msg);
        EXPECT_EQ(t, expected) << "round " << round;
        EXPECT_TRUE(msg.empty());
    }
}

TEST(GlobalMaps, MapsThatCannotBeBuiltLeaveAnEmptyTableAndSayWhy) {
    const vkHistoStats twoLevels(hist({{20, 5}, {220, 5}})), oneLevel(hist({{60, 10}}));
    const std::function<void(Table&, std::string&)> calls[] = {
        [](Table& t, std::string& m) { matchHistogram(hist({}), hist({{10, 1}}), t, m); },
        [&](Table& t, std::string& m) { matchMeanAndStddev(twoLevels, oneLevel, t, m); },
        [&](Table& t, std::string& m) { matchHistogramTails(twoLevels, oneLevel, {0, 100}, t, m); }};
    const char* messages[] = {"Cannot match histogram if either is empty.", "Cannot match when standard deviation is 0.",
                              "Cannot match the specified tails for this image."};
    for (int i = 0; i < 3; ++i) {
        Table t(3);
        std::string msg;
        calls[i](t, msg);
        EXPECT_TRUE(t.empty()) << i;
        EXPECT_EQ(msg, messages[i]);
    }
}

TEST(LinearStretches, TruncateAndClampAndEqualStatisticsOrPercentagesGiveTheIdentity) {
    Table t;
    std::string msg;
    const vkHistoStats s(hist({{20, 3}, {90, 5}, {200, 2}}));
    matchMeanAndStddev(s, s, t, msg);
    EXPECT_EQ(t, identity());
    // Mean 100, deviation 20 against mean 50, deviation 10: gain 2, offset 0.
    matchMeanAndStddev(vkHistoStats(hist({{80, 10}, {120, 10}})), vkHistoStats(hist({{40, 10}, {60, 10}})), t, msg);
    EXPECT_EQ(std::vector<int>({t[50], t[127], t[200]}), std::vector<int>({100, 254, 255}));
    // Gain 0.5, offset 64: odd levels land on halves, which truncate down.
    matchMeanAndStddev(vkHistoStats(hist({{64, 1}, {66, 1}})), vkHistoStats(hist({{0, 1}, {4, 1}})), t, msg);
    EXPECT_EQ(std::vector<int>({t[1], t[3]}), std::vector<int>({64, 65}));
    matchHistogramTails(vkHistoStats(hist({{200, 5}})), vkHistoStats(hist({{7, 5}})), {30, 30}, t, msg);
    EXPECT_EQ(t, identity());
    // The run-time range 60..160 onto the reference's 20..220: gain 2, offset -100.
    matchHistogramTails(vkHistoStats(hist({{20, 5}, {220, 5}})), vkHistoStats(hist({{60, 5}, {160, 5}})), {0, 100}, t, msg);
    EXPECT_EQ(std::vector<int>({t[10], t[60], t[110], t[160], t[250]}), std::vector<int>({0, 20, 120, 220, 255}));
    EXPECT_TRUE(msg.empty());
    // 16-bit levels: the same stretch in levels times 256 clamps at 65535.
    std::vector<std::uint32_t> ref(65536), run(65536);
    ref[20 * 256] = ref[220 * 256] = run[60 * 256] = run[160 * 256] = 5;
    std::vector<std::uint16_t> deep;
    matchHistogramTails(vkHistoStats(ref), vkHistoStats(run), {0, 100}, deep, msg);
    ASSERT_EQ(deep.size(), 65536u);
    EXPECT_EQ(std::vector<int>({deep[10 * 256], deep[110 * 256 + 1], deep[250 * 256], deep[65535]}),
              std::vector<int>({0, 120 * 256 + 2, 65535, 65535}));
    matchMeanAndStddev(vkHistoStats(ref), vkHistoStats(run), deep, msg);
    EXPECT_EQ(std::vector<int>({deep[10 * 256], deep[65535]}), std::vector<int>({0, 65535}));
    EXPECT_TRUE(msg.empty());
}

TEST(TailPercents, RoundHalvesAwayFromZero) {
    EXPECT_EQ(tailPercents({0.004, 0.996}), vkPair<std::int32_t>(0, 100));
    EXPECT_EQ(tailPercents({0.015, 0.985}), vkPair<std::int32_t>(2, 99));
    EXPECT_EQ(tailPercents({-0.015, 1e300}), vkPair<std::int32_t>(-2, 1000000000));  // loaded, unchecked values
}
