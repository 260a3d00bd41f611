// Histogram of an 8-bit image over the pixels that a mask includes.
//
// Neither path branches on the mask: every pixel gets the bin
// value + 256 * excluded of a 512-bin table, and the upper half (the excluded
// pixels) is dropped at the end, so random masks cost no mispredictions. Bins
// are computed for a stretch of pixels at a time in a loop that vectorizes,
// and then counted by a loop that does only a load and an increment per
// pixel, into four interleaved tables so that equal neighbouring values do
// not wait on each other's increments. The wide path (rectangles at least 64
// pixels wide) takes each row in stretches; the narrow path gathers several
// short rows into one stretch, so that neither loop runs only a few times.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "platform/rows.h"

namespace {

constexpr std::int32_t kWidePathMinWidth = 64;
// Pixels whose bins are computed ahead of counting them.
constexpr std::int32_t kStretch = 512;

class BinCounter {
public:
    // Counts the bins of one stretch.
    void count(const std::uint16_t* b, std::int32_t n) {
        std::int32_t x = 0;
        for (; x + 4 <= n; x += 4) {
            ++t_[0][b[x]];
            ++t_[1][b[x + 1]];
            ++t_[2][b[x + 2]];
            ++t_[3][b[x + 3]];
        }
        for (; x < n; ++x) ++t_[0][b[x]];
    }
    // The counts of the included pixels.
    void result(std::vector<std::uint32_t>& histogram) const {
        for (std::size_t v = 0; v < 256; ++v) histogram[v] = t_[0][v] + t_[1][v] + t_[2][v] + t_[3][v];
    }

private:
    std::array<std::array<std::uint32_t, 512>, 4> t_{};
};

// Bins of n pixels: the value, moved to the discard half when excluded.
inline void binsOf(const std::uint8_t* img, const std::uint8_t* m, std::uint16_t* b, std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x)
        b[x] = static_cast<std::uint16_t>(img[x] | (static_cast<unsigned>(m[x] == 0) << 8));
}

void countWide(const vkPelBuffer_const<std::uint8_t>& image, const vkPelBuffer_const<std::uint8_t>& mask,
               std::vector<std::uint32_t>& histogram) {
    BinCounter counter;
    alignas(64) std::array<std::uint16_t, kStretch> bins;
    vk_detail::forRows(image.pointToOffset(), image.rowUpdate(), mask.pointToOffset(), mask.rowUpdate(),
                       image.width(), image.height(),
                       [&](const std::uint8_t* img, const std::uint8_t* m, std::int32_t n) {
                           // Steps by what is left, so x never passes n (no overflow
                           // for rows near 2^31 pixels).
                           for (std::int32_t x = 0, c = 0; x < n; x += c) {
                               c = std::min(kStretch, n - x);
                               binsOf(img + x, m + x, bins.data(), c);
                               counter.count(bins.data(), c);
                           }
                       });
    counter.result(histogram);
}

void countNarrow(const vkPelBuffer_const<std::uint8_t>& image, const vkPelBuffer_const<std::uint8_t>& mask,
                 std::vector<std::uint32_t>& histogram) {
    BinCounter counter;
    // Room for a full stretch plus one more row.
    alignas(64) std::array<std::uint16_t, kStretch + kWidePathMinWidth> bins;
    std::int32_t held = 0;
    vk_detail::forRows(image.pointToOffset(), image.rowUpdate(), mask.pointToOffset(), mask.rowUpdate(),
                       image.width(), image.height(),
                       [&](const std::uint8_t* img, const std::uint8_t* m, std::int32_t n) {
                           binsOf(img, m, bins.data() + held, n);
                           held += n;
                           if (held >= kStretch) {
                               counter.count(bins.data(), held);
                               held = 0;
                           }
                       });
    counter.count(bins.data(), held);
    counter.result(histogram);
}

}  // namespace

void vf_MaskedPelHistogram(const vkPelBuffer_const<std::uint8_t>& image,
                           const vkPelBuffer_const<std::uint8_t>& mask, std::vector<std::uint32_t>& histogram) {
    vk_detail::requireBound(image);
    if (!mask.isBound()) {
        vfPelHistogram(image, histogram);
        return;
    }
    const vkPelRect rect = image.window() & mask.window();
    if (rect.isNull()) {
        histogram.clear();
        return;
    }
    const auto img = vk_detail::narrowed(image, rect);
    const auto msk = vk_detail::narrowed(mask, rect);
    histogram.assign(256, 0);
    if (rect.width() >= kWidePathMinWidth)
        countWide(img, msk, histogram);
    else
        countNarrow(img, msk, histogram);
}
