// Median filter speed on one thread: vfPelMedian unmasked and masked, 8-bit
// and 16-bit, side by side with OpenCV's cv::medianBlur (single-threaded;
// 16-bit only up to 5 x 5, so a 16-bit case is also compared with OpenCV's
// 8-bit time for the same kernel) and a memcpy of the image. Cases run
// alternately, ours then theirs; at the end the ratios of times measured in
// this run are printed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "imgnorm/median.h"
#include "imgnorm/pelops.h"
#include "platform/median_kernel.h"

#if defined(IMGNORM_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using Buffer = vkPelBuffer<std::uint8_t>;
using Buffer16 = vkPelBuffer<std::uint16_t>;

enum class Content { Scene, Flat, Noise };
enum class MaskKind { None, LeftHalf, Random50 };

// Scene: a biased difference image as the local correction makes it, 128
// plus a slow illumination drift plus sensor noise. Flat: the same without
// drift, so the median sits on 128, where one group of 16 fine bins ends and
// the next begins. Noise: uniform 0..255.
Buffer makeImage(std::int32_t n, Content content) {
    Buffer b(n, n);
    std::mt19937 gen(4242);
    std::vector<double> sx(static_cast<std::size_t>(n)), cy(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
        sx[static_cast<std::size_t>(i)] = 40.0 * std::sin(6.0 * i / n);
        cy[static_cast<std::size_t>(i)] = std::cos(4.0 * i / n);
    }
    for (std::int32_t y = 0; y < n; ++y) {
        std::uint8_t* row = b.pointToOffset() + y * b.rowUpdate();
        for (std::int32_t x = 0; x < n; ++x) {
            const std::uint32_t r = gen();
            int v;
            if (content == Content::Noise) {
                v = static_cast<int>(r & 255);
            } else {
                // Three uniform bytes averaged, less 128, times 3/4 below:
                // roughly Gaussian noise, sigma 32.
                const int noise =
                    static_cast<int>((r & 255) + ((r >> 8) & 255) + ((r >> 16) & 255)) / 3 - 128;
                const double drift = content == Content::Flat ? 0.0
                                                              : sx[static_cast<std::size_t>(x)] *
                                                                    cy[static_cast<std::size_t>(y)];
                v = 128 + static_cast<int>(std::lround(drift)) + noise * 3 / 4;
            }
            row[x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
    }
    return b;
}

Buffer makeMask(std::int32_t n, MaskKind kind) {
    Buffer m(n, n);
    std::mt19937 gen(99);
    for (std::int32_t y = 0; y < n; ++y) {
        std::uint8_t* row = m.pointToOffset() + y * m.rowUpdate();
        for (std::int32_t x = 0; x < n; ++x)
            row[x] = kind == MaskKind::LeftHalf ? (x < n / 2 ? 255 : 0) : ((gen() & 1) ? 255 : 0);
    }
    return m;
}

// The 8-bit image times 2^(depth - 8) plus the low bits of a second noise:
// values of `depth` bits.
Buffer16 makeImage16(std::int32_t n, Content content, std::int32_t depth) {
    const Buffer b = makeImage(n, content);
    Buffer16 w(n, n);
    std::mt19937 gen(77);
    const std::uint32_t low = (1u << (depth - 8)) - 1;
    for (std::int32_t y = 0; y < n; ++y)
        for (std::int32_t x = 0; x < n; ++x)
            w.pointToOffset()[y * w.rowUpdate() + x] = static_cast<std::uint16_t>(
                (b.pointToOffset()[y * b.rowUpdate() + x] << (depth - 8)) + (gen() & low));
    return w;
}

// 8-bit images hold the content's values over 0..255; 16-bit ones values of
// `depth` bits (12 unless said otherwise).
template <class T>
vkPelBuffer<T> makeTyped(std::int32_t n, Content content, std::int32_t depth = 12) {
    if constexpr (sizeof(T) == 1)
        return makeImage(n, content);
    else
        return makeImage16(n, content, depth);
}
template <class T>
vkPelMedianParams medianParams(std::int32_t k, std::int32_t depth) {
    if constexpr (sizeof(T) == 1)
        return vkPelMedianParams(vkPair<std::int32_t>(k, k), vkPair<std::int32_t>(0, 255), true);
    else
        return vkPelMedianParams(vkPair<std::int32_t>(k, k),
                                 vkPair<std::int32_t>(0, (1 << depth) - 1), true, depth);
}

template <class T>
void benchOurs(benchmark::State& state, std::int32_t n, std::int32_t k, Content content,
               MaskKind kind, std::int32_t depth) {
    const vkPelBuffer<T> image = makeTyped<T>(n, content, depth);
    const Buffer mask = makeMask(n, kind);
    const vkPelMedianParams params = medianParams<T>(k, depth);
    vkPelBuffer<T> out(n, n);
    for (auto _ : state) {
        if (kind == MaskKind::None)
            vfPelMedian(image, params, out);
        else
            vfPelMedian(image, mask, params, out);
        benchmark::DoNotOptimize(out.pointToOffset());
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

// The sliding-histogram kernel alone on one instruction set, unmasked, so
// that the sets can be compared in one run.
template <class T>
void benchPath(benchmark::State& state, std::int32_t n, std::int32_t k,
               vk_detail::MedianPath path) {
    if (!vk_detail::medianPathAvailable(path)) return state.SkipWithError("not on this processor");
    const vkPelBuffer<T> image = makeTyped<T>(n, Content::Scene);
    vkPelBuffer<T> out(n, n);
    vk_detail::MedianJobOf<T> job;
    job.image = image.pointToOffset();
    job.imageStride = image.rowUpdate();
    job.width = job.outWidth = n;
    job.height = job.outHeight = n;
    job.radiusX = job.radiusY = k / 2;
    job.hi = static_cast<T>(sizeof(T) == 1 ? 255 : 4095);
    job.depth = sizeof(T) == 1 ? 8 : 12;
    job.empty = static_cast<T>(1 << (job.depth - 1));
    job.result = out.pointToOffset();
    job.resultStride = out.rowUpdate();
    for (auto _ : state) {
        vk_detail::medianFilter(job, 0, path);
        benchmark::DoNotOptimize(out.pointToOffset());
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

#if defined(IMGNORM_HAVE_OPENCV)
template <class T>
void benchOpenCV(benchmark::State& state, std::int32_t n, std::int32_t k, Content content) {
    cv::setNumThreads(1);
    const int type = sizeof(T) == 1 ? CV_8UC1 : CV_16UC1;
    const vkPelBuffer<T> image = makeTyped<T>(n, content);
    const cv::Mat src(n, n, type, const_cast<T*>(image.pointToOffset()),
                      static_cast<std::size_t>(image.rowUpdate()) * sizeof(T));
    cv::Mat dst(n, n, type);
    for (auto _ : state) {
        cv::medianBlur(src, dst, k);
        benchmark::DoNotOptimize(dst.data);
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}
#endif

void benchCopy(benchmark::State& state, std::int32_t n) {
    const Buffer image = makeImage(n, Content::Noise);
    Buffer out(n, n);
    for (auto _ : state) {
        vfPelCopy<std::uint8_t>(image, out);
        benchmark::DoNotOptimize(out.pointToOffset());
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

std::string name(const char* what, std::int32_t n, std::int32_t k, const char* tail) {
    return std::string(what) + "/" + std::to_string(n) + "/k" + std::to_string(k) + tail;
}

void registerAll() {
    for (std::int32_t n : {4096, 1024}) {
        benchmark::RegisterBenchmark(("memcpy/" + std::to_string(n)).c_str(), benchCopy, n);
        for (std::int32_t k : {3, 5, 7, 15, 25, 51, 101}) {
            if (n > 1024 && k > 5 && k < 25) continue;
            const Content scene = Content::Scene;
            benchmark::RegisterBenchmark(name("ours", n, k, "/unmasked").c_str(),
                                         benchOurs<std::uint8_t>, n, k, scene, MaskKind::None, 8);
#if defined(IMGNORM_HAVE_OPENCV)
            benchmark::RegisterBenchmark(name("opencv", n, k, "").c_str(),
                                         benchOpenCV<std::uint8_t>, n, k, scene);
#endif
            benchmark::RegisterBenchmark(name("ours", n, k, "/masked-half").c_str(),
                                         benchOurs<std::uint8_t>, n, k, scene, MaskKind::LeftHalf,
                                         8);
            benchmark::RegisterBenchmark(name("ours", n, k, "/masked-random").c_str(),
                                         benchOurs<std::uint8_t>, n, k, scene, MaskKind::Random50,
                                         8);
        }
    }
    // 16-bit (12-bit values, and 16-bit ones for 101 x 101, also uniform
    // noise, over which the median wanders most): ours against OpenCV's
    // 16-bit where it has one, and against its 8-bit time for the same
    // kernel.
    struct Deep {
        const char* tail;
        Content content;
        MaskKind mask;
        std::int32_t depth;
    };
    const Deep deep[] = {{"/unmasked", Content::Scene, MaskKind::None, 12},
                         {"/masked-random", Content::Scene, MaskKind::Random50, 12},
                         {"/unmasked-depth16", Content::Scene, MaskKind::None, 16},
                         {"/unmasked-noise-depth16", Content::Noise, MaskKind::None, 16},
                         {"/masked-random-depth16", Content::Scene, MaskKind::Random50, 16}};
    for (std::int32_t k : {3, 5, 101}) {
        for (const Deep& d : deep)
            if (d.depth == 12 || k == 101)
                benchmark::RegisterBenchmark(name("ours16", 4096, k, d.tail).c_str(),
                                             benchOurs<std::uint16_t>, 4096, k, d.content, d.mask,
                                             d.depth);
#if defined(IMGNORM_HAVE_OPENCV)
        if (k <= 5)
            benchmark::RegisterBenchmark(name("opencv16", 4096, k, "").c_str(),
                                         benchOpenCV<std::uint16_t>, 4096, k, Content::Scene);
#endif
    }
    using vk_detail::MedianPath;
    for (const auto& [path, tag] :
         {std::pair{MedianPath::Sse2, "sse2"}, std::pair{MedianPath::Avx2, "avx2"},
          std::pair{MedianPath::Avx512, "avx512"}}) {
        // On a loaded machine the fastest repetition is the steadiest figure.
        const auto fastest = [](const std::vector<double>& v) {
            return *std::min_element(v.begin(), v.end());
        };
        benchmark::RegisterBenchmark(
            name((std::string("kernel/") + tag).c_str(), 4096, 101, "").c_str(),
            benchPath<std::uint8_t>, 4096, 101, path)
            ->ComputeStatistics("min", fastest);
        benchmark::RegisterBenchmark(
            name((std::string("kernel16/") + tag).c_str(), 4096, 101, "").c_str(),
            benchPath<std::uint16_t>, 4096, 101, path)
            ->ComputeStatistics("min", fastest);
    }
    for (const auto& [n, k] : {std::pair{4096, 101}, std::pair{1024, 25}}) {
        benchmark::RegisterBenchmark(name("ours", n, k, "/unmasked-flat").c_str(),
                                     benchOurs<std::uint8_t>, n, k, Content::Flat, MaskKind::None,
                                     8);
        benchmark::RegisterBenchmark(name("ours", n, k, "/unmasked-noise").c_str(),
                                     benchOurs<std::uint8_t>, n, k, Content::Noise, MaskKind::None,
                                     8);
#if defined(IMGNORM_HAVE_OPENCV)
        benchmark::RegisterBenchmark(name("opencv", n, k, "-flat").c_str(),
                                     benchOpenCV<std::uint8_t>, n, k, Content::Flat);
        benchmark::RegisterBenchmark(name("opencv", n, k, "-noise").c_str(),
                                     benchOpenCV<std::uint8_t>, n, k, Content::Noise);
#endif
    }
}

// Console output plus, at the end, each of our times as a ratio of
// OpenCV's and of our unmasked time for the same size and kernel. The ratios
// use CPU time: on a shared machine the wall clock also counts the time other
// processes hold the core.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            // With repetitions only the median counts.
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            std::string n = r.benchmark_name();
            const auto cut = n.find("_median");
            if (cut != std::string::npos) n.erase(cut);
            times_[n] = r.GetAdjustedCPUTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::cout << "\nratios (same run):\n";
        for (const auto& [n, t] : times_) {
            if (n.rfind("ours16/", 0) == 0) {
                // ours16/N/kK/tail against opencv16/N/kK and opencv/N/kK.
                const std::string key = n.substr(7, n.rfind('/') - 7);
                std::cout << "  " << n;
                for (const char* peer : {"opencv16/", "opencv/"})
                    if (auto it = times_.find(peer + key); it != times_.end())
                        std::cout << "  vs " << peer << key << " " << t / it->second;
                std::cout << "\n";
                continue;
            }
            if (n.rfind("ours/", 0) != 0) continue;
            std::string peer = "opencv/" + n.substr(5);
            const auto tail = peer.rfind('/');
            std::string suffix;
            if (tail != std::string::npos && peer.compare(tail, 2, "/k") != 0) {
                suffix = peer.substr(tail);
                peer.erase(tail);
            }
            if (suffix == "/unmasked-noise") peer += "-noise";
            if (suffix == "/unmasked-flat") peer += "-flat";
            std::cout << "  " << n;
            if (auto it = times_.find(peer); it != times_.end())
                std::cout << "  vs opencv " << t / it->second;
            if (suffix.rfind("/masked", 0) == 0) {
                if (auto it = times_.find(n.substr(0, n.rfind('/')) + "/unmasked");
                    it != times_.end())
                    std::cout << "  vs unmasked " << t / it->second;
            }
            std::cout << "\n";
        }
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
