// Projection of an 8-bit image along one side of an affine rectangle.
//
// The rectangle of a vkAffineSamplingParams is sampled on its width x height
// grid exactly as vfAffineTransformImage places samples (sample (i, j) at the
// centre of grid cell (i, j), see affine.h), and the samples of each column
// of the grid, that is along the rectangle's second side, are summed into one
// value per position along its first side.
#pragma once

#include <cstdint>

#include "imgnorm/affine.h"
#include "imgnorm/pelbuffer.h"

// Projects source along the second side of params' rectangle.
// - Sampling: bilinear (eBilinear), with pixel values at pixel centres; the
//   source is read as 0 beyond its window (a projected picture ends at its
//   edge rather than repeating it). eNearestNeighbor picks the pixel whose
//   cell holds the sample point; eBicubic is not supported (BadParams).
// - profile: replaced by a new width x 1 buffer; entry i is the column sum of
//   the samples (i, 0..height-1), rounded to the nearest integer. Its
//   client-from-image transform is the sampling grid's (affine.h): a client
//   point maps to its grid position, so the x coordinate is the position
//   along the first side in samples and the centre of sample i maps to i + 0.5.
// - scratch: replaced by a new width x 1 buffer of the same column sums in
//   units of 1/256 (each sample is rounded to 1/256 before summing);
//   profile[i] is (scratch[i] + 128) / 256.
// - insideCount: the number of sample points that lie inside the source's
//   window; allInside: whether every sample point does.
// Throws vkPel::UnboundWindow / vkPel::BadWindow for an unbound or empty
// source and vkPelFunc::BadParams for a degenerate rectangle; nothing is
// written then.
void vfProjectImage(const vkPelBuffer_const<std::uint8_t>& source, vkPelBuffer<std::uint32_t>& profile,
                                vkPelBuffer<std::uint32_t>& scratch, const vkAffineSamplingParams& params,
                                std::uint32_t& insideCount, bool& allInside);
