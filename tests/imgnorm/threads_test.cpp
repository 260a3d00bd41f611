// The tool's methods, the 12-bit local mean, the local gain corrections (8
// and 12 bits) and Gaussian sampling give the same bits for every number of
// threads, on heights that no strip size divides.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <variant>

#include "imgnorm/gain_normalizer.h"
#include "scene.h"
#include "support/threads.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using testimg::pixels;

namespace {

using Img = vkPelBuffer<std::uint8_t>;

// An 8-bit or a 12-bit image corrected by a method of the tool or by a local
// gain correction, with a 41 x 35 neighbourhood.
template <class Pel>
std::vector<Pel> corrected(const vkPelBuffer<Pel>& ref, const vkPelBuffer<Pel>& img,
                           const Img& mask, std::variant<Method, vkLocalGainCorrection> how,
                           std::int32_t g) {
    using Gain = vkLocalGainNormalizerBase<Pel>;
    typename Gain::Source t(scene::toolFor<Pel>());
    t.referenceImage(ref, true);
    t.maskImage(mask, true);
    t.neighborhoodSize(P(41, 35));
    t.granularity(P(g, g));
    if (const auto* m = std::get_if<Method>(&how)) {
        t.train(*m, nullptr, 0);
        return pixels<Pel>(scene::ran(t, img, *m));
    }
    std::conditional_t<sizeof(Pel) == 1, vkLocalGainNormalizer, vkDeepLocalGainNormalizer> gain;
    gain.train(t);
    return pixels<Pel>(gain.run(img, std::get<vkLocalGainCorrection>(how)));
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
        const auto ref12 = testimg::deepened(ref), img12 = testimg::deepened(img);
        for (const bool masked : {false, true}) {
            const Img m = masked ? mask : Img();
            auto expectSame = [&](auto how, std::int32_t g, bool deep = false) {
                EXPECT_EQ(deep ? testthreads::firstCountThatDiffers(
                                     [&] { return corrected(ref12, img12, m, how, g); })
                               : testthreads::firstCountThatDiffers(
                                     [&] { return corrected(ref, img, m, how, g); }),
                          0)
                    << size.y() << " rows, masked " << masked << ", way " << static_cast<int>(how)
                    << ", granularity " << g << ", deep " << deep;
            };
            expectSame(eLinearlyFitGrayValues, 1);
            if (large) continue;
            for (const Method method : {eLocalCorrection, eLocalCorrectionEnhanced})
                for (const std::int32_t g : {1, 2, 4})
                    expectSame(method, g);
            for (const auto c :
                 {vkLocalGainCorrection::gainAndOffset, vkLocalGainCorrection::gainOnly})
                for (const std::int32_t g : {1, 4})
                    expectSame(c, g);
            expectSame(eLocalCorrection, 4, true);
            expectSame(vkLocalGainCorrection::gainAndOffset, 4, true);
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
                          vkPelBuffer<std::uint16_t> out, inPlace = vfPelCopy<std::uint16_t>(deep);
                          vfGaussSample<std::uint8_t, std::uint16_t>(ref, out, params);
                          vfGaussSample<std::uint16_t, std::uint16_t>(inPlace, inPlace, params);
                          return std::pair(pixels<std::uint16_t>(out),
                                           pixels<std::uint16_t>(inPlace));
                      }),
                      0)
                << "kernel " << params.kernelSize().x();
        }
    }
}
