// vkFlatField: windows, unmeasurable pixels and the errors. The values are
// checked against the formula in single precision by the Python tests.
#include <gtest/gtest.h>

#include <cmath>

#include "imgnorm/flat_field.h"
#include "scene.h"

namespace {

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;
using Frames = vkFlatField::Frames;

// A w x h image of f(x, y), rounded and clamped.
Img image(std::int32_t w, std::int32_t h, const std::function<double(int, int)>& f) {
    return scene::mapped(Img(w, h), [&](double, int x, int y) { return f(x, y); });
}

// Frames and raw image in windows off the origin of larger storage, single
// frames with dead and hot pixels, on 8-bit images and on 12-bit ones in
// 16-bit pixels: the result as for copies at the origin.
template <class Pel>
void followsTheFormula(std::int32_t depth) {
    using B = vkPelBuffer<Pel>;
    using C = vkPelBuffer_const<Pel>;
    const std::int32_t w = 17, h = 9;
    const auto k = static_cast<std::uint32_t>(1u << (depth - 8));
    const auto top = static_cast<Pel>((1u << depth) - 1);
    auto gen = testimg::rng(3);
    const B darkContent = testimg::random<Pel>(w, h, gen, 0, 40 * k);
    B flatContent = testimg::random<Pel>(w, h, gen, 60 * k, 250 * k);
    flatContent.pointToOffset()[2] = darkContent.pointToOffset()[2];  // dead: flat = dark
    flatContent.pointToOffset()[3] =
        static_cast<Pel>(darkContent.pointToOffset()[3] / 2);  // hot dark pixel
    const C dark = testimg::embeddedWithMargins<Pel>(darkContent, 3, 1, 0, 2, top, P(-4, 6));
    const C flat = testimg::embeddedWithMargins<Pel>(flatContent, 0, 0, 5, 5, top, P(30, 2));
    B raw = testimg::embedded<Pel>(testimg::random<Pel>(w, h, gen, 0, top), 2, 7, P(1, 1));
    raw.clientFromImageXform(vkXform<2>(1.0, 0.0, 0.0, 3.0, 5.0, 0.0));
    const std::vector<Pel> around = testimg::storagePixels<Pel>(raw);

    auto calibration = [&](const C& d, const C& f) {
        const std::vector<C> darks{d}, flats{f};
        if constexpr (sizeof(Pel) == 1)
            return vkFlatField(darks, flats);
        else
            return vkFlatField(darks, flats, depth);
    };
    const vkFlatField ff = calibration(dark, flat);
    EXPECT_EQ(ff.depth(), depth);
    EXPECT_EQ(ff.unmeasuredPixels(), 2);
    const B out = ff.apply(raw);
    EXPECT_EQ(out.window(), raw.window());
    EXPECT_EQ(out.clientFromImageXform().map(vkVector<2>(0.0, 1.0)).y(), 3.0);
    EXPECT_EQ(testimg::storagePixels<Pel>(raw), around);
    // The pixels are those of frames and image copied to the origin, whose
    // values the Python tests check against the formula in single precision.
    auto copied = [&](const C& b) { return testimg::fromRows<Pel>(w, h, testimg::pixels<Pel>(b)); };
    EXPECT_EQ(testimg::pixels<Pel>(out),
              testimg::pixels<Pel>(calibration(copied(dark), copied(flat)).apply(copied(raw))));
}

TEST(FlatField, WindowsOffTheOriginCalibrateAsCopiesAtTheOrigin) {
    followsTheFormula<std::uint8_t>(8);
    followsTheFormula<std::uint16_t>(12);
}

TEST(FlatField, RefusesMissingAndMismatchedFramesAndImages) {
    auto gen = testimg::rng(4);
    const Img a = testimg::random<std::uint8_t>(8, 6, gen, 100, 200),
              small = testimg::random<std::uint8_t>(8, 5, gen);
    const Img darkLevel = image(8, 6, [](int, int) { return 250; });
    EXPECT_EQ(scene::thrown<BadParams>([&] { vkFlatField({}, {}); }),
              "At least one flat frame is needed.");
    EXPECT_EQ(scene::thrown<BadImage>([&] { vkFlatField({}, {Img()}); }),
              "flat frame 1 is not bound.");
    EXPECT_EQ(scene::thrown<BadImage>([&] { vkFlatField({a, small}, {a}); }),
              "dark frame 2 is 8 x 5, the first flat frame 8 x 6.");
    EXPECT_EQ(scene::thrown<BadImage>([&] { vkFlatField({}, {a, a, small}); }),
              "flat frame 3 is 8 x 5, the first flat frame 8 x 6.");
    EXPECT_EQ(scene::thrown<CanNotTrain>([&] { vkFlatField({darkLevel}, {a}); }),
              "The flat frames are nowhere brighter than the dark frames.");
    EXPECT_EQ(scene::thrown<NotTrained>([&] { (void)vkFlatField().apply(a); }),
              "The flat field is not calibrated.");
    const vkFlatField ff({}, {a});
    EXPECT_EQ(scene::thrown<BadImage>([&] { (void)ff.apply(Img()); }), "Image must be bound.");
    EXPECT_EQ(scene::thrown<BadImage>([&] { (void)ff.apply(small); }),
              "The image is 8 x 5, the calibration frames 8 x 6.");

    // Deep frames: their depth, values within it, images of their type.
    using Deep = vkPelBuffer<std::uint16_t>;
    const Deep deep = testimg::random<std::uint16_t>(8, 6, gen, 1000, 4095);
    Deep above = testimg::random<std::uint16_t>(8, 6, gen, 0, 4095);
    above.pointToOffset()[above.rowUpdate() + 3] = 4096;
    EXPECT_EQ(scene::thrown<BadParams>([&] { vkFlatField({}, {deep}, 8); }),
              "The depth of deep frames must be 9..16 bits.");
    EXPECT_EQ(scene::thrown<BadImage>([&] { vkFlatField({above}, {deep}, 12); }),
              "dark frame 1 holds a value above 4095, the largest of the tool's 12-bit depth.");
    const vkFlatField deepField({}, {deep}, 12);
    EXPECT_EQ(scene::thrown<BadImage>([&] { (void)deepField.apply(a); }),
              "The image has 8-bit pixels, the calibration frames 16-bit ones.");
    EXPECT_EQ(scene::thrown<BadImage>([&] { (void)ff.apply(deep); }),
              "The image has 16-bit pixels, the calibration frames 8-bit ones.");
    EXPECT_EQ(scene::thrown<BadImage>([&] { (void)deepField.apply(above); }),
              "The image holds a value above 4095, the largest of the tool's 12-bit depth.");
}

}  // namespace
