// Pixel comparison for the fuzz targets' round-trip checks.
#pragma once

#include <cstdint>

#include <imgnorm/pelbuffer.h>

// True when the windows are equal and hold equal pixels.
template <class T>
bool samePixels(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b) {
    if (a.isBound() != b.isBound() || a.window() != b.window()) return false;
    if (!a.isBound()) return true;
    for (std::int32_t y = 0; y < a.height(); ++y)
        for (std::int32_t x = 0; x < a.width(); ++x)
            if (a.pointToOffset()[y * a.rowUpdate() + x] != b.pointToOffset()[y * b.rowUpdate() + x])
                return false;
    return true;
}
