#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/images.h"

using Histogram = std::vector<std::uint32_t>;

namespace {

// Each level's samples, in sorted order, are paired with reference samples
// (both sides repeated to a common count); the map's value for an occupied
// level is the lower median of its partners, the value that moves them least.
std::vector<std::int32_t> pairedMedians(const Histogram& source, const Histogram& reference) {
    std::vector<std::int32_t> s, r, out(source.size(), -1);
    for (std::size_t i = 0; i < source.size(); ++i)
        for (std::uint32_t k = 0; k < source[i]; ++k)
            s.push_back(std::int32_t(i));
    for (std::size_t j = 0; j < reference.size(); ++j)
        for (std::uint32_t k = 0; k < reference[j]; ++k)
            r.push_back(std::int32_t(j));
    std::vector<std::int32_t> sr, rs;  // s repeated |r| times, r repeated |s| times
    for (auto v : s)
        sr.insert(sr.end(), r.size(), v);
    for (auto v : r)
        rs.insert(rs.end(), s.size(), v);
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (source[i] == 0) continue;
        const auto a =
            std::size_t(std::lower_bound(sr.begin(), sr.end(), std::int32_t(i)) - sr.begin());
        const auto b =
            std::size_t(std::upper_bound(sr.begin(), sr.end(), std::int32_t(i)) - sr.begin());
        out[i] = rs[(a + b - 1) / 2];
    }
    return out;
}

}  // namespace

TEST(MidpointHistogramMap, OccupiedLevelsGoToTheMedianOfTheirShareMonotonicallyOntoOccupiedLevels) {
    auto gen = testimg::rng(7);
    for (int round = 0; round < 200; ++round) {
        std::uniform_int_distribution<int> bins(1, 12), count(0, 4);
        Histogram source(std::size_t(bins(gen))), reference(std::size_t(bins(gen)));
        for (auto& c : source)
            c = std::uint32_t(count(gen) * count(gen) / 2);
        for (auto& c : reference)
            c = std::uint32_t(count(gen) * count(gen) / 2);
        source[std::size_t(round) % source.size()] += 1;
        reference[std::size_t(round) % reference.size()] += 1;
        SCOPED_TRACE(round);
        std::vector<std::uint8_t> map;
        vf_MidpointHistogramMap(source, reference, map);
        ASSERT_EQ(map.size(), source.size());
        const auto want = pairedMedians(source, reference);
        for (std::size_t i = 0; i < map.size(); ++i) {
            if (want[i] >= 0) {
                EXPECT_EQ(map[i], want[i]) << "level " << i;
            }
            EXPECT_GT(reference[map[i]], 0u) << "level " << i;
            EXPECT_LE(map[i > 0 ? i - 1 : 0], map[i]);
        }
    }
}

TEST(MidpointHistogramMap, ExactForTheLargestCountsOnSixteenBitLevels) {
    const std::uint32_t c = 0xFFFFFFFFu;
    std::vector<std::uint16_t> map;
    vf_MidpointHistogramMap(Histogram{c, 1, c}, Histogram(65536, c), map);
    EXPECT_EQ(map, (std::vector<std::uint16_t>{16383, 32767, 49152}));
}

TEST(MidpointHistogramMap, RefusesBadHistogramsLeavingTheMap) {
    std::vector<std::uint8_t> map{9};
    for (const auto& [source, reference] :
         std::vector<std::pair<Histogram, Histogram>>{{{}, {1}},
                                                      {{1}, {}},
                                                      {{0, 0}, {1}},
                                                      {{1}, {0}},
                                                      {{1}, Histogram(257, 1)},
                                                      {Histogram(65537, 1), {1}}})
        EXPECT_THROW(vf_MidpointHistogramMap(source, reference, map), vkPelFunc::BadParams);
    EXPECT_EQ(map, std::vector<std::uint8_t>{9});
    std::vector<std::uint16_t> deep;
    EXPECT_NO_THROW(vf_MidpointHistogramMap(Histogram{1}, Histogram(65536, 1), deep));
}
