#include <gtest/gtest.h>

#include <string>

#include "support/images.h"

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
using testimg::pixels;

namespace {

// The kernel as defined: weight 4 for the pixel, 1 for each edge neighbour
// inside the window; the weighted sum over the counted pixels divided
// (truncating) by their total weight, all from the old values.
std::vector<Pel> naiveSmooth(const std::vector<Pel>& v, std::int32_t w, std::int32_t h) {
    std::vector<Pel> out(v.size());
    const P taps[] = {P(0, 0), P(0, -1), P(-1, 0), P(1, 0), P(0, 1)};
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            unsigned sum = 0, weight = 0;
            for (const P& t : taps) {
                const std::int32_t nx = x + t.x(), ny = y + t.y();
                if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                const unsigned k = (t == P(0, 0)) ? 4 : 1;
                sum += k * v[static_cast<std::size_t>(ny * w + nx)];
                weight += k;
            }
            out[static_cast<std::size_t>(y * w + x)] = static_cast<Pel>(sum / weight);
        }
    return out;
}

std::vector<Pel> smoothed(std::int32_t w, std::int32_t h, const std::vector<Pel>& v) {
    auto img = testimg::fromRows<Pel>(w, h, v);
    vf_PelSmooth3x3Diamond(img);
    return pixels<Pel>(img);
}

}  // namespace

TEST(PelSmooth3x3Diamond, MatchesNaiveKernelForEverySmallShapeInsideLargerStorage) {
    for (std::int32_t w : {1, 2, 3, 4, 7, 8, 9, 17, 64, 65}) {
        for (std::int32_t h : {1, 2, 3, 5}) {
            const auto seed = static_cast<std::uint32_t>(w * 100 + h);
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " seed " + std::to_string(seed));
            auto gen = testimg::rng(seed);
            const auto content = testimg::random<Pel>(w, h, gen);
            // Bright surroundings: reading past the window would show.
            auto img = testimg::embedded<Pel>(content, 2, 255, P(-3, 6));
            vkPelBuffer<Pel> all(img);
            all.setEntire();
            const auto before = pixels<Pel>(all);
            vf_PelSmooth3x3Diamond(img);
            EXPECT_EQ(pixels<Pel>(img), naiveSmooth(pixels<Pel>(content), w, h));
            const auto after = pixels<Pel>(all);
            for (std::int32_t y = 0; y < all.height(); ++y)
                for (std::int32_t x = 0; x < all.width(); ++x) {
                    const auto i = static_cast<std::size_t>(y * all.width() + x);
                    if (!img.window().contains(all.offset() + P(x, y))) {
                        ASSERT_EQ(after[i], before[i]) << x << "," << y;
                    }
                }
        }
    }
}

TEST(PelSmooth3x3Diamond, WindowAtTheStorageCornerMatchesACroppedCopy) {
    auto gen = testimg::rng(11);
    auto img = testimg::random<Pel>(30, 20, gen);
    img.window(vkPelRect(19, 11, 11, 9));
    const auto cropped = pixels<Pel>(img);
    vf_PelSmooth3x3Diamond(img);
    EXPECT_EQ(pixels<Pel>(img), naiveSmooth(cropped, 11, 9));
}

TEST(PelSmooth3x3Diamond, DocumentedSmallImages) {
    EXPECT_EQ(smoothed(1, 1, {93}), (std::vector<Pel>{93}));
    EXPECT_EQ(smoothed(3, 1, {0, 255, 0}), (std::vector<Pel>{51, 170, 51}));
    EXPECT_EQ(smoothed(1, 3, {0, 255, 0}), (std::vector<Pel>{51, 170, 51}));
    EXPECT_EQ(smoothed(3, 3, {0, 0, 0, 0, 255, 0, 0, 0, 0}), (std::vector<Pel>{0, 36, 0, 36, 127, 36, 0, 36, 0}));
}

TEST(PelSmooth3x3Diamond, EmptyOrUnboundImageIsLeftAlone) {
    vkPelBuffer<Pel> unbound;
    EXPECT_NO_THROW(vf_PelSmooth3x3Diamond(unbound));
    auto gen = testimg::rng(12);
    auto img = testimg::random<Pel>(4, 4, gen);
    const auto before = testimg::storagePixels<Pel>(img);
    img.window(vkPelRect(1, 1, 0, 3));
    EXPECT_NO_THROW(vf_PelSmooth3x3Diamond(img));
    EXPECT_EQ(testimg::storagePixels<Pel>(img), before);
}
