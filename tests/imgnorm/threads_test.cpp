// The tool's methods, the 12-bit local mean, the local gain corrections (8
// and 12 bits) and Gaussian sampling give the same bits for every number of
// threads, on heights that no strip size divides.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "imgnorm/deep_normalizer.h"
#include "imgnorm/gain_normalizer.h"
#include "scene.h"
#include "support/threads.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using testimg::pixels;

namespace {

using Img = vkPelBuffer<std::uint8_t>;

// The tool's result on an 8-bit or a 12-bit image, or a test failure.
template <class Pel>
std::vector<Pel> runTool(const vkPelBuffer<Pel>& ref, const vkPelBuffer<Pel>& img, const Img& mask,
                         Method m, P granularity) {
    using Tool = std::conditional_t<sizeof(Pel) == 1, vkImageNormalizer, vkDeepImageNormalizer>;
    Tool t;
    if constexpr (sizeof(Pel) > 1) t = Tool(12);
    t.referenceImage(ref, true);
    t.maskImage(mask, true);
    t.neighborhoodSize(P(41, 35));
    t.granularity(granularity);
    t.train(m, nullptr, 0);
    bool ok = false;
    std::string msg;
    const vkPelBuffer<Pel> out = t.run(img, m, ok, msg, nullptr, 0);
    EXPECT_TRUE(ok) << msg;
    return pixels<Pel>(out);
}

// The local gain correction of an 8-bit or a 12-bit image.
template <class Pel>
std::vector<Pel> runGain(const vkPelBuffer<Pel>& ref, const vkPelBuffer<Pel>& img, const Img& mask,
                         vkLocalGainCorrection c, P granularity) {
    using Tool =
        std::conditional_t<sizeof(Pel) == 1, vkLocalGainNormalizer, vkDeepLocalGainNormalizer>;
    typename Tool::Source source;
    if constexpr (sizeof(Pel) > 1) source.depth(12);
    source.referenceImage(ref, true);
    source.maskImage(mask, true);
    source.neighborhoodSize(P(41, 35));
    source.granularity(granularity);
    Tool tool;
    tool.train(source);
    return pixels<Pel>(tool.run(img, c));
}

}  // namespace

TEST(Threads, EveryCountGivesTheSameCorrectionsFitAndGaussianSampling) {
    auto gen = testimg::rng(161);
    // The fit's strips hold 2^21 pixels: the large scene has two.
    for (const P size : {P(613, 1237), P(1100, 2003)}) {
        const Img ref = scene::texture(size.x(), size.y(), 16);
        const Img img = scene::mapped(ref, [](double v, std::int32_t x, std::int32_t y) {
            return 0.9 * v + 30 * std::sin(x * 0.01) + y * 0.02;
        });
        const Img mask = testimg::random<std::uint8_t>(size.x(), size.y(), gen, 0, 3);
        const bool large = size.x() > 1000;
        for (const bool masked : {false, true}) {
            const Img m = masked ? mask : Img();
            const std::string where =
                std::to_string(size.y()) + (masked ? " rows, masked, " : " rows, ");
            EXPECT_EQ(testthreads::firstCountThatDiffers(
                          [&] { return runTool(ref, img, m, eLinearlyFitGrayValues, P(1, 1)); }),
                      0)
                << where << "linear fit";
            if (large) continue;
            for (const Method method : {eLocalCorrection, eLocalCorrectionEnhanced})
                for (const std::int32_t g : {1, 2, 4})
                    EXPECT_EQ(testthreads::firstCountThatDiffers(
                                  [&] { return runTool(ref, img, m, method, P(g, g)); }),
                              0)
                        << where << "method " << method << ", granularity " << g;
            for (const auto c :
                 {vkLocalGainCorrection::gainAndOffset, vkLocalGainCorrection::gainOnly})
                for (const std::int32_t g : {1, 4})
                    EXPECT_EQ(testthreads::firstCountThatDiffers(
                                  [&] { return runGain(ref, img, m, c, P(g, g)); }),
                              0)
                        << where << "local gain " << static_cast<int>(c) << ", granularity " << g;
            const auto ref12 = testimg::deepened(ref), img12 = testimg::deepened(img);
            EXPECT_EQ(testthreads::firstCountThatDiffers([&] {
                          return runTool(ref12, img12, m, eLocalCorrection, P(4, 4));
                      }),
                      0)
                << where << "12-bit local mean, granularity 4";
            EXPECT_EQ(testthreads::firstCountThatDiffers([&] {
                          return runGain(ref12, img12, m, vkLocalGainCorrection::gainAndOffset,
                                         P(4, 4));
                      }),
                      0)
                << where << "12-bit local gain, granularity 4";
        }
        if (large) continue;
        // Local means (the running sums, 8 and 16 bits), a reduction by the
        // direct FIR and one by running sums, into a new buffer or in place.
        const auto deep = testimg::random<std::uint16_t>(size.x(), size.y(), gen, 0, 65535);
        for (const vkGaussSampleParams& params :
             {vkGaussSampleParams(P(1, 1), P(52, 30), 128.0, true),
              vkGaussSampleParams(P(3, 2), P(2, 1), 1.0, true),
              vkGaussSampleParams(P(2, 3), P(20, 27), 1.0, false)}) {
            EXPECT_EQ(testthreads::firstCountThatDiffers([&] {
                          vkPelBuffer<std::uint16_t> out;
                          vfGaussSample<std::uint8_t, std::uint16_t>(ref, out, params);
                          return pixels<std::uint16_t>(out);
                      }),
                      0)
                << "8 to 16 bits, kernel " << params.kernelSize().x();
            EXPECT_EQ(testthreads::firstCountThatDiffers([&] {
                          vkPelBuffer<std::uint16_t> inPlace = vfPelCopy<std::uint16_t>(deep);
                          vfGaussSample<std::uint16_t, std::uint16_t>(inPlace, inPlace, params);
                          return pixels<std::uint16_t>(inPlace);
                      }),
                      0)
                << "16 bits in place, kernel " << params.kernelSize().x();
        }
    }
}
