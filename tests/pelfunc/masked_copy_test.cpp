#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using testimg::pixels;
using U8 = vkPelBuffer<std::uint8_t>;
using U16 = vkPelBuffer<std::uint16_t>;

namespace {

// (n * scale + d / 2) / d in 64 bits, saturated at 255.
std::uint8_t referenceQuotient(std::uint32_t n, std::uint32_t d, std::uint32_t scale) {
    return static_cast<std::uint8_t>(std::min<std::uint64_t>((std::uint64_t{n} * scale + d / 2) / d, 255));
}

}  // namespace

TEST(MaskedPelCopy, MatchesNaiveCopyIntoSmallerBoundDestinationAndLeavesTheRest) {
    for (bool invert : {false, true}) {
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
            const auto seed = static_cast<std::uint32_t>(200 + w * 2 + (invert ? 1 : 0));
            auto gen = testimg::rng(seed);
            auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w + 2, 4, gen), 1, 0, P(10, 20));
            auto mask = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w + 2, 4, gen, 0, 2),
                                                                   0, 0, 3, 1, 255, P(10, 20));
            // The destination starts one column right of the source.
            auto dst = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w + 1, 4, gen), 2, 0,
                                                                  0, 2, 77, P(11, 20));
            const auto before = testimg::storagePixels<std::uint8_t>(dst);
            const auto old = pixels<std::uint8_t>(dst);
            vf_MaskedPelCopy(src, mask, dst, invert);
            const auto got = pixels<std::uint8_t>(dst);
            for (std::int32_t y = 0; y < 4; ++y)
                for (std::int32_t x = 0; x < w + 1; ++x) {
                    const P p(11 + x, 20 + y);
                    const auto i = static_cast<std::size_t>(y * (w + 1) + x);
                    ASSERT_EQ(got[i], (mask.get(p) != 0) != invert ? src.get(p) : old[i]) << "seed " << seed;
                }
            EXPECT_EQ(testimg::changedOutsideWindow(before, dst), 0u) << "seed " << seed;
        }
    }
}

TEST(MaskedPelCopy, UnboundDestinationIsAllocatedOnTheCommonRectangleWithSourceTransforms) {
    auto gen = testimg::rng(9);
    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(12, 6, gen), 2, 1, P(3, 4));
    src.clientFromImageXform(vkXform<2>::translation(0.5, -2));
    U8 mask(vkPelRect(6, 2, 20, 20));
    U8 maskRight(mask);
    maskRight.window(vkPelRect(10, 2, 16, 20));
    vfPelSet(maskRight, std::uint8_t{255});  // the mask's left 4 columns stay 0
    U8 dst;
    vf_MaskedPelCopy(src, mask, dst, false);
    ASSERT_EQ(dst.window(), vkPelRect(6, 4, 9, 6));
    EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
    for (std::int32_t y = 4; y < 10; ++y)
        for (std::int32_t x = 6; x < 15; ++x) EXPECT_EQ(dst.get(P(x, y)), x >= 10 ? src.get(P(x, y)) : 0);
}

TEST(MaskedPelCopy, UnboundMaskCopiesAllEmptyRectangleNothingUnboundSourceThrows) {
    auto gen = testimg::rng(11);
    auto src = testimg::random<std::uint8_t>(9, 5, gen);
    U8 copy;
    vf_MaskedPelCopy(src, U8(), copy, true);
    EXPECT_EQ(pixels<std::uint8_t>(copy), pixels<std::uint8_t>(src));
    U8 none;
    vf_MaskedPelCopy(src, U8(vkPelRect(9, 0, 5, 5)), none, false);
    EXPECT_FALSE(none.isBound());
    EXPECT_THROW(vf_MaskedPelCopy(U8(), U8(4, 4), none, false), vkPel::UnboundWindow);
    EXPECT_FALSE(none.isBound());
}

TEST(MaskedPelCopy, SourceSharingDestinationStorageAtAShiftCopiesAsIfThroughATemporary) {
    auto gen = testimg::rng(12);
    auto base = testimg::random<std::uint8_t>(40, 1, gen);
    const auto before = pixels<std::uint8_t>(base);
    U8 src(base), dst(base);
    src.window(vkPelRect(0, 0, 39, 1));
    dst.window(vkPelRect(1, 0, 39, 1));
    dst.offset(P(0, 0));  // dst position x is storage pixel x + 1
    U8 mask(39, 1);
    vfPelSet(mask, std::uint8_t{1});
    vf_MaskedPelCopy(src, mask, dst, false);
    const auto after = pixels<std::uint8_t>(base);
    for (std::size_t i = 1; i < 40; ++i) EXPECT_EQ(after[i], before[i - 1]) << i;
}

TEST(MaskedPelDivide, MatchesRoundedQuotientAndSkipsMaskedOffAndZeroDenominators) {
    const std::uint32_t scales[] = {255, 1, 1000, 32767, 65535, 0xFFFFFF, 0x1000001, 0xFFFFFFFF};
    for (std::uint32_t scale : scales) {
        for (std::int32_t w : {1, 3, 8, 9, 64, 65}) {
            const std::uint32_t seed = scale % 997 + static_cast<std::uint32_t>(w);
            auto gen = testimg::rng(seed);
            auto num = testimg::embedded<std::uint16_t>(testimg::random<std::uint16_t>(w, 5, gen, 0, 65535), 2, 7);
            auto den = testimg::embedded<std::uint16_t>(testimg::random<std::uint16_t>(w, 5, gen, 0, 65535), 1, 9);
            // Small numerators keep many quotients inside 0..255.
            for (std::int32_t x = 0; x < w; x += 2) num.set(P(x, 1), static_cast<std::uint16_t>(x % 300));
            den.set(P(0, 2), 0);  // a zero denominator at an included pixel
            auto mask = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 5, gen, 0, 2), 1, 255);
            // A destination window one row shorter: only it may be written.
            auto dst = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 4, gen), 3, 42, P(0, 1));
            const auto before = testimg::storagePixels<std::uint8_t>(dst);
            const auto old = pixels<std::uint8_t>(dst);
            vf_MaskedPelDivide(num, den, mask, dst, scale);
            const auto got = pixels<std::uint8_t>(dst);
            for (std::int32_t y = 1; y < 5; ++y)
                for (std::int32_t x = 0; x < w; ++x) {
                    const P p(x, y);
                    const auto i = static_cast<std::size_t>((y - 1) * w + x);
                    const bool divided = mask.get(p) != 0 && den.get(p) != 0;
                    ASSERT_EQ(got[i], divided ? referenceQuotient(num.get(p), den.get(p), scale) : old[i])
                        << "seed " << seed << " scale " << scale << " at " << x << "," << y;
                }
            EXPECT_EQ(testimg::changedOutsideWindow(before, dst), 0u);
        }
    }
}

TEST(MaskedPelDivide, QuotientJustBelowAnIntegerIsNotRoundedUp) {
    // For every denominator d, the numerators whose dividend n * scale + d / 2
    // is one short of a multiple of d (quotient k - 1/d, the case a float
    // shortcut rounds up), or exactly a multiple: n * scale = target (mod d),
    // solved with the inverse of scale modulo d.
    const auto inverse = [](std::int64_t a, std::int64_t m) {
        std::int64_t t = 0, nt = 1, r = m, nr = a % m;
        while (nr != 0) {
            const std::int64_t q = r / nr;
            t = std::exchange(nt, t - q * nt);
            r = std::exchange(nr, r - q * nr);
        }
        return r == 1 ? (t % m + m) % m : -1;
    };
    for (std::uint32_t scale : {255u, 257u, 32767u}) {
        std::vector<std::uint16_t> nums, dens;
        for (std::int64_t d = 2; d <= 65535; ++d) {
            const std::int64_t inv = inverse(scale, d);
            if (inv < 0) continue;
            for (std::int64_t shortBy : {1, 0}) {
                const std::int64_t target = ((-shortBy - d / 2) % d + d) % d;
                for (std::int64_t n = target * inv % d; n <= 65535; n += d) {
                    nums.push_back(static_cast<std::uint16_t>(n));
                    dens.push_back(static_cast<std::uint16_t>(d));
                }
            }
        }
        const auto count = static_cast<std::int32_t>(nums.size());
        U16 num(count, 1), den(count, 1);
        std::copy(nums.begin(), nums.end(), num.pointToOffset());
        std::copy(dens.begin(), dens.end(), den.pointToOffset());
        U8 dst;
        vf_MaskedPelDivide(num, den, U8(), dst, scale);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < nums.size(); ++i)
            if (dst.pointToOffset()[i] != referenceQuotient(nums[i], dens[i], scale) && ++wrong < 5)
                ADD_FAILURE() << "scale " << scale << ": " << nums[i] << " / " << dens[i];
        EXPECT_EQ(wrong, 0u) << "scale " << scale << " over " << count << " pairs";
    }
}

TEST(MaskedPelDivide, UnboundDestinationGetsTheRectangleAndNumeratorTransforms) {
    U16 num(vkPelRect(0, 0, 10, 10)), den(vkPelRect(4, 3, 10, 10));
    num.clientFromImageXform(vkXform<2>::scale(2, 2));
    vfPelSet(num, std::uint16_t{3});
    vfPelSet(den, std::uint16_t{6});
    U8 mask(vkPelRect(-5, -5, 12, 20));
    vfPelSet(mask, std::uint8_t{1});
    U8 dst;
    vf_MaskedPelDivide(num, den, mask, dst, 100);
    EXPECT_EQ(dst.window(), vkPelRect(4, 3, 3, 7));
    EXPECT_EQ(dst.clientFromImageXformBase(), num.clientFromImageXformBase());
    EXPECT_EQ(pixels<std::uint8_t>(dst), std::vector<std::uint8_t>(21, 50));

    U8 none;
    vf_MaskedPelDivide(num, den, U8(vkPelRect(50, 50, 2, 2)), none, 100);
    EXPECT_TRUE(none.isBound());
    EXPECT_TRUE(none.window().isNull());
}

TEST(MaskedPelDivide, UnboundOperandThrowsWithDestinationUnchanged) {
    U16 bound(3, 3);
    U8 dst(3, 3), unbound;
    vfPelSet(dst, std::uint8_t{5});
    EXPECT_THROW(vf_MaskedPelDivide(U16(), bound, U8(), dst, 255), vkPel::UnboundWindow);
    EXPECT_THROW(vf_MaskedPelDivide(bound, U16(), U8(), unbound, 255), vkPel::UnboundWindow);
    EXPECT_EQ(pixels<std::uint8_t>(dst), std::vector<std::uint8_t>(9, 5));
    EXPECT_FALSE(unbound.isBound());
}
