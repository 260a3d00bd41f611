// The exported pixel functions. They work on the intersection of the windows
// involved, never write destination pixels outside it, and allocate an
// unbound destination on that rectangle with the source's transforms. Masks:
// a mask pixel of 0 excludes the pixel at the same position, any other value
// includes it. Biased differences hold a signed value v as v + 128.
//
// 16-bit forms take the image's bit depth d (1..16: its values lie in
// 0..2^d - 1; vkPelFunc::BadParams otherwise, before anything is written);
// their histograms have 2^d bins and their biased differences hold v as
// v + 2^(d-1). Masks stay 8-bit.
#pragma once

#include <cstdint>
#include <vector>

#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

// Masked histogram ---------------------------------------------------------

// 256 counts of the image's pixels where the mask is non-zero, over the
// common window; an unbound mask counts the whole image window. Disjoint
// windows give an empty vector. Unbound image: vkPel::UnboundWindow; a
// common window of 2^32 pixels or more, whose counts could wrap:
// vkPel::BadWindow; either with histogram unchanged.
IMGNORM_API void vf_MaskedPelHistogram(const vkPelBuffer_const<std::uint8_t>& image,
                                       const vkPelBuffer_const<std::uint8_t>& mask,
                                       std::vector<std::uint32_t>& histogram);
// The same with 2^depth counts. A pixel of the counted window (excluded ones
// too) above 2^depth - 1: vkPelFunc::BadParams, histogram unchanged.
IMGNORM_API void vf_MaskedPelHistogram(const vkPelBuffer_const<std::uint16_t>& image,
                                       const vkPelBuffer_const<std::uint8_t>& mask,
                                       std::int32_t depth, std::vector<std::uint32_t>& histogram);

// Clamped arithmetic, in place on the destination ---------------------------
// Each writes the destination's pixels inside the common window only (no
// change when the windows are disjoint); either buffer unbound throws
// vkPel::UnboundWindow before anything is written. A source sharing the
// destination's storage is read as it was before the call.

// d = clamp(d - s, -r, r) + 128 with r = min(maxDifference, 127).
IMGNORM_API void vf_PelSubClamp(const vkPelBuffer<std::uint8_t>& destination,
                                const vkPelBuffer_const<std::uint8_t>& source, unsigned char maxDifference);
// d = clamp(d - s + 128, 0, 255).
IMGNORM_API void vf_PelSubClampSigned(const vkPelBuffer<std::uint8_t>& destination,
                                      const vkPelBuffer_const<std::uint8_t>& source);
// d = clamp(d + s - 128, 0, 255).
IMGNORM_API void vf_PelAddClamp(const vkPelBuffer<std::uint8_t>& destination,
                                const vkPelBuffer_const<std::uint8_t>& source);
// The same on 16-bit pixels of the given depth, with h = 2^(depth-1) in place
// of 128 and 2^depth - 1 in place of 255: d = clamp(d - s, -r, r) + h with
// r = min(maxDifference, h - 1), d = clamp(d - s + h, 0, 2^depth - 1) and
// d = clamp(d + s - h, 0, 2^depth - 1). Values above the depth are taken as
// they are; results always lie in 0..2^depth - 1.
IMGNORM_API void vf_PelSubClamp(const vkPelBuffer<std::uint16_t>& destination,
                                const vkPelBuffer_const<std::uint16_t>& source,
                                std::uint16_t maxDifference, std::int32_t depth);
IMGNORM_API void vf_PelSubClampSigned(const vkPelBuffer<std::uint16_t>& destination,
                                      const vkPelBuffer_const<std::uint16_t>& source,
                                      std::int32_t depth);
IMGNORM_API void vf_PelAddClamp(const vkPelBuffer<std::uint16_t>& destination,
                                const vkPelBuffer_const<std::uint16_t>& source, std::int32_t depth);

// Masked copy and divide ----------------------------------------------------

// Copies source pixels where the mask is non-zero (invertMask false) or zero
// (invertMask true) over the common window of source, mask and a bound
// destination; other destination pixels keep their values. An unbound
// destination is allocated (zeroed) on the source and mask's common window
// with the source's transforms, and stays unbound when that is empty. An
// unbound mask copies the whole source (vfPelCopy). Unbound source:
// vkPel::UnboundWindow.
IMGNORM_API void vf_MaskedPelCopy(const vkPelBuffer_const<std::uint8_t>& source,
                                  const vkPelBuffer_const<std::uint8_t>& mask,
                                  vkPelBuffer<std::uint8_t>& destination, bool invertMask);
IMGNORM_API void vf_MaskedPelCopy(const vkPelBuffer_const<std::uint16_t>& source,
                                  const vkPelBuffer_const<std::uint8_t>& mask,
                                  vkPelBuffer<std::uint16_t>& destination, bool invertMask);
// Where the mask is non-zero (everywhere when unbound):
// d = (numerator * scale + denominator / 2) / denominator, truncated, i.e.
// the quotient rounded half up, over the common window of the operands (and
// of a bound destination). An unbound destination is allocated on that
// window, even when empty, with the numerator's transforms. Cases outside
// the intended use are made safe rather than undefined:
// - a zero denominator leaves the destination pixel as it was, like a pixel
//   the mask excludes: with no weight there is nothing to average, and the
//   pixel keeps whatever estimate the caller put there;
// - quotients above 255 saturate at 255, and no scale can overflow.
// Unbound numerator or denominator: vkPel::UnboundWindow, nothing written.
IMGNORM_API void vf_MaskedPelDivide(const vkPelBuffer_const<std::uint16_t>& numerator,
                                    const vkPelBuffer_const<std::uint16_t>& denominator,
                                    const vkPelBuffer_const<std::uint8_t>& mask,
                                    vkPelBuffer<std::uint8_t>& destination, std::uint32_t scale);

// Padded sampling, value mapping, 3x3 morphology ----------------------------

// Resamples the source's window onto width x height pixels (1..32767 each)
// after padding it with duplicated border pixels; bilinear, or bicubic with
// higherOrder (see vfAffineTransformImage). The result has the window
// (0, 0, width, height) and covers the same client area as the source's
// window. Bad sizes: vkPelFunc::BadParams; unbound or empty source:
// vkPel::UnboundWindow or vkPel::BadWindow.
IMGNORM_API vkPelBuffer<std::uint8_t> vf_PaddedAffineSample(const vkPelBuffer<std::uint8_t>& source,
                                                            std::int32_t width, std::int32_t height,
                                                            bool higherOrder);
// Every pixel of the window equal to from becomes to, in place.
// Unbound image: vkPel::UnboundWindow.
IMGNORM_API void vf_PelMapValue(vkPelBuffer<std::uint8_t>& image, unsigned char from, unsigned char to);
// Bitwise OR (dilate) or AND (erode) of each pixel and its four edge
// neighbours inside the common window of source and a bound destination
// (an unbound one is allocated on the source's window with its transforms).
// Unbound source, or a destination sharing the source's storage:
// vkPel::BadWindow, nothing written.
IMGNORM_API void vfBinaryMorph3x3Diamond(const vkPelBuffer_const<std::uint8_t>& source, bool dilate,
                                         vkPelBuffer<std::uint8_t>& destination);

// Thresholds ----------------------------------------------------------------

// A new buffer on the source's window, with its transforms: 255 where the
// pixel is at least the threshold, else 0. Unbound source:
// vkPel::UnboundWindow.
IMGNORM_API vkPelBuffer<std::uint8_t> vf_PelThreshold(const vkPelBuffer_const<std::uint8_t>& source,
                                                      unsigned char threshold);
// As above, with Otsu's threshold of the window's histogram (vfThresholdWGV):
// a window of one gray level becomes all 255.
IMGNORM_API vkPelBuffer<std::uint8_t> vf_PelThreshold(const vkPelBuffer_const<std::uint8_t>& source);
// Binarises where the mask is non-zero and writes 0 where it is zero, on the
// common window of source, mask and a bound destination; an unbound
// destination is allocated on the common window of source and mask (unless
// empty), and an unbound mask replaces the destination with
// vf_PelThreshold(source, threshold). Unbound source: vkPel::UnboundWindow.
IMGNORM_API void vf_MaskedPelThreshold(const vkPelBuffer_const<std::uint8_t>& source,
                                       const vkPelBuffer_const<std::uint8_t>& mask, unsigned char threshold,
                                       vkPelBuffer<std::uint8_t>& destination);

// Otsu's threshold of a histogram (bin i counts level i, at most 65536
// bins): the level t that best separates the samples below t from those at
// or above it, the level vf_PelThreshold(source) applies. A histogram of one
// occupied level gives that level, one without samples 0. More bins:
// vkPelFunc::BadParams.
IMGNORM_API std::int32_t vf_OtsuThreshold(const std::vector<std::uint32_t>& histogram);

// Histogram matching ---------------------------------------------------------

// The gray map that carries levels counted by the source histogram onto
// those counted by the reference (bin i counts level i), by the midpoint
// rule: level i, whose pixels hold the share (C(i-1), C(i)] of the source's
// cumulative count, goes to the smallest occupied reference level whose
// cumulative share reaches the middle of that share. Of all monotone maps it
// brings the mapped histogram closest to the reference's by the area
// between their cumulative histograms (eMatchHistogram's map takes the end
// of the share instead). map gets one entry per source bin. Throws
// vkPelFunc::BadParams, map unchanged, for a source of 0 or more than 65536
// bins, a reference of 0 or more than max(T) + 1 bins, or a histogram
// without samples. T is std::uint8_t or std::uint16_t.
template <class T>
IMGNORM_API void vf_MidpointHistogramMap(const std::vector<std::uint32_t>& source,
                                         const std::vector<std::uint32_t>& reference,
                                         std::vector<T>& map);

// Window adjustment and border expansion ------------------------------------

// Makes the buffer present exactly rect: when its whole storage is at least
// rect's size, the storage is kept (pixels not cleared, transforms kept) and
// renumbered so that its first pixel is rect's origin; otherwise the buffer
// gets new zeroed storage on rect. Throws only what the renumbering throws,
// leaving the buffer unchanged.
IMGNORM_API void vf_AdjustWindow(vkPelBuffer<std::uint8_t>& buffer, const vkPelRect& rect);
// A copy of the source's window grown by one pixel on every side, the ring
// repeating the nearest edge pixel; same positions and transforms. Unbound
// or empty source: vkPel::UnboundWindow or vkPel::BadWindow.
IMGNORM_API vkPelBuffer<std::uint8_t> vf_ExpandByDuplicatingBorderPixels(
    const vkPelBuffer_const<std::uint8_t>& source);

// Diamond smoothing -----------------------------------------------------------

// In place: (4 * centre + edge neighbours inside the window) / their total
// weight, truncated, all from the old values. Reads and writes the window
// only; an empty or unbound window is left alone.
IMGNORM_API void vf_PelSmooth3x3Diamond(vkPelBuffer<std::uint8_t>& image);

// Buffer equality -------------------------------------------------------------

// True when both are unbound, or both bound with equal windows, the four
// window corners mapped to client coordinates within tolerance of each
// other, and equal pixels (compared exactly).
IMGNORM_API bool vf_PelBufferEqual(const vkPelBuffer_const<std::uint8_t>& a,
                                   const vkPelBuffer_const<std::uint8_t>& b, double tolerance);
IMGNORM_API bool vf_PelBufferEqual(const vkPelBuffer_const<std::uint16_t>& a,
                                   const vkPelBuffer_const<std::uint16_t>& b, double tolerance);
IMGNORM_API bool vf_PelBufferEqual(const vkPelBuffer_const<std::uint32_t>& a,
                                   const vkPelBuffer_const<std::uint32_t>& b, double tolerance);

// Flood fill and first-pixel search --------------------------------------------

// Gives value to the 8-connected region of the seed's old value around the
// seed (a pixel position), in place, inside the window only. workspace is
// scratch space: grown to W x H entries when smaller, never beyond, never
// shrunk; a reused one saves the allocation. Throws, before writing pixels or
// workspace, vkPel::UnboundWindow (unbound), vkPel::BadWindow (empty window),
// vkPelFunc::BadParams (seed outside the window, or already holding value).
IMGNORM_API void vf_FloodFill(const vkPelBuffer<std::uint8_t>& image, const vkPair<std::int32_t>& seed,
                              unsigned char value, std::vector<std::int64_t>& workspace);
// The position of the first pixel of the window equal to value in raster
// order, into where; false (where unchanged) when there is none or the
// window is empty. Unbound image: vkPel::UnboundWindow.
IMGNORM_API bool vf_FindFirstPel(const vkPelBuffer_const<std::uint8_t>& image, unsigned char value,
                                 vkPair<std::int32_t>& where);
