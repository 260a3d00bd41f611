// The local gain corrections behind vkLocalGainNormalizer: Gaussian-weighted
// local means and standard deviations of the reference and the run-time
// image, at full or reduced resolution, turned into a gain and an offset per
// pixel. For 8-bit images and for deep ones (16-bit values of depth d =
// 9..16) alike: below, d = 8 for 8-bit images, half = 2^(d-1) (128 on 8-bit
// images), top = 2^d - 1 and U = 2^(16-d) (256 on 8-bit images), the gain
// that puts a mean of d-bit values into 16-bit fixed point.
//
// Statistics grid: the working rectangle itself, or, with a granularity above
// 1 and a neighbourhood above 1, its reduction by the granularity (the
// Gaussian sampling with kernel granularity - 1, rounded, that the local
// mean correction reduces its difference with). On the grid:
//   V  the values: the image (with a mask: excluded pixels 0), or its
//      reduction;
//   W  the weights: the binary mask (0 or 255), or its reduction (the share
//      of included pixels, times 255); none without a mask;
//   P  the second moment about half of the mean value r = 255 V / W of the
//      grid pixel, weighted like V: (W / 255) (r - half)^2 ((V - half)^2
//      without a mask), at most 2^(2d-2) and split into a high part
//      (P / 2^(d-2), at most top) and a low part (the remainder, at most
//      2^(d-2); on 8-bit images P / 64 and the remainder below 128).
// G is the Gaussian of the kernel gaussKernelSize of the neighbourhood on
// the grid, cut and renormalised at the grid's edges. V and both parts of P
// are smoothed in one pass, the parts' column sums combined into those of
// P (2^(d-2) high + low) before the horizontal sums, and each weighted sum
// is divided once; W is smoothed by the 8-bit Gaussian sampling at gain 256,
// rounded to 16 bits. Then per grid pixel, in single precision (which
// resolves the same share of the range at every depth),
//   mean = 255 G(V) / G(W),
//   deviation = sqrt(max(255 G(P) / G(W) - (mean - half)^2, 0))
// (G(W) = 255 without a mask). A grid pixel whose neighbourhood includes
// less than 1/16 of its Gaussian weight (G(W) < 255 / 16) has no
// statistics: the quantized sums would decide them, not the image.
//
// Gain and offset per grid pixel, with f the deviation floor:
//   gainAndOffset: g = clamp(max(s_ref, f) / max(s_run, f), lo, hi),
//                  o = m_ref - g m_run
//   gainOnly:      g = clamp(max(m_ref, f) / max(m_run, f), lo, hi), o = 0
//   no statistics: g = 1, o = 0.
// At full resolution out = clamp(g in + o, 0, top) rounded half up. On a
// reduced grid g and o are written as 16-bit fixed point over their fixed
// ranges (g in the gain range, o in [-top hi, top]), split into high and
// low bytes, and each byte plane is resampled
// bilinearly onto the working rectangle with the padded resampling of the
// local mean correction; as the interpolation is linear, 256 high + low of
// the interpolated planes is the interpolated 16-bit value.
#pragma once

#include <cstdint>
#include <memory>

#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

namespace imgnorm_detail {

enum class GainModel { gainAndOffset, gainOnly };

struct GainLimits {
    double lowest, highest;  // the gain range
    double floor;            // deviations and means below it count as it, in the image's levels
};

// Marks a grid pixel without statistics in a deviation plane.
constexpr std::uint16_t kNoStatistics = 0xFFFF;
// The least 256 G(W) with statistics: 1/16 of the full weight 255 * 256.
constexpr std::uint16_t kLeastWeightSum = 255 * 16;

// Where the statistics are taken, for one working rectangle.
struct StatsGrid {
    vkPelRect rect;                          // the working rectangle
    std::int32_t depth = 8;                  // the images' significant bits
    vkPair<std::int32_t> granularity;        // the reduction's step; (1, 1): full resolution
    vkPair<std::int32_t> kernel;             // the local Gaussian's kernel size on the grid
    vkPelBuffer_const<std::uint8_t> mask;    // the binary mask on rect; unbound without one
    vkPelBuffer_const<std::uint8_t> weight;  // W on the grid (with a mask only)
    vkPelBuffer<std::uint16_t> weightSum;    // 256 G(W), rounded (with a mask only)
    bool reduced() const { return granularity.x() > 1 || granularity.y() > 1; }
};

// The reference's side, computed once per working rectangle.
struct ReferenceStats {
    StatsGrid grid;
    vkPelBuffer<std::uint16_t> mean;       // U m_ref, rounded
    vkPelBuffer<std::uint16_t> deviation;  // U s_ref, rounded; kNoStatistics without statistics
};

// The grid of rect for images of depth bits (mask: the binary mask, unbound
// or covering rect). Neighbourhood sizes and steps below 1 act as 1.
StatsGrid statsGrid(const vkPelRect& rect, const vkPelBuffer_const<std::uint8_t>& binaryMask,
                    const vkPair<std::int32_t>& neighborhood,
                    const vkPair<std::int32_t>& granularity, std::int32_t depth = 8);

// The reference's statistics on grid (reference covering grid.rect, of the
// grid's depth: 8 for std::uint8_t, 9..16 for std::uint16_t).
template <class Pel>
ReferenceStats referenceStats(const vkPelBuffer_const<Pel>& reference, StatsGrid grid);

// Corrects image over trained.grid.rect (which image must cover) into a new
// buffer on that rectangle with the image's transforms.
template <class Pel>
vkPelBuffer<Pel> runLocalGain(const vkPelBuffer_const<Pel>& image, const ReferenceStats& trained,
                              GainModel model, const GainLimits& limits);

}  // namespace imgnorm_detail
