#include <gtest/gtest.h>

#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;

TEST(PelMapValue, ReplacesExactlyTheGivenValueInsideTheWindow) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
        const auto seed = static_cast<std::uint32_t>(400 + w);
        auto gen = testimg::rng(seed);
        // Few distinct values, so that the replaced value is common; the storage
        // around the window holds it too and must keep it.
        auto img = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w, 3, gen, 0, 3), 2, 1,
                                                              0, 2, 0, P(3, 3));
        const auto before = testimg::storagePixels<std::uint8_t>(img);
        const auto old = pixels<std::uint8_t>(img);
        vf_PelMapValue(img, 0, 128);
        const auto got = pixels<std::uint8_t>(img);
        for (std::size_t i = 0; i < old.size(); ++i) ASSERT_EQ(got[i], old[i] == 0 ? 128 : old[i]) << "seed " << seed;
        EXPECT_EQ(testimg::changedOutsideWindow(before, img), 0u) << "seed " << seed;
    }
}

TEST(PelMapValue, IdentityMappingChangesNothingAndUnboundImageThrows) {
    auto gen = testimg::rng(41);
    auto img = testimg::random<std::uint8_t>(17, 4, gen);
    const auto old = pixels<std::uint8_t>(img);
    vf_PelMapValue(img, 7, 7);
    EXPECT_EQ(pixels<std::uint8_t>(img), old);
    U8 unbound;
    EXPECT_THROW(vf_PelMapValue(unbound, 0, 1), vkPel::UnboundWindow);
}
