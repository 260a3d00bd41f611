// A small end-to-end example: generates a textured golden image and a copy of
// it under uneven light, trains a normalizer on the golden image, corrects
// the unevenly lit copy with the local mean, and writes all three as PGM
// files. Usage: normalize_demo [output-directory]
#include <imgnorm/imgnorm.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

vkPelBuffer<std::uint8_t> makeImage(std::int32_t w, std::int32_t h, double (*shade)(double, double)) {
    vkPelBuffer<std::uint8_t> img(w, h);
    for (std::int32_t y = 0; y < h; ++y) {
        std::uint8_t* row = img.pointToOffset() + y * img.rowUpdate();
        for (std::int32_t x = 0; x < w; ++x) {
            const double texture = 128 + 50 * std::sin(x * 0.09) * std::cos(y * 0.07) + 25 * std::sin((x + 2 * y) * 0.31);
            const double v = texture + shade(double(x) / w, double(y) / h);
            row[x] = static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
        }
    }
    return img;
}

void writePgm(const std::string& path, const vkPelBuffer_const<std::uint8_t>& img) {
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << img.width() << " " << img.height() << "\n255\n";
    for (std::int32_t y = 0; y < img.height(); ++y)
        out.write(reinterpret_cast<const char*>(img.pointToOffset() + y * img.rowUpdate()), img.width());
    if (!out) throw std::runtime_error("cannot write " + path);
}

double meanAbsDiff(const vkPelBuffer_const<std::uint8_t>& a, const vkPelBuffer_const<std::uint8_t>& b) {
    double sum = 0;
    for (std::int32_t y = 0; y < a.height(); ++y)
        for (std::int32_t x = 0; x < a.width(); ++x)
            sum += std::fabs(double(a.get({x, y})) - double(b.get({x, y})));
    return sum / (double(a.width()) * a.height());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    try {
        auto golden = makeImage(640, 480, [](double, double) { return 0.0; });
        // Light falls off towards the right and towards the corners.
        auto uneven = makeImage(640, 480, [](double x, double y) {
            return -50 * x - 60 * ((x - 0.5) * (x - 0.5) + (y - 0.5) * (y - 0.5)) + 20;
        });

        vkImageNormalizer tool;
        tool.referenceImage(golden, true);
        tool.granularity(vkPair<std::int32_t>(2, 2));
        tool.train(vkImageNormalizerDefs::eLocalCorrection, nullptr, 0);

        bool success = false;
        std::string message;
        auto corrected = tool.run(uneven, vkImageNormalizerDefs::eLocalCorrection, success, message, nullptr, 0);
        if (!success) {
            std::fprintf(stderr, "normalization failed: %s\n", message.c_str());
            return 1;
        }
        writePgm(dir + "/golden.pgm", golden);
        writePgm(dir + "/uneven.pgm", uneven);
        writePgm(dir + "/corrected.pgm", corrected);
        std::printf("mean |uneven - golden|    = %6.2f gray levels\n", meanAbsDiff(uneven, golden));
        std::printf("mean |corrected - golden| = %6.2f gray levels\n", meanAbsDiff(corrected, golden));
        std::printf("wrote %s/golden.pgm, uneven.pgm, corrected.pgm\n", dir.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
    return 0;
}
