#include <gtest/gtest.h>
#include <imgnorm/histostats.h>

// Means and deviations of mixed histograms are checked with the tool's maps.
TEST(HistoStats, InverseCumStaysWithinOccupiedLevelsAndOneOrNoLevelIsExact) {
    std::vector<std::uint32_t> h(256, 0);
    h[10] = h[20] = 25;
    h[30] = 50;
    const std::pair<int, int> cases[] = {{-5, 10}, {0, 10},  {25, 10},  {26, 20},
                                         {50, 20}, {51, 30}, {100, 30}, {400, 30}};
    for (auto [percent, level] : cases)
        EXPECT_EQ(vkHistoStats(h).inverseCum(percent), level) << percent;
    h.assign(256, 0);
    EXPECT_TRUE(vkHistoStats(h).nSamp() == 0 && vkHistoStats(h).sDev() == 0.0 &&
                vkHistoStats(h).inverseCum(50) == 0);
    h[77] = 4000000000u;
    EXPECT_TRUE(vkHistoStats(h).mean() == 77.0 && vkHistoStats(h).sDev() == 0.0);
}
