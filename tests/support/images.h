// Test helpers: seeded random images, windows inside larger storage, and
// pixel access for comparisons.
#pragma once

#include <imgnorm/imgnorm.h>

#include <cstdint>
#include <random>
#include <vector>

namespace testimg {

// A generator seeded with a fixed value per test; failures print the seed
// through the test name, so every run is reproducible.
inline std::mt19937 rng(std::uint32_t seed = 12345) { return std::mt19937(seed); }

// A new w x h buffer of random values in lo..hi.
template <class T>
vkPelBuffer<T> random(std::int32_t w, std::int32_t h, std::mt19937& gen, std::uint32_t lo = 0,
                      std::uint32_t hi = 255) {
    vkPelBuffer<T> b(w, h);
    std::uniform_int_distribution<std::uint32_t> d(lo, hi);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) b.pointToOffset()[y * b.rowUpdate() + x] = static_cast<T>(d(gen));
    return b;
}

// Storage larger than the window by margin pixels on each side, filled with
// fill; the window (at position origin) holds a copy of content's pixels.
template <class T>
vkPelBuffer<T> embedded(const vkPelBuffer_const<T>& content, std::int32_t margin, T fill,
                        vkPair<std::int32_t> origin = {0, 0}) {
    vkPelBuffer<T> big(content.width() + 2 * margin, content.height() + 2 * margin, 1);
    vfPelSet(big, fill);
    big.offset(origin.x() - margin, origin.y() - margin);
    big.window(vkPelRect(origin.x(), origin.y(), content.width(), content.height()));
    for (std::int32_t y = 0; y < content.height(); ++y)
        for (std::int32_t x = 0; x < content.width(); ++x)
            big.pointToOffset()[y * big.rowUpdate() + x] = content.pointToOffset()[y * content.rowUpdate() + x];
    return big;
}

// The window's pixels row by row.
template <class T>
std::vector<T> pixels(const vkPelBuffer_const<T>& b) {
    std::vector<T> v;
    v.reserve(static_cast<std::size_t>(b.width()) * static_cast<std::size_t>(b.height()));
    for (std::int32_t y = 0; y < b.height(); ++y)
        for (std::int32_t x = 0; x < b.width(); ++x) v.push_back(b.pointToOffset()[y * b.rowUpdate() + x]);
    return v;
}

// The whole storage's pixels row by row (to check what lies outside a window).
template <class T>
std::vector<T> storagePixels(const vkPelBuffer_const<T>& b) {
    vkPelBuffer_const<T> all(b);
    all.setEntire();
    return pixels(all);
}

// A w x h buffer with the given pixel values row by row.
template <class T>
vkPelBuffer<T> fromRows(std::int32_t w, std::int32_t h, const std::vector<T>& values) {
    vkPelBuffer<T> b(w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            b.pointToOffset()[y * b.rowUpdate() + x] = values[static_cast<std::size_t>(y * w + x)];
    return b;
}

template <class T>
T at(const vkPelBuffer_const<T>& b, std::int32_t x, std::int32_t y) {
    return b.pointToOffset()[y * b.rowUpdate() + x];
}

// Storage with separate margins around the window (left, top, right, bottom),
// filled with fill; the window, at position origin, holds a copy of content.
// Zero margins put the window at a corner or edge of its storage.
template <class T>
vkPelBuffer<T> embeddedWithMargins(const vkPelBuffer_const<T>& content, std::int32_t left, std::int32_t top,
                                   std::int32_t right, std::int32_t bottom, T fill,
                                   vkPair<std::int32_t> origin = {0, 0}) {
    vkPelBuffer<T> big(content.width() + left + right, content.height() + top + bottom, 1);
    vfPelSet(big, fill);
    big.offset(origin.x() - left, origin.y() - top);
    big.window(vkPelRect(origin.x(), origin.y(), content.width(), content.height()));
    for (std::int32_t y = 0; y < content.height(); ++y)
        for (std::int32_t x = 0; x < content.width(); ++x)
            big.pointToOffset()[y * big.rowUpdate() + x] = content.pointToOffset()[y * content.rowUpdate() + x];
    return big;
}

// A new buffer holding the pixels of b inside rect (which must lie in b's
// storage), at the same positions and with b's transforms.
template <class T>
vkPelBuffer<T> crop(const vkPelBuffer_const<T>& b, const vkPelRect& rect) {
    vkPelBuffer_const<T> view(b);
    view.window(rect);
    return vfPelCopy(view);
}

// The number of storage pixels outside b's window that differ from before
// (a storagePixels() snapshot of the same storage).
template <class T>
std::size_t changedOutsideWindow(const std::vector<T>& before, const vkPelBuffer_const<T>& b) {
    vkPelBuffer_const<T> all(b);
    all.setEntire();
    const std::vector<T> after = pixels(all);
    std::size_t changed = 0;
    for (std::int32_t y = 0; y < all.height(); ++y)
        for (std::int32_t x = 0; x < all.width(); ++x) {
            const auto i = static_cast<std::size_t>(y) * static_cast<std::size_t>(all.width()) +
                           static_cast<std::size_t>(x);
            const vkPair<std::int32_t> p(all.offset().x() + x, all.offset().y() + y);
            if (!b.window().contains(p) && after[i] != before[i]) ++changed;
        }
    return changed;
}

}  // namespace testimg
