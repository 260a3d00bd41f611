#include <gtest/gtest.h>

#include <algorithm>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using U8 = vkPelBuffer<std::uint8_t>;
using U16 = vkPelBuffer<std::uint16_t>;

// (n * scale + d / 2) / d in 64 bits, saturated at 255.
static std::uint8_t referenceQuotient(std::uint32_t n, std::uint32_t d, std::uint32_t scale) {
    return static_cast<std::uint8_t>(std::min<std::uint64_t>((std::uint64_t{n} * scale + d / 2) / d, 255));
}

template <class T>
static void expectNaiveMaskedCopy(std::uint32_t top) {
    for (bool invert : {false, true})
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65}) {
            const auto seed = static_cast<std::uint32_t>(200 + w * 2 + (invert ? 1 : 0));
            auto gen = testimg::rng(seed);
            auto src =
                testimg::embedded<T>(testimg::random<T>(w + 2, 4, gen, 0, top), 1, 0, P(10, 20));
            auto mask = testimg::embeddedWithMargins<std::uint8_t>(testimg::random<std::uint8_t>(w + 2, 4, gen, 0, 2),
                                                                   0, 0, 3, 1, 255, P(10, 20));
            // The destination starts one column right of the source.
            auto dst = testimg::embeddedWithMargins<T>(testimg::random<T>(w + 1, 4, gen, 0, top), 2,
                                                       0, 0, 2, 77, P(11, 20));
            const auto before = testimg::storagePixels<T>(dst);
            vf_MaskedPelCopy(src, mask, dst, invert);
            const auto want = [&](P p, T old) {
                return (mask.get(p) != 0) != invert ? src.get(p) : old;
            };
            EXPECT_EQ(testimg::windowMismatch(before, dst, want), "") << testimg::trace(w, 4, seed) << " " << invert;
        }
}

TEST(MaskedPelCopy, MatchesNaiveCopyIntoSmallerBoundDestinationAndLeavesTheRest) {
    expectNaiveMaskedCopy<std::uint8_t>(255);
    expectNaiveMaskedCopy<std::uint16_t>(65535);
}

TEST(MaskedPelCopy, UnboundDestinationIsAllocatedZeroedOnTheCommonRectangleUnlessEmpty) {
    auto gen = testimg::rng(9);
    auto src = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(12, 6, gen), 2, 1, P(3, 4));
    src.clientFromImageXform(vkXform<2>::translation(0.5, -2));
    U8 mask(vkPelRect(6, 2, 20, 20)), dst, none, copy;
    for (std::int32_t y = 2; y < 22; ++y)
        for (std::int32_t x = 10; x < 26; ++x) mask.set(P(x, y), 255);  // the left 4 columns stay 0
    vf_MaskedPelCopy(src, mask, dst, false);
    ASSERT_EQ(dst.window(), vkPelRect(6, 4, 9, 6));
    EXPECT_EQ(dst.clientFromImageXformBase(), src.clientFromImageXformBase());
    EXPECT_EQ(testimg::windowMismatch(std::vector<std::uint8_t>(54), dst, [&](P p, auto) { return p.x() >= 10 ? src.get(p) : 0; }), "");
    vf_MaskedPelCopy(src, U8(vkPelRect(15, 0, 5, 5)), none, false);
    EXPECT_FALSE(none.isBound());
    // An unbound mask copies the whole source; an unbound source throws.
    vf_MaskedPelCopy(src, U8(), copy, true);
    EXPECT_EQ(copy.window(), src.window());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(copy), testimg::pixels<std::uint8_t>(src));
    EXPECT_THROW(vf_MaskedPelCopy(U8(), U8(4, 4), none, false), vkPel::UnboundWindow);
    EXPECT_FALSE(none.isBound());
}

TEST(MaskedPelCopy, SourceAndMaskSharingDestinationStorageAtAShiftAreReadAsBeforeTheCall) {
    // dst position x is storage pixel x + 1; the source, also the mask, is x.
    auto gen = testimg::rng(12);
    auto base = testimg::random<std::uint8_t>(40, 1, gen, 0, 2);
    const auto before = testimg::pixels<std::uint8_t>(base);
    U8 src(base), dst(base);
    src.window(vkPelRect(0, 0, 39, 1));
    dst.window(vkPelRect(1, 0, 39, 1));
    dst.offset(P(0, 0));
    vf_MaskedPelCopy(src, src, dst, false);
    const auto want = [&](P p, std::uint8_t old) { return before[std::size_t(p.x())] == 0 ? old : before[std::size_t(p.x())]; };
    EXPECT_EQ(testimg::windowMismatch(before, dst, want), "");
}

TEST(MaskedPelDivide, MatchesRoundedQuotientAndSkipsMaskedOffAndZeroDenominators) {
    for (std::uint32_t scale : {255u, 1u, 1000u, 32767u, 65535u, 0xFFFFFFu, 0x1000001u, 0xFFFFFFFFu})
        for (bool masked : {true, false})
            for (std::int32_t w : {1, 3, 8, 9, 64, 65}) {
                const std::uint32_t seed = scale % 997 + static_cast<std::uint32_t>(w);
                auto gen = testimg::rng(seed);
                auto num = testimg::embedded<std::uint16_t>(testimg::random<std::uint16_t>(w, 5, gen, 0, 65535), 2, 7);
                auto den = testimg::embedded<std::uint16_t>(testimg::random<std::uint16_t>(w, 5, gen, 0, 65535), 1, 9);
                // Small numerators keep many quotients inside 0..255.
                for (std::int32_t x = 0; x < w; x += 2) num.set(P(x, 1), static_cast<std::uint16_t>(x % 300));
                den.set(P(0, 2), 0);  // a zero denominator at an included pixel
                U8 mask;
                if (masked) mask = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 5, gen, 0, 2), 1, 255);
                // A destination window one row shorter: only it may be written.
                auto dst = testimg::embedded<std::uint8_t>(testimg::random<std::uint8_t>(w, 4, gen), 3, 42, P(0, 1));
                const auto before = testimg::storagePixels<std::uint8_t>(dst);
                vf_MaskedPelDivide(num, den, mask, dst, scale);
                const auto want = [&](P p, std::uint8_t old) {
                    const bool on = (!masked || mask.get(p) != 0) && den.get(p) != 0;
                    return on ? referenceQuotient(num.get(p), den.get(p), scale) : old;
                };
                ASSERT_EQ(testimg::windowMismatch(before, dst, want), "") << testimg::trace(w, 5, seed) << " scale " << scale << " masked " << masked;
            }
}

TEST(MaskedPelDivide, QuotientJustBelowAnIntegerIsNotRoundedUp) {
    // Every dividend n * scale + d / 2 equal to k * d or one short of it
    // (quotient k - 1/d, which a float shortcut may round up), k < 256.
    for (std::uint32_t scale : {1u, 255u, 32767u}) {
        std::vector<std::uint16_t> nums, dens;
        for (std::uint32_t d = 2; d <= 65535; ++d)
            for (std::uint32_t k = 1; k < 256 && k * d - d / 2 - 1 <= 65535 * scale; ++k)
                for (std::uint32_t product : {k * d - d / 2, k * d - d / 2 - 1})
                    if (product % scale == 0 && product / scale <= 65535)
                        nums.push_back(std::uint16_t(product / scale)), dens.push_back(std::uint16_t(d));
        U16 num(static_cast<std::int32_t>(nums.size()), 1), den(static_cast<std::int32_t>(nums.size()), 1);
        std::copy(nums.begin(), nums.end(), num.pointToOffset());
        std::copy(dens.begin(), dens.end(), den.pointToOffset());
        U8 dst;
        vf_MaskedPelDivide(num, den, U8(), dst, scale);
        for (std::size_t i = 0; i < nums.size(); ++i)
            ASSERT_EQ(dst.pointToOffset()[i], referenceQuotient(nums[i], dens[i], scale))
                << "scale " << scale << ": " << nums[i] << " / " << dens[i];
    }
}

TEST(MaskedPelDivide, UnboundDestinationGetsTheRectangleEvenWhenEmptyUnboundOperandThrows) {
    U16 num(vkPelRect(0, 0, 10, 10)), den(vkPelRect(4, 3, 10, 10));
    num.clientFromImageXform(vkXform<2>::scale(2, 2));
    vfPelSet(num, std::uint16_t{3});
    vfPelSet(den, std::uint16_t{6});
    U8 mask(vkPelRect(-5, -5, 12, 20)), dst, none;
    vfPelSet(mask, std::uint8_t{1});
    vf_MaskedPelDivide(num, den, mask, dst, 100);
    EXPECT_EQ(dst.window(), vkPelRect(4, 3, 3, 7));
    EXPECT_EQ(dst.clientFromImageXformBase(), num.clientFromImageXformBase());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(dst), std::vector<std::uint8_t>(21, 50));
    vf_MaskedPelDivide(num, den, U8(vkPelRect(50, 50, 2, 2)), none, 100);
    EXPECT_TRUE(none.isBound() && none.window().isNull());
    none = U8();
    EXPECT_THROW(vf_MaskedPelDivide(U16(), den, U8(), dst, 255), vkPel::UnboundWindow);
    EXPECT_THROW(vf_MaskedPelDivide(num, U16(), U8(), none, 255), vkPel::UnboundWindow);
    EXPECT_FALSE(none.isBound());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(dst), std::vector<std::uint8_t>(21, 50));
}
