// Test scenes for the tool: textures, other lighting, masks, trained tools, comparisons.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <typeinfo>

#include "support/images.h"

namespace scene {

// A smooth texture (sum of a few sinusoids plus fine seeded noise) spanning
// roughly 20..235.
inline vkPelBuffer<std::uint8_t> texture(std::int32_t w, std::int32_t h, std::uint32_t seed = 1) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> phase(0.0, 6.283), noise(-6.0, 6.0);
    const double p1 = phase(gen), p2 = phase(gen), p3 = phase(gen);
    vkPelBuffer<std::uint8_t> b(w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            double v = 128 + 45 * std::sin(x * 0.11 + p1) + 35 * std::sin(y * 0.07 + p2) +
                       20 * std::sin((x + y) * 0.23 + p3) + noise(gen);
            b.pointToOffset()[y * b.rowUpdate() + x] = static_cast<std::uint8_t>(std::lround(std::fmin(255, std::fmax(0, v))));
        }
    return b;
}

// A new image with f applied to every pixel value of src (same window).
inline vkPelBuffer<std::uint8_t> mapped(const vkPelBuffer_const<std::uint8_t>& src,
                                        const std::function<double(double, std::int32_t, std::int32_t)>& f) {
    vkPelBuffer<std::uint8_t> out = vfPelCopy(src);
    for (std::int32_t y = 0; y < src.height(); ++y)
        for (std::int32_t x = 0; x < src.width(); ++x) {
            double v = f(testimg::at(src, x, y), x, y);
            out.pointToOffset()[y * out.rowUpdate() + x] = static_cast<std::uint8_t>(std::lround(std::fmin(255, std::fmax(0, v))));
        }
    return out;
}

// A mask on the window w that includes (255) the pixels of rect only.
inline vkPelBuffer<std::uint8_t> maskOf(const vkPelRect& w, const vkPelRect& rect) {
    vkPelBuffer<std::uint8_t> mask(w), inside = mask;
    inside.window(rect & w);
    vfPelSet<std::uint8_t>(inside, 255);
    return mask;
}

// A tool on copies of the reference and mask, trained for methods.
inline vkImageNormalizer trained(const vkPelBuffer_const<std::uint8_t>& ref, vkImageNormalizerDefs::Method methods,
                                 const vkPelBuffer_const<std::uint8_t>& mask = {}, bool keepMaskedPixels = false) {
    vkImageNormalizer t;
    t.referenceImage(ref, true);
    t.maskImage(mask, true);
    t.keepMaskedPixels(keepMaskedPixels);
    t.train(methods, nullptr, 0);
    return t;
}

// A new tool for Pel pixels: the 8-bit one, or the deep one at 12 bits.
template <class Pel>
auto toolFor() {
    if constexpr (sizeof(Pel) == 1)
        return vkImageNormalizer();
    else
        return vkDeepImageNormalizer(12);
}

// t's result for img by method m; a test failure unless the run succeeds.
template <class Tool, class Image>
auto ran(const Tool& t, const Image& img, vkImageNormalizerDefs::Method m) {
    bool ok = false;
    std::string message;
    auto out = t.run(img, m, ok, message, nullptr, 0);
    EXPECT_TRUE(ok) << message;
    return out;
}

// A tool whose w x h reference sits in a corner of larger storage, renumbered
// and placed by a non-identity transform, with a mask of assorted values over
// part of it (a quarter excluded), a small neighbourhood and this granularity.
inline vkImageNormalizer placedTool(bool withMask, vkPair<std::int32_t> granularity = {1, 1},
                                    std::int32_t w = 40, std::int32_t h = 30) {
    vkPelBuffer<std::uint8_t> ref =
        testimg::embedded<std::uint8_t>(texture(w, h, 3), 3, 9, {5, -7});
    ref.clientFromImageXform(vkXform<2>(0.5, 0.0, 0.0, 0.5, 100.0, -20.0));
    vkImageNormalizer t;
    t.referenceImage(ref, false);
    if (withMask) {
        auto gen = testimg::rng(5);
        vkPelBuffer<std::uint8_t> mask = testimg::random<std::uint8_t>(w - 4, h - 2, gen, 0, 3);
        mask.offset(7, -6);
        t.maskImage(mask, true);
    }
    t.neighborhoodSize({9, 7});
    t.granularity(granularity);
    return t;
}

// What a run gives: the result, success, message and how many records it
// made (when given a recorder).
struct Outcome {
    vkPelBuffer<std::uint8_t> image;
    bool success = false;
    std::string message = "stale";
    std::size_t records = 0;
    bool operator==(const Outcome& o) const {
        return success == o.success && message == o.message && records == o.records &&
               image.isBound() == o.image.isBound() &&
               (!image.isBound() || vf_PelBufferEqual(image, o.image, 0.0));
    }
};

inline Outcome runOn(const vkImageNormalizer& t, const vkPelBuffer_const<std::uint8_t>& img,
                     vkImageNormalizerDefs::Method m, vkDiagObject* diag = nullptr,
                     std::uint32_t flags = 0) {
    Outcome o;
    o.image = t.run(img, m, o.success, o.message, diag, flags);
    o.records = diag != nullptr ? diag->records().size() : 0;
    return o;
}

// Largest absolute difference between the pixels of two equally sized windows.
inline int maxDiff(const vkPelBuffer_const<std::uint8_t>& a,
                   const vkPelBuffer_const<std::uint8_t>& b) {
    const auto pa = testimg::pixels(a), pb = testimg::pixels(b);
    EXPECT_EQ(pa.size(), pb.size());
    int m = 0;
    for (size_t i = 0; i < pa.size() && i < pb.size(); ++i) m = std::max(m, std::abs(int(pa[i]) - int(pb[i])));
    return m;
}

// The bytes of an object (a copy: storing takes it by reference) stored alone.
template <class T>
std::vector<std::uint8_t> stored(T object) {
    vkArchive out;
    out || object;
    return out.bytes();
}

// The kind of the exception loading bytes into tool throws (its type's
// name), or "ok", or "bytes left".
template <class Tool>
std::string loadOutcome(Tool& tool, const std::vector<std::uint8_t>& bytes) {
    try {
        vkArchive in(bytes);
        in || tool;
        return in.remaining() == 0 ? "ok" : "bytes left";
    } catch (const vkException& e) {
        return typeid(e).name();
    }
}

// The text of the E that f throws, or what else happened.
template <class E, class F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + typeid(e).name() + " " + e.what();
    }
    return "nothing";
}

// Expects f to throw E with exactly this message.
template <class E, class F>
void expectThrow(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception for " << message;
    } catch (const E& e) {
        EXPECT_EQ(e.message(), message);
    }
}

}  // namespace scene
