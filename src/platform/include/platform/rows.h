// Internal helpers for walking image windows row by row; shared by the
// platform and the pixel functions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "imgnorm/pelbuffer.h"

// Marks a hot row kernel (a plain function, not a template) to be compiled
// twice, for AVX2 and for the baseline instruction set; the loader binds the
// one the processor supports. Both come from the same source and give the
// same results: without fused multiply-adds the vector width does not change
// any float operation.
// Defining VK_ROW_KERNEL empty on the command line builds the baseline only.
#ifndef VK_ROW_KERNEL
#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define VK_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define VK_ROW_KERNEL
#endif
#endif

namespace vk_detail {

// v rounded half up and clamped to 0..255. The clamp works on the rounded
// 32-bit integer, so that loops over it vectorise (a negative v truncates
// towards 0, which the clamp takes to 0 all the same); |v| must stay below
// 2^31.
inline std::uint8_t roundToPel(float v) {
    return static_cast<std::uint8_t>(std::clamp(static_cast<std::int32_t>(v + 0.5f), 0, 255));
}

template <class T>
void requireBound(const vkPelBuffer_const<T>& b) {
    if (!b.isBound()) throw vkPel::UnboundWindow();
}

// Histogram counts are 32-bit: a window of 2^32 pixels or more could wrap
// them, so the functions that count refuse it before reading a pixel.
inline constexpr std::int64_t kMaxCountedPels = (std::int64_t{1} << 32) - 1;
inline void requireCountable(const vkPelRect& window, const char* what) {
    if (window.area() > kMaxCountedPels)
        throw vkPel::BadWindow(std::string(what) + ": a window of " + std::to_string(window.width()) + " x " +
                               std::to_string(window.height()) +
                               " pixels holds 2^32 or more, beyond what 32-bit counts hold");
}

// A copy of the handle whose window is rect (rect must lie in the storage).
template <class B>
B narrowed(const B& buffer, const vkPelRect& rect) {
    B view(buffer);
    view.window(rect);
    return view;
}

// True when a and b share storage but their windows' first pixels are at
// different addresses: an element-wise pass from a into b could then read
// pixels it has already written.
template <class A, class B>
bool shiftedAlias(const vkPelBuffer_const<A>& a, const vkPelBuffer_const<B>& b) {
    if constexpr (std::is_same_v<A, B>) {
        return a.root() != nullptr && a.root() == b.root() && a.pointToOffset() != b.pointToOffset();
    } else {
        return false;
    }
}

// Calls f(rowOfA, rowOfB, width) for every row of two equally sized windows.
template <class A, class B, class F>
void forRows(const A* a, std::ptrdiff_t strideA, B* b, std::ptrdiff_t strideB, std::int32_t width,
             std::int32_t height, F&& f) {
    for (std::int32_t y = 0; y < height; ++y, a += strideA, b += strideB) f(a, b, width);
}

// Walks n 16-bit pixels four at a time: quad(v, x) gets pixels x .. x + 3
// as the 16-bit lanes of one 64-bit load v, one(p, x) each pixel after the
// last group of four. Returns the OR of the loads and of the single pixels:
// a pixel with some bit set sets it in one of its four lanes (foldLanes).
template <class Quad, class One>
std::uint64_t forPelQuads(const std::uint16_t* a, std::int32_t n, Quad&& quad, One&& one) {
    std::uint64_t any = 0;
    std::int32_t x = 0;
    for (; x < n - 3; x += 4) {  // no overflow near INT32_MAX
        std::uint64_t v;
        std::memcpy(&v, a + x, sizeof v);
        any |= v;
        quad(v, x);
    }
    for (; x < n; ++x) {
        any |= a[x];
        one(a[x], x);
    }
    return any;
}

// The OR of the four 16-bit lanes of v, in the low lane.
inline std::uint16_t foldLanes(std::uint64_t v) {
    return static_cast<std::uint16_t>(v | v >> 16 | v >> 32 | v >> 48);
}

}  // namespace vk_detail
