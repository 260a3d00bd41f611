#include <gtest/gtest.h>

#include <algorithm>

#include "support/images.h"
#include "support/threads.h"

using P = vkPair<std::int32_t>;
using U8 = std::uint8_t;
using testimg::pixels;

TEST(PelCopy, CopiesTheWindowOnlyIntoTheOverlapKeepingPositionsAndTransforms) {
    auto gen = testimg::rng(1);
    auto src = testimg::embedded<U8>(testimg::random<U8>(9, 7, gen), 3, 0xAA, P(40, 50));
    src.clientFromImageXform(vkXform<2>::translation(1, 2));
    const auto copy = vfPelCopy<U8>(src);
    EXPECT_TRUE(copy.window() == src.window() && copy.root() != src.root());
    EXPECT_EQ(copy.clientFromImageXformBase(), src.clientFromImageXformBase());
    EXPECT_EQ(pixels<U8>(copy), pixels<U8>(src));
    vkPelBuffer<U8> dst(vkPelRect(43, 53, 9, 9));
    vfPelSet(dst, U8{1});
    dst.window(vkPelRect(44, 54, 7, 7));
    const auto before = testimg::storagePixels<U8>(dst);
    vfPelCopy<U8>(src, dst);
    EXPECT_EQ(
        testimg::windowMismatch<U8>(
            before, dst, [&](P p, U8 old) { return src.window().contains(p) ? src.get(p) : old; }),
        "");
}

// Every width; the last one 701 rows high (a prime: several strips of rows)
// at every thread count too.
TEST(PelMapMinHistogram, MatchDirectLoopsInsideTheWindowOnlyForAllWidthsAndThreadCounts) {
    std::vector<U8> table(256);
    for (int i = 0; i < 256; ++i)
        table[static_cast<size_t>(i)] = static_cast<U8>(i * 7 + 3);
    auto gen = testimg::rng(3);
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65, 300}) {
        const std::int32_t h = w == 300 ? 701 : 5;
        SCOPED_TRACE(testing::Message() << "width " << w);
        auto img = testimg::embedded<U8>(testimg::random<U8>(w, h, gen), 2, 7, P(3, -1));
        const auto before = testimg::storagePixels<U8>(img);
        std::vector<U8> mapped = pixels<U8>(img);
        std::vector<std::uint32_t> counts(256, 0);
        for (U8& v : mapped)
            ++counts[v], v = table[v];
        for (const std::int32_t n : testthreads::kCounts) {
            const testthreads::Count count(n);
            std::vector<std::uint32_t> hist;
            vfPelHistogram(img, hist);
            EXPECT_EQ(hist, counts) << n << " threads";
            EXPECT_EQ(pixels<U8>(vfPelMap(img, table)), mapped) << n << " threads";
        }
        // The minimum over the common window, against a second image placed one pixel off.
        const auto other = testimg::embedded<U8>(testimg::random<U8>(w, h, gen), 1, 0, P(4, -2));
        const auto m = vfPelMin<U8>(img, other);
        ASSERT_EQ(m.window(), img.window() & other.window());
        for (std::int32_t y = m.window().ul().y(); y < m.window().ll().y(); ++y)
            for (std::int32_t x = m.window().ul().x(); x < m.window().ur().x(); ++x)
                ASSERT_EQ(m.get(P(x, y)), std::min(img.get(P(x, y)), other.get(P(x, y))));
        vfPelMap(img, table, img);
        EXPECT_EQ(testimg::windowMismatch<U8>(before, img, [&](P, U8 v) { return table[v]; }), "");
    }
    EXPECT_THROW(vfPelMap(vkPelBuffer<U8>(2, 2), std::vector<U8>(255)), vkPelFunc::BadParams);
}

TEST(PelMap, DeepTableMapsTheWindowUpToItsTopLevelAndRefusesValuesBeyondIt) {
    using U16 = std::uint16_t;
    auto gen = testimg::rng(4);
    for (int depth : {1, 12, 16}) {
        const std::uint32_t top = (1u << depth) - 1;
        std::vector<U16> table(std::size_t{top} + 1);
        for (std::size_t i = 0; i <= top; ++i)
            table[i] = static_cast<U16>(top - i);
        // The margin's 65535 lies outside the window.
        auto img = testimg::embedded<U16>(
            testimg::random<U16>(43, 3, gen, top < 3 ? 0 : top - 3, top), 2, 65535, P(3, -1));
        img.set(P(3, -1), 0);
        const auto out = vfPelMap(img, table);
        ASSERT_EQ(out.window(), img.window());
        std::vector<U16> want = pixels<U16>(img);
        for (U16& v : want)
            v = table[v];
        EXPECT_EQ(pixels<U16>(out), want) << depth;
        // A value beyond the table in each part of a row's first 32 pixels
        // (16 gathered where the processor can), last in a group of four
        // after them, and among the last three.
        for (std::int32_t x : {4, 22, 42, 45})
            if (top < 65535) {
                img.set(P(x, 0), static_cast<U16>(top + 1));
                EXPECT_THROW(vfPelMap(img, table), vkPelFunc::BadParams) << depth << " at " << x;
                img.set(P(x, 0), 0);
            }
    }
    EXPECT_THROW(vfPelMap(vkPelBuffer<U16>(2, 2), std::vector<U16>(4095)), vkPelFunc::BadParams);
    EXPECT_THROW(vfPelMap(vkPelBuffer<U16>(2, 2), std::vector<U16>(1)), vkPelFunc::BadParams);
}

TEST(PelMaxSetEqual, LookOnlyInsideTheWindowAndIgnorePositions) {
    using U32 = std::uint32_t;
    vkPelBuffer<U32> big(20, 20), other(vkPelRect(100, 100, 3, 3));
    vfPelSet<U32>(big, 4000000000u);
    vfPelSet<U32>(other, 3);
    vkPelBuffer<U32> w = big;
    w.window(vkPelRect(5, 5, 3, 3));
    vfPelSet<U32>(w, 3);
    w.set(P(6, 7), 11);
    EXPECT_TRUE(vfPelMax<U32>(w) == 11u && vfPelMax<U32>(big) == 4000000000u);
    EXPECT_FALSE(vfPelEqual<U32>(w, other));
    other.set(P(101, 102), 11);
    EXPECT_TRUE(vfPelEqual<U32>(w, other) && !vfPelEqual<U32>(w, vkPelBuffer<U32>()));
}

TEST(PelOps, UnboundSourcesThrowBeforeWriting) {
    vkPelBuffer<U8> none, dst(2, 2);
    std::vector<std::uint32_t> h{1, 2, 3};
    EXPECT_THROW(vfPelCopy<U8>(none), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelCopy<U8>(none, dst), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelHistogram(none, h), vkPel::UnboundWindow);
    EXPECT_THROW(vfPelMin<U8>(dst, none), vkPel::UnboundWindow);
    EXPECT_EQ(h.size(), 3u);
}
