#include <gtest/gtest.h>
#include <imgnorm/histostats.h>

#include <cmath>

namespace {
std::vector<std::uint32_t> hist(std::initializer_list<std::pair<int, std::uint32_t>> bins) {
    std::vector<std::uint32_t> h(256, 0);
    for (auto [v, c] : bins) h[static_cast<size_t>(v)] = c;
    return h;
}
}  // namespace

TEST(HistoStats, MeanAndPopulationDeviation) {
    vkHistoStats s(hist({{50, 100}, {150, 100}}));
    EXPECT_EQ(s.nSamp(), 200u);
    EXPECT_DOUBLE_EQ(s.mean(), 100.0);
    EXPECT_DOUBLE_EQ(s.sDev(), 50.0);
}

TEST(HistoStats, SingleLevelHasExactlyZeroDeviation) {
    vkHistoStats s(hist({{77, 4000000000u}}));
    EXPECT_EQ(s.sDev(), 0.0);
    EXPECT_DOUBLE_EQ(s.mean(), 77.0);
}

TEST(HistoStats, EmptyHistogramHasNoSamples) {
    EXPECT_EQ(vkHistoStats().nSamp(), 0u);
    vkHistoStats zeros(std::vector<std::uint32_t>(256, 0));
    EXPECT_EQ(zeros.nSamp(), 0u);
    EXPECT_EQ(zeros.mean(), 0.0);
    EXPECT_EQ(zeros.sDev(), 0.0);
    EXPECT_EQ(zeros.inverseCum(50), 0);
}

TEST(HistoStats, InverseCumSpansOccupiedLevels) {
    vkHistoStats s(hist({{10, 25}, {20, 25}, {30, 50}}));
    EXPECT_EQ(s.inverseCum(0), 10);  // smallest occupied level
    EXPECT_EQ(s.inverseCum(25), 10);
    EXPECT_EQ(s.inverseCum(26), 20);
    EXPECT_EQ(s.inverseCum(50), 20);
    EXPECT_EQ(s.inverseCum(51), 30);
    EXPECT_EQ(s.inverseCum(100), 30);  // largest occupied level
    EXPECT_EQ(s.inverseCum(-5), 10);
    EXPECT_EQ(s.inverseCum(400), 30);
}

TEST(HistoStats, InverseCumNeverDecreases) {
    std::vector<std::uint32_t> h(256);
    for (size_t i = 0; i < 256; ++i) h[i] = static_cast<std::uint32_t>((i * 7919) % 13);
    vkHistoStats s(h);
    for (int p = 1; p <= 100; ++p) EXPECT_LE(s.inverseCum(p - 1), s.inverseCum(p));
}
