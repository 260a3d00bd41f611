#include <gtest/gtest.h>

#include "support/images.h"

using Pel = std::uint8_t;

TEST(PelMapValue, ReplacesExactlyTheGivenValueInsideTheWindow) {
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
        auto gen = testimg::rng(static_cast<std::uint32_t>(400 + w));
        // The replaced value is common, and also lies around the window.
        auto img = testimg::embeddedWithMargins<Pel>(testimg::random<Pel>(w, 3, gen, 0, 3), 2, 1, 0, 2, 0, {3, 3});
        const auto before = testimg::storagePixels<Pel>(img);
        vf_PelMapValue(img, 0, 128);
        EXPECT_EQ(testimg::windowMismatch(before, img, [](auto, Pel old) { return old == 0 ? 128 : old; }), "")
            << "seed " << 400 + w;
    }
    vkPelBuffer<Pel> unbound;
    EXPECT_THROW(vf_PelMapValue(unbound, 0, 1), vkPel::UnboundWindow);
}
