// Gaussian sampling on 4096 x 4096 8-bit images. Every case times its
// operation and, alternately in the same loop, a memcpy of one image (the
// floor) and, where OpenCV is installed, the nearest OpenCV call (single
// thread), all in CPU time of this thread. The counters give ours in ms, the
// ratio to the memcpy (xMemcpy) and to OpenCV (xOpenCV), so they stay
// meaningful on a noisy shared machine.
//
// Run: build/release/bench/gauss_bench --benchmark_repetitions=5
//      --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <imgnorm/imgnorm.h>

#include "timing.h"

#ifdef IMGNORM_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using P = vkPair<std::int32_t>;
using Pel = std::uint8_t;
constexpr std::int32_t kSide = 4096;

vkPelBuffer<Pel> makeRandomImage(std::int32_t side) {
    vkPelBuffer<Pel> b(side, side);
    std::mt19937 gen(12345);
    std::uniform_int_distribution<int> d(0, 255);
    Pel* row = b.pointToOffset();
    for (std::int32_t y = 0; y < side; ++y, row += b.rowUpdate())
        for (std::int32_t x = 0; x < side; ++x)
            row[x] = static_cast<Pel>(d(gen));
    return b;
}
const vkPelBuffer<Pel>& randomImage() {
    static const vkPelBuffer<Pel> img = makeRandomImage(kSide);
    return img;
}

double sigmaOf(std::int32_t k) {
    return std::sqrt(double(k) * k + 2) / 2;
}

// Times ours, a memcpy of the image and (if given) the peer, taking turns.
void compare(benchmark::State& state, const std::function<void()>& ours,
             const std::function<void()>& peer) {
    static std::vector<Pel> from(static_cast<std::size_t>(kSide) * kSide, 7), to(from.size());
    bench::timeInTurns(
        state, "xMemcpy", [] { std::memcpy(to.data(), from.data(), from.size()); }, ours, peer);
}

#ifdef IMGNORM_HAVE_OPENCV
cv::Mat asMat(const vkPelBuffer_const<Pel>& b) {
    return cv::Mat(b.height(), b.width(), CV_8UC1, const_cast<Pel*>(b.pointToOffset()),
                   static_cast<std::size_t>(b.rowUpdate()));
}
// cv::GaussianBlur with the same sigma; ksize 0 lets OpenCV pick
// 2 * round(3 sigma) + 1 taps.
std::function<void()> openCvBlur(std::int32_t k, std::int32_t ksize) {
    return [k, ksize] {
        static cv::Mat dst;
        const double s = sigmaOf(k);
        cv::GaussianBlur(asMat(randomImage()), dst, cv::Size(ksize, ksize), s, s);
        benchmark::DoNotOptimize(dst.data);
    };
}
// Halving with cv::pyrDown (a 5-tap Gaussian), once or twice.
std::function<void()> openCvPyrDown(std::int32_t g) {
    return [g] {
        static cv::Mat half, quarter;
        cv::pyrDown(asMat(randomImage()), half);
        if (g == 4) cv::pyrDown(half, quarter);
        benchmark::DoNotOptimize(half.data);
    };
}
#else
std::function<void()> openCvBlur(std::int32_t, std::int32_t) {
    return {};
}
std::function<void()> openCvPyrDown(std::int32_t) {
    return {};
}
#endif

// The local mean: 8-bit in, 16-bit out, gain 128, rounded; into a new
// buffer (as the library calls it: the first writes to the fresh pages cost
// page faults) or into one allocated and touched beforehand.
void localMean(benchmark::State& state, std::int32_t k, bool preallocated, bool withPeer) {
    vkGaussSampleParams p(P(1, 1), P(k, k), 128.0, true);
    p.doRounding(true);
    vkPelBuffer<std::uint16_t> bound(kSide, kSide);
    vfPelSet(bound, std::uint16_t{1});
    compare(
        state,
        [&] {
            vkPelBuffer<std::uint16_t> out;
            if (preallocated) out = bound;
            vfGaussSample(randomImage(), out, p);
            benchmark::DoNotOptimize(out.pointToOffset());
        },
        withPeer ? openCvBlur(k, 0) : std::function<void()>());
}

// The local mean as a local correction at granularity 4 makes it on
// 4096 x 4096: on the 1024 x 1024 grid, kernel 14 (a neighbourhood of 101
// reduced to 25), 8-bit in, 16-bit out, gain 128, rounded, into a touched
// buffer, on one thread.
void localMeanGrid(benchmark::State& state) {
    static const vkPelBuffer<Pel> grid = makeRandomImage(kSide / 4);
    vkGaussSampleParams p(P(1, 1), P(14, 14), 128.0, true);
    p.doRounding(true);
    vkPelBuffer<std::uint16_t> out(kSide / 4, kSide / 4);
    vfPelSet(out, std::uint16_t{1});
    const std::int32_t threads = vfNumThreads();
    vfSetNumThreads(1);
    compare(state,
            [&] {
                vfGaussSample(grid, out, p);
                benchmark::DoNotOptimize(out.pointToOffset());
            },
            {});
    vfSetNumThreads(threads);
}

// Smoothing 8 -> 8 bits, rounded (the same output type as OpenCV's).
void smooth8(benchmark::State& state, std::int32_t k, std::int32_t cvKsize) {
    vkGaussSampleParams p(P(1, 1), P(k, k), 1.0, true);
    p.doRounding(true);
    compare(
        state,
        [&] {
            auto out = vfGaussSample<Pel>(randomImage(), p);
            benchmark::DoNotOptimize(out.pointToOffset());
        },
        openCvBlur(k, cvKsize));
}

// The mask and difference reduction: factor g, kernel g - 1, 8 -> 8 bits.
void reduce(benchmark::State& state, std::int32_t g) {
    const vkGaussSampleParams p(P(g, g), P(g - 1, g - 1), 1.0, true);
    compare(
        state,
        [&] {
            auto out = vfGaussSample<Pel>(randomImage(), p);
            benchmark::DoNotOptimize(out.pointToOffset());
        },
        openCvPyrDown(g));
}

void registerAll() {
    randomImage();
    auto add = [](const std::string& name, auto fn, auto... args) {
        benchmark::RegisterBenchmark(name.c_str(), fn, args...)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    for (std::int32_t k : {52, 26, 14})
        add("local_mean_8to16/k" + std::to_string(k) + "/vs_blur_auto", localMean, k, false, true);
    add("local_mean_8to16/k52/into_touched_buffer", localMean, 52, true, false);
    add("local_mean_8to16/grid1024_k14_one_thread", localMeanGrid);
    add("smooth_8to8/k52/vs_blur_auto", smooth8, 52, 0);
    add("smooth_8to8/k52/vs_blur_k101", smooth8, 52, 101);
    for (std::int32_t g : {2, 4})
        add("reduce_8to8/g" + std::to_string(g) + "/vs_pyrdown", reduce, g);
    // OpenCV would take seconds here (1801 taps): no peer.
    add("local_mean_8to16/k300_wide_sums", localMean, 300, false, false);
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
