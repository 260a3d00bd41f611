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

// The expected destination storage after a masked copy, pixel by pixel.
std::vector<std::uint8_t> referenceCopy(const vkPelBuffer_const<std::uint8_t>& src,
                                        const vkPelBuffer_const<std::uint8_t>& mask, const U8& dst, bool invert) {
    U8 all(dst);
    all.setEntire();
    std::vector<std::uint8_t> out = pixels<std::uint8_t>(all);
    const vkPelRect r = src.window() & mask.window() & dst.window();
    for (std::int32_t y = r.ul().y(); y < r.lr().y(); ++y)
        for (std::int32_t x = r.ul().x(); x < r.lr().x(); ++x) {
            const bool set = mask.get(P(x, y)) != 0;
            if (set != invert) {
                const auto i = static_cast<std::size_t>(y - all.offset().y()) * static_cast<std::size_t>(all.width()) +
                               static_cast<std::size_t>(x - all.offset().x());
                out[i] = src.get(P(x, y));
            }
        }
    return out;
}

// (n * scale + d / 2) / d in 64 bits, saturated at 255.
std::uint8_t referenceQuotient(std::uint32_t n, std::uint32_t d, std::uint32_t scale) {
    const std::uint64_t q = (std::uint64_t{n} * scale + d / 2) / d;
    return static_cast<std::uint8_t>(std::min<std::uint64_t>(q, 255));
}

U8 halfMask(std::int32_t w, std::int32_t h, std::mt19937& gen) {
    auto m = testimg::random<std::uint8_t>(w, h, gen, 0, 3);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            auto& v = m.pointToOffset()[y * m.rowUpdate() + x];
            v = v < 2 ? 0 : v == 2 ? 255 : 1;
        }
    return m;
}

}  // namespace

TEST(MaskedPelCopy, MatchesNaiveCopyIntoSmallerBoundDestinationAndLeavesTheRest) {
    for (bool invert : {false, true}) {
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
            const std::uint32_t seed = static_cast<std::uint32_t>(200 + w * 2 + (invert ? 1 : 0));
            auto gen = testimg::rng(seed);
            auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w + 2, 4, gen), 1, 0, P(10, 20));
            auto mask = testimg::embeddedWithMargins<std::uint8_t>(halfMask(w + 2, 4, gen), 0, 0, 3, 1, 255, P(10, 20));
            // The destination window starts one pixel right of the source's
            // and ends with it: only w + 1 columns are common.
            auto dst = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w + 1, 4, gen), 2, 0,
                                                                  0, 2, 77, P(11, 20));
            const auto want = referenceCopy(src, mask, dst, invert);
            const void* root = dst.root();
            vf_MaskedPelCopy(src, mask, dst, invert);
            EXPECT_EQ(dst.root(), root);
            EXPECT_EQ(testimg::storagePixels<std::uint8_t>(dst), want) << "seed " << seed << " width " << w;
        }
    }
}

TEST(MaskedPelCopy, UnboundDestinationIsAllocatedOnTheCommonRectangleWithSourceTransforms) {
    auto gen = testimg::rng(9);
    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(12, 6, gen), 2, 1, P(3, 4));
    src.clientFromImageXform(vkXform<2>::translation(0.5, -2));
    U8 mask(vkPelRect(6, 2, 20, 20));
    vkPelBuffer<std::uint8_t> maskRight(mask);
    maskRight.window(vkPelRect(10, 2, 16, 20));
    vfPelSet(maskRight, std::uint8_t{255});  // left 4 columns of the mask are 0
    U8 dst;
    vf_MaskedPelCopy(src, mask, dst, false);
    ASSERT_TRUE(dst.isBound());
    EXPECT_EQ(dst.window(), vkPelRect(6, 4, 9, 6));
    EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
    for (std::int32_t y = 4; y < 10; ++y)
        for (std::int32_t x = 6; x < 15; ++x)
            EXPECT_EQ(dst.get(P(x, y)), x >= 10 ? src.get(P(x, y)) : 0) << x << "," << y;
}

TEST(MaskedPelCopy, InvertedAllZeroMaskCopiesTheWholeRectangle) {
    auto gen = testimg::rng(10);
    auto src = testimg::random<std::uint8_t>(70, 3, gen);
    U8 mask(70, 3);
    U8 dst(70, 3);
    vf_MaskedPelCopy(src, mask, dst, true);
    EXPECT_EQ(pixels<std::uint8_t>(dst), pixels<std::uint8_t>(src));
}

TEST(MaskedPelCopy, UnboundMaskIsAPlainCopyWhateverTheInversion) {
    auto gen = testimg::rng(11);
    auto src = testimg::random<std::uint8_t>(9, 5, gen);
    U8 dst;
    vf_MaskedPelCopy(src, U8(), dst, true);
    EXPECT_EQ(dst.window(), src.window());
    EXPECT_EQ(pixels<std::uint8_t>(dst), pixels<std::uint8_t>(src));
}

TEST(MaskedPelCopy, EmptyRectangleLeavesUnboundDestinationUnbound) {
    U8 src(vkPelRect(0, 0, 5, 5)), mask(vkPelRect(5, 0, 5, 5));
    U8 dst;
    vf_MaskedPelCopy(src, mask, dst, false);
    EXPECT_FALSE(dst.isBound());
}

TEST(MaskedPelCopy, UnboundSourceThrowsBeforeAllocatingTheDestination) {
    U8 mask(4, 4), dst;
    EXPECT_THROW(vf_MaskedPelCopy(U8(), mask, dst, false), vkPel::UnboundWindow);
    EXPECT_FALSE(dst.isBound());
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

TEST(MaskedPelDivide, MatchesRoundedQuotientOnRandomImagesInsideLargerStorage) {
    for (std::uint32_t scale : {255u, 1u, 1000u, 32767u, 65535u, 0xFFFFFFu, 0x1000000u, 0x1000001u, 0xFFFFFFFFu}) {
        for (std::int32_t w : {1, 3, 8, 9, 64, 65}) {
            const std::uint32_t seed = scale % 997 + static_cast<std::uint32_t>(w);
            auto gen = testimg::rng(seed);
            auto num = testimg::embedded<std::uint16_t>(testimg::random<std::uint16_t>(w, 5, gen, 0, 65535), 2, 7,
                                                        P(1, 1));
            auto den = testimg::embedded<std::uint16_t>(testimg::random<std::uint16_t>(w, 5, gen, 0, 65535), 1, 9,
                                                        P(1, 1));
            // Small numerators keep many quotients inside 0..255.
            for (std::int32_t x = 0; x < w; x += 2) num.set(P(1 + x, 2), static_cast<std::uint16_t>(x % 300));
            den.set(P(1, 3), 0);  // a zero denominator at an included pixel
            auto mask = testimg::embedded<std::uint8_t>(halfMask(w, 5, gen), 1, 255, P(1, 1));
            auto dst = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 5, gen), 3, 42, P(1, 1));
            const auto before = testimg::storagePixels<std::uint8_t>(dst);
            const auto old = pixels<std::uint8_t>(dst);
            vf_MaskedPelDivide(num, den, mask, dst, scale);
            const auto got = pixels<std::uint8_t>(dst);
            for (std::int32_t y = 0; y < 5; ++y)
                for (std::int32_t x = 0; x < w; ++x) {
                    const P p(1 + x, 1 + y);
                    const auto i = static_cast<std::size_t>(y * w + x);
                    const bool divided = mask.get(p) != 0 && den.get(p) != 0;
                    const auto want = divided ? referenceQuotient(num.get(p), den.get(p), scale) : old[i];
                    ASSERT_EQ(got[i], want) << "seed " << seed << " scale " << scale << " at " << x << "," << y;
                }
            EXPECT_EQ(testimg::changedOutsideWindow(before, dst), 0u);
        }
    }
}

TEST(MaskedPelDivide, QuotientJustBelowAnIntegerIsNotRoundedUp) {
    // For every denominator d, the numerators whose dividend n * scale + d / 2
    // is one short of a multiple of d (quotient k - 1/d, the case a float
    // shortcut rounds up), or exactly a multiple. n solves
    // n * scale = target (mod d) with the inverse of scale modulo d.
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
        const std::uint8_t* q = dst.pointToOffset();
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < nums.size(); ++i)
            if (q[i] != referenceQuotient(nums[i], dens[i], scale) && ++wrong < 5)
                ADD_FAILURE() << "scale " << scale << ": " << nums[i] << " / " << dens[i] << " gave " << int(q[i]);
        EXPECT_EQ(wrong, 0u) << "scale " << scale << " over " << count << " pairs";
    }
}

TEST(MaskedPelDivide, HalfwayQuotientRoundsUpAndEqualInputsGiveTheScale) {
    U16 num(2, 1), den(2, 1);
    num.set(P(0, 0), 100);
    den.set(P(0, 0), 200);
    num.set(P(1, 0), 4321);
    den.set(P(1, 0), 4321);
    U8 dst;
    vf_MaskedPelDivide(num, den, U8(), dst, 255);
    EXPECT_EQ(dst.get(P(0, 0)), 128);
    EXPECT_EQ(dst.get(P(1, 0)), 255);
}

TEST(MaskedPelDivide, ZeroDenominatorLeavesThePixelWithOrWithoutMask) {
    U16 num(3, 1), den(3, 1);
    vfPelSet(num, std::uint16_t{50});
    den.set(P(2, 0), 100);
    U8 mask(3, 1);
    mask.set(P(1, 0), 255);
    mask.set(P(2, 0), 255);
    U8 dst(3, 1);
    vfPelSet(dst, std::uint8_t{9});
    vf_MaskedPelDivide(num, den, mask, dst, 255);  // pixel 0 masked off, pixel 1 zero weight
    EXPECT_EQ(pixels<std::uint8_t>(dst), (std::vector<std::uint8_t>{9, 9, 128}));
    vf_MaskedPelDivide(num, den, U8(), dst, 255);
    EXPECT_EQ(pixels<std::uint8_t>(dst), (std::vector<std::uint8_t>{9, 9, 128}));
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

TEST(MaskedPelDivide, BoundDestinationIsWrittenOnlyInsideItsOwnWindow) {
    U16 num(8, 8), den(8, 8);
    vfPelSet(num, std::uint16_t{1});
    vfPelSet(den, std::uint16_t{1});
    auto dst = testimg::embedded<std::uint8_t>(U8(4, 4), 2, 7, P(2, 2));  // storage spans 0..7
    const auto before = testimg::storagePixels<std::uint8_t>(dst);
    vf_MaskedPelDivide(num, den, U8(), dst, 200);
    EXPECT_EQ(pixels<std::uint8_t>(dst), std::vector<std::uint8_t>(16, 200));
    EXPECT_EQ(testimg::changedOutsideWindow(before, dst), 0u);
}

TEST(MaskedPelDivide, UnboundOperandThrowsWithDestinationUnchanged) {
    U16 bound(3, 3);
    U8 dst(3, 3);
    vfPelSet(dst, std::uint8_t{5});
    EXPECT_THROW(vf_MaskedPelDivide(U16(), bound, U8(), dst, 255), vkPel::UnboundWindow);
    EXPECT_THROW(vf_MaskedPelDivide(bound, U16(), U8(), dst, 255), vkPel::UnboundWindow);
    EXPECT_EQ(pixels<std::uint8_t>(dst), std::vector<std::uint8_t>(9, 5));
    U8 unbound;
    EXPECT_THROW(vf_MaskedPelDivide(bound, U16(), U8(), unbound, 255), vkPel::UnboundWindow);
    EXPECT_FALSE(unbound.isBound());
}
