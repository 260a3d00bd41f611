#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

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

// Under AddressSanitizer every block comes fresh from calloc.
#if defined(__SANITIZE_ADDRESS__)
#define VK_TEST_NO_BLOCK_CACHE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_TEST_NO_BLOCK_CACHE 1
#endif
#endif
#if defined(__linux__) && !defined(VK_TEST_NO_BLOCK_CACHE)
TEST(PelStorage, AReleasedLargeBlockIsHandedOutAgainZeroedForAboutItsSizeOnly) {
    const U8* big = filled(4096, 4096, 0x11).pointToOffset();  // released at once
    // A fifth of the size must not tie it up; a tenth less takes it, zeroed.
    EXPECT_NE(filled(2048, 1600, 0x22).pointToOffset(), big);
    const vkPelBuffer<U8> near(4096, 3700, 1);
    EXPECT_EQ(near.pointToOffset(), big);
    EXPECT_TRUE(allZero(near));
}
#endif

TEST(PelStorage, BlocksCrossThreadsAndOutliveTheirThreadsSet) {
    // Made on this thread, released on another that then ends; a buffer of a
    // thread-local object is released after that thread's set is gone.
    auto made = filled(2048, 2048, 3);
    std::thread([moved = std::move(made)]() mutable {
        thread_local vkPelBuffer<U8> late;
        late = filled(1024, 2048, 4);
        moved.setUnbound();
        EXPECT_EQ(late.get(vkPair<std::int32_t>(5, 5)), 4);
    }).join();
    EXPECT_TRUE(allZero(vkPelBuffer<U8>(2048, 2048)));
}
