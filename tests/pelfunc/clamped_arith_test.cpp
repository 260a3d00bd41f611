#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
using testimg::at;
using testimg::pixels;

namespace {

// The operations as written down: widen to int, compute, clamp.
Pel refSubClamp(int d, int s, int maxDifference) {
    const int r = std::min(maxDifference, 127);
    return static_cast<Pel>(std::clamp(d - s, -r, r) + 128);
}
Pel refSubClampSigned(int d, int s) { return static_cast<Pel>(std::clamp(d - s + 128, 0, 255)); }
Pel refAddClamp(int d, int s) { return static_cast<Pel>(std::clamp(d + s - 128, 0, 255)); }

using Op = std::function<void(const vkPelBuffer<Pel>&, const vkPelBuffer_const<Pel>&)>;
using Ref = std::function<Pel(int, int)>;

struct Case {
    std::string name;
    Op op;
    Ref ref;
};

std::vector<Case> cases() {
    std::vector<Case> c;
    for (int r : {0, 1, 10, 126, 127, 128, 200, 255})
        c.push_back({"SubClamp r=" + std::to_string(r),
                     [r](const vkPelBuffer<Pel>& d, const vkPelBuffer_const<Pel>& s) {
                         vf_PelSubClamp(d, s, static_cast<unsigned char>(r));
                     },
                     [r](int d, int s) { return refSubClamp(d, s, r); }});
    c.push_back({"SubClampSigned", [](auto& d, auto& s) { vf_PelSubClampSigned(d, s); }, refSubClampSigned});
    c.push_back({"AddClamp", [](auto& d, auto& s) { vf_PelAddClamp(d, s); }, refAddClamp});
    return c;
}

// Every (d, s) pair of 8-bit values: d runs along x, s along y (and the other
// way round), on 256-wide rows that the kernel takes in whole blocks.
void expectAllPairs(const Case& c) {
    vkPelBuffer<Pel> d(256, 256), s(256, 256);
    for (int transpose = 0; transpose < 2; ++transpose) {
        for (std::int32_t y = 0; y < 256; ++y)
            for (std::int32_t x = 0; x < 256; ++x) {
                d.set(P(x, y), static_cast<Pel>(transpose ? y : x));
                s.set(P(x, y), static_cast<Pel>(transpose ? x : y));
            }
        c.op(d, s);
        for (std::int32_t y = 0; y < 256; ++y)
            for (std::int32_t x = 0; x < 256; ++x) {
                const int dv = transpose ? y : x, sv = transpose ? x : y;
                ASSERT_EQ(at<Pel>(d, x, y), c.ref(dv, sv)) << c.name << " d=" << dv << " s=" << sv;
            }
    }
}

// Runs the case on d and s (equal window positions) and checks every pixel of
// d's storage: inside the window the per-pixel result, elsewhere unchanged.
void expectWindowResult(const Case& c, const vkPelBuffer<Pel>& d, const vkPelBuffer_const<Pel>& s) {
    vkPelBuffer<Pel> all(d);
    all.setEntire();
    const auto before = pixels<Pel>(all);
    c.op(d, s);
    const auto after = pixels<Pel>(all);
    for (std::int32_t y = 0; y < all.height(); ++y)
        for (std::int32_t x = 0; x < all.width(); ++x) {
            const auto i = static_cast<std::size_t>(y * all.width() + x);
            const P p = all.offset() + P(x, y);
            if (d.window().contains(p)) {
                ASSERT_EQ(after[i], c.ref(before[i], s.get(p))) << "at " << p.x() << "," << p.y();
            } else {
                ASSERT_EQ(after[i], before[i]) << "outside the window at " << p.x() << "," << p.y();
            }
        }
}

// Windows of every small width, in the middle of larger storage and flush
// with its lower-right corner.
void expectWindowSweep(const Case& c) {
    for (std::int32_t w : {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65}) {
        for (std::int32_t h : {1, 3}) {
            const std::uint32_t seed = static_cast<std::uint32_t>(w * 10 + h);
            SCOPED_TRACE(c.name + " " + std::to_string(w) + "x" + std::to_string(h) + " seed " +
                         std::to_string(seed));
            auto gen = testimg::rng(seed);
            const auto d = testimg::embedded<Pel>(testimg::random<Pel>(w, h, gen), 2, 0x5A, P(7, -3));
            const auto s = testimg::embedded<Pel>(testimg::random<Pel>(w, h, gen), 5, 0xC3, P(7, -3));
            expectWindowResult(c, d, s);

            auto dc = testimg::random<Pel>(70, 4, gen);
            auto sc = testimg::random<Pel>(70, 4, gen);
            dc.window(vkPelRect(70 - w, 4 - h, w, h));
            sc.window(vkPelRect(70 - w, 4 - h, w, h));
            expectWindowResult(c, dc, sc);
        }
    }
}

}  // namespace

TEST(ClampedArith, EveryValuePairMatchesTheWidenedFormula) {
    for (const Case& c : cases()) expectAllPairs(c);
}

TEST(ClampedArith, BlockAndTailWidthsInsideLargerStorage) {
    for (const Case& c : cases()) expectWindowSweep(c);
}

TEST(ClampedArith, DocumentedValues) {
    auto one = [](int d, int s, const std::function<void(const vkPelBuffer<Pel>&, const vkPelBuffer_const<Pel>&)>& f) {
        auto a = testimg::fromRows<Pel>(1, 1, {static_cast<Pel>(d)});
        auto b = testimg::fromRows<Pel>(1, 1, {static_cast<Pel>(s)});
        f(a, b);
        return static_cast<int>(at<Pel>(a, 0, 0));
    };
    auto sub = [](int r) { return [r](auto& d, auto& s) { vf_PelSubClamp(d, s, static_cast<unsigned char>(r)); }; };
    auto subSigned = [](auto& d, auto& s) { vf_PelSubClampSigned(d, s); };
    auto add = [](auto& d, auto& s) { vf_PelAddClamp(d, s); };
    EXPECT_EQ(one(255, 0, sub(0)), 128);
    EXPECT_EQ(one(255, 0, sub(200)), 255);
    EXPECT_EQ(one(0, 255, sub(200)), 1);
    EXPECT_EQ(one(100, 50, sub(10)), 138);
    EXPECT_EQ(one(50, 100, sub(10)), 118);
    EXPECT_EQ(one(200, 40, subSigned), 255);
    EXPECT_EQ(one(10, 200, subSigned), 0);
    EXPECT_EQ(one(77, 128, subSigned), 77);
    EXPECT_EQ(one(200, 200, add), 255);
    EXPECT_EQ(one(77, 128, add), 77);
}

TEST(ClampedArith, OnlyTheCommonWindowChangesAtEqualPositions) {
    auto gen = testimg::rng(31);
    auto d = testimg::random<Pel>(20, 10, gen);
    auto s = testimg::embedded<Pel>(testimg::random<Pel>(12, 6, gen), 3, 9, P(13, 6));
    const auto before = pixels<Pel>(d);
    vf_PelSubClampSigned(d, s);
    for (std::int32_t y = 0; y < 10; ++y)
        for (std::int32_t x = 0; x < 20; ++x) {
            const Pel old = before[static_cast<std::size_t>(y * 20 + x)];
            const bool inside = s.window().contains(P(x, y));
            EXPECT_EQ(d.get(P(x, y)), inside ? refSubClampSigned(old, s.get(P(x, y))) : old) << x << "," << y;
        }
    // The caller's handles keep their windows.
    EXPECT_EQ(d.window(), vkPelRect(0, 0, 20, 10));
    EXPECT_EQ(s.window(), vkPelRect(13, 6, 12, 6));
}

TEST(ClampedArith, DisjointWindowsChangeNothing) {
    auto gen = testimg::rng(32);
    auto d = testimg::random<Pel>(8, 8, gen);
    vkPelBuffer<Pel> s(vkPelRect(8, 0, 8, 8));
    const auto before = pixels<Pel>(d);
    EXPECT_NO_THROW(vf_PelAddClamp(d, s));
    EXPECT_NO_THROW(vf_PelSubClamp(d, s, 5));
    EXPECT_EQ(pixels<Pel>(d), before);
}

TEST(ClampedArith, UnboundBufferThrowsBeforeWriting) {
    auto gen = testimg::rng(33);
    auto d = testimg::random<Pel>(9, 4, gen);
    const auto before = pixels<Pel>(d);
    const vkPelBuffer<Pel> unbound;
    EXPECT_THROW(vf_PelSubClamp(d, unbound, 3), vkPel::UnboundWindow);
    EXPECT_THROW(vf_PelSubClampSigned(d, unbound), vkPel::UnboundWindow);
    EXPECT_THROW(vf_PelAddClamp(d, unbound), vkPel::UnboundWindow);
    EXPECT_THROW(vf_PelAddClamp(unbound, d), vkPel::UnboundWindow);
    EXPECT_EQ(pixels<Pel>(d), before);
}

TEST(ClampedArith, SourceSharingTheDestinationReadsValuesBeforeTheCall) {
    auto gen = testimg::rng(34);
    auto base = testimg::random<Pel>(40, 3, gen);
    const auto orig = pixels<Pel>(base);
    // Identical windows: d - d gives 128 everywhere.
    vf_PelSubClamp(base, base, 50);
    for (Pel v : pixels<Pel>(base)) ASSERT_EQ(v, 128);

    // The source is the same storage one pixel to the right.
    base = testimg::fromRows<Pel>(40, 3, orig);
    vkPelBuffer<Pel> src = base;
    src.window(vkPelRect(1, 0, 39, 3));
    src.offset(P(0, 0));
    vkPelBuffer<Pel> dst = base;
    dst.window(vkPelRect(0, 0, 39, 3));
    vf_PelAddClamp(dst, src);
    for (std::int32_t y = 0; y < 3; ++y)
        for (std::int32_t x = 0; x < 39; ++x)
            ASSERT_EQ(at<Pel>(base, x, y), refAddClamp(orig[static_cast<std::size_t>(y * 40 + x)],
                                                       orig[static_cast<std::size_t>(y * 40 + x + 1)]))
                << x << "," << y;
}

