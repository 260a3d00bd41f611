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

#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include <imgnorm/imgnorm.h>

#include "timing.h"

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

using bench::threadSeconds;

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

// Times op against another operation run alternately in the same loop, for
// goals stated relative to something other than the floor; the counter
// `name` is the ratio of the two.
template <class Op, class Reference>
void againstOperation(benchmark::State& state, const char* name, Op&& op, Reference&& reference) {
    double opSeconds = 0, referenceSeconds = 0;
    for (auto _ : state) {
        const double t0 = threadSeconds();
        op();
        benchmark::ClobberMemory();
        const double t1 = threadSeconds();
        reference();
        benchmark::ClobberMemory();
        const double t2 = threadSeconds();
        opSeconds += t1 - t0;
        referenceSeconds += t2 - t1;
        state.SetIterationTime(t1 - t0);
    }
    state.counters[name] = opSeconds / referenceSeconds;
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

// 16-bit pixels of depth 12 and 16 (random values of that depth); the
// counter x8bit is the ratio to the same operation on the 8-bit images.
vkPelBuffer<std::uint16_t> randomDeepImage(std::uint32_t seed, int depth) {
    vkPelBuffer<std::uint16_t> b(kSide, kSide);
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::uint32_t> d(0, (1u << depth) - 1);
    std::uint16_t* row = b.pointToOffset();
    for (std::int32_t y = 0; y < kSide; ++y, row += b.rowUpdate())
        for (std::int32_t x = 0; x < kSide; ++x)
            row[x] = static_cast<std::uint16_t>(d(gen));
    return b;
}

void BM_PelSubClampSignedDeep(benchmark::State& state) {
    auto& im = arith();
    const auto depth = static_cast<std::int32_t>(state.range(0));
    static vkPelBuffer<std::uint16_t> d = randomDeepImage(1, 16), s = randomDeepImage(2, 16);
    againstOperation(
        state, "x8bit", [&] { vf_PelSubClampSigned(d, s, depth); },
        [&] { vf_PelSubClampSigned(im.d, im.s); });
}
PELFUNC_BENCH(BM_PelSubClampSignedDeep)->ArgName("depth")->Arg(12)->Arg(16);

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

// Masked histogram -----------------------------------------------------------

struct HistogramImages {
    vkPelBuffer<Pel> image = randomImage(11);
    vkPelBuffer<Pel> mask50 = binaryImage(12, 50);
    vkPelBuffer<Pel> maskLeftHalf = [] {
        vkPelBuffer<Pel> b(kSide, kSide);
        vkPelBuffer<Pel> left(b);
        left.window(vkPelRect(0, 0, kSide / 2, kSide));
        vfPelSet<Pel>(left, 255);
        return b;
    }();
    vkPelBuffer<Pel> maskMixed = randomImage(13, 0, 2);  // 0, 1 and 2: not a 0/255 mask
    // As many pixels as one image, 48 wide: the narrow path.
    vkPelBuffer<Pel> narrowImage = narrow(14, 255), narrowMask = narrow(15, 1);

    static vkPelBuffer<Pel> narrow(std::uint32_t seed, std::uint32_t hi) {
        vkPelBuffer<Pel> b(48, kSide * kSide / 48);
        std::mt19937 gen(seed);
        std::uniform_int_distribution<std::uint32_t> d(0, hi);
        Pel* row = b.pointToOffset();
        for (std::int32_t y = 0; y < b.height(); ++y, row += b.rowUpdate())
            for (std::int32_t x = 0; x < 48; ++x) row[x] = static_cast<Pel>(d(gen) * (hi == 1 ? 255 : 1));
        return b;
    }
    const vkPelBuffer<Pel>& mask(std::int64_t kind) const {
        return kind == 0 ? mask50 : kind == 1 ? maskLeftHalf : maskMixed;
    }
};
HistogramImages& histograms() {
    static HistogramImages im;
    return im;
}

void BM_PelHistogram(benchmark::State& state) {
    auto& im = histograms();
    std::vector<std::uint32_t> h;
    againstMemcpy(state, [&] { vfPelHistogram(im.image, h); });
}
PELFUNC_BENCH(BM_PelHistogram);

// mask 0: random 50 %, 1: left half, 2: values 0, 1 and 2 at random. The
// counter xPelHistogram is the ratio to the unmasked histogram of the image.
void BM_MaskedPelHistogram(benchmark::State& state) {
    auto& im = histograms();
    const auto& mask = im.mask(state.range(0));
    std::vector<std::uint32_t> h, plain;
    againstOperation(
        state, "xPelHistogram", [&] { vf_MaskedPelHistogram(im.image, mask, h); },
        [&] { vfPelHistogram(im.image, plain); });
}
PELFUNC_BENCH(BM_MaskedPelHistogram)->ArgName("mask")->DenseRange(0, 2);

// The same counts from whole-image operations: histogram of the mask, a 0/255
// mapping when the mask holds other values, pixel-wise minimum, histogram,
// bin 0 corrected. What the single fused pass is measured against.
void BM_MaskedPelHistogramComposed(benchmark::State& state) {
    auto& im = histograms();
    const auto& mask = im.mask(state.range(0));
    std::vector<std::uint32_t> h, mh, plain;
    std::vector<Pel> table(256, 255);
    table[0] = 0;
    againstOperation(
        state, "xPelHistogram",
        [&] {
            vfPelHistogram(mask, mh);
            vkPelBuffer<Pel> binary(mask);
            if (mh[0] + mh[255] != std::uint32_t{kSide} * kSide) binary = vfPelMap(mask, table);
            vfPelHistogram(vfPelMin<Pel>(im.image, binary), h);
            h[0] -= mh[0];
        },
        [&] { vfPelHistogram(im.image, plain); });
}
PELFUNC_BENCH(BM_MaskedPelHistogramComposed)->ArgName("mask")->Arg(0)->Arg(2);

void BM_MaskedPelHistogramNarrow(benchmark::State& state) {
    auto& im = histograms();
    std::vector<std::uint32_t> h, plain;
    againstOperation(
        state, "xPelHistogram", [&] { vf_MaskedPelHistogram(im.narrowImage, im.narrowMask, h); },
        [&] { vfPelHistogram(im.image, plain); });
}
PELFUNC_BENCH(BM_MaskedPelHistogramNarrow);

// 16-bit images of random values of the depth, random 50 % mask; x8bit is
// the ratio to the 8-bit masked histogram with the same mask.
void BM_MaskedPelHistogramDeep(benchmark::State& state) {
    auto& im = histograms();
    const auto depth = static_cast<std::int32_t>(state.range(0));
    const vkPelBuffer<std::uint16_t> image = randomDeepImage(11, depth);
    std::vector<std::uint32_t> h, h8;
    againstOperation(
        state, "x8bit", [&] { vf_MaskedPelHistogram(image, im.mask50, depth, h); },
        [&] { vf_MaskedPelHistogram(im.image, im.mask50, h8); });
}
PELFUNC_BENCH(BM_MaskedPelHistogramDeep)->ArgName("depth")->Arg(12)->Arg(16);

#ifdef IMGNORM_HAVE_OPENCV
// mask 0: none, 1: random 50 %, 2: left half.
void BM_CvCalcHist(benchmark::State& state) {
    cv::setNumThreads(1);
    auto& im = histograms();
    const cv::Mat image = asMat(im.image);
    const cv::Mat mask = state.range(0) == 0 ? cv::Mat() : asMat(im.mask(state.range(0) - 1));
    const int channels = 0, bins = 256;
    const float range[] = {0, 256};
    const float* ranges[] = {range};
    cv::Mat hist;
    std::vector<std::uint32_t> plain;
    againstOperation(
        state, "xPelHistogram", [&] { cv::calcHist(&image, 1, &channels, mask, hist, 1, &bins, ranges); },
        [&] { vfPelHistogram(im.image, plain); });
}
PELFUNC_BENCH(BM_CvCalcHist)->ArgName("mask")->DenseRange(0, 2);
#endif

// Masked copy and divide -----------------------------------------------------

void BM_MaskedPelCopy(benchmark::State& state) {
    auto& im = histograms();
    static vkPelBuffer<Pel> destination(kSide, kSide);
    againstMemcpy(state, [&] { vf_MaskedPelCopy(im.image, im.mask50, destination, state.range(0) != 0); });
}
PELFUNC_BENCH(BM_MaskedPelCopy)->ArgName("invert")->Arg(0)->Arg(1);

void BM_MaskedPelCopyDeep(benchmark::State& state) {
    auto& im = histograms();
    static const vkPelBuffer<std::uint16_t> source = randomDeepImage(16, 16);
    static vkPelBuffer<std::uint16_t> destination(kSide, kSide);
    static vkPelBuffer<Pel> destination8(kSide, kSide);
    againstOperation(
        state, "x8bit", [&] { vf_MaskedPelCopy(source, im.mask50, destination, false); },
        [&] { vf_MaskedPelCopy(im.image, im.mask50, destination8, false); });
}
PELFUNC_BENCH(BM_MaskedPelCopyDeep);

#ifdef IMGNORM_HAVE_OPENCV
void BM_CvCopyToMasked(benchmark::State& state) {
    cv::setNumThreads(1);
    auto& im = histograms();
    const cv::Mat image = asMat(im.image), mask = asMat(im.mask50);
    cv::Mat out(kSide, kSide, CV_8UC1, cv::Scalar(0));
    againstMemcpy(state, [&] { image.copyTo(out, mask); });
}
PELFUNC_BENCH(BM_CvCopyToMasked);
#endif

// 16-bit operands like the local mean's: a weight in 1..65535 and a numerator
// that never exceeds it; scale 255.
void BM_MaskedPelDivide(benchmark::State& state) {
    static const auto operands = [] {
        std::pair<vkPelBuffer<std::uint16_t>, vkPelBuffer<std::uint16_t>> p{
            vkPelBuffer<std::uint16_t>(kSide, kSide), vkPelBuffer<std::uint16_t>(kSide, kSide)};
        std::mt19937 gen(16);
        for (std::int32_t y = 0; y < kSide; ++y)
            for (std::int32_t x = 0; x < kSide; ++x) {
                const auto d = static_cast<std::uint16_t>(1 + gen() % 65535);
                p.second.set(vkPair<std::int32_t>(x, y), d);
                p.first.set(vkPair<std::int32_t>(x, y), static_cast<std::uint16_t>(gen() % (d + 1u)));
            }
        return p;
    }();
    auto& im = histograms();
    static vkPelBuffer<Pel> destination(kSide, kSide);
    const vkPelBuffer<Pel> mask = state.range(0) != 0 ? im.mask50 : vkPelBuffer<Pel>();
    againstMemcpy(state, [&] { vf_MaskedPelDivide(operands.first, operands.second, mask, destination, 255); });
}
PELFUNC_BENCH(BM_MaskedPelDivide)->ArgName("mask")->Arg(0)->Arg(1);

// Sampling, value mapping, morphology, border expansion ----------------------

// 1024 x 1024 -> 4096 x 4096, as the local correction brings a background
// estimate at granularity 4 back to full size.
const vkPelBuffer<Pel>& smallImage() {
    static const vkPelBuffer<Pel> image = [] {
        vkPelBuffer<Pel> b(1024, 1024);
        std::mt19937 gen(17);
        for (std::int32_t y = 0; y < 1024; ++y)
            for (std::int32_t x = 0; x < 1024; ++x)
                b.set(vkPair<std::int32_t>(x, y), static_cast<Pel>((x * 3 + y * 5 + gen() % 16) & 0xFF));
        return b;
    }();
    return image;
}

void BM_PaddedAffineSampleX4(benchmark::State& state) {
    const auto& small = smallImage();
    const bool cubic = state.range(0) != 0;
    againstMemcpy(state, [&] { benchmark::DoNotOptimize(vf_PaddedAffineSample(small, kSide, kSide, cubic)); });
}
PELFUNC_BENCH(BM_PaddedAffineSampleX4)->ArgName("cubic")->Arg(0)->Arg(1);

#ifdef IMGNORM_HAVE_OPENCV
void BM_CvResizeX4(benchmark::State& state) {
    cv::setNumThreads(1);
    const cv::Mat small = asMat(smallImage());
    const int mode = state.range(0) != 0 ? cv::INTER_CUBIC : cv::INTER_LINEAR;
    cv::Mat out;
    againstMemcpy(state, [&] { cv::resize(small, out, cv::Size(kSide, kSide), 0, 0, mode); });
}
PELFUNC_BENCH(BM_CvResizeX4)->ArgName("cubic")->Arg(0)->Arg(1);
#endif

// A 10 degree turn of a whole image: the general (not separable) sampling.
// mode 1: nearest, 2: bilinear, 3: bicubic.
void BM_AffineTransformImageRotated(benchmark::State& state) {
    static vkPelBuffer<Pel> image = randomImage(18);
    const double c = 0.98480775301, s = 0.17364817766;
    const vkVector<2> o(kSide * 0.5 * (1 - c + s), kSide * 0.5 * (1 - s - c));
    const vkAffineRectangle rect(o, o + vkVector<2>(kSide * c, kSide * s), o + vkVector<2>(-kSide * s, kSide * c));
    const vkAffineSamplingParams params(rect, kSide, kSide,
                                        static_cast<vkAffineSamplingParams::Interpolation>(state.range(0)));
    againstMemcpy(state, [&] { benchmark::DoNotOptimize(vfAffineTransformImage(image, params)); });
}
PELFUNC_BENCH(BM_AffineTransformImageRotated)->ArgName("mode")->DenseRange(1, 3);

void BM_PelMapValue(benchmark::State& state) {
    static vkPelBuffer<Pel> image = randomImage(19);
    Pel from = 0;
    // A different value each call, so that every call finds pixels to change.
    againstMemcpy(state, [&] {
        vf_PelMapValue(image, from, static_cast<Pel>(from + 1));
        ++from;
    });
}
PELFUNC_BENCH(BM_PelMapValue);

// A blobby 0/255 image (random 8 x 8 blocks), as masks are.
const vkPelBuffer<Pel>& blobs() {
    static const vkPelBuffer<Pel> image = [] {
        vkPelBuffer<Pel> b(kSide, kSide);
        std::mt19937 gen(20);
        std::vector<Pel> blockRow(kSide / 8);
        Pel* row = b.pointToOffset();
        for (std::int32_t y = 0; y < kSide; ++y, row += b.rowUpdate()) {
            if (y % 8 == 0)
                for (auto& v : blockRow) v = (gen() & 1) ? 255 : 0;
            for (std::int32_t x = 0; x < kSide; ++x) row[x] = blockRow[static_cast<std::size_t>(x / 8)];
        }
        return b;
    }();
    return image;
}

void BM_BinaryMorph3x3Diamond(benchmark::State& state) {
    static vkPelBuffer<Pel> destination(kSide, kSide);
    const bool dilate = state.range(0) != 0;
    againstMemcpy(state, [&] { vfBinaryMorph3x3Diamond(blobs(), dilate, destination); });
}
PELFUNC_BENCH(BM_BinaryMorph3x3Diamond)->ArgName("dilate")->Arg(0)->Arg(1);

#ifdef IMGNORM_HAVE_OPENCV
void BM_CvDilateCross(benchmark::State& state) {
    cv::setNumThreads(1);
    const cv::Mat image = asMat(blobs());
    const cv::Mat cross = cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3));
    cv::Mat out(kSide, kSide, CV_8UC1);
    againstMemcpy(state, [&] { cv::dilate(image, out, cross); });
}
PELFUNC_BENCH(BM_CvDilateCross);
#endif

void BM_ExpandByDuplicatingBorderPixels(benchmark::State& state) {
    static vkPelBuffer<Pel> image = randomImage(21);
    againstMemcpy(state, [&] { benchmark::DoNotOptimize(vf_ExpandByDuplicatingBorderPixels(image)); });
}
PELFUNC_BENCH(BM_ExpandByDuplicatingBorderPixels);

}  // namespace

BENCHMARK_MAIN();
