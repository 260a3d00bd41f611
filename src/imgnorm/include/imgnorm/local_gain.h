// The local gain corrections behind vkLocalGainNormalizer: Gaussian-weighted
// local means and standard deviations of the reference and the run-time
// image, at full or reduced resolution, turned into a gain and an offset per
// pixel.
//
// Statistics grid: the working rectangle itself, or, with a granularity above
// 1 and a neighbourhood above 1, its reduction by the granularity (the
// Gaussian sampling with kernel granularity - 1, rounded, that the local
// mean correction reduces its difference with). On the grid:
//   V  the values: the image (with a mask: min(image, mask), excluded
//      pixels 0), or its reduction;
//   W  the weights: the binary mask (0 or 255), or its reduction (the share
//      of included pixels, times 255); none without a mask;
//   P  the second moment about 128 of the mean value r = 255 V / W of the
//      grid pixel, weighted like V: (W / 255) (r - 128)^2 ((V - 128)^2
//      without a mask), at most 2^14 and split into a high part (P / 64,
//      at most 255) and a low part (the remainder, below 128).
// G is the Gaussian of the kernel gaussKernelSize of the neighbourhood on
// the grid, cut and renormalised at the grid's edges. V and both parts of P
// are smoothed in one pass, the parts' column sums combined into those of
// P (64 high + low) before the horizontal sums, and each weighted sum is
// divided once; W is smoothed by the 8-bit Gaussian sampling at gain 256,
// rounded to 16 bits. Then per grid pixel, in single precision,
//   mean = 255 G(V) / G(W),
//   deviation = sqrt(max(255 G(P) / G(W) - (mean - 128)^2, 0))
// (G(W) = 255 without a mask). A grid pixel whose neighbourhood includes
// less than 1/16 of its Gaussian weight (G(W) < 255 / 16) has no
// statistics: the quantized sums would decide them, not the image.
//
// Gain and offset per grid pixel, with f the deviation floor:
//   gainAndOffset: g = clamp(max(s_ref, f) / max(s_run, f), lo, hi),
//                  o = m_ref - g m_run
//   gainOnly:      g = clamp(max(m_ref, f) / max(m_run, f), lo, hi), o = 0
//   no statistics: g = 1, o = 0.
// At full resolution out = clamp(g in + o, 0, 255) rounded half up. On a
// reduced grid g and o are written as 16-bit fixed point over their fixed
// ranges (g in the gain range, o in [-255 hi, 255]), split into high and
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
    double floor;            // deviations and means below it count as it
};

// Marks a grid pixel without statistics in a deviation plane.
constexpr std::uint16_t kNoStatistics = 0xFFFF;
// The least 256 G(W) with statistics: 1/16 of the full weight 255 * 256.
constexpr std::uint16_t kLeastWeightSum = 255 * 16;

// Where the statistics are taken, for one working rectangle.
struct StatsGrid {
    vkPelRect rect;                          // the working rectangle
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
    vkPelBuffer<std::uint16_t> mean;       // 256 m_ref, rounded
    vkPelBuffer<std::uint16_t> deviation;  // 256 s_ref, rounded; kNoStatistics without statistics
};

// The grid of rect (mask: the binary mask, unbound or covering rect).
// Neighbourhood sizes and steps below 1 act as 1.
StatsGrid statsGrid(const vkPelRect& rect, const vkPelBuffer_const<std::uint8_t>& binaryMask,
                    const vkPair<std::int32_t>& neighborhood,
                    const vkPair<std::int32_t>& granularity);

// The reference's statistics on grid (reference covering grid.rect).
ReferenceStats referenceStats(const vkPelBuffer_const<std::uint8_t>& reference, StatsGrid grid);

// Corrects image over trained.grid.rect (which image must cover) into a new
// buffer on that rectangle with the image's transforms.
vkPelBuffer<std::uint8_t> runLocalGain(const vkPelBuffer_const<std::uint8_t>& image,
                                       const ReferenceStats& trained, GainModel model,
                                       const GainLimits& limits);

}  // namespace imgnorm_detail
