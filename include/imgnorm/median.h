// Median filtering of 8-bit and 16-bit images, unmasked and masked.
//
// Each result pixel is the median of the source pixels in a kx x ky
// neighbourhood centred on it (both sizes odd). The rules, the same for all
// forms:
// - Value range (lo, hi): source values are clamped into lo..hi before the
//   median is taken, so every result lies in lo..hi.
// - Even counts: of the two middle values the lower one is taken, i.e. the
//   element of rank (n - 1) / 2 (rounded down) of the n counted values in
//   ascending order.
// - Borders: with clipToWindow true (what the tool uses) the neighbourhood is
//   cut to the source window: only pixels inside it count, so fewer pixels
//   count near the borders. With clipToWindow false the window's edge pixels
//   are repeated outwards (and so are their mask values), so every
//   neighbourhood holds kx * ky values.
// - Masked form: only pixels under a non-zero mask count. Where a
//   neighbourhood holds no counted pixel the result is 2^(depth - 1) (128 on
//   8-bit images: no correction of a biased difference), clamped into the
//   value range like every result.
// Every form may be given a result that shares pixels with its inputs; it
// then behaves as if the inputs were copied first. The results are exact,
// and the time per pixel does not grow with the kernel size (sliding
// histograms).
#pragma once

#include <cstdint>

#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

class IMGNORM_API vkPelMedianParams {
  public:
    // kernelSize (kx, ky): odd, at least 1 each, kx * ky at most 32767.
    // valueRange (lo, hi): 0 <= lo <= hi <= 2^depth - 1. depth: the
    // significant bits of the images to filter, 8 (8-bit images, the
    // default) to 16 (16-bit images of that depth; a 12-bit camera's values
    // lie in 0..4095). Else vkPelFunc::BadParams.
    // clipToWindow: true cuts neighbourhoods to the source window, false
    // repeats the edge pixels outwards.
    vkPelMedianParams(const vkPair<std::int32_t>& kernelSize,
                      const vkPair<std::int32_t>& valueRange, bool clipToWindow,
                      std::int32_t depth = 8);

    const vkPair<std::int32_t>& kernelSize() const { return kernelSize_; }
    const vkPair<std::int32_t>& valueRange() const { return valueRange_; }
    bool clipToWindow() const { return clipToWindow_; }
    std::int32_t depth() const { return depth_; }

    // The largest number of pixels a kernel may hold.
    static constexpr std::int32_t kMaxKernelPixels = 32767;

  private:
    vkPair<std::int32_t> kernelSize_;
    vkPair<std::int32_t> valueRange_;
    bool clipToWindow_;
    std::int32_t depth_;
};

// Median of the image over its window. Reads the image's window; an unbound
// result is allocated on that window with the image's transforms, a bound one
// is written only where its window overlaps the image's. Unbound image:
// vkPel::UnboundWindow; params of a depth other than 8: vkPelFunc::BadParams.
// May throw vkAttention::Cancelled; nothing is written then.
IMGNORM_API void vfPelMedian(const vkPelBuffer_const<std::uint8_t>& image,
                             const vkPelMedianParams& params, vkPelBuffer<std::uint8_t>& result);

// Median of the image pixels under a non-zero mask, over the intersection of
// the image's and the mask's windows (which is also the window the
// neighbourhoods are cut to). Result as above, on that intersection. Unbound
// image or mask: vkPel::UnboundWindow.
IMGNORM_API void vfPelMedian(const vkPelBuffer_const<std::uint8_t>& image,
                             const vkPelBuffer_const<std::uint8_t>& mask,
                             const vkPelMedianParams& params, vkPelBuffer<std::uint8_t>& result);

// The same on 16-bit images, for params of any depth.
IMGNORM_API void vfPelMedian(const vkPelBuffer_const<std::uint16_t>& image,
                             const vkPelMedianParams& params, vkPelBuffer<std::uint16_t>& result);
IMGNORM_API void vfPelMedian(const vkPelBuffer_const<std::uint16_t>& image,
                             const vkPelBuffer_const<std::uint8_t>& mask,
                             const vkPelMedianParams& params, vkPelBuffer<std::uint16_t>& result);
