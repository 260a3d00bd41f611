#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "support/images.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// The storage keeps released large blocks for reuse except under
// AddressSanitizer, where every block comes fresh from calloc.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_TEST_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VK_TEST_ADDRESS_SANITIZER 1
#endif
#if defined(VK_TEST_ADDRESS_SANITIZER)
#define SKIP_WITHOUT_BLOCK_CACHE() GTEST_SKIP() << "large blocks are not kept under AddressSanitizer"
#else
#define SKIP_WITHOUT_BLOCK_CACHE() static_cast<void>(0)
#endif

namespace {

using U8 = std::uint8_t;

// True when every byte of the buffer's storage is zero.
bool allZero(const vkPelBuffer_const<U8>& b) {
    for (std::int32_t y = 0; y < b.height(); ++y) {
        const U8* row = b.pointToOffset() + y * b.rowUpdate();
        if (std::any_of(row, row + b.width(), [](U8 v) { return v != 0; })) return false;
    }
    return true;
}

#if defined(__linux__)
// True when the page holding p is in memory. Right after allocation that
// tells a reused block (zeroed by a write) from a fresh mapping (untouched);
// addresses cannot, as a fresh mapping may land where an old one was.
bool resident(const void* p) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    unsigned char in = 0;
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) / page * page);
    return mincore(start, page, &in) == 0 && (in & 1) != 0;
}
#endif

vkPelBuffer<U8> filled(std::int32_t w, std::int32_t h, U8 value) {
    vkPelBuffer<U8> b(w, h);
    vfPelSet(b, value);
    return b;
}

}  // namespace

TEST(PelStorage, AReleasedLargeBlockIsHandedOutAgainZeroed) {
    SKIP_WITHOUT_BLOCK_CACHE();
    const U8* first = nullptr;
    {
        const auto b = filled(2048, 1024, 0xAB);
        first = b.pointToOffset();
    }
    // The same size reuses the block: no page of it may keep the old pixels.
    const vkPelBuffer<U8> same(2048, 1024);
    EXPECT_EQ(same.pointToOffset(), first);
    EXPECT_TRUE(allZero(same));
}

TEST(PelStorage, ABlockIsReusedOnlyForAllocationsOfAboutItsSize) {
    SKIP_WITHOUT_BLOCK_CACHE();
    const U8* big = nullptr;
    {
        const auto b = filled(4096, 4096, 0x11);
        big = b.pointToOffset();
    }
    // A fifth of the size must not tie up the large block ...
    const auto small = filled(2048, 1600, 0x22);
    EXPECT_NE(small.pointToOffset(), big);
    // ... and a size a tenth smaller takes it, zeroed.
    const vkPelBuffer<U8> near(4096, 3700);
    EXPECT_EQ(near.pointToOffset(), big);
    EXPECT_TRUE(allZero(near));
}

#if defined(__linux__)
TEST(PelStorage, AtMostFourReleasedBlocksAreKept) {
    SKIP_WITHOUT_BLOCK_CACHE();
    {
        std::vector<vkPelBuffer<U8>> many;
        for (int i = 0; i < 6; ++i)
            many.push_back(filled(1024, 1100, static_cast<U8>(i + 1)));
    }
    std::vector<vkPelBuffer<U8>> again;
    int reused = 0;
    for (int i = 0; i < 6; ++i) {
        again.emplace_back(1024, 1100);
        reused += resident(again.back().pointToOffset()) ? 1 : 0;
        EXPECT_TRUE(allZero(again.back())) << i;
    }
    EXPECT_EQ(reused, 4);
}
#endif

TEST(PelStorage, SizesAroundTheLargeBlockThresholdAreFullyUsableAndZeroed) {
    // Blocks just below, at and above 1 MiB (storage plus alignment slack),
    // in their first and in a reused life.
    for (int life = 0; life < 2; ++life)
        for (std::int32_t h : {1023, 1024, 1025, 2049})
            for (std::int32_t w : {1023, 1024}) {
                SCOPED_TRACE(testing::Message() << w << "x" << h << " life " << life);
                vkPelBuffer<U8> b(w, h, 1);
                ASSERT_TRUE(allZero(b));
                ASSERT_EQ(reinterpret_cast<std::uintptr_t>(b.pointToOffset()) % 64, 0u);
                vfPelSet(b, U8{0xFF});
                EXPECT_EQ(b.get(vkPair<std::int32_t>(w - 1, h - 1)), 0xFF);
            }
}

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
    const vkPelBuffer<U8> after(2048, 2048);
    EXPECT_TRUE(allZero(after));
}
