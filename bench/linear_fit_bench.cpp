// Linear gray-value fit speed: runLinearFit and the tool's run for the method
// on 1024 x 1024 and 4096 x 4096, runLinearFit on a tiny image (its fixed
// cost), its two passes over the pixels
// (counting the pairs, mapping the run-time image) and its fixed-size part
// alone, next to a memcpy of the image and, where OpenCV is installed, the
// peer calls for the two passes (a 256 x 256 two-channel cv::calcHist and
// cv::LUT). At the end the ratios of times measured in this run are printed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "imgnorm/linear_fit.h"
#include "imgnorm/normalizer.h"
#include "imgnorm/pelops.h"

#if defined(IMGNORM_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using Buffer = vkPelBuffer<std::uint8_t>;
using namespace imgnorm_detail;

// A smooth texture over 0..255 (a coarse random grid, bilinearly
// interpolated) as the reference, and the run-time image 0.5 * ref + 40 with
// 20% of the pixels replaced by random defects.
struct Scene {
    Buffer reference, runTime, mask;
};

Scene makeScene(std::int32_t n) {
    std::mt19937 gen(77);
    const std::int32_t cell = 16, g = n / cell + 2;
    std::vector<double> grid(static_cast<std::size_t>(g * g));
    std::uniform_real_distribution<double> u(0.0, 255.0);
    for (double& v : grid) v = u(gen);
    Scene s{Buffer(n, n), Buffer(n, n), Buffer(n, n)};
    for (std::int32_t y = 0; y < n; ++y) {
        std::uint8_t* ref = s.reference.pointToOffset() + y * s.reference.rowUpdate();
        std::uint8_t* run = s.runTime.pointToOffset() + y * s.runTime.rowUpdate();
        std::uint8_t* mask = s.mask.pointToOffset() + y * s.mask.rowUpdate();
        const std::int32_t gy = y / cell;
        const double ay = static_cast<double>(y % cell) / cell;
        for (std::int32_t x = 0; x < n; ++x) {
            const std::int32_t gx = x / cell;
            const double ax = static_cast<double>(x % cell) / cell;
            auto at = [&](std::int32_t i, std::int32_t j) { return grid[static_cast<std::size_t>(j * g + i)]; };
            const double v = (1 - ay) * ((1 - ax) * at(gx, gy) + ax * at(gx + 1, gy)) +
                             ay * ((1 - ax) * at(gx, gy + 1) + ax * at(gx + 1, gy + 1));
            ref[x] = static_cast<std::uint8_t>(std::lround(v));
            const std::uint32_t r = gen();
            run[x] = (r % 5 == 0) ? static_cast<std::uint8_t>(r >> 8)
                                  : static_cast<std::uint8_t>(std::lround(0.5 * ref[x] + 40));
            mask[x] = x < n * 3 / 4 ? 255 : 0;
        }
    }
    return s;
}

const Scene& scene(std::int32_t n) {
    static std::map<std::int32_t, Scene> cache;
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, makeScene(n)).first;
    return it->second;
}

const std::vector<vkDegree>& angles() {
    static const std::vector<vkDegree> a = [] {
        std::vector<vkDegree> v;
        buildFitAngles(v);
        return v;
    }();
    return a;
}

void setPixels(benchmark::State& state, std::int32_t n) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n) * n);
}

void BM_Memcpy(benchmark::State& state) {
    const auto n = static_cast<std::int32_t>(state.range(0));
    const Scene& s = scene(n);
    Buffer out(n, n);
    const std::size_t bytes = static_cast<std::size_t>(s.runTime.rowUpdate()) * static_cast<std::size_t>(n);
    for (auto _ : state) {
        std::memcpy(out.pointToOffset(), s.runTime.pointToOffset(), bytes);
        benchmark::ClobberMemory();
    }
    setPixels(state, n);
}

void BM_RunLinearFit(benchmark::State& state) {
    const auto n = static_cast<std::int32_t>(state.range(0));
    const bool masked = state.range(1) != 0;
    const Scene& s = scene(n);
    const vkPelBuffer_const<std::uint8_t> weight = masked ? vkPelBuffer_const<std::uint8_t>(s.mask) : vkPelBuffer_const<std::uint8_t>();
    for (auto _ : state) benchmark::DoNotOptimize(runLinearFit(s.runTime, s.reference, weight, angles()));
    setPixels(state, n);
}

// The tool's run for the method: it narrows the windows, calls runLinearFit
// with the trained mask as weights and gives the result the run-time
// transforms.
void BM_ToolRun(benchmark::State& state) {
    const auto n = static_cast<std::int32_t>(state.range(0));
    const Scene& s = scene(n);
    vkImageNormalizer tool;
    tool.referenceImage(s.reference, false);
    if (state.range(1) != 0) tool.maskImage(s.mask, false);
    tool.train(vkImageNormalizerDefs::eLinearlyFitGrayValues, nullptr, 0);
    bool success = false;
    std::string message;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            tool.run(s.runTime, vkImageNormalizerDefs::eLinearlyFitGrayValues, success, message, nullptr, 0));
    setPixels(state, n);
}

// The first pass: pair counts and the weighted histogram.
void BM_CountPairs(benchmark::State& state) {
    const auto n = static_cast<std::int32_t>(state.range(0));
    const bool masked = state.range(1) != 0;
    const Scene& s = scene(n);
    const PairedImages p = pairImages(s.runTime, s.reference, masked ? vkPelBuffer_const<std::uint8_t>(s.mask) : vkPelBuffer_const<std::uint8_t>());
    for (auto _ : state) benchmark::DoNotOptimize(countPairs(p));
    setPixels(state, n);
}

// The second pass: the gray map applied to the run-time image.
void BM_ApplyGrayLine(benchmark::State& state) {
    const auto n = static_cast<std::int32_t>(state.range(0));
    const Scene& s = scene(n);
    for (auto _ : state) benchmark::DoNotOptimize(applyGrayLine(s.runTime, vkPair<double>(2.0, -80.0)));
    setPixels(state, n);
}

// Everything between the passes: it works on the pair counts only.
void BM_FixedPart(benchmark::State& state) {
    const Scene& s = scene(1024);
    const PairCounts counts = countPairs(pairImages(s.runTime, s.reference, vkPelBuffer_const<std::uint8_t>()));
    for (auto _ : state) {
        const auto profiles = projectAtAngles(compressHistogram(counts.histogram), angles());
        const auto best = findStrongestProjection(profiles);
        vkPair<double> line;
        fitGrayLine(counts.pairs, makeLineBand(profiles[best.index], best.peakPosition), line);
        benchmark::DoNotOptimize(grayMap(line));
    }
}

#if defined(IMGNORM_HAVE_OPENCV)
cv::Mat asMat(const vkPelBuffer_const<std::uint8_t>& b) {
    return cv::Mat(b.height(), b.width(), CV_8UC1, const_cast<std::uint8_t*>(b.pointToOffset()),
                   static_cast<std::size_t>(b.rowUpdate()));
}

void BM_CvCalcHist2D(benchmark::State& state) {
    cv::setNumThreads(1);
    const auto n = static_cast<std::int32_t>(state.range(0));
    const Scene& s = scene(n);
    const cv::Mat images[2] = {asMat(s.reference), asMat(s.runTime)};
    const int channels[2] = {0, 1};
    const int sizes[2] = {256, 256};
    const float range[2] = {0, 256};
    const float* ranges[2] = {range, range};
    cv::Mat hist;
    for (auto _ : state) {
        cv::calcHist(images, 2, channels, cv::Mat(), hist, 2, sizes, ranges);
        benchmark::DoNotOptimize(hist.data);
    }
    setPixels(state, n);
}

void BM_CvLut(benchmark::State& state) {
    cv::setNumThreads(1);
    const auto n = static_cast<std::int32_t>(state.range(0));
    const Scene& s = scene(n);
    const std::vector<std::uint8_t> map = grayMap(vkPair<double>(2.0, -80.0));
    const cv::Mat lut(1, 256, CV_8UC1, const_cast<std::uint8_t*>(map.data()));
    for (auto _ : state) {
        cv::Mat out;
        cv::LUT(asMat(s.runTime), lut, out);
        benchmark::DoNotOptimize(out.data);
    }
    setPixels(state, n);
}
#endif

// Collects the mean CPU time per iteration of every run by name (every case
// reports in milliseconds). On the shared machine the wall time includes the
// waits for a core; the CPU time is the steadier basis for ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // Single runs, or the medians when repetitions are aggregated.
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration ? r.iterations > 0 : r.aggregate_name == "median")
                ms[r.run_name.str()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ms;
};

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunLinearFit)->Args({8, 0})->Args({1024, 0})->Args({1024, 1})->Args({4096, 0})->Args({4096, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolRun)->Args({1024, 0})->Args({1024, 1})->Args({4096, 0})->Args({4096, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountPairs)->Args({1024, 0})->Args({1024, 1})->Args({4096, 0})->Args({4096, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyGrayLine)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FixedPart)->Unit(benchmark::kMillisecond);
#if defined(IMGNORM_HAVE_OPENCV)
BENCHMARK(BM_CvCalcHist2D)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CvLut)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
#endif

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.ms;
    auto ratio = [&](const std::string& a, const std::string& b) {
        if (t.count(a) && t.count(b) && t[b] > 0)
            std::cout << "  " << a << " / " << b << " = " << t[a] / t[b] << "\n";
    };
    std::cout << "\nRatios of CPU times measured in this run:\n";
    for (const char* n : {"1024", "4096"}) {
        const std::string s = n;
        ratio("BM_RunLinearFit/" + s + "/0", "BM_Memcpy/" + s);
        ratio("BM_RunLinearFit/" + s + "/1", "BM_Memcpy/" + s);
        ratio("BM_ToolRun/" + s + "/0", "BM_RunLinearFit/" + s + "/0");
        ratio("BM_ToolRun/" + s + "/1", "BM_RunLinearFit/" + s + "/1");
        ratio("BM_CountPairs/" + s + "/0", "BM_Memcpy/" + s);
        ratio("BM_ApplyGrayLine/" + s, "BM_Memcpy/" + s);
        ratio("BM_CountPairs/" + s + "/0", "BM_CvCalcHist2D/" + s);
        ratio("BM_ApplyGrayLine/" + s, "BM_CvLut/" + s);
        ratio("BM_RunLinearFit/" + s + "/0", "BM_RunLinearFit/8/0");
    }
    benchmark::Shutdown();
    return 0;
}
