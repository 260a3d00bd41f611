#include <gtest/gtest.h>

#include <tuple>

#include "support/images.h"

using P = vkPair<std::int32_t>;

template <class T>
struct BufferEqualTyped : ::testing::Test {};
using PixelTypes = ::testing::Types<std::uint8_t, std::uint32_t>;
TYPED_TEST_SUITE(BufferEqualTyped, PixelTypes);

TYPED_TEST(BufferEqualTyped, AnyDifferenceOfBindingPositionOrPixelInTheWindowMakesThemUnequal) {
    using T = TypeParam;
    auto gen = testimg::rng(3);
    auto a = testimg::random<T>(65, 3, gen, 0, sizeof(T) == 1 ? 255u : 0xFFFFFFFFu);
    a.clientFromImageXform(vkXform<2>::translation(3, 4));
    EXPECT_TRUE(vf_PelBufferEqual(vkPelBuffer<T>(), vkPelBuffer<T>(), 0.0));
    EXPECT_FALSE(vf_PelBufferEqual(vkPelBuffer<T>(), a, 1e9));
    EXPECT_FALSE(vf_PelBufferEqual(a, vkPelBuffer<T>(), 1e9));
    // Copies in other storages, one with its own transform of equal value.
    auto copy = testimg::embedded<T>(a, 3, T{9});
    copy.clientFromImageXform(vkXform<2>::translation(3, 4));
    EXPECT_TRUE(vf_PelBufferEqual(a, copy, 0.0));
    EXPECT_TRUE(vf_PelBufferEqual(copy, testimg::embedded<T>(a, 1, T{5}), 1e9));
    for (const P p : {P(0, 0), P(31, 1), P(64, 2)}) {
        auto b = vfPelCopy<T>(a);
        b.set(p, static_cast<T>(a.get(p) ^ 1u));
        EXPECT_FALSE(vf_PelBufferEqual(a, b, 1e9)) << p.x() << "," << p.y();
    }
    copy.offset(P(1, 0));  // equal pixels one position to the right, mapped onto a's client area
    copy.clientFromImageXform(vkXform<2>::translation(2, 4));
    EXPECT_FALSE(vf_PelBufferEqual(a, copy, 1e9));
}

TEST(BufferEqual, EveryWindowCornerIsComparedInClientCoordinatesWithTheTolerance) {
    // A 10 x 4 window: a translation moves every corner, a scale only the
    // right ones (by 0.1), a shear only the lower ones (by 1).
    auto gen = testimg::rng(6);
    const auto a = testimg::random<std::uint8_t>(10, 4, gen);
    for (const auto& [xform, tooSmall, enough] : {std::tuple{vkXform<2>::translation(0.5, 0), 0.49, 0.5},
                                                  std::tuple{vkXform<2>::scale(1.01, 1.0), 0.05, 0.1},
                                                  std::tuple{vkXform<2>(1, 0.25, 0, 1, 0, 0), 0.5, 1.0}}) {
        auto b = vfPelCopy<std::uint8_t>(a);
        b.clientFromImageXform(xform);
        EXPECT_FALSE(vf_PelBufferEqual(a, b, tooSmall)) << tooSmall;
        EXPECT_TRUE(vf_PelBufferEqual(a, b, enough)) << enough;
    }
}
