#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
using testimg::pixels;
using Workspace = std::vector<std::int64_t>;

namespace {

// Breadth-first search over the 8 neighbours, on a row-major copy of a
// w x h window: every pixel connected to the seed through pixels of the
// seed's value takes the new value.
std::vector<Pel> naiveFill(std::vector<Pel> v, std::int32_t w, std::int32_t h, P seed, Pel value) {
    auto idx = [w](std::int32_t x, std::int32_t y) { return static_cast<std::size_t>(y * w + x); };
    const Pel old = v[idx(seed.x(), seed.y())];
    std::vector<bool> seen(v.size(), false);
    std::deque<P> queue{seed};
    seen[idx(seed.x(), seed.y())] = true;
    while (!queue.empty()) {
        const P p = queue.front();
        queue.pop_front();
        v[idx(p.x(), p.y())] = value;
        for (std::int32_t dy = -1; dy <= 1; ++dy)
            for (std::int32_t dx = -1; dx <= 1; ++dx) {
                const std::int32_t x = p.x() + dx, y = p.y() + dy;
                if (x < 0 || y < 0 || x >= w || y >= h || seen[idx(x, y)] || v[idx(x, y)] != old) continue;
                seen[idx(x, y)] = true;
                queue.push_back(P(x, y));
            }
    }
    return v;
}

// Fills img (a window, possibly inside larger storage) from the window
// position seed and checks the whole storage against the naive fill of the
// window and the unchanged pixels around it.
void expectFillMatchesNaive(const vkPelBuffer<Pel>& img, P seed, Pel value, Workspace& ws) {
    vkPelBuffer<Pel> all(img);
    all.setEntire();
    const auto before = pixels<Pel>(all);
    const auto expectedWindow = naiveFill(pixels<Pel>(img), img.width(), img.height(), seed, value);
    vf_FloodFill(img, img.offset() + seed, value, ws);
    ASSERT_EQ(pixels<Pel>(img), expectedWindow);
    const auto after = pixels<Pel>(all);
    for (std::int32_t y = 0; y < all.height(); ++y)
        for (std::int32_t x = 0; x < all.width(); ++x) {
            const auto i = static_cast<std::size_t>(y * all.width() + x);
            if (!img.window().contains(all.offset() + P(x, y))) {
                ASSERT_EQ(after[i], before[i]) << "outside the window at " << x << "," << y;
            }
        }
}

std::string shapeTrace(std::int32_t w, std::int32_t h, std::uint32_t seed) {
    return std::to_string(w) + "x" + std::to_string(h) + " seed " + std::to_string(seed);
}

}  // namespace

TEST(FloodFill, MatchesBreadthFirstSearchOnRandomImages) {
    Workspace ws;
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 16, 17, 40}) {
        for (std::int32_t h : {1, 2, 3, 9, 31}) {
            for (std::uint32_t density : {1u, 2u, 4u}) {
                const std::uint32_t seed = static_cast<std::uint32_t>(w * 1000 + h * 10) + density;
                SCOPED_TRACE(shapeTrace(w, h, seed));
                auto gen = testimg::rng(seed);
                // Values 0..density: mazes of the old value 0 at different
                // densities. The surroundings also hold 0, so a fill that
                // leaks out of the window would show.
                auto img = testimg::embedded<Pel>(testimg::random<Pel>(w, h, gen, 0, density), 3, 0, P(5, -7));
                std::uniform_int_distribution<std::int32_t> dx(0, w - 1), dy(0, h - 1);
                P s(dx(gen), dy(gen));
                img.set(img.offset() + s, 0);
                expectFillMatchesNaive(img, s, 200, ws);
            }
        }
    }
}

TEST(FloodFill, KeepsEveryPendingEntryWithAWorkspaceOfExactlyTheWindowArea) {
    // Uniform windows, every seed, on the shapes where a work queue of
    // exactly W x H entries that admits duplicates would overflow.
    const P shapes[] = {P(1, 1), P(2, 2), P(5, 8), P(6, 5), P(1, 7), P(7, 1), P(3, 3)};
    for (const P& shape : shapes) {
        const std::int32_t w = shape.x(), h = shape.y();
        for (std::int32_t sy = 0; sy < h; ++sy)
            for (std::int32_t sx = 0; sx < w; ++sx) {
                SCOPED_TRACE(shapeTrace(w, h, 0) + " from " + std::to_string(sx) + "," + std::to_string(sy));
                vkPelBuffer<Pel> img(w, h);
                vfPelSet<Pel>(img, 9);
                Workspace ws(static_cast<std::size_t>(w * h));
                vf_FloodFill(img, P(sx, sy), 4, ws);
                for (Pel v : pixels<Pel>(img)) ASSERT_EQ(v, 4);
                EXPECT_EQ(ws.size(), static_cast<std::size_t>(w * h));
            }
    }
}

TEST(FloodFill, CheckerboardIsOneRegionThroughCorners) {
    // Every old pixel touches the next only at corners: the worst case for
    // pending entries.
    for (std::int32_t n : {2, 5, 8, 33}) {
        SCOPED_TRACE(n);
        vkPelBuffer<Pel> img(n, n);
        for (std::int32_t y = 0; y < n; ++y)
            for (std::int32_t x = 0; x < n; ++x) img.set(P(x, y), static_cast<Pel>((x + y) % 2));
        Workspace ws(static_cast<std::size_t>(n * n));
        expectFillMatchesNaive(img, P(0, 0), 7, ws);
        EXPECT_EQ(ws.size(), static_cast<std::size_t>(n * n));
    }
}

TEST(FloodFill, DiagonalLineLetsFillThroughButAnEdgeConnectedLineBlocks) {
    // 6 x 6 image of 0 with a line of 1 from the lower-left to the upper-right.
    auto diagonal = [](bool thick) {
        vkPelBuffer<Pel> img(6, 6);
        for (std::int32_t i = 0; i < 6; ++i) {
            img.set(P(i, 5 - i), 1);
            if (thick && i < 5) img.set(P(i + 1, 5 - i), 1);  // staircase: edges touch
        }
        return img;
    };
    Workspace ws;
    auto thin = diagonal(false);
    vf_FloodFill(thin, P(0, 0), 9, ws);
    EXPECT_EQ(thin.get(P(5, 5)), 9);  // reached across the line
    auto thick = diagonal(true);
    vf_FloodFill(thick, P(0, 0), 9, ws);
    EXPECT_EQ(thick.get(P(5, 5)), 0);  // the staircase separates the two sides
    EXPECT_EQ(thick.get(P(4, 0)), 9);
}

TEST(FloodFill, BadCallsThrowBeforeTouchingPixelsOrWorkspace) {
    auto gen = testimg::rng(4);
    auto img = testimg::embedded<Pel>(testimg::random<Pel>(5, 5, gen), 1, 3, P(2, 2));
    img.set(P(2, 2), 17);
    const auto before = testimg::storagePixels<Pel>(img);
    Workspace ws{1, 2, 3};
    EXPECT_THROW(vf_FloodFill(vkPelBuffer<Pel>(), P(0, 0), 1, ws), vkPel::UnboundWindow);
    vkPelBuffer<Pel> empty = img;
    empty.window(vkPelRect(2, 2, 0, 5));
    EXPECT_THROW(vf_FloodFill(empty, P(2, 2), 1, ws), vkPel::BadWindow);
    EXPECT_THROW(vf_FloodFill(img, P(1, 2), 1, ws), vkPelFunc::BadParams);
    EXPECT_THROW(vf_FloodFill(img, P(7, 6), 1, ws), vkPelFunc::BadParams);
    EXPECT_THROW(vf_FloodFill(img, P(2, 2), 17, ws), vkPelFunc::BadParams);
    EXPECT_EQ(testimg::storagePixels<Pel>(img), before);
    EXPECT_EQ(ws, (Workspace{1, 2, 3}));
}

TEST(FloodFill, WorkspaceGrowsToTheWindowAreaAndNeverShrinks) {
    vkPelBuffer<Pel> img(100, 100);
    Workspace ws;
    vf_FloodFill(img, P(50, 50), 1, ws);
    EXPECT_EQ(ws.size(), 10000u);
    Workspace big(20000);
    vf_FloodFill(img, P(0, 0), 2, big);
    EXPECT_EQ(big.size(), 20000u);
    for (Pel v : pixels<Pel>(img)) ASSERT_EQ(v, 2);
}

TEST(FindFirstPel, MatchesARasterScanOfTheWindowOnly) {
    for (std::int32_t w : {1, 2, 7, 8, 9, 17, 64, 65}) {
        const auto seed = static_cast<std::uint32_t>(w);
        SCOPED_TRACE(shapeTrace(w, 5, seed));
        auto gen = testimg::rng(seed);
        // The value 255 appears around the window but rarely inside it.
        auto img = testimg::embedded<Pel>(testimg::random<Pel>(w, 5, gen, 200, 254), 2, 255, P(-1, 4));
        std::uniform_int_distribution<std::int32_t> dx(0, w - 1), dy(0, 4);
        const P hit(dx(gen), dy(gen));
        img.set(img.offset() + hit, 255);
        const auto v = pixels<Pel>(img);
        const auto first = static_cast<std::int32_t>(std::find(v.begin(), v.end(), Pel{255}) - v.begin());
        P where;
        ASSERT_TRUE(vf_FindFirstPel(img, 255, where));
        EXPECT_EQ(where, img.offset() + P(first % w, first / w));
    }
}

TEST(FindFirstPel, MissingValueLeavesWhereUnchanged) {
    auto gen = testimg::rng(9);
    auto img = testimg::embedded<Pel>(testimg::random<Pel>(9, 4, gen, 0, 100), 1, 250, P(0, 0));
    P where(-5, -6);
    EXPECT_FALSE(vf_FindFirstPel(img, 250, where));  // only around the window
    EXPECT_EQ(where, P(-5, -6));
    img.window(vkPelRect(0, 0, 0, 0));
    EXPECT_FALSE(vf_FindFirstPel(img, 0, where));
    EXPECT_EQ(where, P(-5, -6));
    EXPECT_THROW(vf_FindFirstPel(vkPelBuffer<Pel>(), 0, where), vkPel::UnboundWindow);
}
