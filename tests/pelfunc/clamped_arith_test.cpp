#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;

namespace {

// Each operation and its definition: widen to int, compute, clamp.
struct Case {
    std::string name;
    std::function<void(const vkPelBuffer<Pel>&, const vkPelBuffer_const<Pel>&)> op;
    std::function<Pel(int, int)> ref;
};

std::vector<Case> cases() {
    std::vector<Case> c;
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

// Runs c; dst must hold the definition, from the source's old pixels, on the
// common window and its old pixels elsewhere.
void expectResult(const Case& c, const vkPelBuffer<Pel>& dst, const vkPelBuffer_const<Pel>& src) {
    const auto before = testimg::storagePixels<Pel>(dst);
    const auto oldSrc = testimg::crop<Pel>(src, src.window());
    c.op(dst, src);
    const auto want = [&](P p, Pel old) { return src.window().contains(p) ? c.ref(old, oldSrc.get(p)) : old; };
    ASSERT_EQ(testimg::windowMismatch(before, dst, want), "") << c.name;
}

}  // namespace

TEST(ClampedArith, EveryValuePairMatchesTheWidenedFormula) {
    // d runs along x and s along y, on 256-wide rows taken in whole blocks.
    for (const Case& c : cases()) {
        vkPelBuffer<Pel> d(256, 256), s(256, 256);
        for (std::int32_t y = 0; y < 256; ++y)
            for (std::int32_t x = 0; x < 256; ++x) d.set(P(x, y), Pel(x)), s.set(P(x, y), Pel(y));
        expectResult(c, d, s);
    }
}

TEST(ClampedArith, BlockAndTailWidthsOfAPartlyOverlappingWindowAtTheStorageCorner) {
    // The destination flush with its storage's lower-right corner, the source
    // (other stride) one column to its left: disjoint at width 1.
    for (const Case& c : cases())
        for (std::int32_t w : {1, 2, 3, 7, 8, 9, 15, 16, 17, 18, 31, 32, 33, 34, 63, 64, 65, 66})
            for (std::int32_t h : {1, 3}) {
                const auto seed = static_cast<std::uint32_t>(w * 10 + h);
                SCOPED_TRACE(testimg::trace(w, h, seed));
                auto gen = testimg::rng(seed);
                auto d = testimg::random<Pel>(70, 4, gen);
                auto s = testimg::random<Pel>(71, 5, gen);
                d.window(vkPelRect(70 - w, 4 - h, w, h));
                s.window(vkPelRect(69 - w, 4 - h, w, h));
                expectResult(c, d, s);
            }
}

TEST(ClampedArith, SourceSharingTheDestinationAtAShiftIsReadAsBeforeTheCall) {
    // The source one pixel right or left of the destination in one storage.
    for (const Case& c : cases())
        for (std::int32_t srcStart : {1, 0}) {
            auto gen = testimg::rng(34);
            auto base = testimg::random<Pel>(40, 3, gen);
            vkPelBuffer<Pel> src = base, dst = base;
            src.window(vkPelRect(srcStart, 0, 39, 3));
            src.offset(P(0, 0));
            dst.window(vkPelRect(1 - srcStart, 0, 39, 3));
            dst.offset(P(0, 0));
            expectResult(c, dst, src);
        }
}

TEST(ClampedArith, UnboundBufferThrowsBeforeWriting) {
    auto gen = testimg::rng(33);
    auto d = testimg::random<Pel>(9, 4, gen);
    const auto before = testimg::pixels<Pel>(d);
    for (const Case& c : cases()) {
        EXPECT_THROW(c.op(d, vkPelBuffer<Pel>()), vkPel::UnboundWindow) << c.name;
        EXPECT_THROW(c.op(vkPelBuffer<Pel>(), d), vkPel::UnboundWindow) << c.name;
    }
    EXPECT_EQ(testimg::pixels<Pel>(d), before);
}
