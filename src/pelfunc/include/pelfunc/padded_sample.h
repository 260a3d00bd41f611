// The two halves of the padded sampling (internal): the padded copy of the
// source with its sampling parameters, so that a caller can take the result
// row by row (vk_detail::AffineRowSampler) instead of as a new image.
#pragma once

#include <cstdint>

#include "imgnorm/affine.h"
#include "imgnorm/pelbuffer.h"

namespace vk_detail {

struct PaddedSampling {
    vkPelBuffer<std::uint8_t> padded;  // the source's window with a duplicated border
    vkAffineSamplingParams params;     // the sampling vf_PaddedAffineSample applies to it
};

// The border width: the interpolation's (2 bilinear, 3 bicubic).
constexpr std::int32_t paddedBorder(bool higherOrder) {
    return higherOrder ? 3 : 2;
}

// The same geometry with the padded buffer's pixels undefined, for a caller
// that fills them itself (the source's pixels inside, the border duplicated
// outward), perhaps a band of rows at a time. Only the source's window and
// transforms count: a 16-bit source gives the geometry of its byte planes.
template <class T>
PaddedSampling paddedGeometry(const vkPelBuffer_const<T>& source, std::int32_t width,
                              std::int32_t height, bool higherOrder);

// What vf_PaddedAffineSample(source, width, height, higherOrder) samples;
// throws as it does.
PaddedSampling paddedSampling(const vkPelBuffer<std::uint8_t>& source, std::int32_t width,
                              std::int32_t height, bool higherOrder);

}  // namespace vk_detail
