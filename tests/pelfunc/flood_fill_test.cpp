#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
using Workspace = std::vector<std::int64_t>;

// Fills img from the pixel position seed: the window must match a breadth-
// first search over 8 neighbours of the seed's old value, the rest of the
// storage must keep its pixels.
static void expectFillMatchesNaive(const vkPelBuffer<Pel>& img, P seed, Pel value, Workspace& ws) {
    auto want = testimg::crop<Pel>(img, img.window());
    const Pel old = want.get(seed);
    want.set(seed, value);
    for (std::deque<P> queue{seed}; !queue.empty(); queue.pop_front())
        for (const P d : {P(-1, -1), P(0, -1), P(1, -1), P(-1, 0), P(1, 0), P(-1, 1), P(0, 1), P(1, 1)}) {
            const P q = queue.front() + d;
            if (!want.window().contains(q) || want.get(q) != old) continue;
            want.set(q, value);
            queue.push_back(q);
        }
    const auto before = testimg::storagePixels<Pel>(img);
    vf_FloodFill(img, seed, value, ws);
    ASSERT_EQ(testimg::windowMismatch(before, img, [&](P p, Pel) { return want.get(p); }), "")
        << "from " << seed.x() << "," << seed.y();
}

TEST(FloodFill, CrossesDiagonalsLikeAnEightConnectedSearchOnRandomMazesInLargerStorage) {
    Workspace ws;
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 16, 17, 40})
        for (std::int32_t h : {1, 2, 3, 9, 31})
            for (std::uint32_t density : {1u, 2u, 4u}) {
                const std::uint32_t seed = static_cast<std::uint32_t>(w * 1000 + h * 10) + density;
                SCOPED_TRACE(testimg::trace(w, h, seed));
                auto gen = testimg::rng(seed);
                // Mazes of the old value 0 at several densities; the 0 around
                // the window shows a fill that leaks out.
                auto img = testimg::embedded<Pel>(testimg::random<Pel>(w, h, gen, 0, density), 3, 0, P(5, -7));
                std::uniform_int_distribution<std::int32_t> dx(5, 4 + w), dy(-7, h - 8);
                const P s(dx(gen), dy(gen));
                img.set(s, 0);
                expectFillMatchesNaive(img, s, 200, ws);
            }
}

TEST(FloodFill, WorkspaceOfExactlyTheWindowAreaHoldsEveryPendingEntryAndIsNeverResized) {
    // Uniform windows and checkerboards from every seed, where a list that
    // admitted duplicates would overflow; a larger workspace is kept as it is.
    for (const P shape : {P(1, 1), P(2, 2), P(5, 8), P(6, 5), P(1, 7), P(7, 1), P(3, 3), P(8, 8)})
        for (bool checkerboard : {false, true}) {
            SCOPED_TRACE(testimg::trace(shape.x(), shape.y(), 0) + (checkerboard ? " checkerboard" : ""));
            for (std::int32_t i = 0; i < shape.x() * shape.y(); ++i) {
                vkPelBuffer<Pel> img(shape.x(), shape.y());
                for (std::int32_t y = 0; y < shape.y(); ++y)
                    for (std::int32_t x = 0; x < shape.x(); ++x) img.set(P(x, y), Pel(checkerboard && (x + y) % 2));
                Workspace ws(static_cast<std::size_t>(shape.x() * shape.y() + (checkerboard ? 5 : 0)));
                const auto size = ws.size();
                expectFillMatchesNaive(img, P(i % shape.x(), i / shape.x()), 7, ws);
                EXPECT_EQ(ws.size(), size);
            }
        }
}

TEST(FloodFill, BadCallsThrowBeforeTouchingPixelsOrWorkspace) {
    auto gen = testimg::rng(4);
    auto img = testimg::embedded<Pel>(testimg::random<Pel>(5, 5, gen), 1, 3, P(2, 2));
    img.set(P(2, 2), 17);
    const auto before = testimg::storagePixels<Pel>(img);
    Workspace ws{1, 2, 3};
    EXPECT_THROW(vf_FloodFill(vkPelBuffer<Pel>(), P(0, 0), 1, ws), vkPel::UnboundWindow);
    EXPECT_THROW(vf_FloodFill(vkPelBuffer<Pel>(vkPelRect(2, 2, 0, 5)), P(2, 2), 1, ws), vkPel::BadWindow);
    EXPECT_THROW(vf_FloodFill(img, P(1, 2), 1, ws), vkPelFunc::BadParams);   // in storage, left of the window
    EXPECT_THROW(vf_FloodFill(img, P(7, 6), 1, ws), vkPelFunc::BadParams);   // just past the lower right
    EXPECT_THROW(vf_FloodFill(img, P(2, 2), 17, ws), vkPelFunc::BadParams);  // already the fill value
    EXPECT_EQ(testimg::storagePixels<Pel>(img), before);
    EXPECT_EQ(ws, (Workspace{1, 2, 3}));
}

TEST(FindFirstPel, MatchesARasterScanOfTheWindowOnly) {
    for (std::int32_t w : {1, 2, 7, 8, 9, 17, 33, 64, 65}) {
        auto gen = testimg::rng(static_cast<std::uint32_t>(w));
        // 255 lies around the window; inside it first nowhere, then at two places.
        auto img = testimg::embedded<Pel>(testimg::random<Pel>(w, 5, gen, 200, 254), 2, 255, P(-1, 4));
        std::uniform_int_distribution<std::int32_t> dx(-1, w - 2), dy(4, 8);
        for (int hits : {0, 2}) {
            for (int k = 0; k < hits; ++k) img.set(P(dx(gen), dy(gen)), 255);
            const auto v = testimg::pixels<Pel>(img);
            const auto first = static_cast<std::int32_t>(std::find(v.begin(), v.end(), Pel{255}) - v.begin());
            P where(-5, -6);
            EXPECT_EQ(vf_FindFirstPel(img, 255, where), hits > 0) << "width " << w;
            EXPECT_EQ(where, hits > 0 ? P(first % w - 1, first / w + 4) : P(-5, -6)) << "width " << w;
        }
    }
    P where(-5, -6);
    EXPECT_FALSE(vf_FindFirstPel(vkPelBuffer<Pel>(vkPelRect(0, 0, 0, 0)), 0, where));
    EXPECT_THROW(vf_FindFirstPel(vkPelBuffer<Pel>(), 0, where), vkPel::UnboundWindow);
}
