// Resampling with a padded border, and the border duplication it relies on.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "imgnorm/affine.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "pelfunc/border.h"
#include "pelfunc/padded_sample.h"
#include "platform/rows.h"

void vk_detail::duplicateBorderPixels(vkPelBuffer<std::uint8_t>& buffer, int border) {
    if (!buffer.isBound() || border < 0) vstd_assert_(__LINE__);
    duplicateBorderPixels(buffer, border, 0, std::int64_t{buffer.height()} - 2 * border);
}

void vk_detail::duplicateBorderPixels(vkPelBuffer<std::uint8_t>& buffer, int border,
                                      std::int64_t first, std::int64_t end) {
    if (!buffer.isBound() || border < 0) vstd_assert_(__LINE__);
    const std::int64_t b = border;
    const std::int64_t iw = std::int64_t{buffer.width()} - 2 * b;
    const std::int64_t ih = std::int64_t{buffer.height()} - 2 * b;
    if (iw < 1 || ih < 1 || first < 0 || first >= end || end > ih) vstd_assert_(__LINE__);
    if (b == 0) return;

    const std::size_t side = static_cast<std::size_t>(b);
    const std::size_t inner = static_cast<std::size_t>(iw);
    const std::ptrdiff_t stride = buffer.rowUpdate();
    std::uint8_t* const top = buffer.pointToOffset();
    std::uint8_t* const firstInner = top + b * stride;
    std::uint8_t* const lastInner = top + (b + ih - 1) * stride;

    // Left and right strips of the interior rows first, so that the interior's
    // first and last rows are complete rows to copy from.
    for (std::uint8_t* row = firstInner + first * stride; row < firstInner + end * stride;
         row += stride) {
        std::memset(row, row[b], side);
        std::memset(row + b + iw, row[b + iw - 1], side);
    }
    const std::size_t full = inner + 2 * side;
    for (std::int64_t i = 0; i < b; ++i) {
        if (first == 0) std::memcpy(top + i * stride, firstInner, full);
        if (end == ih) std::memcpy(lastInner + (i + 1) * stride, lastInner, full);
    }
}

template <class T>
vk_detail::PaddedSampling vk_detail::paddedGeometry(const vkPelBuffer_const<T>& source,
                                                    std::int32_t width, std::int32_t height,
                                                    bool higherOrder) {
    vk_detail::requireBound(source);
    if (source.window().isNull()) throw vkPel::BadWindow("cannot resample an empty window");

    const vkPelRect window = source.window();
    const vkXform<2>& clientFromImage = source.clientFromImageXform();
    const vkAffineRectangle rect(clientFromImage.map(vkVector<2>(window.ul())),
                                 clientFromImage.map(vkVector<2>(window.ur())),
                                 clientFromImage.map(vkVector<2>(window.ll())));
    // The border is wide enough that every tap of a sample inside the window
    // reads a real pixel.
    const auto mode = higherOrder ? vkAffineSamplingParams::eBicubic : vkAffineSamplingParams::eBilinear;
    const vkAffineSamplingParams params(rect, width, height, mode);
    const std::int32_t p = paddedBorder(higherOrder);

    vkPelBuffer<std::uint8_t> padded(window.trim(-p, -p, -p, -p), vk_detail::uninitialized);
    padded.copyXforms(source);
    return {padded, params};
}

template vk_detail::PaddedSampling vk_detail::paddedGeometry<std::uint8_t>(
    const vkPelBuffer_const<std::uint8_t>&, std::int32_t, std::int32_t, bool);
template vk_detail::PaddedSampling vk_detail::paddedGeometry<std::uint16_t>(
    const vkPelBuffer_const<std::uint16_t>&, std::int32_t, std::int32_t, bool);

vk_detail::PaddedSampling vk_detail::paddedSampling(const vkPelBuffer<std::uint8_t>& source,
                                                    std::int32_t width, std::int32_t height,
                                                    bool higherOrder) {
    PaddedSampling s = paddedGeometry<std::uint8_t>(source, width, height, higherOrder);
    vfPelCopy<std::uint8_t>(source, s.padded);
    vk_detail::duplicateBorderPixels(s.padded, paddedBorder(higherOrder));
    return s;
}

vkPelBuffer<std::uint8_t> vf_PaddedAffineSample(const vkPelBuffer<std::uint8_t>& source,
                                                std::int32_t width, std::int32_t height,
                                                bool higherOrder) {
    const vk_detail::PaddedSampling s =
        vk_detail::paddedSampling(source, width, height, higherOrder);
    return vfAffineTransformImage(s.padded, s.params);
}
