#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "imgnorm/global_maps.h"

using namespace imgnorm_detail;
using Table = std::vector<std::uint8_t>;

namespace {

std::vector<std::uint32_t> hist(std::initializer_list<std::pair<int, std::uint32_t>> bins) {
    std::vector<std::uint32_t> h(256, 0);
    for (auto [v, c] : bins) h[static_cast<size_t>(v)] = c;
    return h;
}

// The table as runs: (first level, value) at every change of value.
std::vector<std::pair<int, int>> runs(const Table& t) {
    std::vector<std::pair<int, int>> r;
    for (size_t i = 0; i < t.size(); ++i)
        if (i == 0 || t[i] != t[i - 1]) r.emplace_back(int(i), t[i]);
    return r;
}

Table identity() {
    Table t(256);
    std::iota(t.begin(), t.end(), std::uint8_t{0});
    return t;
}

}  // namespace

TEST(MatchHistogram, MapsCumulativeCountsOntoEachOtherAndFillsGapsFromBelow) {
    const auto occupied = hist({{3, 5}, {40, 7}, {41, 1}, {250, 9}});
    const struct {
        const char* what;
        std::vector<std::uint32_t> ref, run;
        std::vector<std::pair<int, int>> expected;
    } cases[] = {
        {"equal totals", hist({{50, 100}, {200, 100}}), hist({{10, 100}, {20, 100}}), {{0, 0}, {10, 50}, {20, 200}}},
        {"larger run-time total", hist({{50, 100}, {200, 100}}), hist({{10, 150}, {20, 150}}), {{0, 0}, {10, 200}, {20, 255}}},
        {"identical", occupied, occupied, {{0, 0}, {3, 3}, {40, 40}, {41, 41}, {250, 250}}},
    };
    for (const auto& c : cases) {
        Table t;
        std::string msg;
        matchHistogram(c.ref, c.run, t, msg);
        ASSERT_EQ(t.size(), 256u) << c.what;
        EXPECT_EQ(runs(t), c.expected) << c.what;
        EXPECT_TRUE(msg.empty()) << c.what;
    }
}

TEST(GlobalMaps, MapsThatCannotBeBuiltLeaveAnEmptyTableAndSayWhy) {
    const vkHistoStats twoLevels(hist({{20, 5}, {220, 5}})), oneLevel(hist({{60, 10}}));
    const std::function<void(Table&, std::string&)> calls[] = {
        [](Table& t, std::string& m) { matchHistogram(hist({}), hist({{10, 1}}), t, m); },
        [](Table& t, std::string& m) { matchHistogram(hist({{10, 1}}), hist({}), t, m); },
        [&](Table& t, std::string& m) { matchMeanAndStddev(twoLevels, oneLevel, t, m); },
        [&](Table& t, std::string& m) { matchHistogramTails(twoLevels, oneLevel, {0, 100}, t, m); }};
    const char* messages[] = {"Cannot match histogram if either is empty.", "Cannot match histogram if either is empty.",
                              "Cannot match when standard deviation is 0.", "Cannot match the specified tails for this image."};
    for (int i = 0; i < 4; ++i) {
        Table t(3);
        std::string msg;
        calls[i](t, msg);
        EXPECT_TRUE(t.empty()) << i;
        EXPECT_EQ(msg, messages[i]);
    }
}

TEST(MatchMeanAndStddev, LinearStretchTruncatesAndClamps) {
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
    EXPECT_TRUE(msg.empty());
}

TEST(MatchHistogramTails, StretchesTheRunTimeRangeOntoTheReferenceRangeAndEqualPercentagesGiveTheIdentity) {
    Table t;
    std::string msg;
    matchHistogramTails(vkHistoStats(hist({{200, 5}})), vkHistoStats(hist({{7, 5}})), {30, 30}, t, msg);
    EXPECT_EQ(t, identity());
    // Gain 2, offset -100.
    matchHistogramTails(vkHistoStats(hist({{20, 5}, {220, 5}})), vkHistoStats(hist({{60, 5}, {160, 5}})), {0, 100}, t, msg);
    EXPECT_EQ(std::vector<int>({t[10], t[60], t[110], t[160], t[250]}), std::vector<int>({0, 20, 120, 220, 255}));
    EXPECT_TRUE(msg.empty());
}

TEST(TailPercents, RoundHalvesAwayFromZero) {
    EXPECT_EQ(tailPercents({0.004, 0.996}), vkPair<std::int32_t>(0, 100));
    EXPECT_EQ(tailPercents({0.015, 0.985}), vkPair<std::int32_t>(2, 99));
    EXPECT_EQ(tailPercents({-0.015, 1e300}), vkPair<std::int32_t>(-2, 1000000000));  // loaded, unchecked values
}
