// The tool's run for each method on 1024 x 1024 and 4096 x 4096 images, and
// for the local corrections the OpenCV pipeline that does the same work
// (subtract, blur or median, subtract; single-threaded). Every case also
// times, alternately in the same loop, two plain passes over the image
// (a saturating subtraction into a new image and one in place): the cost
// floor of any correction that reads the image and writes a new one. The
// counters give ours in ms, the ratio to those two passes (xTwoPasses) and
// to OpenCV (xOpenCV).
//
// Run: build/release/bench/normalizer_bench --benchmark_repetitions=3
//      --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>

#include <imgnorm/imgnorm.h>

#include <emmintrin.h>

#include "timing.h"

#ifdef IMGNORM_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;

// A textured golden image and the same scene under a light ramp with noise.
struct Scene {
    vkPelBuffer<Pel> golden, runtime, mask;
};

const Scene& scene(std::int32_t side) {
    static std::map<std::int32_t, Scene> scenes;
    auto it = scenes.find(side);
    if (it != scenes.end()) return it->second;
    Scene s{vkPelBuffer<Pel>(side, side), vkPelBuffer<Pel>(side, side), vkPelBuffer<Pel>(side, side)};
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> noise(-4, 4), hole(0, 99);
    for (std::int32_t y = 0; y < side; ++y)
        for (std::int32_t x = 0; x < side; ++x) {
            const double t = 128 + 50 * std::sin(x * 0.05) * std::cos(y * 0.04) + noise(gen);
            const double light = 40.0 * x / side - 20;
            const std::ptrdiff_t o = y * s.golden.rowUpdate() + x;
            s.golden.pointToOffset()[o] = static_cast<Pel>(std::lround(std::fmin(255, std::fmax(0, t))));
            s.runtime.pointToOffset()[o] = static_cast<Pel>(std::lround(std::fmin(255, std::fmax(0, t + light))));
            s.mask.pointToOffset()[o] = hole(gen) < 90 ? 255 : 0;  // 10 % of the pixels excluded
        }
    return scenes.emplace(side, std::move(s)).first->second;
}

// Times ours, the two plain passes (a copy into a new image and an in-place
// signed subtraction) and (if given) the OpenCV pipeline, taking turns.
void compare(benchmark::State& state, std::int32_t side, const std::function<void()>& ours,
             const std::function<void()>& peer) {
    const Scene& s = scene(side);
    const auto twoPasses = [&s] {
        vkPelBuffer<Pel> copy = vfPelCopy<Pel>(s.runtime);
        vf_PelSubClampSigned(copy, s.golden);
        benchmark::DoNotOptimize(copy.pointToOffset());
    };
    bench::timeInTurns(state, "xTwoPasses", twoPasses, ours, peer);
}

vkImageNormalizer trainedTool(std::int32_t side, Method m, P granularity, bool masked) {
    const Scene& s = scene(side);
    vkImageNormalizer t;
    t.referenceImage(s.golden, false);
    if (masked) t.maskImage(s.mask, false);
    t.granularity(granularity);
    t.train(m, nullptr, 0);
    return t;
}

void runTool(const vkImageNormalizer& t, std::int32_t side, Method m) {
    bool ok = false;
    std::string msg;
    vkPelBuffer<Pel> out = t.run(scene(side).runtime, m, ok, msg, nullptr, 0);
    if (!ok) throw std::runtime_error(msg);
    benchmark::DoNotOptimize(out.pointToOffset());
}

#ifdef IMGNORM_HAVE_OPENCV
cv::Mat asMat(const vkPelBuffer_const<Pel>& b) {
    return cv::Mat(b.height(), b.width(), CV_8U, const_cast<Pel*>(b.pointToOffset()),
                   static_cast<std::size_t>(b.rowUpdate()));
}

// Subtract the reference, blur the signed difference with the same sigma as
// the 101 x 101 neighbourhood's kernel, subtract the blur.
std::function<void()> openCvMeanPipeline(std::int32_t side) {
    return [side] {
        const Scene& s = scene(side);
        cv::Mat img = asMat(s.runtime), ref = asMat(s.golden), diff, blurred, out;
        cv::subtract(img, ref, diff, cv::noArray(), CV_16S);
        cv::GaussianBlur(diff, blurred, cv::Size(0, 0), std::sqrt(52.0 * 52 + 2) / 2);
        cv::subtract(img, blurred, out, cv::noArray(), CV_8U);
        benchmark::DoNotOptimize(out.data);
    };
}

// The same with the biased 8-bit difference and a 101 x 101 median.
std::function<void()> openCvMedianPipeline(std::int32_t side) {
    return [side] {
        const Scene& s = scene(side);
        cv::Mat img = asMat(s.runtime), ref = asMat(s.golden), diff, med, out;
        cv::addWeighted(img, 1.0, ref, -1.0, 128.0, diff);
        cv::medianBlur(diff, med, 101);
        cv::addWeighted(img, 1.0, med, -1.0, 128.0, out);
        benchmark::DoNotOptimize(out.data);
    };
}
#else
std::function<void()> openCvMeanPipeline(std::int32_t) { return {}; }
std::function<void()> openCvMedianPipeline(std::int32_t) { return {}; }
#endif

// Args: side, method, granularity, masked.
void BM_RunLocal(benchmark::State& state) {
    const auto side = static_cast<std::int32_t>(state.range(0));
    const auto m = static_cast<Method>(state.range(1));
    const auto g = static_cast<std::int32_t>(state.range(2));
    const bool masked = state.range(3) != 0;
    const vkImageNormalizer t = trainedTool(side, m, P(g, g), masked);
    std::function<void()> peer;
    if (g == 1 && !masked) peer = m == eLocalCorrection ? openCvMeanPipeline(side) : openCvMedianPipeline(side);
    compare(state, side, [&] { runTool(t, side, m); }, peer);
}

void localArgs(benchmark::internal::Benchmark* b) {
    for (int side : {1024, 4096})
        for (int m : {int(eLocalCorrection), int(eLocalCorrectionEnhanced)})
            for (int g : {1, 2, 4})
                for (int masked : {0, 1}) b->Args({side, m, g, masked});
    b->ArgNames({"side", "method", "g", "mask"});
}
BENCHMARK(BM_RunLocal)->Apply(localArgs)->Unit(benchmark::kMillisecond)->UseRealTime();

// The data a local correction moves at least, without its arithmetic: the
// run-time and reference images read once (their absolute differences
// summed), then the run-time image read again into a new image less a
// constant. Timed against the two passes, it is the part of a correction's
// ratio that no estimate, however cheap, removes.
void localStreams(std::int32_t side) {
    const Scene& s = scene(side);
    const std::ptrdiff_t step = s.runtime.rowUpdate(), refStep = s.golden.rowUpdate();
    std::uint64_t sum = 0;
    for (std::int32_t y = 0; y < side; ++y) {
        const Pel* a = s.runtime.pointToOffset() + y * step;
        const Pel* b = s.golden.pointToOffset() + y * refStep;
        __m128i acc = _mm_setzero_si128();
        std::int32_t x = 0;
        for (; x + 16 <= side; x += 16)
            acc = _mm_add_epi64(
                acc, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x)),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x))));
        for (; x < side; ++x)
            sum += static_cast<std::uint32_t>(a[x] > b[x] ? a[x] - b[x] : b[x] - a[x]);
        sum += static_cast<std::uint64_t>(_mm_cvtsi128_si64(acc)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
    }
    vkPelBuffer<Pel> out(vkPelRect(0, 0, side, side), vk_detail::uninitialized);
    for (std::int32_t y = 0; y < side; ++y) {
        const Pel* a = s.runtime.pointToOffset() + y * step;
        Pel* o = out.pointToOffset() + y * out.rowUpdate();
        for (std::int32_t x = 0; x < side; ++x)
            o[x] = static_cast<Pel>(a[x] > 3 ? a[x] - 3 : 0);
    }
    benchmark::DoNotOptimize(sum);
    benchmark::DoNotOptimize(out.pointToOffset());
}

void BM_LocalStreams(benchmark::State& state) {
    const auto side = static_cast<std::int32_t>(state.range(0));
    compare(state, side, [side] { localStreams(side); }, {});
}
BENCHMARK(BM_LocalStreams)
    ->Arg(1024)
    ->Arg(4096)
    ->ArgName("side")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The local gain corrections against the local mean correction at the same
// granularity (xLocalMean), timed in turns. Args: side, correction (0 gain
// and offset, 1 gain only), granularity, masked.
void BM_RunLocalGain(benchmark::State& state) {
    const auto side = static_cast<std::int32_t>(state.range(0));
    const auto correction = static_cast<vkLocalGainNormalizer::Correction>(state.range(1));
    const auto g = static_cast<std::int32_t>(state.range(2));
    const vkImageNormalizer mean = trainedTool(side, eLocalCorrection, P(g, g), state.range(3) != 0);
    vkLocalGainNormalizer gain;
    gain.train(mean);
    const auto runGain = [&] {
        vkPelBuffer<Pel> out = gain.run(scene(side).runtime, correction);
        benchmark::DoNotOptimize(out.pointToOffset());
    };
    bench::timeInTurns(state, "xLocalMean", [&] { runTool(mean, side, eLocalCorrection); }, runGain, {});
}
BENCHMARK(BM_RunLocalGain)
    ->ArgsProduct({{1024, 4096}, {0, 1}, {1, 4}, {0, 1}})
    ->ArgNames({"side", "gainOnly", "g", "mask"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The floor of the global methods: a plain histogram of the image and one
// lookup table applied into a new image, which is the least a gray map
// built from the image's histogram can cost.
void histogramAndLookUp(std::int32_t side) {
    const Scene& s = scene(side);
    std::vector<std::uint32_t> histogram;
    vfPelHistogram(s.runtime, histogram);
    std::vector<Pel> table(256);
    for (std::size_t v = 0; v < table.size(); ++v) table[v] = static_cast<Pel>(255 - v + histogram[v] % 2);
    vkPelBuffer<Pel> out = vfPelMap(s.runtime, table);
    benchmark::DoNotOptimize(out.pointToOffset());
}

void globalArgs(benchmark::internal::Benchmark* b) {
    for (int side : {1024, 4096})
        for (int m : {int(eMatchHistogram), int(eMatchMeanAndStddev), int(eMatchHistogramTails)})
            for (int masked : {0, 1}) b->Args({side, m, masked});
    b->ArgNames({"side", "method", "mask"});
}

// Args: side, method, masked.
void BM_TrainGlobal(benchmark::State& state) {
    const auto side = static_cast<std::int32_t>(state.range(0));
    const auto m = static_cast<Method>(state.range(1));
    const bool masked = state.range(2) != 0;
    bench::timeInTurns(
        state, "xHistLut", [side] { histogramAndLookUp(side); },
        [&] { benchmark::DoNotOptimize(trainedTool(side, m, P(1, 1), masked)); }, {});
}
BENCHMARK(BM_TrainGlobal)->Apply(globalArgs)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RunGlobal(benchmark::State& state) {
    const auto side = static_cast<std::int32_t>(state.range(0));
    const auto m = static_cast<Method>(state.range(1));
    const vkImageNormalizer t = trainedTool(side, m, P(1, 1), state.range(2) != 0);
    bench::timeInTurns(
        state, "xHistLut", [side] { histogramAndLookUp(side); }, [&] { runTool(t, side, m); }, {});
}
BENCHMARK(BM_RunGlobal)->Apply(globalArgs)->Unit(benchmark::kMillisecond)->UseRealTime();

// The copy (eIdentity) and the linear fit, against the same floor.
void BM_RunOther(benchmark::State& state) {
    const auto side = static_cast<std::int32_t>(state.range(0));
    const auto m = static_cast<Method>(state.range(1));
    const vkImageNormalizer t = trainedTool(side, m, P(1, 1), true);
    bench::timeInTurns(
        state, "xHistLut", [side] { histogramAndLookUp(side); }, [&] { runTool(t, side, m); }, {});
}
BENCHMARK(BM_RunOther)
    ->ArgsProduct({{1024, 4096}, {int(eIdentity), int(eLinearlyFitGrayValues)}})
    ->ArgNames({"side", "method"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
#ifdef IMGNORM_HAVE_OPENCV
    cv::setNumThreads(1);
#endif
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
