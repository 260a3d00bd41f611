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

// Runs c on dst and src and compares dst's storage with the definition on
// the common window, the old pixels elsewhere; srcAt gives the source value
// read at a position (before the call).
template <class F>
void expectResult(const Case& c, const vkPelBuffer<Pel>& dst, const vkPelBuffer_const<Pel>& src, F srcAt) {
    const auto before = testimg::storagePixels<Pel>(dst);
    c.op(dst, src);
    ASSERT_EQ(testimg::windowMismatch(before, dst,
                                      [&](P p, Pel old) { return src.window().contains(p) ? c.ref(old, srcAt(p)) : old; }),
              "")
        << c.name;
}

}  // namespace

TEST(ClampedArith, EveryValuePairMatchesTheWidenedFormula) {
    // d runs along x and s along y, on 256-wide rows taken in whole blocks.
    for (const Case& c : cases()) {
        vkPelBuffer<Pel> d(256, 256), s(256, 256);
        for (std::int32_t y = 0; y < 256; ++y)
            for (std::int32_t x = 0; x < 256; ++x) d.set(P(x, y), Pel(x)), s.set(P(x, y), Pel(y));
        expectResult(c, d, s, [&](P p) { return s.get(p); });
    }
}

TEST(ClampedArith, BlockAndTailWidthsOfAPartlyOverlappingWindowAtTheStorageCorner) {
    // The destination is flush with its storage's lower-right corner; the
    // source, in storage of another stride, one column to its left (disjoint
    // at width 1).
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
                expectResult(c, d, s, [&](P p) { return s.get(p); });
            }
}

TEST(ClampedArith, SourceSharingTheDestinationAtAShiftIsReadAsBeforeTheCall) {
    // Views of one storage, the source one pixel to the right or to the left
    // of the destination: a kernel reading pixels it already wrote differs.
    for (const Case& c : cases())
        for (std::int32_t srcStart : {1, 0}) {
            auto gen = testimg::rng(34);
            auto base = testimg::random<Pel>(40, 3, gen);
            const auto orig = testimg::pixels<Pel>(base);
            vkPelBuffer<Pel> src = base, dst = base;
            src.window(vkPelRect(srcStart, 0, 39, 3));
            src.offset(P(0, 0));
            dst.window(vkPelRect(1 - srcStart, 0, 39, 3));
            dst.offset(P(0, 0));
            expectResult(c, dst, src, [&](P p) { return orig[std::size_t(p.y() * 40 + p.x() + srcStart)]; });
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
