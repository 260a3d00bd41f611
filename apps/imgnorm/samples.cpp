// The sample scene: a board with components and a printed label, seen under
// several kinds of light.
#include "samples.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>

namespace imgnorm_cli {

namespace {

using Shade = std::function<double(double value, double u, double v)>;  // u, v in 0..1

// Integer noise from the generator's raw output (its sequence is fixed by
// the standard; distributions are not), so the images are the same on every
// platform.
int noise(std::mt19937& gen, int amplitude) {
    return static_cast<int>(gen() % static_cast<std::uint32_t>(2 * amplitude + 1)) - amplitude;
}

double board(std::int32_t x, std::int32_t y) {
    const double fx = x, fy = y;
    double v = 118 + 28 * std::sin(fx * 0.11) * std::cos(fy * 0.09) + 14 * std::sin((fx + 2 * fy) * 0.23);
    // Components on a grid: dark rectangles and bright round pads.
    const std::int32_t cx = x % 48, cy = y % 40;
    if (cx >= 6 && cx < 26 && cy >= 8 && cy < 20) v = 52 + 6 * std::sin(fx * 0.7);
    const double dx = cx - 36.0, dy = cy - 28.0;
    if (dx * dx + dy * dy < 36.0) v = 196;
    return v;
}

// The label: a block of stripes that differ from part to part (a serial
// number); the mask excludes it.
bool inLabel(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
    return x >= w * 11 / 16 && x < w * 15 / 16 && y >= h / 16 && y < h / 4;
}

vkPelBuffer<std::uint8_t> scene(std::int32_t w, std::int32_t h, std::uint32_t seed, const Shade& shade) {
    std::mt19937 gen(seed);
    const auto serial = static_cast<std::uint32_t>(gen());
    vkPelBuffer<std::uint8_t> img(w, h);
    std::uint8_t* row = img.pointToOffset();
    for (std::int32_t y = 0; y < h; ++y, row += img.rowUpdate()) {
        for (std::int32_t x = 0; x < w; ++x) {
            double v = board(x, y);
            if (inLabel(x, y, w, h)) v = ((serial >> ((x / 5) % 32)) & 1) != 0 ? 230 : 30;
            v = shade(v, (x + 0.5) / w, (y + 0.5) / h) + noise(gen, 2);
            row[x] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    }
    return img;
}

void paintDefects(vkPelBuffer<std::uint8_t>& img) {
    const std::int32_t w = img.width(), h = img.height();
    const double r = std::max(3.0, 0.07 * std::min(w, h));
    const double cx = 0.3 * w, cy = 0.6 * h;
    std::uint8_t* row = img.pointToOffset();
    for (std::int32_t y = 0; y < h; ++y, row += img.rowUpdate()) {
        for (std::int32_t x = 0; x < w; ++x) {
            const double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy < r * r) row[x] = 24;  // a dark stain
            // A bright scratch running down and to the right.
            if (x > w / 2 && std::abs((y - h / 3) - 0.5 * (x - w / 2)) < 1.5) row[x] = 240;
        }
    }
}

// Light falling from 1 at the centre to 1/2 in the corners; u and t are the
// position as fractions of the width and height.
double vignette(double u, double t) {
    const double r2 = ((u - 0.5) * (u - 0.5) + (t - 0.5) * (t - 0.5)) * 2;
    return 1 - 0.5 * r2;
}

}  // namespace

std::vector<SampleImage> makeSamples(std::int32_t width, std::int32_t height) {
    if (width < 16 || height < 16 || width > 8192 || height > 8192)
        throw std::invalid_argument("sample images must be 16 to 8192 pixels wide and high");
    std::vector<SampleImage> out;
    const auto plain = [](double v, double, double) { return v; };
    out.push_back({"golden", "the reference image", scene(width, height, 1, plain)});

    vkPelBuffer<std::uint8_t> mask(width, height);
    std::uint8_t* row = mask.pointToOffset();
    for (std::int32_t y = 0; y < height; ++y, row += mask.rowUpdate())
        for (std::int32_t x = 0; x < width; ++x) row[x] = inLabel(x, y, width, height) ? 0 : 255;
    out.push_back({"mask", "0 over the label, which differs from part to part", mask});

    out.push_back({"drift", "brighter by 30 gray levels",
                   scene(width, height, 2, [](double v, double, double) { return v + 30; })});
    out.push_back({"contrast", "contrast reduced to 60 %",
                   scene(width, height, 3, [](double v, double, double) { return 140 + 0.6 * (v - 128); })});
    out.push_back({"ramp", "light rising from left to right by 90 gray levels",
                   scene(width, height, 4, [](double v, double u, double) { return v - 45 + 90 * u; })});
    out.push_back({"vignette", "corners darkened to half",
                   scene(width, height, 5, [](double v, double u, double t) { return v * vignette(u, t); })});
    out.push_back({"shading", "vignette and contrast reduced to 60 % together",
                   scene(width, height, 7, [](double v, double u, double t) {
                       return (140 + 0.6 * (v - 128)) * vignette(u, t);
                   })});
    SampleImage defect{"defect", "brighter by 20, with a dark stain and a bright scratch",
                       scene(width, height, 6, [](double v, double, double) { return v + 20; })};
    paintDefects(defect.image);
    out.push_back(defect);
    return out;
}

}  // namespace imgnorm_cli
