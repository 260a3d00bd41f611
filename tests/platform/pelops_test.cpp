#include <gtest/gtest.h>

#include <algorithm>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;

TEST(PelCopy, NewCopyKeepsWindowPositionsAndTransforms) {
    auto gen = testimg::rng();
    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(9, 7, gen), 3, 0xAA, P(40, 50));
    src.clientFromImageXform(vkXform<2>::translation(1, 2));
    auto copy = vfPelCopy<std::uint8_t>(src);
    EXPECT_EQ(copy.window(), src.window());
    EXPECT_NE(copy.root(), src.root());
    EXPECT_EQ(copy.clientFromImageXformBase(), src.clientFromImageXformBase());
    EXPECT_EQ(pixels<std::uint8_t>(copy), pixels<std::uint8_t>(src));
}

TEST(PelCopy, IntoBoundDestinationWritesOnlyTheOverlap) {
    auto gen = testimg::rng();
    auto src = testimg::random<std::uint8_t>(6, 6, gen);
    vkPelBuffer<std::uint8_t> dst(vkPelRect(3, 3, 6, 6));
    vfPelSet(dst, std::uint8_t{1});
    vfPelCopy<std::uint8_t>(src, dst);
    for (std::int32_t y = 3; y < 9; ++y)
        for (std::int32_t x = 3; x < 9; ++x)
            EXPECT_EQ(dst.get(P(x, y)), (x < 6 && y < 6) ? src.get(P(x, y)) : 1);
}

TEST(PelCopy, OverlappingViewsOfOneStorageCopyAsIfThroughATemporary) {
    auto gen = testimg::rng();
    auto base = testimg::random<std::uint8_t>(10, 1, gen);
    const auto before = pixels<std::uint8_t>(base);
    vkPelBuffer<std::uint8_t> src = base;
    src.window(vkPelRect(0, 0, 9, 1));
    vkPelBuffer<std::uint8_t> dst = base;
    dst.window(vkPelRect(1, 0, 9, 1));
    dst.offset(P(0, 0));  // dst position x is storage pixel x + 1
    vfPelCopy<std::uint8_t>(src, dst);
    const auto after = pixels<std::uint8_t>(base);
    EXPECT_EQ(after[0], before[0]);
    for (int i = 1; i < 10; ++i) EXPECT_EQ(after[static_cast<size_t>(i)], before[static_cast<size_t>(i - 1)]);
}

TEST(PelMap, MapsThroughTableAndWorksInPlaceInsideTheWindowOnly) {
    std::vector<std::uint8_t> table(256);
    for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = static_cast<std::uint8_t>(255 - i);
    auto gen = testimg::rng();
    auto img = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(13, 5, gen), 2, 7);
    const auto before = testimg::storagePixels<std::uint8_t>(img);
    const auto orig = pixels<std::uint8_t>(img);
    const auto mapped = pixels<std::uint8_t>(vfPelMap(img, table));
    vfPelMap(img, table, img);
    const auto inPlace = pixels<std::uint8_t>(img);
    for (size_t i = 0; i < orig.size(); ++i) {
        EXPECT_EQ(mapped[i], 255 - orig[i]);
        EXPECT_EQ(inPlace[i], 255 - orig[i]);
    }
    const auto after = testimg::storagePixels<std::uint8_t>(img);
    vkPelBuffer_const<std::uint8_t> all(img);
    all.setEntire();
    for (std::int32_t y = 0; y < all.height(); ++y)
        for (std::int32_t x = 0; x < all.width(); ++x) {
            const auto i = static_cast<size_t>(y * all.width() + x);
            if (!img.window().contains(P(all.offset().x() + x, all.offset().y() + y))) {
                EXPECT_EQ(after[i], before[i]);
            }
        }
    EXPECT_THROW(vfPelMap(img, std::vector<std::uint8_t>(255)), vkPelFunc::BadParams);
}

TEST(PelMin, MinimumOverCommonWindow) {
    auto gen = testimg::rng();
    auto a = testimg::random<std::uint16_t>(8, 8, gen, 0, 65535);
    vkPelBuffer<std::uint16_t> b(vkPelRect(4, 2, 8, 8));
    vfPelSet<std::uint16_t>(b, 30000);
    auto m = vfPelMin<std::uint16_t>(a, b);
    EXPECT_EQ(m.window(), vkPelRect(4, 2, 4, 6));
    for (std::int32_t y = 2; y < 8; ++y)
        for (std::int32_t x = 4; x < 8; ++x) EXPECT_EQ(m.get(P(x, y)), std::min<std::uint16_t>(a.get(P(x, y)), 30000));
    vfPelMin<std::uint16_t>(a, b, a);  // in place
    EXPECT_EQ(a.get(P(5, 5)), m.get(P(5, 5)));
}

TEST(PelMaxSetEqual, WholeWindowOperations) {
    vkPelBuffer<std::uint32_t> big(20, 20);
    vfPelSet<std::uint32_t>(big, 4000000000u);
    vkPelBuffer<std::uint32_t> w = big;
    w.window(vkPelRect(5, 5, 3, 3));
    vfPelSet<std::uint32_t>(w, 3);
    w.set(P(6, 7), 11);
    EXPECT_EQ(vfPelMax<std::uint32_t>(w), 11u);
    EXPECT_EQ(vfPelMax<std::uint32_t>(big), 4000000000u);

    vkPelBuffer<std::uint32_t> other(vkPelRect(100, 100, 3, 3));
    vfPelSet<std::uint32_t>(other, 3);
    EXPECT_FALSE(vfPelEqual<std::uint32_t>(w, other));
    other.set(P(101, 102), 11);
    EXPECT_TRUE(vfPelEqual<std::uint32_t>(w, other));  // positions are not compared
    EXPECT_FALSE(vfPelEqual<std::uint32_t>(w, vkPelBuffer<std::uint32_t>()));
    EXPECT_TRUE(vfPelEqual<std::uint32_t>(vkPelBuffer<std::uint32_t>(), vkPelBuffer<std::uint32_t>()));
}

TEST(PelHistogram, CountsMatchADirectCountForAllWidths) {
    auto gen = testimg::rng(7);
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
        auto img = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 5, gen), 1, 0);
        std::vector<std::uint32_t> h;
        vfPelHistogram(img, h);
        std::vector<std::uint32_t> expect(256, 0);
        for (auto v : pixels<std::uint8_t>(img)) ++expect[v];
        EXPECT_EQ(h, expect) << "width " << w;
    }
}

TEST(PelOps, UnboundSourcesThrowBeforeWriting) {
    vkPelBuffer<std::uint8_t> none, dst(2, 2);
    std::vector<std::uint32_t> h{1, 2, 3};
    EXPECT_THROW(vfPelCopy<std::uint8_t>(none), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelCopy<std::uint8_t>(none, dst), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelHistogram(none, h), vkPel::UnboundWindow);
    EXPECT_EQ(h.size(), 3u);
    EXPECT_THROW(vfPelMin<std::uint8_t>(dst, none), vkPel::UnboundWindow);
}
