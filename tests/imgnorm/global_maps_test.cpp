#include <gtest/gtest.h>

#include "imgnorm/global_maps.h"

using namespace imgnorm_detail;

namespace {

std::vector<std::uint32_t> hist(std::initializer_list<std::pair<int, std::uint32_t>> bins) {
    std::vector<std::uint32_t> h(256, 0);
    for (auto [v, c] : bins) h[static_cast<size_t>(v)] = c;
    return h;
}

void expectRange(const std::vector<std::uint8_t>& t, int from, int to, int value) {
    for (int i = from; i <= to; ++i) EXPECT_EQ(t[static_cast<size_t>(i)], value) << "level " << i;
}

}  // namespace

TEST(MatchHistogram, EqualTotalsMapCumulativeCountsOntoEachOther) {
    std::vector<std::uint8_t> t;
    std::string msg;
    matchHistogram(hist({{50, 100}, {200, 100}}), hist({{10, 100}, {20, 100}}), t, msg);
    ASSERT_EQ(t.size(), 256u);
    expectRange(t, 0, 9, 0);
    expectRange(t, 10, 19, 50);
    expectRange(t, 20, 255, 200);
    EXPECT_TRUE(msg.empty());
}

TEST(MatchHistogram, LargerRunTimeTotalRunsPastTheReference) {
    std::vector<std::uint8_t> t;
    std::string msg;
    matchHistogram(hist({{50, 100}, {200, 100}}), hist({{10, 150}, {20, 150}}), t, msg);
    expectRange(t, 10, 19, 200);
    expectRange(t, 20, 255, 255);
}

TEST(MatchHistogram, IdenticalHistogramsKeepOccupiedLevelsAndFillGapsFromBelow) {
    auto h = hist({{3, 5}, {40, 7}, {41, 1}, {250, 9}});
    std::vector<std::uint8_t> t;
    std::string msg;
    matchHistogram(h, h, t, msg);
    EXPECT_EQ(t[3], 3);
    EXPECT_EQ(t[40], 40);
    EXPECT_EQ(t[41], 41);
    EXPECT_EQ(t[250], 250);
    expectRange(t, 4, 39, 3);
    expectRange(t, 42, 249, 41);
}

TEST(MatchHistogram, EitherHistogramEmptyFailsWithEmptyTable) {
    std::vector<std::uint8_t> t(3);
    std::string msg;
    matchHistogram(hist({}), hist({{10, 1}}), t, msg);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(msg, "Cannot match histogram if either is empty.");
    msg.clear();
    matchHistogram(hist({{10, 1}}), hist({}), t, msg);
    EXPECT_EQ(msg, "Cannot match histogram if either is empty.");
}

TEST(MatchMeanAndStddev, EqualStatisticsGiveTheIdentity) {
    vkHistoStats s(hist({{20, 3}, {90, 5}, {200, 2}}));
    std::vector<std::uint8_t> t;
    std::string msg;
    matchMeanAndStddev(s, s, t, msg);
    ASSERT_EQ(t.size(), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(t[static_cast<size_t>(i)], i);
}

TEST(MatchMeanAndStddev, GainTwoOffsetZeroClampsAtTheTop) {
    vkHistoStats ref(hist({{80, 10}, {120, 10}}));  // mean 100, deviation 20
    vkHistoStats run(hist({{40, 10}, {60, 10}}));   // mean 50, deviation 10
    std::vector<std::uint8_t> t;
    std::string msg;
    matchMeanAndStddev(ref, run, t, msg);
    EXPECT_EQ(t[50], 100);
    EXPECT_EQ(t[127], 254);
    EXPECT_EQ(t[200], 255);
}

TEST(MatchMeanAndStddev, FractionsAreTruncatedNotRounded) {
    // gain 0.5, offset 64: odd levels land on halves, which truncate down.
    vkHistoStats ref(hist({{64, 1}, {66, 1}}));   // mean 65, deviation 1
    vkHistoStats run(hist({{0, 1}, {4, 1}}));     // mean 2, deviation 2
    std::vector<std::uint8_t> t;
    std::string msg;
    matchMeanAndStddev(ref, run, t, msg);
    EXPECT_EQ(t[1], 64);   // 64.5 truncated
    EXPECT_EQ(t[3], 65);   // 65.5 truncated
}

TEST(MatchMeanAndStddev, ZeroRunTimeDeviationFails) {
    std::vector<std::uint8_t> t;
    std::string msg;
    matchMeanAndStddev(vkHistoStats(hist({{5, 1}, {9, 1}})), vkHistoStats(hist({{7, 100}})), t, msg);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(msg, "Cannot match when standard deviation is 0.");
}

TEST(MatchHistogramTails, EqualPercentagesGiveTheIdentityEvenForDifferentImages) {
    std::vector<std::uint8_t> t;
    std::string msg;
    matchHistogramTails(vkHistoStats(hist({{200, 5}})), vkHistoStats(hist({{7, 5}})), {30, 30}, t, msg);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(t[static_cast<size_t>(i)], i);
    EXPECT_TRUE(msg.empty());
}

TEST(MatchHistogramTails, StretchesRunTimeRangeOntoReferenceRange) {
    vkHistoStats ref(hist({{20, 5}, {220, 5}}));
    vkHistoStats run(hist({{60, 5}, {160, 5}}));
    std::vector<std::uint8_t> t;
    std::string msg;
    matchHistogramTails(ref, run, {0, 100}, t, msg);  // gain 2, offset -100
    EXPECT_EQ(t[60], 20);
    EXPECT_EQ(t[110], 120);
    EXPECT_EQ(t[160], 220);
    EXPECT_EQ(t[10], 0);
    EXPECT_EQ(t[250], 255);
}

TEST(MatchHistogramTails, SingleRunTimeLevelCannotBeStretched) {
    std::vector<std::uint8_t> t;
    std::string msg;
    matchHistogramTails(vkHistoStats(hist({{20, 5}, {220, 5}})), vkHistoStats(hist({{60, 10}})), {0, 100}, t, msg);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(msg, "Cannot match the specified tails for this image.");
}

TEST(TailPercents, RoundHalvesAwayFromZero) {
    EXPECT_EQ(tailPercents({0.004, 0.996}), vkPair<std::int32_t>(0, 100));
    EXPECT_EQ(tailPercents({0.015, 0.985}), vkPair<std::int32_t>(2, 99));
    EXPECT_EQ(tailPercents({0.0, 1.0}), vkPair<std::int32_t>(0, 100));
    EXPECT_EQ(tailPercents({-0.015, 1e300}), vkPair<std::int32_t>(-2, 1000000000));  // loaded, unchecked values
}
