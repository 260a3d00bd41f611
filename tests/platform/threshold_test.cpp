#include <gtest/gtest.h>

#include <imgnorm/exception.h>
#include <imgnorm/threshold.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

__extension__ typedef __int128 I128;

using Histogram = std::vector<std::uint32_t>;

std::int32_t otsu(const Histogram& h, std::int32_t first = 0, std::int32_t last = -1) {
    vkThresholdResult r;
    vfThresholdWGV(h, r, first, last);
    return r.threshold();
}

// Brute force over every threshold t in first..last: the within-group sum of
// squares sum(x^2) - SA^2/nA - SB^2/nB is smallest where SA^2/nA + SB^2/nB is
// largest; fractions are compared exactly by cross-multiplication. Ties keep
// the smallest t. Fewer than two occupied levels: that level, or first.
std::int32_t bruteForce(const Histogram& h, std::int32_t first, std::int32_t last) {
    std::vector<std::int32_t> occupied;
    for (std::int32_t v = first; v <= last; ++v)
        if (h[static_cast<std::size_t>(v)] != 0) occupied.push_back(v);
    if (occupied.empty()) return first;
    if (occupied.size() == 1) return occupied[0];
    std::int32_t best = -1;
    I128 bestNum = 0, bestDen = 1;
    for (std::int32_t t = first; t <= last; ++t) {
        I128 nA = 0, sA = 0, nB = 0, sB = 0;
        for (std::int32_t v = first; v <= last; ++v) {
            const I128 c = h[static_cast<std::size_t>(v)];
            if (v < t) {
                nA += c;
                sA += c * v;
            } else {
                nB += c;
                sB += c * v;
            }
        }
        if (nA == 0 || nB == 0) continue;
        const I128 num = sA * sA * nB + sB * sB * nA, den = nA * nB;
        if (best < 0 || num * bestDen > bestNum * den) {
            best = t;
            bestNum = num;
            bestDen = den;
        }
    }
    return best;
}

Histogram randomHistogram(std::mt19937& gen, std::uint32_t maxCount, int occupiedPercent) {
    Histogram h(256);
    std::uniform_int_distribution<std::uint32_t> count(1, maxCount);
    std::uniform_int_distribution<int> pct(0, 99);
    for (auto& c : h) c = pct(gen) < occupiedPercent ? count(gen) : 0;
    return h;
}

}  // namespace

TEST(ThresholdWGV, MatchesBruteForceOnRandomHistograms) {
    for (std::uint32_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 gen(seed);
        // Dense, sparse and nearly empty histograms, small and large counts.
        const int occupied[] = {100, 30, 3};
        const Histogram h = randomHistogram(gen, seed % 2 ? 5 : 1000, occupied[seed % 3]);
        EXPECT_EQ(otsu(h), bruteForce(h, 0, 255));
    }
}

TEST(ThresholdWGV, BimodalHistogramSplitsBetweenTheModes) {
    Histogram h(256);
    for (int v = 30; v <= 50; ++v) h[static_cast<std::size_t>(v)] = 100;
    for (int v = 190; v <= 210; ++v) h[static_cast<std::size_t>(v)] = 100;
    EXPECT_EQ(otsu(h), 51);  // the smallest threshold of the empty gap 51..190
}

TEST(ThresholdWGV, EqualOptimaGiveTheSmallestThreshold) {
    // Levels 0, 1, 2 once each: splitting after 0 or after 1 is equally good.
    Histogram h(256);
    h[0] = h[1] = h[2] = 1;
    EXPECT_EQ(otsu(h), 1);
    EXPECT_EQ(bruteForce(h, 0, 255), 1);
}

TEST(ThresholdWGV, SingleOccupiedLevelGivesThatLevel) {
    Histogram h(256);
    h[77] = 12345;
    EXPECT_EQ(otsu(h), 77);
    h.assign(256, 0);
    h[0] = 1;
    EXPECT_EQ(otsu(h), 0);
    h.assign(256, 0);
    h[255] = 1;
    EXPECT_EQ(otsu(h), 255);
}

TEST(ThresholdWGV, EmptyHistogramGivesFirstBin) {
    EXPECT_EQ(otsu(Histogram(256, 0)), 0);
    EXPECT_EQ(otsu(Histogram()), 0);
    EXPECT_EQ(otsu(Histogram(256, 0), 40, 90), 40);
}

TEST(ThresholdWGV, BinsOutsideTheRangeAreIgnored) {
    for (std::uint32_t seed = 100; seed < 120; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 gen(seed);
        const Histogram h = randomHistogram(gen, 50, 40);
        std::uniform_int_distribution<std::int32_t> bin(0, 255);
        std::int32_t a = bin(gen), b = bin(gen);
        if (a > b) std::swap(a, b);
        EXPECT_EQ(otsu(h, a, b), bruteForce(h, a, b));
        EXPECT_EQ(otsu(h, a, -1), bruteForce(h, a, 255));
    }
    // A last bin beyond the histogram counts as empty bins.
    Histogram small{0, 4, 0, 4};
    EXPECT_EQ(otsu(small, 0, 300), 2);
}

TEST(ThresholdWGV, HugeCountsDoNotOverflow) {
    // Scaling every count by the same factor leaves the optimum where it was;
    // counts close to 2^32 in every bin overflow any 64-bit evaluation.
    for (std::uint32_t seed = 200; seed < 220; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 gen(seed);
        const Histogram h = randomHistogram(gen, 1000, 100);
        std::uint32_t maxCount = 0;
        for (auto c : h) maxCount = std::max(maxCount, c);
        Histogram scaled(h);
        for (auto& c : scaled) c *= 0xFFFFFFFFu / maxCount;
        EXPECT_EQ(otsu(scaled), bruteForce(h, 0, 255));
    }
}

TEST(ThresholdWGV, BadRangeThrowsAndLeavesTheResult) {
    const Histogram h(256, 1);
    vkThresholdResult r;
    r.threshold(-7);
    EXPECT_THROW(vfThresholdWGV(h, r, -1, -1), vkPelFunc::BadParams);
    EXPECT_THROW(vfThresholdWGV(h, r, 0, -2), vkPelFunc::BadParams);
    EXPECT_THROW(vfThresholdWGV(h, r, 10, 9), vkPelFunc::BadParams);
    EXPECT_THROW(vfThresholdWGV(Histogram(65537, 1), r, 0, -1), vkPelFunc::BadParams);
    EXPECT_EQ(r.threshold(), -7);
}
