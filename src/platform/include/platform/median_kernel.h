// Internal interface of the median filter's sliding-histogram kernel, on raw
// row pointers. vfPelMedian checks its arguments and calls it; tests call it
// directly to force narrow stripes and each instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk_detail {

template <class T>
struct MedianJobOf {
    // The source window: its first pixel and row step, and its size. Every
    // neighbourhood lies in (clip) or is extended from (repeat) this window.
    const T* image = nullptr;
    std::ptrdiff_t imageStride = 0;
    // The mask over the same window; null when every pixel counts.
    const std::uint8_t* mask = nullptr;
    std::ptrdiff_t maskStride = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;

    std::int32_t radiusX = 0;  // kernel width is 2 * radiusX + 1
    std::int32_t radiusY = 0;
    bool clip = true;  // false: edge pixels are repeated outwards
    T lo = 0;          // value range
    T hi = static_cast<T>(~T{0});

    // The results to compute: a rectangle inside the source window, in
    // coordinates relative to the window's first pixel, and where its first
    // result goes.
    std::int32_t outX = 0;
    std::int32_t outY = 0;
    std::int32_t outWidth = 0;
    std::int32_t outHeight = 0;
    T* result = nullptr;
    std::ptrdiff_t resultStride = 0;

    // The result where no pixel counts (before clamping into lo..hi).
    T empty = static_cast<T>(T{1} << (8 * sizeof(T) - 1));
    // The significant bits of the values; larger values may count as
    // 2^depth - 1 (the results are clamped into lo..hi <= 2^depth - 1).
    std::int32_t depth = 8 * sizeof(T);
    // Whether the kernel polls vkAttention::check() as it goes (not when it
    // writes into a caller's buffer, which a cancelled call leaves alone).
    bool poll = true;
};

using MedianJob = MedianJobOf<std::uint8_t>;

// The instruction sets the kernel is built for; Fastest is the best one the
// processor has. All give the same results.
enum class MedianPath { Fastest, Portable, Sse2, Avx2, Avx512 };

// Whether this build and processor can run the path.
bool medianPathAvailable(MedianPath path);

// Kernels of at most 2 * kByteCountRadius + 1 rows count each column's
// pixels in bytes (a column holds at most a kernel's height of pixels).
constexpr std::int32_t kByteCountRadius = 127;

// Computes the job's results. stripeWidth is the number of result columns
// per vertical stripe; 0 picks a width whose column histograms fit in the L2
// cache. Polls vkAttention::check() now and then. An unavailable path runs
// the portable one.
void medianFilter(const MedianJobOf<std::uint8_t>& job, std::int32_t stripeWidth = 0,
                  MedianPath path = MedianPath::Fastest);
void medianFilter(const MedianJobOf<std::uint16_t>& job, std::int32_t stripeWidth = 0,
                  MedianPath path = MedianPath::Fastest);

// 3 x 3 and 5 x 5 unmasked jobs on sorting networks (median_small.cpp):
// whether the job is one (and the window at least a kernel wide and high),
// and its results, the same as medianFilter's.
bool smallMedianApplies(const MedianJobOf<std::uint8_t>& job);
bool smallMedianApplies(const MedianJobOf<std::uint16_t>& job);
void smallMedian(const MedianJobOf<std::uint8_t>& job, MedianPath path = MedianPath::Fastest);
void smallMedian(const MedianJobOf<std::uint16_t>& job, MedianPath path = MedianPath::Fastest);

// The AVX2 and AVX-512 kernels (pel_median_avx2.cpp, pel_median_avx512.cpp);
// only for processors that have them.
void medianFilterAvx2(const MedianJobOf<std::uint8_t>& job, std::int32_t stripeWidth);
void medianFilterAvx2(const MedianJobOf<std::uint16_t>& job, std::int32_t stripeWidth);
void medianFilterAvx512(const MedianJobOf<std::uint8_t>& job, std::int32_t stripeWidth);
void medianFilterAvx512(const MedianJobOf<std::uint16_t>& job, std::int32_t stripeWidth);

}  // namespace vk_detail
