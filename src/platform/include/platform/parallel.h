// Parallel loops over an image's rows, shared by every operation that splits
// its rows over threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace vk_detail {

// The number of threads the library's loops use now (vfNumThreads()).
std::int32_t threadCount();

// Rows per strip for an operation on a height x width image whose strips
// should be at least minRows tall: tall enough that a strip holds some
// tens of thousands of pixels and there are at most a few dozen strips.
// Depends only on its arguments, never on the number of threads.
std::int32_t stripRows(std::int32_t height, std::int32_t width, std::int32_t minRows = 1);

// The number of strips parallelRows cuts height rows into.
constexpr std::int32_t stripCount(std::int32_t height, std::int32_t rowsPerStrip) {
    return height <= 0 ? 0 : (height - 1) / rowsPerStrip + 1;
}

using StripFunction = void (*)(void* context, std::int32_t y0, std::int32_t y1);
void runStrips(std::int32_t height, std::int32_t rowsPerStrip, StripFunction f, void* context);

// Calls f(y0, y1) once for each strip of rows [0, height): strip i covers
// rows i * rowsPerStrip .. min((i + 1) * rowsPerStrip, height) - 1. The cut
// does not depend on the number of threads, so a functor whose result
// depends on where strips begin still gives the same result for every
// count. Strips run on the library's threads at once, in any order (one
// thread: in order on the calling thread); f must only write what its strip
// owns. Every worker sees the caller's cancellation token. An exception
// from any strip (vkAttention::Cancelled or another) stops strips not yet
// started and reaches the caller, with its type, once every running strip
// has returned.
template <class F>
void parallelRows(std::int32_t height, std::int32_t rowsPerStrip, F&& f) {
    using Fn = std::remove_reference_t<F>;
    runStrips(
        height, rowsPerStrip,
        [](void* context, std::int32_t y0, std::int32_t y1) {
            (*static_cast<Fn*>(context))(y0, y1);
        },
        const_cast<void*>(static_cast<const void*>(&f)));
}

// Counts made strip by strip and summed: count(y0, y1, bins) adds the
// counts of rows y0 .. y1 - 1 into bins, `size` zeroed counters of the
// strip's own; their sums over all strips are written to total (size
// counters of an unsigned type). Modular integer sums do not depend on the
// order of the strips.
template <class T, class F>
void countStrips(std::int32_t height, std::int32_t rowsPerStrip, std::size_t size, T* total,
                 F&& count) {
    static_assert(std::is_unsigned_v<T>);
    std::vector<T> strips(static_cast<std::size_t>(stripCount(height, rowsPerStrip)) * size);
    parallelRows(height, rowsPerStrip, [&](std::int32_t y0, std::int32_t y1) {
        count(y0, y1, strips.data() + static_cast<std::size_t>(y0 / rowsPerStrip) * size);
    });
    for (std::size_t i = 0; i < size; ++i)
        total[i] = 0;
    for (std::size_t at = 0; at < strips.size(); at += size)
        for (std::size_t i = 0; i < size; ++i)
            total[i] += strips[at + i];
}

}  // namespace vk_detail
