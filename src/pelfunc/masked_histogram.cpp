// Histogram of an 8- or 16-bit image over the pixels that a mask includes.
//
// Neither path branches on the mask: an included pixel's bin is its value, an
// excluded pixel's is 2^depth + its low 8 bits, in 256 discard bins after the
// histogram's that are dropped at the end, so random masks cost no
// mispredictions (and excluded pixels spread over 256 bins, so runs of them do
// not wait on one bin's increments). Bins are computed for a stretch of pixels at a time
// in a loop that vectorizes, and then counted by a loop that does only a load
// and an increment per pixel, into interleaved tables so that equal
// neighbouring values do not wait on each other's increments (four for 8-bit
// images, two for 16-bit ones, whose tables are larger and whose neighbours
// are seldom equal). The wide path (rectangles at least 64 pixels wide) takes
// each row in stretches; the narrow path gathers several short rows into one
// stretch, so that neither loop runs only a few times; wide 16-bit rows that
// no mask covers skip the bins and count their pixels straight from 64-bit
// loads. On 16-bit images the loops also OR the pixels together, which shows
// a value above the depth after the count (the bin keeps only the depth's
// bits, so it never leaves the table).
#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "platform/parallel.h"
#include "platform/rows.h"

namespace {

constexpr std::int32_t kWidePathMinWidth = 64;
// Pixels whose bins are computed ahead of counting them.
constexpr std::int32_t kStretch = 512;

template <class Pel>
struct HistogramTraits;
template <>
struct HistogramTraits<std::uint8_t> {
    using Bin = std::uint16_t;
    static constexpr std::size_t kTables = 4;
};
template <>
struct HistogramTraits<std::uint16_t> {
    using Bin = std::uint32_t;
    static constexpr std::size_t kTables = 2;
};

template <class Pel>
class BinCounter {
  public:
    using Bin = typename HistogramTraits<Pel>::Bin;
    static constexpr std::size_t kTables = HistogramTraits<Pel>::kTables;

    // levels: the histogram's size; each table has 256 more bins.
    explicit BinCounter(std::size_t levels) : levels_(levels), t_(kTables * (levels + 256)) {}

    // Counts the bins of one stretch.
    void count(const Bin* b, std::int32_t n) {
        std::uint32_t* const t = t_.data();
        const std::size_t stride = levels_ + 256;
        std::int32_t x = 0;
        for (; x + static_cast<std::int32_t>(kTables) <= n; x += static_cast<std::int32_t>(kTables))
            for (std::size_t k = 0; k < kTables; ++k)
                ++t[k * stride + b[x + static_cast<std::int32_t>(k)]];
        for (; x < n; ++x)
            ++t[b[x]];
    }
    // Counts n 16-bit pixels that no mask excludes by their bits under top,
    // four per 64-bit load, the even ones into the first table and the odd
    // ones into the second; returns the OR of the pixels. Without the bins
    // of the masked path in between, each pixel costs one load fewer.
    std::uint16_t countPels(const std::uint16_t* img, std::int32_t n, std::uint64_t top) {
        static_assert(kTables == 2);
        std::uint32_t* const even = t_.data();
        std::uint32_t* const odd = even + levels_ + 256;
        return vk_detail::foldLanes(vk_detail::forPelQuads(
            img, n,
            [&](std::uint64_t v, std::int32_t) {
                ++even[v & top];
                ++odd[(v >> 16) & top];
                ++even[(v >> 32) & top];
                ++odd[(v >> 48) & top];
            },
            [&](std::uint16_t p, std::int32_t) { ++even[p & top]; }));
    }
    // Adds the counts of the included pixels to histogram (levels bins).
    void addTo(std::uint32_t* histogram) const {
        for (std::size_t k = 0; k < kTables; ++k)
            for (std::size_t v = 0; v < levels_; ++v)
                histogram[v] += t_[k * (levels_ + 256) + v];
    }

private:
  std::size_t levels_;
  std::vector<std::uint32_t> t_;
};

// Bins of n pixels: the value's depth bits, or when the mask (null: none)
// excludes the pixel its low 8 bits in the discard bins after the
// histogram's; seen collects the OR of the values of 16-bit images.
template <class Pel, class Bin>
inline void binsOf(const Pel* img, const std::uint8_t* m, Bin* b, std::int32_t n, unsigned depth,
                   Pel& seen) {
    const auto top = static_cast<Pel>((1u << depth) - 1);
    Pel any = 0;
    if (m != nullptr) {
        for (std::int32_t x = 0; x < n; ++x) {
            any = static_cast<Pel>(any | img[x]);
            const bool out = m[x] == 0;
            const auto keep = static_cast<Pel>(out ? 0xFF : top);
            b[x] = static_cast<Bin>((img[x] & keep) | (static_cast<unsigned>(out) << depth));
        }
    } else {
        for (std::int32_t x = 0; x < n; ++x) {
            any = static_cast<Pel>(any | img[x]);
            b[x] = static_cast<Bin>(img[x] & top);
        }
    }
    if constexpr (sizeof(Pel) > 1) seen = static_cast<Pel>(seen | any);
}

// Calls f(imageRow, maskRow or null, width) for every row of the image's window.
template <class Pel, class F>
void forMaskedRows(const vkPelBuffer_const<Pel>& image, const vkPelBuffer_const<std::uint8_t>& mask,
                   F&& f) {
    const Pel* img = image.pointToOffset();
    const std::uint8_t* m = mask.isBound() ? mask.pointToOffset() : nullptr;
    const std::ptrdiff_t ms = mask.isBound() ? mask.rowUpdate() : 0;
    for (std::int32_t y = 0; y < image.height(); ++y, img += image.rowUpdate(), m += ms)
        f(img, m, image.width());
}

template <class Pel>
void countWide(const vkPelBuffer_const<Pel>& image, const vkPelBuffer_const<std::uint8_t>& mask,
               unsigned depth, BinCounter<Pel>& counter, Pel& seen) {
    alignas(64) std::array<typename BinCounter<Pel>::Bin, kStretch> bins;
    forMaskedRows(image, mask, [&](const Pel* img, const std::uint8_t* m, std::int32_t n) {
        if constexpr (sizeof(Pel) > 1)
            if (m == nullptr) {
                const std::uint64_t top = (std::uint64_t{1} << depth) - 1;
                seen = static_cast<Pel>(seen | counter.countPels(img, n, top));
                return;
            }
        // Steps by what is left, so x never passes n (no overflow for rows
        // near 2^31 pixels).
        for (std::int32_t x = 0, c = 0; x < n; x += c) {
            c = std::min(kStretch, n - x);
            binsOf(img + x, m == nullptr ? nullptr : m + x, bins.data(), c, depth, seen);
            counter.count(bins.data(), c);
        }
    });
}

template <class Pel>
void countNarrow(const vkPelBuffer_const<Pel>& image, const vkPelBuffer_const<std::uint8_t>& mask,
                 unsigned depth, BinCounter<Pel>& counter, Pel& seen) {
    // Room for a full stretch plus one more row.
    alignas(64) std::array<typename BinCounter<Pel>::Bin, kStretch + kWidePathMinWidth> bins;
    std::int32_t held = 0;
    forMaskedRows(image, mask, [&](const Pel* img, const std::uint8_t* m, std::int32_t n) {
        binsOf(img, m, bins.data() + held, n, depth, seen);
        held += n;
        if (held >= kStretch) {
            counter.count(bins.data(), held);
            held = 0;
        }
    });
    counter.count(bins.data(), held);
}

// Rows y0 .. y1 - 1 of the window; an unbound buffer stays unbound.
template <class B>
B rowsOf(const B& b, std::int32_t y0, std::int32_t y1) {
    if (!b.isBound()) return b;
    const vkPair<std::int32_t> ul = b.window().ul();
    return vk_detail::narrowed(b, vkPelRect(ul.x(), ul.y() + y0, b.width(), y1 - y0));
}

// The histogram of 2^depth bins of the image's window, over the pixels that
// a bound mask includes (the windows are equal). Strips of rows count on the
// library's threads, each into tables of its own, so a strip holds several
// times as many pixels as its tables have bins.
template <class Pel>
void countHistogram(const vkPelBuffer_const<Pel>& image,
                    const vkPelBuffer_const<std::uint8_t>& mask, unsigned depth,
                    std::vector<std::uint32_t>& histogram) {
    vk_detail::requireCountable(image.window(), "masked histogram");
    const std::size_t levels = std::size_t{1} << depth;
    const std::int32_t w = image.width(), h = image.height();
    const auto tableBins = static_cast<std::int64_t>(BinCounter<Pel>::kTables * (levels + 256));
    const auto minRows =
        static_cast<std::int32_t>(std::min<std::int64_t>(h, (8 * tableBins + w - 1) / w));
    const std::int32_t rows = vk_detail::stripRows(h, w, minRows);
    std::vector<Pel> seen(static_cast<std::size_t>(vk_detail::stripCount(h, rows)), 0);
    std::vector<std::uint32_t> total(levels);
    vk_detail::countStrips(h, rows, levels, total.data(),
                           [&](std::int32_t y0, std::int32_t y1, std::uint32_t* bins) {
                               BinCounter<Pel> counter(levels);
                               Pel& any = seen[static_cast<std::size_t>(y0 / rows)];
                               const vkPelBuffer_const<Pel> img = rowsOf(image, y0, y1);
                               const vkPelBuffer_const<std::uint8_t> m = rowsOf(mask, y0, y1);
                               if (w >= kWidePathMinWidth)
                                   countWide(img, m, depth, counter, any);
                               else
                                   countNarrow(img, m, depth, counter, any);
                               counter.addTo(bins);
                           });
    for (const Pel any : seen)
        if ((any >> depth) != 0)
            throw vkPelFunc::BadParams(
                "masked histogram: a pixel value lies above the image's bit depth");
    histogram = std::move(total);
}

// The common frame: checks, the common window, an empty result for disjoint
// windows. unmasked counts the image alone.
template <class Pel, class Unmasked>
void maskedHistogram(const vkPelBuffer_const<Pel>& image,
                     const vkPelBuffer_const<std::uint8_t>& mask, unsigned depth,
                     std::vector<std::uint32_t>& histogram, Unmasked unmasked) {
    vk_detail::requireBound(image);
    if (!mask.isBound()) {
        unmasked();
        return;
    }
    const vkPelRect rect = image.window() & mask.window();
    if (rect.isNull()) {
        histogram.clear();
        return;
    }
    countHistogram(vk_detail::narrowed(image, rect), vk_detail::narrowed(mask, rect), depth,
                   histogram);
}

}  // namespace

void vf_MaskedPelHistogram(const vkPelBuffer_const<std::uint8_t>& image,
                           const vkPelBuffer_const<std::uint8_t>& mask,
                           std::vector<std::uint32_t>& histogram) {
    maskedHistogram(image, mask, 8, histogram, [&] { vfPelHistogram(image, histogram); });
}

void vf_MaskedPelHistogram(const vkPelBuffer_const<std::uint16_t>& image,
                           const vkPelBuffer_const<std::uint8_t>& mask, std::int32_t depth,
                           std::vector<std::uint32_t>& histogram) {
    if (depth < 1 || depth > 16)
        throw vkPelFunc::BadParams("masked histogram: the bit depth must lie in 1..16");
    const auto d = static_cast<unsigned>(depth);
    maskedHistogram(image, mask, d, histogram, [&] {
        countHistogram(image, vkPelBuffer_const<std::uint8_t>(), d, histogram);
    });
}
