// Benchmarks of the exported pixel functions on 4096 x 4096 8-bit images.
// Every case times its operation and, alternately in the same loop, a memcpy
// of one image (the floor), both in CPU time of this thread; the counter
// xMemcpy is the ratio of the two, so it stays meaningful on a noisy shared
// machine. OpenCV cases (single thread) report the same ratio for the
// equivalent OpenCV call.
//
// Run: build/release/bench/pelfunc_bench --benchmark_repetitions=5
//      --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <ctime>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <imgnorm/imgnorm.h>

#ifdef IMGNORM_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using Pel = std::uint8_t;
constexpr std::int32_t kSide = 4096;

vkPelBuffer<Pel> randomImage(std::uint32_t seed, std::uint32_t lo = 0, std::uint32_t hi = 255) {
    vkPelBuffer<Pel> b(kSide, kSide);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::uint32_t> d(lo, hi);
    Pel* row = b.pointToOffset();
    for (std::int32_t y = 0; y < kSide; ++y, row += b.rowUpdate())
        for (std::int32_t x = 0; x < kSide; ++x) row[x] = static_cast<Pel>(d(gen));
    return b;
}

// 0 or 255, with old (0) at the given percentage of the pixels.
vkPelBuffer<Pel> binaryImage(std::uint32_t seed, std::uint32_t percentZero) {
    vkPelBuffer<Pel> b(kSide, kSide);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::uint32_t> d(0, 99);
    Pel* row = b.pointToOffset();
    for (std::int32_t y = 0; y < kSide; ++y, row += b.rowUpdate())
        for (std::int32_t x = 0; x < kSide; ++x) row[x] = d(gen) < percentZero ? 0 : 255;
    return b;
}

void copyPixels(const vkPelBuffer_const<Pel>& from, const vkPelBuffer<Pel>& to) {
    std::memcpy(to.pointToOffset(), from.pointToOffset(),
                static_cast<std::size_t>(from.rowUpdate()) * static_cast<std::size_t>(from.height()));
}

#ifdef IMGNORM_HAVE_OPENCV
// An OpenCV header over the same pixels (no copy).
cv::Mat asMat(const vkPelBuffer_const<Pel>& b) {
    return cv::Mat(b.height(), b.width(), CV_8UC1, const_cast<Pel*>(b.pointToOffset()),
                   static_cast<std::size_t>(b.rowUpdate()));
}
#endif

// CPU time of this thread: time that other processes take the core away
// does not count.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Times op (after an untimed prepare) against a memcpy of one image.
template <class Prepare, class Op>
void againstMemcpy(benchmark::State& state, Prepare&& prepare, Op&& op) {
    static std::vector<Pel> from(static_cast<std::size_t>(kSide) * kSide, 7);
    static std::vector<Pel> to(from.size());
    double opSeconds = 0, floorSeconds = 0;
    for (auto _ : state) {
        prepare();
        const double t0 = threadSeconds();
        op();
        benchmark::ClobberMemory();
        const double t1 = threadSeconds();
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
        const double t2 = threadSeconds();
        opSeconds += t1 - t0;
        floorSeconds += t2 - t1;
        state.SetIterationTime(t1 - t0);
    }
    state.counters["xMemcpy"] = opSeconds / floorSeconds;
    state.SetBytesProcessed(state.iterations() * std::int64_t{kSide} * kSide);
}

template <class Op>
void againstMemcpy(benchmark::State& state, Op&& op) {
    againstMemcpy(state, [] {}, std::forward<Op>(op));
}

#define PELFUNC_BENCH(fn) BENCHMARK(fn)->UseManualTime()->Unit(benchmark::kMillisecond)

void BM_Memcpy(benchmark::State& state) {
    static std::vector<Pel> a(static_cast<std::size_t>(kSide) * kSide, 3), b(a.size());
    againstMemcpy(state, [&] { std::memcpy(b.data(), a.data(), a.size()); });
}
PELFUNC_BENCH(BM_Memcpy);

// Clamped arithmetic -------------------------------------------------------

struct ArithImages {
    vkPelBuffer<Pel> d = randomImage(1), s = randomImage(2);
};
ArithImages& arith() {
    static ArithImages im;
    return im;
}

void BM_PelSubClamp(benchmark::State& state) {
    auto& im = arith();
    againstMemcpy(state, [&] { vf_PelSubClamp(im.d, im.s, 40); });
}
PELFUNC_BENCH(BM_PelSubClamp);

void BM_PelSubClampSigned(benchmark::State& state) {
    auto& im = arith();
    againstMemcpy(state, [&] { vf_PelSubClampSigned(im.d, im.s); });
}
PELFUNC_BENCH(BM_PelSubClampSigned);

void BM_PelAddClamp(benchmark::State& state) {
    auto& im = arith();
    againstMemcpy(state, [&] { vf_PelAddClamp(im.d, im.s); });
}
PELFUNC_BENCH(BM_PelAddClamp);

#ifdef IMGNORM_HAVE_OPENCV
void BM_CvSubtract(benchmark::State& state) {
    cv::setNumThreads(1);
    auto& im = arith();
    cv::Mat d = asMat(im.d), s = asMat(im.s);
    againstMemcpy(state, [&] { cv::subtract(d, s, d); });
}
PELFUNC_BENCH(BM_CvSubtract);

void BM_CvAdd(benchmark::State& state) {
    cv::setNumThreads(1);
    auto& im = arith();
    cv::Mat d = asMat(im.d), s = asMat(im.s);
    againstMemcpy(state, [&] { cv::add(d, s, d); });
}
PELFUNC_BENCH(BM_CvAdd);
#endif

// Thresholds ---------------------------------------------------------------

struct ThresholdImages {
    vkPelBuffer<Pel> source = randomImage(3);
    vkPelBuffer<Pel> mask = binaryImage(4, 50);
    vkPelBuffer<Pel> destination = vkPelBuffer<Pel>(kSide, kSide);
};
ThresholdImages& thresholds() {
    static ThresholdImages im;
    return im;
}

void BM_PelThreshold(benchmark::State& state) {
    auto& im = thresholds();
    againstMemcpy(state, [&] { benchmark::DoNotOptimize(vf_PelThreshold(im.source, 100)); });
}
PELFUNC_BENCH(BM_PelThreshold);

void BM_PelThresholdAutomatic(benchmark::State& state) {
    auto& im = thresholds();
    againstMemcpy(state, [&] { benchmark::DoNotOptimize(vf_PelThreshold(im.source)); });
}
PELFUNC_BENCH(BM_PelThresholdAutomatic);

void BM_MaskedPelThreshold(benchmark::State& state) {
    auto& im = thresholds();
    againstMemcpy(state, [&] { vf_MaskedPelThreshold(im.source, im.mask, 100, im.destination); });
}
PELFUNC_BENCH(BM_MaskedPelThreshold);

#ifdef IMGNORM_HAVE_OPENCV
void BM_CvThreshold(benchmark::State& state) {
    cv::setNumThreads(1);
    auto& im = thresholds();
    cv::Mat s = asMat(im.source);
    againstMemcpy(state, [&] {
        cv::Mat out;
        cv::threshold(s, out, 99, 255, cv::THRESH_BINARY);
        benchmark::DoNotOptimize(out.data);
    });
}
PELFUNC_BENCH(BM_CvThreshold);

void BM_CvThresholdOtsu(benchmark::State& state) {
    cv::setNumThreads(1);
    auto& im = thresholds();
    cv::Mat s = asMat(im.source);
    againstMemcpy(state, [&] {
        cv::Mat out;
        cv::threshold(s, out, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
        benchmark::DoNotOptimize(out.data);
    });
}
PELFUNC_BENCH(BM_CvThresholdOtsu);
#endif

// Diamond smoothing --------------------------------------------------------

void BM_PelSmooth3x3Diamond(benchmark::State& state) {
    static vkPelBuffer<Pel> original = randomImage(5);
    static vkPelBuffer<Pel> image(kSide, kSide);
    againstMemcpy(state, [&] { copyPixels(original, image); }, [&] { vf_PelSmooth3x3Diamond(image); });
}
PELFUNC_BENCH(BM_PelSmooth3x3Diamond);

#ifdef IMGNORM_HAVE_OPENCV
// The same amount of work (a 3x3 diamond kernel, 8-bit in and out), though
// OpenCV's border handling and rounding differ.
void BM_CvFilter2DDiamond(benchmark::State& state) {
    cv::setNumThreads(1);
    static vkPelBuffer<Pel> original = randomImage(5);
    cv::Mat s = asMat(original);
    const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 0, 1, 0, 1, 4, 1, 0, 1, 0) / 8.0f;
    cv::Mat out(kSide, kSide, CV_8UC1);
    againstMemcpy(state, [&] { cv::filter2D(s, out, -1, kernel); });
}
PELFUNC_BENCH(BM_CvFilter2DDiamond);
#endif

// Buffer equality ----------------------------------------------------------

void BM_PelBufferEqual(benchmark::State& state) {
    static vkPelBuffer<Pel> a = randomImage(6);
    static vkPelBuffer<Pel> b = vfPelCopy<Pel>(a);
    againstMemcpy(state, [&] { benchmark::DoNotOptimize(vf_PelBufferEqual(a, b, 0.0)); });
}
PELFUNC_BENCH(BM_PelBufferEqual);

// Flood fill and first-pixel search ------------------------------------------

// A uniform image (the whole window is one region) and a binary noise image
// with 60 % old pixels, where the 8-connected region is large and ragged.
const vkPelBuffer<Pel>& fillOriginal(std::int64_t kind) {
    static vkPelBuffer<Pel> uniform = [] {
        vkPelBuffer<Pel> b(kSide, kSide);
        vfPelSet<Pel>(b, 0);
        return b;
    }();
    static vkPelBuffer<Pel> noise = binaryImage(7, 60);
    return kind == 0 ? uniform : noise;
}

vkPair<std::int32_t> fillSeed(const vkPelBuffer<Pel>& image) {
    vkPair<std::int32_t> seed;
    vf_FindFirstPel(image, 0, seed);
    return seed;
}

void BM_FloodFill(benchmark::State& state) {
    const auto& original = fillOriginal(state.range(0));
    static vkPelBuffer<Pel> image(kSide, kSide);
    // Sized once, as a caller that reuses its workspace would.
    static std::vector<std::int64_t> workspace(static_cast<std::size_t>(kSide) * kSide);
    const auto seed = fillSeed(original);
    againstMemcpy(state, [&] { copyPixels(original, image); }, [&] { vf_FloodFill(image, seed, 100, workspace); });
}
PELFUNC_BENCH(BM_FloodFill)->ArgName("noise")->Arg(0)->Arg(1);

#ifdef IMGNORM_HAVE_OPENCV
void BM_CvFloodFill(benchmark::State& state) {
    cv::setNumThreads(1);
    const auto& original = fillOriginal(state.range(0));
    static vkPelBuffer<Pel> image(kSide, kSide);
    const auto seed = fillSeed(original);
    cv::Mat m = asMat(image);
    againstMemcpy(
        state, [&] { copyPixels(original, image); },
        [&] {
            cv::floodFill(m, cv::Point(seed.x(), seed.y()), cv::Scalar(100), nullptr, cv::Scalar(0), cv::Scalar(0),
                          8);
        });
}
PELFUNC_BENCH(BM_CvFloodFill)->ArgName("noise")->Arg(0)->Arg(1);
#endif

void BM_FindFirstPel(benchmark::State& state) {
    static vkPelBuffer<Pel> image = randomImage(8, 0, 254);
    againstMemcpy(state, [&] {
        vkPair<std::int32_t> where;
        benchmark::DoNotOptimize(vf_FindFirstPel(image, 255, where));
    });
}
PELFUNC_BENCH(BM_FindFirstPel);

}  // namespace

BENCHMARK_MAIN();
