// Parallel loops over an image's rows, shared by every operation that splits
// its rows over threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

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
// counts of rows y0 .. y1 - 1 into bins, parts * size zeroed counters of the
// strip's own (parts of size counters each, which a counter may fill in
// turn to break store-to-load chains); the sums over all strips and parts
// are written to total (size counters of an unsigned type). Each strip
// zeroes its own table and the tables are summed slice by slice, both on
// the library's threads, so that neither stays serial for large tables.
// Modular integer sums do not depend on the order of the strips.
template <class T, class F>
void countStrips(std::int32_t height, std::int32_t rowsPerStrip, std::size_t size,
                 std::size_t parts, T* total, F&& count) {
    static_assert(std::is_unsigned_v<T>);
    const std::size_t stride = parts * size;
    const auto strips = static_cast<std::size_t>(stripCount(height, rowsPerStrip));
    const std::unique_ptr<T[]> tables(new T[std::max<std::size_t>(strips, 1) * stride]);
    parallelRows(height, rowsPerStrip, [&](std::int32_t y0, std::int32_t y1) {
        T* const table = tables.get() + static_cast<std::size_t>(y0 / rowsPerStrip) * stride;
        std::fill_n(table, stride, T{0});
        count(y0, y1, table);
    });
    constexpr std::int32_t kSlice = 8192;
    parallelRows(static_cast<std::int32_t>(size), kSlice, [&](std::int32_t i0, std::int32_t i1) {
        const auto n = static_cast<std::size_t>(i1 - i0);
        T* const sum = total + i0;
        std::fill_n(sum, n, T{0});
        for (std::size_t at = 0; at < strips * stride; at += size) {
            const T* const part = tables.get() + at + i0;
            for (std::size_t i = 0; i < n; ++i)
                sum[i] += part[i];
        }
    });
}
template <class T, class F>
void countStrips(std::int32_t height, std::int32_t rowsPerStrip, std::size_t size, T* total,
                 F&& count) {
    countStrips(height, rowsPerStrip, size, 1, total, std::forward<F>(count));
}

}  // namespace vk_detail
