// Test helpers: seeded random images, windows inside larger storage, pixels.
#pragma once

#include <imgnorm/imgnorm.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace testimg {

// A generator seeded with a fixed value per test, so every run is reproducible.
inline std::mt19937 rng(std::uint32_t seed = 12345) { return std::mt19937(seed); }

template <class T>
T at(const vkPelBuffer_const<T>& b, std::int32_t x, std::int32_t y) {
    return b.pointToOffset()[y * b.rowUpdate() + x];
}

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
            big.pointToOffset()[y * big.rowUpdate() + x] = at(content, x, y);
    return big;
}

// The same with margin pixels on each side.
template <class T>
vkPelBuffer<T> embedded(const vkPelBuffer_const<T>& content, std::int32_t margin, T fill,
                        vkPair<std::int32_t> origin = {0, 0}) {
    return embeddedWithMargins(content, margin, margin, margin, margin, fill, origin);
}

// A new image of TOut on src's window holding f(value, x, y) at each pixel
// (x, y counted from the window's corner).
template <class TOut, class TIn, class F>
vkPelBuffer<TOut> mapped(const vkPelBuffer_const<TIn>& src, F f) {
    vkPelBuffer<TOut> out(src.window());
    for (std::int32_t y = 0; y < src.height(); ++y)
        for (std::int32_t x = 0; x < src.width(); ++x)
            out.pointToOffset()[y * out.rowUpdate() + x] =
                static_cast<TOut>(f(at(src, x, y), x, y));
    return out;
}

// 12-bit samples from 8-bit ones: times 16, the low bits from the position.
inline vkPelBuffer<std::uint16_t> deepened(const vkPelBuffer_const<std::uint8_t>& src) {
    return mapped<std::uint16_t>(src, [](int v, int x, int y) { return v * 16 + (x + y) % 16; });
}

// The window's pixels row by row.
template <class T>
std::vector<T> pixels(const vkPelBuffer_const<T>& b) {
    std::vector<T> v;
    for (std::int32_t y = 0; y < b.height(); ++y)
        for (std::int32_t x = 0; x < b.width(); ++x) v.push_back(at(b, x, y));
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

// A new buffer holding the pixels of b inside rect (which must lie in b's
// storage), at the same positions and with b's transforms.
template <class T>
vkPelBuffer<T> crop(const vkPelBuffer_const<T>& b, const vkPelRect& rect) {
    vkPelBuffer_const<T> view(b);
    view.window(rect);
    return vfPelCopy(view);
}

// A trace naming a case by its size and seed.
inline std::string trace(std::int32_t w, std::int32_t h, std::uint32_t seed) {
    return std::to_string(w) + "x" + std::to_string(h) + " seed " + std::to_string(seed);
}

// "" when each pixel of b's window at position p holds want(p, old) and every
// other storage pixel is unchanged (old values from before, a storagePixels()
// snapshot); else the first pixel that differs.
template <class T, class F>
std::string windowMismatch(const std::vector<T>& before, const vkPelBuffer_const<T>& b, F want) {
    vkPelBuffer_const<T> all(b);
    all.setEntire();
    std::size_t i = 0;
    for (std::int32_t y = 0; y < all.height(); ++y)
        for (std::int32_t x = 0; x < all.width(); ++x) {
            const vkPair<std::int32_t> p(all.offset().x() + x, all.offset().y() + y);
            const bool inside = b.window().contains(p);
            const T old = before[i++], got = at(all, x, y), expected = inside ? static_cast<T>(want(p, old)) : old;
            if (got != expected)
                return std::string(inside ? "inside" : "outside") + " the window at " + std::to_string(p.x()) + "," +
                       std::to_string(p.y()) + ": " + std::to_string(got) + " instead of " + std::to_string(expected);
        }
    return "";
}

}  // namespace testimg
