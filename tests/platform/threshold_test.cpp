#include <gtest/gtest.h>
#include <imgnorm/exception.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/threshold.h"

namespace {

__extension__ typedef __int128 I128;
using Histogram = std::vector<std::uint32_t>;

std::int32_t otsu(const Histogram& h, std::int32_t first = 0, std::int32_t last = -1) {
    vkThresholdResult r;
    vfThresholdWGV(h, r, first, last);
    return r.threshold();
}

// Every t in first..last: the within-group variance is smallest where
// SA^2/nA + SB^2/nB is largest (exact fractions); ties keep the smallest t.
// Fewer than two occupied levels: that level, or first.
std::int32_t bruteForce(const Histogram& h, std::int32_t first, std::int32_t last) {
    auto count = [&](std::int32_t v) -> I128 {
        return v < std::int32_t(h.size()) ? h[std::size_t(v)] : 0;
    };
    std::vector<std::int32_t> occupied;
    for (std::int32_t v = first; v <= last; ++v)
        if (count(v) != 0) occupied.push_back(v);
    if (occupied.size() < 2) return occupied.empty() ? first : occupied[0];
    std::int32_t best = -1;
    I128 bestNum = 0, bestDen = 1;
    for (std::int32_t t = first; t <= last; ++t) {
        I128 n[2] = {0, 0}, sum[2] = {0, 0};  // below t, at or above t
        for (std::int32_t v = first; v <= last; ++v)
            n[v >= t] += count(v), sum[v >= t] += count(v) * v;
        if (n[0] == 0 || n[1] == 0) continue;
        const I128 num = sum[0] * sum[0] * n[1] + sum[1] * sum[1] * n[0], den = n[0] * n[1];
        if (best < 0 || num * bestDen > bestNum * den) best = t, bestNum = num, bestDen = den;
    }
    return best;
}

}  // namespace

TEST(ThresholdWGV, MatchesBruteForceOnRandomHistogramsAndRangesWithTiesToTheSmallest) {
    // Dense to empty histograms, small and large counts, short histograms,
    // over the whole histogram and over a random range that may pass its end.
    for (std::uint32_t seed = 1; seed <= 100; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 gen(seed);
        const int occupied[] = {100, 30, 3, 1, 0};
        Histogram h(seed % 7 == 0 ? seed % 20 : 256);
        std::uniform_int_distribution<std::uint32_t> count(1, seed % 2 ? 5 : 1000);
        std::uniform_int_distribution<int> pct(0, 99);
        for (auto& c : h)
            c = pct(gen) < occupied[seed % 5] ? count(gen) : 0;
        EXPECT_EQ(otsu(h), bruteForce(h, 0, std::int32_t(h.size()) - 1));
        std::uniform_int_distribution<std::int32_t> bin(0, 300);
        const std::int32_t a = bin(gen), b = bin(gen);
        EXPECT_EQ(otsu(h, std::min(a, b), std::max(a, b)),
                  bruteForce(h, std::min(a, b), std::max(a, b)));
        // Scaling every count by the same factor leaves the optimum where it
        // was; counts close to 2^32 overflow any 64-bit evaluation.
        if (h.empty() || *std::max_element(h.begin(), h.end()) == 0) continue;
        Histogram scaled(h);
        for (auto& c : scaled)
            c *= 0xFFFFFFFFu / *std::max_element(h.begin(), h.end());
        EXPECT_EQ(otsu(scaled), otsu(h));
    }
    // Equal optima give the smallest threshold, a gap its lowest split.
    EXPECT_EQ(otsu(Histogram{1, 1, 1}), 1);
    Histogram gap(256, 0);
    gap[40] = gap[190] = 100;
    EXPECT_TRUE(otsu(gap) == 41 && otsu(gap, 100, 150) == 100 && otsu(Histogram()) == 0);
}

TEST(ThresholdWGV, BadRangeThrowsAndLeavesTheResult) {
    vkThresholdResult r;
    r.threshold(-7);
    for (auto [first, last] : {std::pair{-1, -1}, {0, -2}, {10, 9}})
        EXPECT_THROW(vfThresholdWGV(Histogram(256, 1), r, first, last), vkPelFunc::BadParams);
    EXPECT_THROW(vfThresholdWGV(Histogram(65537, 1), r, 0, -1), vkPelFunc::BadParams);
    EXPECT_EQ(r.threshold(), -7);
}
