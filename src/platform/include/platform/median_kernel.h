// Internal interface of the median filter's sliding-histogram kernel, on raw
// row pointers. vfPelMedian checks its arguments and calls it; tests call it
// directly to force narrow stripes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vk_detail {

struct MedianJob {
    // The source window: its first pixel and row step, and its size. Every
    // neighbourhood lies in (clip) or is extended from (repeat) this window.
    const std::uint8_t* image = nullptr;
    std::ptrdiff_t imageStride = 0;
    // The mask over the same window; null when every pixel counts.
    const std::uint8_t* mask = nullptr;
    std::ptrdiff_t maskStride = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;

    std::int32_t radiusX = 0;  // kernel width is 2 * radiusX + 1
    std::int32_t radiusY = 0;
    bool clip = true;     // false: edge pixels are repeated outwards
    std::uint8_t lo = 0;  // value range
    std::uint8_t hi = 255;

    // The results to compute: a rectangle inside the source window, in
    // coordinates relative to the window's first pixel, and where its first
    // result goes.
    std::int32_t outX = 0;
    std::int32_t outY = 0;
    std::int32_t outWidth = 0;
    std::int32_t outHeight = 0;
    std::uint8_t* result = nullptr;
    std::ptrdiff_t resultStride = 0;
};

// Fastest: vector instructions where the build has them; Portable: plain
// C++ (the same results).
enum class MedianPath { Fastest, Portable };

// Computes the job's results. stripeWidth is the number of result columns
// per vertical stripe; 0 picks a width whose column histograms fit in the L2
// cache. Polls vkAttention::check() now and then.
void medianFilter(const MedianJob& job, std::int32_t stripeWidth = 0,
                  MedianPath path = MedianPath::Fastest);

}  // namespace vk_detail
