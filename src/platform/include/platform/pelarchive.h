// The archive form of image buffers (8-, 16- and 32-bit pixels, writable or
// read-only handles alike). The layout is in docs/archive-format.md:
//   version byte (0), bound flag (bool);
//   bound only: window x, y, width, height (int32 each), the position of the
//   window's first pixel x, y (int32 each, equal to the window's origin), the
//   client-from-image transform a, b, c, d, tx, ty (six doubles), then the
//   window's pixels row by row (each pixel little-endian, no row padding).
// Only the window is stored; storage outside it and the sharing of pixels
// with other buffers are not. An unbound buffer stores the first two items.
//
// Loading never trusts the bytes. It fails with vkArchive::UnknownVersion
// (text "vkPelBuffer", line 0) for a version other than 0, and with
// vkArchive::Corrupt for a truncated archive, a negative size, a window that
// leaves the 32-bit position range, a first-pixel position that is not the
// window's origin, more pixels than the bytes that remain can hold, an empty
// window (width or height 0) with a side above 65536, or a transform that is
// not storable (below). The pixel count is checked against the bytes that
// remain before anything is allocated, so a load never allocates more than
// twice the pixel bytes the archive holds (plus a small constant). A load
// that throws leaves the buffer unchanged.
//
// A loaded bound buffer gets new storage exactly covering the window, at the
// stored positions (rows 32-byte aligned when a row holds at least 32 bytes,
// packed otherwise), and never shares pixels with the buffer it replaces. An
// identity transform is loaded as the shared identity handle.
//
// Storable transforms: the six elements of the transform and of its inverse
// are finite and at most 1e12 in magnitude (so the matrix is invertible and
// compositions with positions and scale factors stay finite). Storing a
// buffer whose transform is not storable, or whose window is empty with a
// side above 65536 (it holds no pixels, yet functions that walk its rows
// would take seconds), throws vkPelFunc::BadParams and writes nothing.
#pragma once

#include <cstdint>

#include "imgnorm/archive.h"
#include "imgnorm/pelbuffer.h"

// Stores the buffer when the archive is storing, loads it (replacing the
// buffer) when it is loading. Returns the archive.
vkArchive& operator||(vkArchive& archive, vkPelBuffer<std::uint8_t>& buffer);
vkArchive& operator||(vkArchive& archive, vkPelBuffer<std::uint16_t>& buffer);
vkArchive& operator||(vkArchive& archive, vkPelBuffer<std::uint32_t>& buffer);
vkArchive& operator||(vkArchive& archive, vkPelBuffer_const<std::uint8_t>& buffer);
vkArchive& operator||(vkArchive& archive, vkPelBuffer_const<std::uint16_t>& buffer);
vkArchive& operator||(vkArchive& archive, vkPelBuffer_const<std::uint32_t>& buffer);

// True when the buffer can be stored: unbound, or bound with a storable
// client-from-image transform and window (see above). Lets a caller that stores several
// items check them all before it writes the first.
bool vfPelArchivable(const vkPelBuffer_const<std::uint8_t>& buffer);
bool vfPelArchivable(const vkPelBuffer_const<std::uint16_t>& buffer);
bool vfPelArchivable(const vkPelBuffer_const<std::uint32_t>& buffer);
