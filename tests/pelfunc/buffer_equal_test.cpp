#include <gtest/gtest.h>

#include "support/images.h"

using P = vkPair<std::int32_t>;

namespace {

template <class T>
struct BufferEqualTyped : ::testing::Test {};

using PixelTypes = ::testing::Types<std::uint8_t, std::uint32_t>;
TYPED_TEST_SUITE(BufferEqualTyped, PixelTypes);

template <class T>
vkPelBuffer<T> randomOf(std::uint32_t seed, std::int32_t w, std::int32_t h) {
    auto gen = testimg::rng(seed);
    return testimg::random<T>(w, h, gen, 0, sizeof(T) == 1 ? 255u : 0xFFFFFFFFu);
}

}  // namespace

TYPED_TEST(BufferEqualTyped, UnboundEqualsOnlyUnbound) {
    using T = TypeParam;
    const vkPelBuffer<T> a, b;
    EXPECT_TRUE(vf_PelBufferEqual(a, b, 0.0));
    EXPECT_TRUE(vf_PelBufferEqual(a, b, 100.0));
    const auto bound = randomOf<T>(1, 3, 3);
    EXPECT_FALSE(vf_PelBufferEqual(a, bound, 1e9));
    EXPECT_FALSE(vf_PelBufferEqual(bound, a, 1e9));
}

TYPED_TEST(BufferEqualTyped, SameStorageAndCopiesAreEqual) {
    using T = TypeParam;
    auto a = randomOf<T>(2, 17, 5);
    a.clientFromImageXform(vkXform<2>::translation(3, 4));
    const vkPelBuffer<T> same = a;
    EXPECT_TRUE(vf_PelBufferEqual(a, same, 0.0));
    // A copy in other storage, at other strides, with its own transform
    // object of equal value.
    auto copy = testimg::embedded<T>(a, 3, T{9});
    copy.clientFromImageXform(vkXform<2>::translation(3, 4));
    EXPECT_TRUE(vf_PelBufferEqual(a, copy, 0.0));
}

TYPED_TEST(BufferEqualTyped, OneDifferentPixelMakesThemUnequalWhateverTheTolerance) {
    using T = TypeParam;
    const auto a = randomOf<T>(3, 65, 3);
    for (const P p : {P(0, 0), P(31, 1), P(64, 2)}) {
        auto b = vfPelCopy<T>(a);
        b.set(p, static_cast<T>(a.get(p) ^ 1u));
        EXPECT_FALSE(vf_PelBufferEqual(a, b, 1e9)) << p.x() << "," << p.y();
    }
}

TYPED_TEST(BufferEqualTyped, EqualPixelsAtOtherPositionsAreUnequal) {
    using T = TypeParam;
    const auto a = randomOf<T>(4, 6, 6);
    auto b = vfPelCopy<T>(a);
    b.offset(P(1, 0));
    // The transform puts b's pixels where a's are in client coordinates.
    b.clientFromImageXform(vkXform<2>::translation(-1, 0));
    EXPECT_FALSE(vf_PelBufferEqual(a, b, 1e9));
}

TEST(BufferEqual, ClientTranslationIsComparedWithTheTolerance) {
    auto gen = testimg::rng(5);
    const auto a = testimg::random<std::uint8_t>(8, 4, gen);
    auto b = vfPelCopy<std::uint8_t>(a);
    b.clientFromImageXform(vkXform<2>::translation(0.5, 0));
    EXPECT_FALSE(vf_PelBufferEqual(a, b, 0.0));
    EXPECT_FALSE(vf_PelBufferEqual(a, b, 0.49));
    EXPECT_TRUE(vf_PelBufferEqual(a, b, 0.5));
}

TEST(BufferEqual, TransformsAgreeingOnlyAtTheUpperLeftCornerAreUnequal) {
    // A scale about the window's upper-left corner leaves that corner in
    // place and moves the other three; a shear moves only the lower ones.
    auto gen = testimg::rng(6);
    auto a = testimg::random<std::uint32_t>(10, 4, gen);
    a.offset(P(0, 0));
    auto scaled = vfPelCopy<std::uint32_t>(a);
    scaled.clientFromImageXform(vkXform<2>::scale(1.01, 1.0));
    EXPECT_FALSE(vf_PelBufferEqual(a, scaled, 0.05));  // the right corners move by 0.1
    EXPECT_TRUE(vf_PelBufferEqual(a, scaled, 0.1));
    auto sheared = vfPelCopy<std::uint32_t>(a);
    sheared.clientFromImageXform(vkXform<2>(1, 0.25, 0, 1, 0, 0));
    EXPECT_FALSE(vf_PelBufferEqual(a, sheared, 0.5));  // the lower corners move by 1
    EXPECT_TRUE(vf_PelBufferEqual(a, sheared, 1.0));
}

TEST(BufferEqual, EqualWindowsOfOneStorageWithDifferentPixelsAreUnequal) {
    auto gen = testimg::rng(7);
    auto a = testimg::random<std::uint8_t>(9, 9, gen);
    vkPelBuffer<std::uint8_t> b(9, 9);
    vfPelCopy<std::uint8_t>(a, b);
    a.window(vkPelRect(2, 2, 5, 5));
    b.window(vkPelRect(2, 2, 5, 5));
    EXPECT_TRUE(vf_PelBufferEqual(a, b, 0.0));
    // A difference outside the windows does not count.
    b.setEntire();
    b.set(P(0, 0), static_cast<std::uint8_t>(a.pointToPel(P(0, 0))[0] + 1));
    b.window(vkPelRect(2, 2, 5, 5));
    EXPECT_TRUE(vf_PelBufferEqual(a, b, 0.0));
    b.set(P(6, 6), static_cast<std::uint8_t>(a.get(P(6, 6)) + 1));
    EXPECT_FALSE(vf_PelBufferEqual(a, b, 0.0));
}
