// Deep images against 8-bit ones: every method of vkDeepImageNormalizer and
// the local gain corrections on a 12-bit 4096 x 4096 scene, timed in turns
// with the 8-bit tools on the same scene in 8 bits (counter x8bit = deep /
// 8-bit time), one thread; and
// the accuracy of the 12-bit linear fit (gain 0.7, offset +300, 20 %
// outliers): the counters gain_err_pct and offset_err give how far the
// fitted line is from the true one.
//
// Run: build/release/bench/deep_bench --benchmark_repetitions=3
//      --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <utility>

#include <imgnorm/imgnorm.h>

#include "timing.h"

namespace {

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;

constexpr std::int32_t kSide = 4096;

// The 8-bit scene of the tool benchmark (a texture, and the same under a
// light ramp with noise), and its 12-bit twin with 16 times the levels.
struct Scene {
    vkPelBuffer<std::uint8_t> golden, runtime;
    vkPelBuffer<std::uint16_t> golden12, runtime12;
};

const Scene& scene() {
    static const Scene s = [] {
        Scene r{vkPelBuffer<std::uint8_t>(kSide, kSide), vkPelBuffer<std::uint8_t>(kSide, kSide),
                vkPelBuffer<std::uint16_t>(kSide, kSide), vkPelBuffer<std::uint16_t>(kSide, kSide)};
        std::mt19937 gen(7);
        std::uniform_real_distribution<double> noise(-4, 4);
        for (std::int32_t y = 0; y < kSide; ++y)
            for (std::int32_t x = 0; x < kSide; ++x) {
                const double t = 128 + 50 * std::sin(x * 0.05) * std::cos(y * 0.04) + noise(gen);
                const double light = 40.0 * x / kSide - 20;
                auto put = [&](auto& b, double v, double top) {
                    b.pointToOffset()[y * b.rowUpdate() + x] =
                        static_cast<std::remove_reference_t<decltype(b.pointToOffset()[0])>>(
                            std::lround(std::fmin(top, std::fmax(0, v))));
                };
                put(r.golden, t, 255);
                put(r.runtime, t + light, 255);
                put(r.golden12, 16 * t, 4095);
                put(r.runtime12, 16 * (t + light), 4095);
            }
        return r;
    }();
    return s;
}

template <class Tool, class Pel>
Tool trained(const vkPelBuffer<Pel>& golden, Tool t, Method m, std::int32_t g) {
    t.referenceImage(golden, false);
    t.granularity(P(g, g));
    t.train(m, nullptr, 0);
    return t;
}

template <class Tool, class Pel>
void runTool(const Tool& t, const vkPelBuffer<Pel>& image, Method m) {
    bool ok = false;
    std::string message;
    const auto out = t.run(image, m, ok, message, nullptr, 0);
    if (!ok) throw std::runtime_error(message);
    benchmark::DoNotOptimize(out.pointToOffset());
}

// Args: method, granularity.
void BM_DeepVs8Bit(benchmark::State& state) {
    const auto m = static_cast<Method>(state.range(0));
    const auto g = static_cast<std::int32_t>(state.range(1));
    const Scene& s = scene();
    const vkImageNormalizer eight = trained(s.golden, vkImageNormalizer(), m, g);
    const vkDeepImageNormalizer deep = trained(s.golden12, vkDeepImageNormalizer(12), m, g);
    // One run of each first, so that both time the steady state of repeated
    // runs (their new images reuse released storage instead of faulting in
    // fresh pages, which two timed iterations would half the time).
    runTool(eight, s.runtime, m);
    runTool(deep, s.runtime12, m);
    bench::timeInTurns(
        state, "x8bit", [&] { runTool(eight, s.runtime, m); }, [&] { runTool(deep, s.runtime12, m); },
        {});
}
BENCHMARK(BM_DeepVs8Bit)
    ->Args({eMatchHistogram, 1})
    ->Args({eMatchMeanAndStddev, 1})
    ->Args({eMatchHistogramTails, 1})
    ->Args({eLinearlyFitGrayValues, 1})
    ->Args({eLocalCorrection, 1})
    ->Args({eLocalCorrection, 4})
    ->Args({eLocalCorrectionEnhanced, 1})
    ->Args({eLocalCorrectionEnhanced, 4})
    ->ArgNames({"method", "g"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

// The linear fit of the deep tool at depth 16 on the 12-bit scene times 16,
// timed in turns with the 8-bit tool (counter x8bit).
void BM_SixteenBitFitVs8Bit(benchmark::State& state) {
    const Scene& s = scene();
    static const auto twin = [&] {
        std::pair<vkPelBuffer<std::uint16_t>, vkPelBuffer<std::uint16_t>> p{
            vfPelCopy<std::uint16_t>(s.golden12), vfPelCopy<std::uint16_t>(s.runtime12)};
        for (auto* b : {&p.first, &p.second})
            for (std::int32_t y = 0; y < kSide; ++y)
                for (std::int32_t x = 0; x < kSide; ++x)
                    b->pointToOffset()[y * b->rowUpdate() + x] <<= 4;
        return p;
    }();
    const vkImageNormalizer eight =
        trained(s.golden, vkImageNormalizer(), eLinearlyFitGrayValues, 1);
    const vkDeepImageNormalizer deep =
        trained(twin.first, vkDeepImageNormalizer(16), eLinearlyFitGrayValues, 1);
    runTool(eight, s.runtime, eLinearlyFitGrayValues);
    runTool(deep, twin.second, eLinearlyFitGrayValues);
    bench::timeInTurns(
        state, "x8bit", [&] { runTool(eight, s.runtime, eLinearlyFitGrayValues); },
        [&] { runTool(deep, twin.second, eLinearlyFitGrayValues); }, {});
}
BENCHMARK(BM_SixteenBitFitVs8Bit)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// The local gain corrections on the same scenes: the deep tool trained on
// the 12-bit normalizer against the 8-bit one. Args: gainOnly, granularity.
void BM_DeepGainVs8Bit(benchmark::State& state) {
    const auto c = static_cast<vkLocalGainCorrection>(state.range(0));
    const auto g = static_cast<std::int32_t>(state.range(1));
    const Scene& s = scene();
    vkLocalGainNormalizer eight;
    eight.train(trained(s.golden, vkImageNormalizer(), eIdentity, g));
    vkDeepLocalGainNormalizer deep;
    deep.train(trained(s.golden12, vkDeepImageNormalizer(12), eIdentity, g));
    const auto runEight = [&] {
        benchmark::DoNotOptimize(eight.run(s.runtime, c).pointToOffset());
    };
    const auto runDeep = [&] {
        benchmark::DoNotOptimize(deep.run(s.runtime12, c).pointToOffset());
    };
    // One run of each first, as for the normalizers: both time repeated runs.
    runEight();
    runDeep();
    bench::timeInTurns(state, "x8bit", runEight, runDeep, {});
}
BENCHMARK(BM_DeepGainVs8Bit)
    ->ArgsProduct({{0, 1}, {1, 4}})
    ->ArgNames({"gainOnly", "g"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

// The fitted line, read from the run's "Gray line" record: template =
// intercept + slope * run-time.
vkPair<double> fittedLine(const vkDeepImageNormalizer& tool, const vkPelBuffer<std::uint16_t>& image) {
    vkDiagObject diag;
    bool ok = false;
    std::string message;
    tool.run(image, eLinearlyFitGrayValues, ok, message, &diag, vkDiagDefs::eMethodDetails);
    for (const vkDiagRecord& r : diag.records())
        if (r.name() == "Gray line") {
            std::istringstream in(r.text());
            std::string slope, intercept;
            std::getline(in, slope);
            std::getline(in, intercept);
            return {std::stod(slope.substr(6)), std::stod(intercept.substr(10))};
        }
    throw std::runtime_error("no gray line recorded");
}

void BM_TwelveBitGainOffsetAccuracy(benchmark::State& state) {
    const Scene& s = scene();
    // A reference over the whole 12-bit range (the 8-bit scene stretched);
    // run-time = 0.7 reference + 300, with 20 % of the pixels random levels.
    vkPelBuffer<std::uint16_t> reference(kSide, kSide), image(kSide, kSide);
    for (std::int32_t y = 0; y < kSide; ++y)
        for (std::int32_t x = 0; x < kSide; ++x)
            reference.pointToOffset()[y * reference.rowUpdate() + x] = static_cast<std::uint16_t>(std::lround(
                std::fmin(4095.0, std::fmax(0.0, (s.golden.pointToOffset()[y * s.golden.rowUpdate() + x] - 70) *
                                                     4095.0 / 120.0))));
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> outlier(0, 4), level(0, 4095);
    for (std::int32_t y = 0; y < kSide; ++y)
        for (std::int32_t x = 0; x < kSide; ++x) {
            const std::uint16_t ref = reference.pointToOffset()[y * reference.rowUpdate() + x];
            image.pointToOffset()[y * image.rowUpdate() + x] =
                static_cast<std::uint16_t>(outlier(gen) == 0 ? level(gen) : std::lround(0.7 * ref + 300));
        }
    const vkDeepImageNormalizer tool = trained(reference, vkDeepImageNormalizer(12), eLinearlyFitGrayValues, 1);
    vkPair<double> line;
    for (auto _ : state) line = fittedLine(tool, image);
    // The fitted line maps run-time to reference: gain = 1 / slope, offset =
    // -intercept / slope in the run-time image's terms.
    const double gain = 1.0 / line.x(), offset = -line.y() / line.x();
    state.counters["gain"] = gain;
    state.counters["offset"] = offset;
    state.counters["gain_err_pct"] = 100.0 * std::fabs(gain - 0.7) / 0.7;
    state.counters["offset_err"] = std::fabs(offset - 300.0);
}
BENCHMARK(BM_TwelveBitGainOffsetAccuracy)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
