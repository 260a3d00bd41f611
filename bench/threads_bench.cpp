// Speed on one and on two threads of the operations that split their rows
// over threads, on 4096 x 4096 images, with OpenCV's nearest equivalent on
// one thread and with its own threads on, all in one run. Times are wall
// clock (several threads work at once), so run it on an otherwise idle
// machine and note the load. Each case reports ms (wall) and cpu_ms (all
// threads of the process); at the end, per operation, the two-thread
// speedup and cpu_ms(2) / cpu_ms(1), the work that splitting adds.
//
// Run: build/release/bench/threads_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include <imgnorm/imgnorm.h>

#ifdef IMGNORM_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr std::int32_t kSide = 4096;

double processSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// A scene: a smooth drift plus noise, as the local corrections see.
template <class T>
vkPelBuffer<T> scene(std::int32_t w, std::int32_t h, double scale) {
    vkPelBuffer<T> b(w, h);
    std::mt19937 gen(7);
    std::normal_distribution<double> noise(0.0, 8.0);
    for (std::int32_t y = 0; y < h; ++y) {
        T* row = b.pointToOffset() + y * b.rowUpdate();
        for (std::int32_t x = 0; x < w; ++x) {
            const double v = 128 + 40 * std::sin(6.0 * x / w) * std::cos(4.0 * y / h) + noise(gen);
            row[x] = static_cast<T>(std::lround(std::clamp(v, 0.0, 255.0) * scale));
        }
    }
    return b;
}

vkPelBuffer<std::uint8_t> halfMask() {
    vkPelBuffer<std::uint8_t> m(kSide, kSide);
    std::mt19937 gen(99);
    for (std::int32_t y = 0; y < kSide; ++y)
        for (std::int32_t x = 0; x < kSide; ++x)
            m.pointToOffset()[y * m.rowUpdate() + x] = (gen() & 1) ? 255 : 0;
    return m;
}

const vkPelBuffer<std::uint8_t>& image8() {
    static const auto b = scene<std::uint8_t>(kSide, kSide, 1.0);
    return b;
}

// One untimed call first: it makes the images and warms the caches and the
// threads.
template <class F>
void timed(benchmark::State& state, F&& f) {
    f();
    double cpu = 0;
    for (auto _ : state) {
        const double t0 = processSeconds();
        f();
        cpu += processSeconds() - t0;
    }
    state.counters["cpu_ms"] = 1e3 * cpu / static_cast<double>(state.iterations());
}

// Ours, with state.range(0) threads.
template <class F>
void ours(benchmark::State& state, F f) {
    vfSetNumThreads(static_cast<std::int32_t>(state.range(0)));
    timed(state, f);
    vfSetNumThreads(0);
}

void median8(benchmark::State& state, std::int32_t k) {
    vkPelBuffer<std::uint8_t> out(kSide, kSide);
    const vkPelMedianParams p(vkPair<std::int32_t>(k, k), vkPair<std::int32_t>(0, 255), true);
    ours(state, [&] { vfPelMedian(image8(), p, out); });
}

void median16(benchmark::State& state) {
    static const auto img = scene<std::uint16_t>(kSide, kSide, 16.0);  // 12-bit
    vkPelBuffer<std::uint16_t> out(kSide, kSide);
    const vkPelMedianParams p(vkPair<std::int32_t>(101, 101), vkPair<std::int32_t>(0, 4095), true,
                              12);
    ours(state, [&] { vfPelMedian(img, p, out); });
}

void affine(benchmark::State& state) {
    static const auto small = scene<std::uint8_t>(kSide / 4, kSide / 4, 1.0);
    const vkAffineSamplingParams p(
        vkAffineRectangle(vkVector<2>(0, 0), vkVector<2>(kSide / 4, 0), vkVector<2>(0, kSide / 4)),
        kSide, kSide, vkAffineSamplingParams::eBilinear);
    ours(state, [&] { benchmark::DoNotOptimize(vfAffineTransformImage(small, p)); });
}

void histogram(benchmark::State& state, bool masked) {
    static const auto mask = halfMask();
    std::vector<std::uint32_t> h;
    ours(state, [&] {
        if (masked)
            vf_MaskedPelHistogram(image8(), mask, h);
        else
            vfPelHistogram(image8(), h);
    });
}

// The local mean's Gaussian (k 52, 8 -> 16 bits, as the tool uses it at
// granularity 1 on a 101 x 101 neighbourhood).
void gauss(benchmark::State& state) {
    const vkGaussSampleParams p(vkPair<std::int32_t>(1, 1), vkPair<std::int32_t>(52, 52), 128.0,
                                true);
    vkPelBuffer<std::uint16_t> out;
    ours(state, [&] {
        out.setUnbound();
        vfGaussSample<std::uint8_t, std::uint16_t>(image8(), out, p);
    });
}

// The tool's run: local corrections (101 x 101 neighbourhood) and the fit,
// on the scene against a copy of it under a light ramp; 16-bit pixels: the
// deep tool on the scene's 12-bit twin.
template <class Pel = std::uint8_t>
void tool(benchmark::State& state, vkImageNormalizerDefs::Method m, std::int32_t g) {
    constexpr int scale = sizeof(Pel) == 1 ? 1 : 16;
    static const auto reference = scene<Pel>(kSide, kSide, scale);
    static const auto runtime = [] {
        vkPelBuffer<Pel> b = vfPelCopy<Pel>(reference);
        for (std::int32_t y = 0; y < kSide; ++y)
            for (std::int32_t x = 0; x < kSide; ++x) {
                Pel& v = b.pointToOffset()[y * b.rowUpdate() + x];
                v = static_cast<Pel>(std::clamp(v + (x / 200 - 10) * scale, 0, 255 * scale));
            }
        return b;
    }();
    std::conditional_t<sizeof(Pel) == 1, vkImageNormalizer, vkDeepImageNormalizer> t;
    if constexpr (sizeof(Pel) > 1) t.depth(12);
    t.referenceImage(reference, false);
    t.granularity(vkPair<std::int32_t>(g, g));
    t.train(m, nullptr, 0);
    ours(state, [&] {
        bool ok = false;
        std::string msg;
        benchmark::DoNotOptimize(t.run(runtime, m, ok, msg, nullptr, 0));
    });
}

void map(benchmark::State& state) {
    std::vector<std::uint8_t> table(256);
    for (int i = 0; i < 256; ++i)
        table[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(255 - i);
    vkPelBuffer<std::uint8_t> out(kSide, kSide);
    ours(state, [&] { vfPelMap(image8(), table, out); });
}

#ifdef IMGNORM_HAVE_OPENCV
cv::Mat asMat(const vkPelBuffer_const<std::uint8_t>& b) {
    return cv::Mat(b.height(), b.width(), CV_8UC1, const_cast<std::uint8_t*>(b.pointToOffset()),
                   static_cast<std::size_t>(b.rowUpdate()));
}

// OpenCV with one thread (range 1) or its own default (range 2).
template <class F>
void theirs(benchmark::State& state, F f) {
    cv::setNumThreads(state.range(0) == 1 ? 1 : -1);
    timed(state, f);
    cv::setNumThreads(-1);
}

void cvMedian(benchmark::State& state, int k) {
    cv::Mat dst;
    theirs(state, [&] { cv::medianBlur(asMat(image8()), dst, k); });
}
void cvResize(benchmark::State& state) {
    static const auto small = scene<std::uint8_t>(kSide / 4, kSide / 4, 1.0);
    cv::Mat dst;
    theirs(state,
           [&] { cv::resize(asMat(small), dst, cv::Size(kSide, kSide), 0, 0, cv::INTER_LINEAR); });
}
void cvHist(benchmark::State& state, bool masked) {
    static const auto mask = halfMask();
    cv::Mat hist;
    const int channels[] = {0}, size[] = {256};
    const float range[] = {0, 256};
    const float* ranges[] = {range};
    theirs(state, [&] {
        const cv::Mat src = asMat(image8());
        cv::calcHist(&src, 1, channels, masked ? asMat(mask) : cv::Mat(), hist, 1, size, ranges);
    });
}
void cvGauss(benchmark::State& state) {
    cv::Mat dst;
    theirs(state, [&] {
        cv::GaussianBlur(asMat(image8()), dst, cv::Size(0, 0), std::sqrt(52.0 * 52 + 2) / 2);
    });
}
void cvLut(benchmark::State& state) {
    cv::Mat table(1, 256, CV_8U), dst;
    for (int i = 0; i < 256; ++i)
        table.at<std::uint8_t>(i) = static_cast<std::uint8_t>(255 - i);
    theirs(state, [&] { cv::LUT(asMat(image8()), table, dst); });
}
#endif

void add(const std::string& name, void (*f)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name.c_str(), f)
        ->Arg(1)
        ->Arg(2)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}
template <class F>
void add(const std::string& name, F f) {
    benchmark::RegisterBenchmark(name.c_str(), f)
        ->Arg(1)
        ->Arg(2)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

void registerAll() {
    for (int k : {101, 3, 5}) {
        add("median8_k" + std::to_string(k), [k](benchmark::State& s) { median8(s, k); });
#ifdef IMGNORM_HAVE_OPENCV
        add("opencv_median8_k" + std::to_string(k), [k](benchmark::State& s) { cvMedian(s, k); });
#endif
    }
    add("median16_k101", median16);
    add("affine_x4", affine);
    add("histogram", [](benchmark::State& s) { histogram(s, false); });
    add("histogram_masked", [](benchmark::State& s) { histogram(s, true); });
    add("map", map);
    add("gauss_k52", gauss);
#ifdef IMGNORM_HAVE_OPENCV
    add("opencv_gauss_sigma26", cvGauss);
#endif
    using namespace vkImageNormalizerDefs;
    for (int g : {1, 2, 4}) {
        add("local_mean_g" + std::to_string(g),
            [g](benchmark::State& s) { tool(s, eLocalCorrection, g); });
        add("local_median_g" + std::to_string(g),
            [g](benchmark::State& s) { tool(s, eLocalCorrectionEnhanced, g); });
    }
    add("local_mean_12bit_g4",
        [](benchmark::State& s) { tool<std::uint16_t>(s, eLocalCorrection, 4); });
    add("local_median_12bit_g4",
        [](benchmark::State& s) { tool<std::uint16_t>(s, eLocalCorrectionEnhanced, 4); });
    add("linear_fit", [](benchmark::State& s) { tool(s, eLinearlyFitGrayValues, 1); });
    add("linear_fit_12bit",
        [](benchmark::State& s) { tool<std::uint16_t>(s, eLinearlyFitGrayValues, 1); });
#ifdef IMGNORM_HAVE_OPENCV
    add("opencv_resize_x4", cvResize);
    add("opencv_histogram", [](benchmark::State& s) { cvHist(s, false); });
    add("opencv_histogram_masked", [](benchmark::State& s) { cvHist(s, true); });
    add("opencv_lut", cvLut);
#endif
}

// Console output, then each case's two-thread speedup and added work (of
// the medians when the runs are repeated).
class ScalingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            // With repetitions the median, reported after the runs, wins.
            if (r.error_occurred || (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median"))
                continue;
            std::string n = r.run_name.str();  // name/threads/real_time
            n.erase(n.rfind('/'));
            const auto cut = n.rfind('/');
            auto& e = cases_[n.substr(0, cut)];
            const bool two = n.substr(cut + 1, 1) == "2";
            (two ? e.wall2 : e.wall1) = r.GetAdjustedRealTime();
            (two ? e.cpu2 : e.cpu1) = r.counters.at("cpu_ms").value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::cout << "\nspeedup of 2 threads over 1 (wall), and cpu(2) / cpu(1):\n";
        for (const auto& [n, e] : cases_)
            std::cout << "  " << n << "  " << e.wall1 / e.wall2 << "  " << e.cpu2 / e.cpu1 << "\n";
    }

  private:
    struct Entry {
        double wall1 = 0, wall2 = 0, cpu1 = 0, cpu2 = 0;
    };
    std::map<std::string, Entry> cases_;
};

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    ScalingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
