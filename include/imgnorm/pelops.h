// Whole-window pixel operations of the platform: copy, table mapping,
// pixel-wise minimum, maximum value, fill, histogram and equality.
//
// Operations on two buffers work on the intersection of their windows, at
// equal pixel positions. A destination passed unbound is allocated on that
// rectangle with the first source's transforms; a bound destination is
// written only inside its own window. An unbound source throws
// vkPel::UnboundWindow before anything is written.
#pragma once

#include <cstdint>
#include <vector>

#include "imgnorm/export.h"
#include "imgnorm/pelbuffer.h"

// A new buffer holding a copy of the source's window, at the same positions
// and with the same transforms.
template <class T>
IMGNORM_API vkPelBuffer<T> vfPelCopy(const vkPelBuffer_const<T>& source);
// Copies the source into the destination at equal positions.
template <class T>
IMGNORM_API void vfPelCopy(const vkPelBuffer_const<T>& source, vkPelBuffer<T>& destination);

// Replaces every pixel by table[pixel]; the table must have 256 entries
// (else vkPelFunc::BadParams). The second form may work in place.
IMGNORM_API vkPelBuffer<std::uint8_t> vfPelMap(const vkPelBuffer_const<std::uint8_t>& source,
                                               const std::vector<std::uint8_t>& table);
IMGNORM_API void vfPelMap(const vkPelBuffer_const<std::uint8_t>& source,
                          const std::vector<std::uint8_t>& table, vkPelBuffer<std::uint8_t>& destination);
// The same for 16-bit pixels, into a new buffer: the table has 2^d entries
// (d = 1..16), one per level of a depth of d bits. A table of another size,
// or a pixel at or above its size: vkPelFunc::BadParams.
IMGNORM_API vkPelBuffer<std::uint16_t> vfPelMap(const vkPelBuffer_const<std::uint16_t>& source,
                                                const std::vector<std::uint16_t>& table);

// Pixel-wise minimum of a and b over their common window. In place allowed.
template <class T>
IMGNORM_API vkPelBuffer<T> vfPelMin(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b);
template <class T>
IMGNORM_API void vfPelMin(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b,
                          vkPelBuffer<T>& destination);

// The largest pixel value in the window; 0 for an empty window.
template <class T>
IMGNORM_API T vfPelMax(const vkPelBuffer_const<T>& image);

// Sets every pixel of the window to value.
template <class T>
IMGNORM_API void vfPelSet(const vkPelBuffer<T>& image, T value);

// The 256 counts of the pixel values of the window (histogram is resized).
// A window of 2^32 pixels or more, whose counts could wrap, throws
// vkPel::BadWindow before any pixel is read.
IMGNORM_API void vfPelHistogram(const vkPelBuffer_const<std::uint8_t>& image,
                                std::vector<std::uint32_t>& histogram);

// True when both windows have the same size and hold the same values
// (positions and transforms are not compared). Unbound buffers are equal
// only to unbound buffers.
template <class T>
IMGNORM_API bool vfPelEqual(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b);
