#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/images.h"

using P = vkPair<std::int32_t>;

namespace {

// Each operation and its definition: widen to int, compute, clamp.
template <class Pel>
struct Case {
    std::string name;
    std::function<void(const vkPelBuffer<Pel>&, const vkPelBuffer_const<Pel>&)> op;
    std::function<Pel(int, int)> ref;
};

std::vector<Case<std::uint8_t>> cases8() {
    using Pel = std::uint8_t;
    std::vector<Case<Pel>> c;
    for (int r : {0, 1, 10, 126, 127, 128, 200, 255})
        c.push_back({"SubClamp r=" + std::to_string(r),
                     [r](auto& d, auto& s) { vf_PelSubClamp(d, s, static_cast<unsigned char>(r)); },
                     [r](int d, int s) { return Pel(std::clamp(d - s, -std::min(r, 127), std::min(r, 127)) + 128); }});
    c.push_back({"SubClampSigned", [](auto& d, auto& s) { vf_PelSubClampSigned(d, s); },
                 [](int d, int s) { return Pel(std::clamp(d - s + 128, 0, 255)); }});
    c.push_back({"AddClamp", [](auto& d, auto& s) { vf_PelAddClamp(d, s); },
                 [](int d, int s) { return Pel(std::clamp(d + s - 128, 0, 255)); }});
    return c;
}

// The 16-bit forms at depths 9, 12 and 16, with h = 2^(depth-1).
std::vector<Case<std::uint16_t>> cases16() {
    using Pel = std::uint16_t;
    std::vector<Case<Pel>> c;
    for (int depth : {9, 12, 16}) {
        const int h = 1 << (depth - 1), top = 2 * h - 1;
        const std::string at = " depth " + std::to_string(depth);
        for (int r : {0, 1, 200, h - 2, h - 1, h, 65535})
            c.push_back(
                {"SubClamp r=" + std::to_string(r) + at,
                 [r, depth](auto& d, auto& s) { vf_PelSubClamp(d, s, static_cast<Pel>(r), depth); },
                 [r, h](int d, int s) {
                     return Pel(std::clamp(d - s, -std::min(r, h - 1), std::min(r, h - 1)) + h);
                 }});
        c.push_back({"SubClampSigned" + at,
                     [depth](auto& d, auto& s) { vf_PelSubClampSigned(d, s, depth); },
                     [h, top](int d, int s) { return Pel(std::clamp(d - s + h, 0, top)); }});
        c.push_back({"AddClamp" + at, [depth](auto& d, auto& s) { vf_PelAddClamp(d, s, depth); },
                     [h, top](int d, int s) { return Pel(std::clamp(d + s - h, 0, top)); }});
    }
    return c;
}

// Runs c; dst must hold the definition, from the source's old pixels, on the
// common window and its old pixels elsewhere.
template <class Pel>
void expectResult(const Case<Pel>& c, const vkPelBuffer<Pel>& dst,
                  const vkPelBuffer_const<Pel>& src) {
    const auto before = testimg::storagePixels<Pel>(dst);
    const auto oldSrc = testimg::crop<Pel>(src, src.window());
    c.op(dst, src);
    const auto want = [&](P p, Pel old) { return src.window().contains(p) ? c.ref(old, oldSrc.get(p)) : old; };
    ASSERT_EQ(testimg::windowMismatch(before, dst, want), "") << c.name;
}

// d runs along x and s along y over every pair of values.
template <class Pel>
void expectEveryPair(const Case<Pel>& c, const std::vector<Pel>& values) {
    const auto n = static_cast<std::int32_t>(values.size());
    vkPelBuffer<Pel> d(n, n), s(n, n);
    for (std::int32_t y = 0; y < n; ++y)
        for (std::int32_t x = 0; x < n; ++x)
            d.set(P(x, y), values[std::size_t(x)]), s.set(P(x, y), values[std::size_t(y)]);
    expectResult(c, d, s);
}

template <class Pel>
void expectBlockAndTailWidths(const Case<Pel>& c, std::uint32_t top) {
    // The destination flush with its storage's lower-right corner, the source
    // (other stride) one column to its left: disjoint at width 1.
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 15, 16, 17, 18, 31, 32, 33, 34, 63, 64, 65, 66})
        for (std::int32_t h : {1, 3}) {
            const auto seed = static_cast<std::uint32_t>(w * 10 + h);
            SCOPED_TRACE(testimg::trace(w, h, seed));
            auto gen = testimg::rng(seed);
            auto d = testimg::random<Pel>(70, 4, gen, 0, top);
            auto s = testimg::random<Pel>(71, 5, gen, 0, top);
            d.window(vkPelRect(70 - w, 4 - h, w, h));
            s.window(vkPelRect(69 - w, 4 - h, w, h));
            expectResult(c, d, s);
        }
}

template <class Pel>
void expectShiftedAliasReadAsBefore(const Case<Pel>& c, std::uint32_t top) {
    // The source one pixel right or left of the destination in one storage.
    for (std::int32_t srcStart : {1, 0}) {
        auto gen = testimg::rng(34);
        auto base = testimg::random<Pel>(40, 3, gen, 0, top);
        vkPelBuffer<Pel> src = base, dst = base;
        src.window(vkPelRect(srcStart, 0, 39, 3));
        src.offset(P(0, 0));
        dst.window(vkPelRect(1 - srcStart, 0, 39, 3));
        dst.offset(P(0, 0));
        expectResult(c, dst, src);
    }
}

}  // namespace

TEST(ClampedArith, EveryValuePairMatchesTheWidenedFormula) {
    std::vector<std::uint8_t> all8(256);
    for (std::size_t v = 0; v < 256; ++v)
        all8[v] = std::uint8_t(v);
    for (const auto& c : cases8())
        expectEveryPair(c, all8);
    // 16-bit: both ends and the bias of every depth, and values above a
    // depth, which are taken as they are.
    std::vector<std::uint16_t> ends;
    for (int depth : {9, 12, 16})
        for (int base : {0, 1 << (depth - 1), (1 << depth) - 1})
            for (int k = -2; k <= 2; ++k)
                ends.push_back(std::uint16_t(std::clamp(base + k, 0, 65535)));
    for (const auto& c : cases16())
        expectEveryPair(c, ends);
}

TEST(ClampedArith, BlockAndTailWidthsAtTheStorageCornerAndSourcesSharingTheDestination) {
    for (const auto& c : cases8()) {
        expectBlockAndTailWidths(c, 255);
        expectShiftedAliasReadAsBefore(c, 255);
    }
    for (const auto& c : cases16()) {
        expectBlockAndTailWidths(c, 65535);
        expectShiftedAliasReadAsBefore(c, 65535);
    }
}

TEST(ClampedArith, UnboundBufferOrBadDepthThrowsBeforeWriting) {
    auto gen = testimg::rng(33);
    auto d = testimg::random<std::uint8_t>(9, 4, gen);
    const auto before = testimg::pixels<std::uint8_t>(d);
    for (const auto& c : cases8()) {
        EXPECT_THROW(c.op(d, vkPelBuffer<std::uint8_t>()), vkPel::UnboundWindow) << c.name;
        EXPECT_THROW(c.op(vkPelBuffer<std::uint8_t>(), d), vkPel::UnboundWindow) << c.name;
    }
    EXPECT_EQ(testimg::pixels<std::uint8_t>(d), before);
    auto d16 = testimg::random<std::uint16_t>(9, 4, gen, 0, 65535);
    const auto before16 = testimg::pixels<std::uint16_t>(d16);
    for (const auto& c : cases16())
        EXPECT_THROW(c.op(d16, vkPelBuffer<std::uint16_t>()), vkPel::UnboundWindow) << c.name;
    for (int depth : {0, 17}) {
        EXPECT_THROW(vf_PelSubClamp(d16, d16, 5, depth), vkPelFunc::BadParams);
        EXPECT_THROW(vf_PelSubClampSigned(d16, d16, depth), vkPelFunc::BadParams);
        EXPECT_THROW(vf_PelAddClamp(d16, d16, depth), vkPelFunc::BadParams);
    }
    EXPECT_EQ(testimg::pixels<std::uint16_t>(d16), before16);
}
