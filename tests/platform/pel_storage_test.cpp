#include <gtest/gtest.h>
#include <imgnorm/memory.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/pel_cache.h"
#include "support/images.h"

using U8 = std::uint8_t;

namespace {

bool allZero(const vkPelBuffer_const<U8>& b) {
    const auto p = testimg::pixels<U8>(b);
    return std::all_of(p.begin(), p.end(), [](U8 v) { return v == 0; });
}

vkPelBuffer<U8> filled(std::int32_t w, std::int32_t h, U8 value) {
    vkPelBuffer<U8> b(w, h, 1);
    vfPelSet(b, value);
    return b;
}

constexpr std::size_t kMiB = std::size_t{1} << 20;

}  // namespace

TEST(PelStorage, BlocksAroundTheLargeBlockThresholdAreZeroedAlignedAndFullyUsableInEveryLife) {
    // Around 1 MiB; a second life may reuse a block, without its old pixels.
    for (int life = 0; life < 2; ++life)
        for (std::int32_t h : {1023, 1024, 1025, 2049}) {
            vkPelBuffer<U8> b(1024, h, 1);
            ASSERT_TRUE(allZero(b)) << h << " life " << life;
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(b.pointToOffset()) % 64, 0u);
            vfPelSet(b, U8{0xFF});
            EXPECT_EQ(b.get(vkPair<std::int32_t>(1023, h - 1)), 0xFF);
        }
}

TEST(PelStorage, BlocksCrossThreadsAndOutliveTheirThreads) {
    // Made on this thread, released on another that then ends; a buffer of a
    // thread-local object is released while that thread ends.
    auto made = filled(2048, 2048, 3);
    std::thread([moved = std::move(made)]() mutable {
        thread_local vkPelBuffer<U8> late;
        late = filled(1024, 2048, 4);
        moved.setUnbound();
        EXPECT_EQ(late.get(vkPair<std::int32_t>(5, 5)), 4);
    }).join();
    EXPECT_TRUE(allZero(vkPelBuffer<U8>(2048, 2048)));
}

TEST(PelStorage, TheProcessWideCacheReusesBlocksOfAboutTheSizeAndStaysWithinItsCap) {
    const std::size_t saved = vfPelCacheLimit();
    vfSetPelCacheLimit(0);
    vfSetPelCacheLimit(24 * kMiB);
    // A fifth of the size must not tie a block up; a tenth less takes it,
    // zeroed.
    const U8* big = filled(4096, 4096, 0x11).pointToOffset();  // released at once
    EXPECT_GE(vfPelCacheBytes(), 16 * kMiB);
    EXPECT_NE(filled(2048, 1600, 0x22).pointToOffset(), big);
    {
        const vkPelBuffer<U8> near(4096, 3700, 1);
        EXPECT_EQ(near.pointToOffset(), big);
        EXPECT_TRUE(allZero(near));
    }
    // A producer and a consumer thread: the blocks pile up in the cache only
    // up to the cap.
    std::vector<vkPelBuffer<U8>> made;
    for (std::int32_t i = 0; i < 10; ++i)
        made.push_back(filled(1024, 1024 * (2 + i), 5));
    std::thread([&] { made.clear(); }).join();
    EXPECT_GT(vfPelCacheBytes(), 0u);
    EXPECT_LE(vfPelCacheBytes(), 24 * kMiB);
    // A lower cap trims at once; 0 turns the cache off.
    vfSetPelCacheLimit(10 * kMiB);
    EXPECT_LE(vfPelCacheBytes(), 10 * kMiB);
    vfSetPelCacheLimit(0);
    EXPECT_EQ(vfPelCacheBytes(), 0u);
    filled(2048, 2048, 6);
    EXPECT_EQ(vfPelCacheBytes(), 0u);
    vfSetPelCacheLimit(saved);
    EXPECT_EQ(vfPelCacheLimit(), saved);
}

TEST(PelStorage, TheCacheCapVariableTakesWholeMiBElseTheDefault) {
    const std::size_t byDefault = vk_detail::pelCacheLimitFromText(nullptr);
    EXPECT_EQ(byDefault, 256 * kMiB);
    const struct {
        const char* text;
        std::size_t bytes;
    } cases[] = {
        {"0", 0},          {"64", 64 * kMiB},  {"1048576", kMiB * kMiB}, {"1048577", byDefault},
        {"-1", byDefault}, {"12x", byDefault}, {"", byDefault}};
    for (const auto& c : cases)
        EXPECT_EQ(vk_detail::pelCacheLimitFromText(c.text), c.bytes) << c.text;
}
